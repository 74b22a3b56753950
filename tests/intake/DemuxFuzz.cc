// Fuzz target of the Demux: one MonitorUpdateMsg (any type, route, body and op message) fed to a
// Demux bound to vdbs 2 and 3 that already holds a small topology, then a barrier.
//
// Input: byte 0 picks the route (0-3) and whether the barrier is a full sync; the rest is a
// serialized MonitorUpdateMsg or, when it does not parse as one, a raw update as in the decoder's
// target (byte 1 the object type, bytes 2-4 the split into op message, body and old body).
// Every written request must address vdb 2 or 3 and every put must carry a body the database
// would take (it parses as its type and has an id); clearing what was set leaves it nowhere.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "intake/Demux.h"
#include "runtime/Logger.h"
#include "tests/fuzz/QuietLogs.h"
#include "tests/intake/DemuxTestUtil.h"
#include "tests/intake/FuzzUpdate.h"

namespace {

using namespace CfgAgent;
using namespace CfgAgent::test;

// Every object type of the schema, as raw-update type picks.
const std::vector<uint32_t>& TypeValues() {
    static const std::vector<uint32_t> values = [] {
        size_t count = 0;
        const ObjectType* types = AllObjectTypeValues(&count);
        std::vector<uint32_t> out;
        for (size_t i = 0; i < count; ++i)
            out.push_back(static_cast<uint32_t>(types[i]));
        return out;
    }();
    return values;
}

void Check(const CapturingWriter& writer) {
    for (const auto& list : writer.lists) {
        for (const pb::ModifyRequestMsg& r : list) {
            if (r.vdb() != 2 && r.vdb() != 3)
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
    const auto route = static_cast<DemuxRoute>(data[0] & 3);
    const bool fullSync = (data[0] & 4) != 0;
    pb::MonitorUpdateMsg u;
    if (!u.ParseFromArray(data + 1, static_cast<int>(size - 1)) &&
        !RawUpdate(data + 1, size - 1, TypeValues().data(), TypeValues().size(), &u))
        return 0;

    auto demux = ozy::MakeRef<Demux>();
    CapturingWriter writer;
    demux->ChannelStatus(true);
    demux->BindVdb(2, HsId(1).SerializeAsString());
    demux->BindVdb(3, HsId(2).SerializeAsString());
    demux->Update(SetOf(ObjectType::TRANSPORT_NODE_CONFIG, Tn(1, {{1, {1}}, {2, {2}}})),
                  DemuxRoute::KIND);
    demux->Update(SetOf(ObjectType::LOG_SWITCH_CONFIG, Ls(1, 1, 1)), DemuxRoute::KIND);
    demux->Update(SetOf(ObjectType::LOG_SWITCH_PORT_CONFIG, Lsp(1, 1, true)), DemuxRoute::KIND);
    demux->Barrier(true, &writer);

    demux->Update(u, route);
    demux->Barrier(fullSync, &writer);
    Check(writer);

    // Clearing what the update set leaves it in no vdb.
    const auto type = static_cast<ObjectType>(u.object_type());
    const std::string id = demux::IdOfBody(type, u.object_body());
    if (!id.empty() && route != DemuxRoute::NONE) {
        pb::MonitorUpdateMsg clear = u;
        clear.set_old_object_body(u.object_body());
        clear.clear_object_body();
        clear.set_op_msg(OpOf(type, pb::CLEAR)->SerializeAsString());
        demux->Update(clear, route);
        demux->Barrier(false, &writer);
        Check(writer);
        if (route == DemuxRoute::GENERIC && !demux->VdbsOf(type, id).empty())
            __builtin_trap();
    }
    demux->UnbindVdb(2, HsId(1).SerializeAsString());
    demux->UnbindVdb(3, HsId(2).SerializeAsString());
    demux->Barrier(false, &writer);
    Check(writer);
    return 0;
}
