// Fuzz target of the firewall's message cache: arbitrary bodies of every firewall type through
// parse and merge, in a full sync followed by an incremental batch (framing: DfwFuzzFraming.h).
// After each batch: every object is keyed by its own
// uuid, every bucket's start is below its end and there are none or two of them, the generation
// never goes back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dfw/DfwMsgCache.h"
#include "proto/cairndb_switching.pb.h"
#include "proto/cairndb_types.pb.h"
#include "proto/lcp_firewall.pb.h"
#include "runtime/Logger.h"
#include "tests/dfw/DfwFuzzFraming.h"
#include "tests/fuzz/QuietLogs.h"

namespace {

template <class Map>
void CheckKeys(const Map& m) {
    for (const auto& [id, obj] : m) {
        if (id.left != obj->id().left() || id.right != obj->id().right())
            __builtin_trap();
    }
}

void Check(const CfgAgent::DfwMsgSnapshot& s, uint64_t* generation) {
    CheckKeys(*s.rules);
    CheckKeys(*s.lbRules);
    CheckKeys(*s.sections);
    CheckKeys(*s.lbSections);
    CheckKeys(*s.containers);
    CheckKeys(*s.chunks);
    CheckKeys(*s.groups);
    CheckKeys(*s.spans);
    if (s.buckets->size() != 0 && s.buckets->size() != 2)
        __builtin_trap();
    for (const CfgAgent::DfwBucket& b : *s.buckets) {
        if (b.start >= b.end)
            __builtin_trap();
    }
    if (s.generation < *generation)
        __builtin_trap();
    *generation = s.generation;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CfgAgent::test::QuietLogs(CfgAgent::kLogInfo);
    CfgAgent::g_dfwLogLevel = CfgAgent::kLogTrace;
    if (size < 1)
        return 0;
    size_t split = data[0];
    std::vector<CfgAgent::CairnDBUpdateMsg> records;
    size_t i = 1;
    while (i + 4 <= size) {
        CfgAgent::CairnDBUpdateMsg m;
        m.objType = CfgAgent::test::kDfwFuzzTypes[data[i] % CfgAgent::test::kDfwFuzzTypeCount];
        m.op = (data[i + 1] & 1) ? CfgAgent::Operation::OPERATION_DELETE
                                 : CfgAgent::Operation::OPERATION_UPDATE;
        orvane::ozy::cairndb::UuidMsg id;
        id.set_left(0x1000u + ((data[i + 1] >> 1) & 7));
        id.set_right((data[i + 1] >> 1) & 7);
        m.id = id.SerializeAsString();
        size_t len = static_cast<size_t>(data[i + 2]) | (static_cast<size_t>(data[i + 3]) << 8);
        i += 4;
        if (len > size - i)
            len = size - i;
        m.data.assign(reinterpret_cast<const char*>(data + i), len);
        i += len;
        records.push_back(std::move(m));
    }
    if (split > records.size())
        split = records.size();
    auto cache = ozy::MakeRef<CfgAgent::DfwMsgCache>();
    uint64_t generation = 0;
    std::vector<CfgAgent::CairnDBUpdateMsg> first(records.begin(), records.begin() + split);
    std::vector<CfgAgent::CairnDBUpdateMsg> second(records.begin() + split, records.end());
    cache->UpdateDesiredState(first, true);
    Check(cache->TakeSnapshot(), &generation);
    cache->UpdateDesiredState(second, false);
    Check(cache->Peek(), &generation);
    cache->UpdateDesiredState(first, false);
    Check(cache->TakeSnapshot(), &generation);
    return 0;
}
