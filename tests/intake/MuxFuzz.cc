// Fuzz target of the Mux: one per-vdb runtime update (any of the seven monitored types, body and
// op message) from vdb 2 or 3, with the gate open or not, then the vdb's barrier.
//
// Input: byte 0: bit 0 picks vdb 2 or 3, bit 1 makes the update part of the vdb's full sync
// (else it follows an empty one), bit 2 has the host put the same body first. The rest is a
// serialized MonitorUpdateMsg or, when it does not parse as one, a raw update as in the decoder's
// target (byte 1 picks one of the seven types, bytes 2-4 split op message, body and old body).
// Every written request must address vdb 1 and every put of a runtime type must carry a body
// that parses and has an id; once both vdbs are unbound and the host has flushed its lists, vdb 1
// holds no runtime object.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "intake/ModifyRequests.h"
#include "intake/Mux.h"
#include "runtime/Logger.h"
#include "tests/fuzz/QuietLogs.h"
#include "tests/intake/DemuxTestUtil.h"
#include "tests/intake/FuzzUpdate.h"

namespace {

using namespace CfgAgent;
using namespace CfgAgent::test;
using OT = ObjectType;

const uint32_t kTypes[] = {
    static_cast<uint32_t>(OT::VIF_STATE),           static_cast<uint32_t>(OT::HOPOVER_STATUS),
    static_cast<uint32_t>(OT::LOG_SWITCH_STATE),    static_cast<uint32_t>(OT::ROUTING_DOMAIN_VTEP),
    static_cast<uint32_t>(OT::PROCESSED_BARRIER),   static_cast<uint32_t>(OT::RUNTIME_STATUS),
    static_cast<uint32_t>(OT::SI_SERVICE_VM_STATUS)};

bool IsRuntime(uint32_t t) {
    return t == static_cast<uint32_t>(OT::VIF_STATE) ||
           t == static_cast<uint32_t>(OT::HOPOVER_STATUS) ||
           t == static_cast<uint32_t>(OT::LOG_SWITCH_STATE) ||
           t == static_cast<uint32_t>(OT::ROUTING_DOMAIN_VTEP);
}

void Check(const CapturingWriter& writer) {
    for (const auto& list : writer.lists) {
        for (const pb::ModifyRequestMsg& r : list) {
            if (r.vdb() != 1)
                __builtin_trap();
            if (!PutIsWellFormed(r))
                __builtin_trap();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    test::QuietLogs(kLogInfo);
    if (size < 1)
        return 0;
    const uint16_t vdb = (data[0] & 1) != 0 ? 3 : 2;
    const bool inFullSync = (data[0] & 2) != 0;
    const bool hostToo = (data[0] & 4) != 0;
    pb::MonitorUpdateMsg u;
    if (!u.ParseFromArray(data + 1, static_cast<int>(size - 1)) &&
        !RawUpdate(data + 1, size - 1, kTypes, sizeof(kTypes) / sizeof(kTypes[0]), &u))
        return 0;

    CapturingWriter writer;
    auto mux = ozy::MakeRef<Mux>(&writer);
    size_t reports = 0;
    mux->SetReportHook([&](uint16_t, bool, const std::vector<const pb::MonitorUpdateMsg*>& r) {
        reports += r.size();
    });
    mux->SetLocalProducers(true, false);
    mux->InitVdb(2);
    mux->InitVdb(3);
    mux->OnMainFullSync();
    mux->WriteLocalRuntime({}, ICairndbClient::kRuntimeConfig, true);
    mux->OnVdbBarrier(vdb == 2 ? 3 : 2);
    if (!inFullSync)
        mux->OnVdbBarrier(vdb);
    if (hostToo && IsRuntime(u.object_type()))
        mux->WriteLocalRuntime({PutRequest(1, static_cast<OT>(u.object_type()), u.object_body())},
                               ICairndbClient::kRuntimeL2, false);
    mux->OnVdbUpdate(vdb, u);
    mux->OnVdbBarrier(vdb);
    Check(writer);
    (void)mux->DumpConfig();
    (void)mux->DumpL2();
    (void)mux->DumpGlobalVtep();

    mux->DestroyVdb(2);
    mux->DestroyVdb(3);
    std::vector<pb::ModifyRequestMsg> flush;
    for (uint32_t t : kTypes) {
        if (IsRuntime(t))
            flush.push_back(FlushRequest(1, static_cast<OT>(t)));
    }
    mux->WriteLocalRuntime(flush, ICairndbClient::kRuntimeConfig, true);
    Check(writer);
    for (const auto& [key, body] : writer.model.All()) {
        if (IsRuntime(std::get<1>(key)))
            __builtin_trap();
    }
    return 0;
}
