// Fuzz target of the decoder entry point: one MonitorUpdateMsg in, records out.
//
// The input is a serialized MonitorUpdateMsg. Bytes that do not parse as one are read as a raw
// update instead (byte 0 picks the object type, bytes 1-3 the split of the rest into op message,
// new body and old body), so that mutations reach the body parsers too. Every produced record must
// belong to the update's type and carry a known operation; filing must never fail, and the merge
// of the client's barrier only removes records.
#include <cstddef>
#include <cstdint>
#include <string>

#include "intake/CairndbClient.h"
#include "intake/Decoder.h"
#include "proto/cairndb_monitor.pb.h"
#include "runtime/Logger.h"
#include "tests/fuzz/QuietLogs.h"
#include "tests/intake/FuzzUpdate.h"

namespace {

namespace pb = orvane::ozy::cairndb;

constexpr uint32_t kTypes[] = {1,   2,   3,   4,   5,   6,   12,  22,  23,  27,  28,  29,  30,
                               31,  32,  49,  52,  53,  56,  63,  64,  68,  69,  72,  82,  105,
                               108, 109, 110, 128, 129, 130, 136, 140, 141, 150, 151, 154, 162,
                               174, 176, 179, 189, 195, 200, 214, 219, 221, 239};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Log statements format their arguments (debug texts of the bodies).
    CfgAgent::test::QuietLogs(CfgAgent::kLogTrace);
    CfgAgent::Decoder::SetRealtimeFeatureEnabled(true);
    pb::MonitorUpdateMsg u;
    if (!u.ParseFromArray(data, static_cast<int>(size)) &&
        !CfgAgent::test::RawUpdate(data, size, kTypes, sizeof(kTypes) / sizeof(kTypes[0]), &u)) {
        return 0;
    }
    CfgAgent::DecodeResult result;
    bool routed = CfgAgent::Decoder::Decode(u, &result);
    if (!routed && result.RecordCount() != 0)
        __builtin_trap();
    for (size_t g = 0; g < result.groupCount; ++g) {
        for (const auto& r : result.groups[g].records) {
            if (static_cast<uint32_t>(r.objType) != static_cast<uint32_t>(u.object_type()))
                __builtin_trap();
            uint32_t op = static_cast<uint32_t>(r.op);
            if (op < 1 || op > 4)
                __builtin_trap();
        }
    }
    size_t before = result.RecordCount();
    CfgAgent::ComponentUpdateMap batch;
    CfgAgent::Decoder::File(result, batch);
    size_t filed = 0;
    for (const auto& [comp, list] : batch)
        filed += list.size();
    if (before > 0 && filed < before)
        __builtin_trap();
    // The barrier's merge on what the update filed twice (so that records meet their opposites):
    // it only ever removes records.
    CfgAgent::Decoder::Decode(u, &result);
    CfgAgent::Decoder::File(result, batch);
    size_t doubled = 0;
    for (const auto& [comp, list] : batch)
        doubled += list.size();
    CfgAgent::CairndbClient::MergeCancellingRecords(batch, (size & 1) != 0);
    size_t merged = 0;
    for (const auto& [comp, list] : batch)
        merged += list.size();
    if (merged > doubled)
        __builtin_trap();
    return 0;
}
