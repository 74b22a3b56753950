// Fuzz target of realization tracking: a script of barriers, reports, unbindings and full syncs fed
// to an Rtf with vdbs 2, 3 and 4 bound and the L3 vertical on the host; its last step may be one
// raw update of a vdb (a PROCESSED_BARRIER, RUNTIME_STATUS or other type, any body and op message).
//
// Script: byte 0 of each step picks its kind (low 3 bits) and the vdb (bits 3-4: 2, 3, 4, or 1 the
// host); the next two bytes are its arguments.
//   0 barrier a (b: mask of vdbs 2-4)     1 processed barrier a of vertical b (mod 4: 1, 3, 10, 7)
//   2 runtime status of component b with a errors (mod 4)    3 unbind the vdb
//   4 full sync of the vdb with processed barrier a of vertical b    5 bind the vdb again
//   6 the rest of the input is one update of the vdb (serialized MonitorUpdateMsg or raw update)
// Every write must go to vdb 1 and parse; per vertical the numbers written only go up, and each was
// a barrier the script gave; at most 100 barriers are pending.
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "intake/ReportRequests.h"
#include "intake/Rtf.h"
#include "runtime/Logger.h"
#include "tests/fuzz/QuietLogs.h"
#include "tests/intake/DemuxTestUtil.h"
#include "tests/intake/FuzzUpdate.h"

namespace {

using namespace CfgAgent;
using namespace CfgAgent::test;

constexpr uint32_t kVerticals[] = {1, 3, 10, 7};
constexpr uint32_t kRawTypes[] = {static_cast<uint32_t>(ObjectType::PROCESSED_BARRIER),
                                  static_cast<uint32_t>(ObjectType::RUNTIME_STATUS),
                                  static_cast<uint32_t>(ObjectType::VIF_STATE)};

pb::MonitorUpdateMsg ProcessedUpdate(uint32_t vertical, uint64_t n) {
    return SetOf(ObjectType::PROCESSED_BARRIER, Processed(vertical, n));
}

void Check(const CapturingWriter& writer, const std::set<uint64_t>& barriers) {
    std::map<uint32_t, uint64_t> last;
    for (const auto& list : writer.lists) {
        for (const pb::ModifyRequestMsg& r : list) {
            if (r.vdb() != Rtf::kHostVdb || !r.has_put())
                __builtin_trap();
            const auto type = r.put().object().object_type();
            if (type == pb::RUNTIME_STATUS) {
                pb::RuntimeStatusMsg m;
                if (!m.ParseFromString(r.put().object().body()) || !m.has_component_id())
                    __builtin_trap();
                continue;
            }
            pb::ProcessedBarrierMsg m;
            if (type != pb::PROCESSED_BARRIER || !m.ParseFromString(r.put().object().body()) ||
                barriers.count(m.barrier_id()) == 0)
                __builtin_trap();
            auto it = last.find(m.vertical_id());
            if (it != last.end() && m.barrier_id() <= it->second)
                __builtin_trap();
            last[m.vertical_id()] = m.barrier_id();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    test::QuietLogs(kLogInfo);
    CapturingWriter writer;
    auto rtf = ozy::MakeRef<Rtf>(&writer);
    rtf->SetHostVerticals({Rtf::kVerticalL3});
    for (uint16_t v : {2, 3, 4})
        rtf->AddVdbId(v);
    std::set<uint64_t> barriers;
    size_t i = 0;
    while (i + 3 <= size) {
        const uint8_t kind = data[i] & 7;
        const uint16_t vdb = ((data[i] >> 3) & 3) == 3 ? 1 : 2 + ((data[i] >> 3) & 3);
        const uint8_t a = data[i + 1];
        const uint8_t b = data[i + 2];
        i += 3;
        switch (kind) {
            case 0: {
                std::set<uint16_t> vdbs;
                for (uint16_t v = 0; v < 3; ++v) {
                    if (b & (1u << v))
                        vdbs.insert(static_cast<uint16_t>(2 + v));
                }
                pb::BarrierMsg m;
                m.set_barrier_id(a);
                barriers.insert(a);
                rtf->UpdateCairndbBarrier(m.SerializeAsString(), vdbs);
                break;
            }
            case 1:
                if (vdb == Rtf::kHostVdb) {
                    pb::ProcessedBarrierMsg m;
                    m.set_vertical_id(kVerticals[b % 4]);
                    m.set_barrier_id(a);
                    rtf->HandleLocalProcessedBarrierMsg(m);
                } else {
                    rtf->UpdateFromVdb(vdb, ProcessedUpdate(kVerticals[b % 4], a));
                }
                break;
            case 2: {
                pb::RuntimeStatusMsg m;
                m.set_component_id(b % 4);
                for (uint8_t e = 0; e < a % 4; ++e)
                    m.add_errors()->set_error_code(e);
                if (vdb == Rtf::kHostVdb)
                    rtf->HandleLocalRuntimeStatusMsg(m);
                else
                    rtf->UpdateFromVdb(vdb, SetOf(ObjectType::RUNTIME_STATUS, m));
                break;
            }
            case 3:
                rtf->DeleteVdbId(vdb);
                break;
            case 4: {
                const pb::MonitorUpdateMsg u = ProcessedUpdate(kVerticals[b % 4], a);
                rtf->VdbBarrier(vdb, true, {&u});
                break;
            }
            case 5:
                rtf->AddVdbId(vdb);
                break;
            default: {
                pb::MonitorUpdateMsg u;
                if (!u.ParseFromArray(data + i - 2, static_cast<int>(size - i + 2)) &&
                    !RawUpdate(data + i - 2, size - i + 2, kRawTypes, 3, &u))
                    break;
                rtf->UpdateFromVdb(vdb, u);
                i = size;
                break;
            }
        }
        if (rtf->GetInfo().received.size() > Rtf::kMaxReceivedBarriers)
            __builtin_trap();
    }
    Check(writer, barriers);
    (void)rtf->Dump();
    return 0;
}
