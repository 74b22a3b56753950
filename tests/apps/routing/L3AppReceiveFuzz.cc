// Fuzz target: L3App's receive path on arbitrary bytes, cut into messages by their length fields
// as the link's receiver cuts the stream. One router with one port is programmed first, so that
// full-sync requests and DAD reports reach real state. Whatever arrives must be parsed without
// reading outside the input, dropped when malformed, and never crash or leak.
#include <cstddef>
#include <cstdint>

#include "apps/routing/L3App.h"
#include "dataplane/DpFraming.h"
#include "proto/cairndb_routing.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "runtime/Logger.h"
#include "statecache/StateCacheConfigTable.h"
#include "statecache/StateCacheL3Table.h"
#include "tests/apps/switching/SwitchingFakes.h"
#include "tests/support/FakeCairndbClient.h"

namespace pb = orvane::ozy::cairndb;
using namespace CfgAgent;

namespace {

pb::UuidMsg Uuid(uint64_t n) {
    pb::UuidMsg u;
    u.set_left(0x0c00000000004000ull);
    u.set_right(0x8000000000000000ull | n);
    return u;
}

CairnDBUpdateMsg Whole(ObjectType type, const google::protobuf::Message& body, uint64_t n) {
    CairnDBUpdateMsg r;
    r.objType = type;
    r.id = Uuid(n).SerializeAsString();
    r.data = body.SerializeAsString();
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Logger::setLevel(kLogOff);
    auto config = ozy::MakeRef<StateCacheConfigTable>();
    auto l3 = ozy::MakeRef<StateCacheL3Table>();
    test::FakeLinks links;
    test::FakeCairndbClient db;
    L3AppOptions o;
    o.configTable = config.get();
    o.l3Table = l3.get();
    o.cairndb = &db;
    o.makeLink = links.Factory();
    auto app = ozy::MakeRef<L3App>(std::move(o));
    app->Init({});

    pb::TransportNodeConfigMsg tn;
    *tn.mutable_id() = Uuid(1);
    pb::TransportSwitchMsg* sw = tn.add_transport_switches();
    *sw->mutable_host_switch_id() = Uuid(2);
    *sw->add_transport_zone_ids() = Uuid(3);
    pb::LogSwitchConfigMsg ls;
    *ls.mutable_id() = Uuid(4);
    ls.set_vni(5001);
    *ls.mutable_transport_zone_id() = Uuid(3);
    CairnDBUpdateMsg tnRecord = Whole(ObjectType::TRANSPORT_NODE_CONFIG, tn, 1);
    CairnDBUpdateMsg switches = tnRecord;
    switches.property = PropertyType::TN_TRANSPORT_SWITCHES;
    config->UpdateDesiredState({tnRecord, switches, Whole(ObjectType::LOG_SWITCH_CONFIG, ls, 4)},
                               true);
    pb::LogRouterConfigMsg lr;
    *lr.mutable_id() = Uuid(5);
    lr.set_vdr_id(1001);
    pb::LogRouterPortConfigMsg lrp;
    *lrp.mutable_id() = Uuid(6);
    *lrp.mutable_lr_uuid() = Uuid(5);
    *lrp.mutable_logical_switch_id() = Uuid(4);
    lrp.set_type(1);
    lrp.set_lif_name("lif-1");
    l3->UpdateDesiredState({Whole(ObjectType::LOG_ROUTER_CONFIG, lr, 5),
                            Whole(ObjectType::LOG_ROUTER_PORT_CONFIG, lrp, 6)},
                           true);
    test::FakeLink* link = links.Get("ozy_vdr_krnlink");
    link->Up();

    size_t pos = 0;
    while (size - pos >= kDpMsgHeaderSize) {
        size_t len = DpMsgLength(data + pos);
        if (len < kDpMsgHeaderSize || len > size - pos)
            break;
        link->Deliver(DpMsg(data + pos, data + pos + len));
        pos += len;
    }
    app->Stop();
    return 0;
}
