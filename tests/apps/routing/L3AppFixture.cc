#include "tests/apps/routing/L3AppFixture.h"

#include <nlohmann/json.hpp>

#include "intake/CairndbClient.h"
#include "intake/Decoder.h"
#include "platform/cairndb/OpMessages.h"
#include "proto/CairndbSchema.h"
#include "proto/cairndb_monitor.pb.h"

namespace CfgAgent::test {

pb::IpAddressMsg V4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    pb::IpAddressMsg ip;
    ip.set_ipv4((uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | d);
    return ip;
}

pb::IpAddressMsg V6(uint16_t first, uint16_t last) {
    std::string bytes(16, '\0');
    bytes[0] = static_cast<char>(first >> 8);
    bytes[1] = static_cast<char>(first);
    bytes[14] = static_cast<char>(last >> 8);
    bytes[15] = static_cast<char>(last);
    pb::IpAddressMsg ip;
    ip.set_ipv6(bytes);
    return ip;
}

pb::IpPrefixMsg Prefix(const pb::IpAddressMsg& ip, uint32_t length) {
    pb::IpPrefixMsg p;
    *p.mutable_address() = ip;
    p.set_prefix_length(length);
    return p;
}

pb::TransportNodeConfigMsg TransportNode() {
    pb::TransportNodeConfigMsg tn;
    *tn.mutable_id() = U(kTn, 1);
    pb::TransportSwitchMsg* sw = tn.add_transport_switches();
    *sw->mutable_host_switch_id() = U(kDvsKind, 1);
    sw->set_name("dvs-1");
    *sw->add_transport_zone_ids() = U(kTzKind, 1);
    return tn;
}

pb::LogSwitchConfigMsg Switch(uint64_t n, uint32_t vni, bool withTz) {
    pb::LogSwitchConfigMsg ls;
    *ls.mutable_id() = U(kLsKind, n);
    if (vni != 0)
        ls.set_vni(vni);
    ls.set_replication_mode(1);
    if (withTz)
        *ls.mutable_transport_zone_id() = U(kTzKind, 1);
    return ls;
}

pb::LogRouterConfigMsg Router(uint64_t n, uint32_t vdr) {
    pb::LogRouterConfigMsg lr;
    *lr.mutable_id() = U(kLrKind, n);
    lr.set_vdr_id(vdr);
    lr.set_name("lr-" + std::to_string(n));
    return lr;
}

pb::LogRouterPortConfigMsg Port(uint64_t n, uint64_t lr, uint64_t ls,
                                std::vector<pb::IpPrefixMsg> ips) {
    pb::LogRouterPortConfigMsg p;
    *p.mutable_id() = U(kLrpKind, n);
    *p.mutable_lr_uuid() = U(kLrKind, lr);
    *p.mutable_logical_switch_id() = U(kLsKind, ls);
    p.set_type(1);
    p.set_mtu(1500);
    p.set_lif_name("lif-" + std::to_string(n));
    for (pb::IpPrefixMsg& ip : ips)
        *p.add_ip_addresses() = ip;
    return p;
}

pb::FibNextHopMsg Hop(const pb::IpAddressMsg& ip, uint64_t lrp) {
    pb::FibNextHopMsg h;
    *h.mutable_ip() = ip;
    if (lrp != 0)
        *h.mutable_lrp_id() = U(kLrpKind, lrp);
    return h;
}

pb::FibMsg Fib(uint64_t n, uint64_t lr, const pb::IpPrefixMsg& prefix,
               std::vector<pb::FibNextHopMsg> hops) {
    pb::FibMsg f;
    *f.mutable_id() = U(kFibKind, n);
    *f.mutable_router_id() = U(kLrKind, lr);
    *f.mutable_prefix() = prefix;
    for (pb::FibNextHopMsg& h : hops)
        *f.add_next_hops() = h;
    return f;
}

pb::PrefixListMsg PrefixList(uint64_t n, uint32_t index) {
    pb::PrefixListMsg pl;
    *pl.mutable_id() = U(kPlKind, n);
    pl.set_index(index);
    pl.set_name("pl-" + std::to_string(n));
    pb::PrefixListEntryMsg* e = pl.add_entries();
    *e->mutable_prefix() = Prefix(V4(10, 0, 0, 0), 8);
    e->set_action(1);
    return pl;
}

pb::ArpTableConfigMsg ArpTable(uint64_t n, uint64_t lrp, size_t entries) {
    pb::ArpTableConfigMsg a;
    *a.mutable_id() = U(kArpKind, n);
    *a.mutable_router_port_id() = U(kLrpKind, lrp);
    for (size_t i = 0; i < entries; ++i) {
        pb::ArpEntryMsg* e = a.add_entries();
        e->mutable_ip()->set_ipv4(0x0a010000u + static_cast<uint32_t>(i));
        e->set_mac(0x020000000000ull + i);
    }
    return a;
}

pb::GlobalConfigMsg Global(uint32_t mtu) {
    pb::GlobalConfigMsg g;
    *g.mutable_id() = U(kGlobalKind, 1);
    g.set_l3_mtu(mtu);
    g.set_l3_forwarding_mode(1);
    return g;
}

pb::BarrierMsg Barrier(uint64_t id) {
    pb::BarrierMsg b;
    *b.mutable_id() = U(kBarrierKind, 1);
    b.set_barrier_id(id);
    return b;
}

// ---- DesiredFeed ----

void DesiredFeed::Decode(ObjectType type, const google::protobuf::Message* old,
                         const google::protobuf::Message* body) {
    const ozy::cairndb::ObjectTypeInfo* info = ozy::cairndb::FindObjectType(static_cast<int>(type));
    ASSERT_NE(info, nullptr);
    std::unique_ptr<google::protobuf::Message> op(info->op->New());
    ozy::cairndb::DeriveOpMessage(old, body, op.get());
    pb::MonitorUpdateMsg u;
    u.set_object_type(static_cast<pb::ObjectType>(type));
    u.set_op_msg(op->SerializeAsString());
    if (body != nullptr)
        u.set_object_body(body->SerializeAsString());
    if (old != nullptr)
        u.set_old_object_body(old->SerializeAsString());
    u.set_vdb(1);
    DecodeResult r;
    ASSERT_TRUE(Decoder::Decode(u, &r));
    Decoder::File(r, batch_);
}

void DesiredFeed::Put(ObjectType type, const google::protobuf::Message& body) {
    const google::protobuf::Reflection* refl = body.GetReflection();
    const auto* idField = body.GetDescriptor()->FindFieldByName("id");
    const std::string id = refl->GetMessage(body, idField).SerializeAsString();
    auto& slot = current_[{type, id}];
    Decode(type, slot.get(), &body);
    slot.reset(body.New());
    slot->CopyFrom(body);
}

void DesiredFeed::Remove(ObjectType type, const pb::UuidMsg& id) {
    auto it = current_.find({type, id.SerializeAsString()});
    ASSERT_NE(it, current_.end());
    Decode(type, it->second.get(), nullptr);
    current_.erase(it);
}

void DesiredFeed::Deliver(bool fullSync) {
    CairndbClient::MergeCancellingRecords(batch_, fullSync);
    auto config = batch_.find(ComponentType::CONFIGCACHE);
    if (config != batch_.end() || fullSync)
        config_.UpdateDesiredState(config != batch_.end() ? config->second : CairnDBUpdateList(),
                                   fullSync);
    auto l3 = batch_.find(ComponentType::L3CACHE);
    if (l3 != batch_.end() || fullSync)
        l3_.UpdateDesiredState(l3 != batch_.end() ? l3->second : CairnDBUpdateList(), fullSync);
    batch_.clear();
}

void DesiredFeed::Commit() {
    Deliver(false);
}

void DesiredFeed::FullSync() {
    batch_.clear();
    for (const auto& [key, body] : current_)
        Decode(key.first, nullptr, body.get());
    Deliver(true);
}

void DesiredFeed::L3Records(const CairnDBUpdateList& records) {
    l3_.UpdateDesiredState(records, false);
}

// ---- fixture ----

void L3AppFixture::SetUp() {
    config_ = ozy::MakeRef<StateCacheConfigTable>();
    l3_ = ozy::MakeRef<StateCacheL3Table>();
    feed_ = std::make_unique<DesiredFeed>(*config_, *l3_);
}

void L3AppFixture::TearDown() {
    if (app_)
        app_->Stop();
}

void L3AppFixture::Start(const boost::property_tree::ptree& config) {
    L3AppOptions o;
    o.configTable = config_.get();
    o.l3Table = l3_.get();
    o.cairndb = &db_;
    o.reportBarrier = [this](uint64_t b) { barriers_.push_back(b); };
    o.makeLink = links_.Factory();
    app_ = ozy::MakeRef<L3App>(std::move(o));
    app_->Init(config);
}

void L3AppFixture::LinkUp() {
    Dp();
    // The dataplane starts empty for every connection.
    dp_.tables.Reset();
    Link()->Up();
}

void L3AppFixture::StartSynced() {
    feed_->FullSync();
    Start();
    LinkUp();
    ASSERT_EQ(Dp().fullSyncEnds, 1u);
}

void L3AppFixture::LinkDown() {
    Link()->Down();
}

std::vector<DpMsg> L3AppFixture::Sent() {
    std::vector<DpMsg> all = Link()->Sent();
    std::vector<DpMsg> fresh(all.begin() + static_cast<long>(std::min(drained_, all.size())),
                             all.end());
    drained_ = all.size();
    for (const DpMsg& m : fresh) {
        dp_.messages.push_back(m);
        Apply(m);
    }
    return fresh;
}

DataplaneView& L3AppFixture::Dp() {
    Sent();
    return dp_;
}

void L3AppFixture::Apply(const DpMsg& m) {
    std::string why;
    auto error = [&](const std::string& e) { dp_.errors.push_back(e); };
    switch (DpMsgType(m.data())) {
        case vdr::kMsgUpdate: {
            vdr::UpdateMsg u;
            if (!vdr::ParseUpdate(m.data(), m.size(), &u, &why)) {
                error("Update: " + why);
                break;
            }
            dp_.tables.ApplyUpdate(u, error);
            for (const vdr::UpdateElement& e : u.elements) {
                if (e.type == vdr::kElemDadStatus)
                    dp_.dadUpdates.push_back(e);
            }
            break;
        }
        case vdr::kMsgArpTableUpdate: {
            vdr::ArpTableMsg a;
            if (!vdr::ParseArpTableUpdate(m.data(), m.size(), &a, &why))
                error("ARP: " + why);
            else
                dp_.tables.ApplyArp(a, error);
            break;
        }
        case vdr::kMsgFullSyncEnd:
            ++dp_.fullSyncEnds;
            break;
        default:
            error("message type " + std::to_string(DpMsgType(m.data())));
    }
}

void L3AppFixture::PutTopology() {
    feed_->Put(ObjectType::TRANSPORT_NODE_CONFIG, TransportNode());
    feed_->Put(ObjectType::LOG_SWITCH_CONFIG, Switch(1, 5001));
    feed_->Put(ObjectType::LOG_SWITCH_CONFIG, Switch(2, 5002));
    feed_->Put(ObjectType::LOG_ROUTER_CONFIG, Router(1, 1001));
    feed_->Put(ObjectType::LOG_ROUTER_PORT_CONFIG, Port(1, 1, 1, {Prefix(V4(10, 0, 1, 1), 24)}));
    feed_->Put(ObjectType::LOG_ROUTER_PORT_CONFIG, Port(2, 1, 2, {Prefix(V4(10, 0, 2, 1), 24)}));
}

const ozy::dpemu::VdrTables::Vdr* L3AppFixture::DpVdr(uint32_t vdr) {
    auto it = Dp().tables.vdrs.find(vdr);
    return it == dp_.tables.vdrs.end() ? nullptr : &it->second;
}

nlohmann::json L3AppFixture::DpRoute(uint32_t vdr, const std::string& prefix) {
    const auto* v = DpVdr(vdr);
    if (v == nullptr)
        return nullptr;
    auto it = v->routes.find(prefix);
    return it == v->routes.end() ? nlohmann::json() : ozy::dpemu::VdrTables::RouteJson(it->second);
}

}  // namespace CfgAgent::test
