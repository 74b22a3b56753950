#pragma once
// Load-balancer records as the decoder hands them to LbApp (whole bodies), for the tests and the
// fuzz target. Object n of every kind has the uuid 00001b1b-...-n; port n is a logical switch port
// of the configuration table.
#include <cstdint>
#include <vector>

#include "intake/CairnDBUpdateMsg.h"
#include "proto/cairndb_firewall.pb.h"
#include "proto/cairndb_lb.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "statecache/IdText.h"

namespace CfgAgent::test::lbobj {

namespace pb = orvane::ozy::cairndb;

inline std::string Id(uint64_t n) {
    return SerializedUuid(0x1b1b, n);
}
inline std::string Text(uint64_t n) {
    return IdText(Id(n));
}
inline pb::UuidMsg Uuid(uint64_t n) {
    pb::UuidMsg u;
    u.set_left(0x1b1b);
    u.set_right(n);
    return u;
}
inline pb::IpAddressMsg V4(uint32_t v) {
    pb::IpAddressMsg a;
    a.set_ipv4(v);
    return a;
}
// ::last
inline pb::IpAddressMsg V6(uint8_t last) {
    pb::IpAddressMsg a;
    std::string b(16, '\0');
    b[15] = static_cast<char>(last);
    a.set_ipv6(b);
    return a;
}
inline pb::LbPoolMemberMsg Member(const pb::IpAddressMsg& a, uint32_t port, uint32_t weight) {
    pb::LbPoolMemberMsg m;
    *m.mutable_ip_address() = a;
    m.set_port(port);
    m.set_weight(weight);
    return m;
}

template <class Msg>
CairnDBUpdateMsg Rec(ObjectType type, uint64_t n, const Msg& m) {
    CairnDBUpdateMsg r;
    r.objType = type;
    r.id = Id(n);
    m.SerializeToString(&r.data);
    return r;
}
inline CairnDBUpdateMsg Delete(ObjectType type, uint64_t n) {
    CairnDBUpdateMsg r;
    r.objType = type;
    r.id = Id(n);
    r.op = Operation::OPERATION_DELETE;
    return r;
}

inline CairnDBUpdateMsg Service(uint64_t n, const std::vector<uint64_t>& groups) {
    pb::LbServiceMsg m;
    *m.mutable_id() = Uuid(n);
    m.set_display_name("lbs-" + std::to_string(n));
    m.set_creation_time(1000 * n);
    m.set_log_level(2);
    for (uint64_t g : groups)
        *m.add_attachment_container_ids() = Uuid(g);
    return Rec(ObjectType::LB_SERVICE, n, m);
}
// Relation n: group `group` holds `lsps`; entity type 0 (absent) or 1: switch ports.
inline CairnDBUpdateMsg Relation(uint64_t n, uint64_t group, const std::vector<uint64_t>& lsps,
                                 uint32_t entityType = 0) {
    pb::EntityGroupRelationMsg m;
    *m.mutable_id() = Uuid(n);
    if (entityType != 0)
        m.set_entity_type(entityType);
    auto* c = m.add_container_logical_switch_port();
    *c->mutable_container_id() = Uuid(group);
    for (uint64_t l : lsps)
        *c->add_logical_switch_port_ids() = Uuid(l);
    return Rec(ObjectType::ENTITY_GROUP_RELATION, n, m);
}
inline CairnDBUpdateMsg Group(uint64_t n, const std::vector<pb::IpAddressMsg>& addresses) {
    pb::ContainerMsg m;
    *m.mutable_id() = Uuid(n);
    for (const auto& a : addresses)
        *m.add_ip_addresses()->mutable_ip() = a;
    return Rec(ObjectType::CONTAINER, n, m);
}
inline CairnDBUpdateMsg App(uint64_t n, uint32_t type) {
    pb::LbApplicationProfileMsg m;
    *m.mutable_id() = Uuid(n);
    m.set_type(type);
    return Rec(ObjectType::LB_APPLICATION_PROFILE, n, m);
}
inline CairnDBUpdateMsg Persist(uint64_t n, uint32_t type) {
    pb::LbPersistenceProfileMsg m;
    *m.mutable_id() = Uuid(n);
    m.set_type(type);
    return Rec(ObjectType::LB_PERSISTENCE_PROFILE, n, m);
}
// Pool n of the services `lbs` with static `members`, and group `group`'s members (0: none).
inline CairnDBUpdateMsg PoolRec(uint64_t n, const std::vector<uint64_t>& lbs,
                                const std::vector<pb::LbPoolMemberMsg>& members, uint64_t group = 0,
                                uint32_t revision = 0, uint32_t port = 0) {
    pb::LbPoolMsg m;
    *m.mutable_id() = Uuid(n);
    for (uint64_t l : lbs)
        *m.add_lbs_ids() = Uuid(l);
    for (const auto& pm : members)
        *m.add_members() = pm;
    if (group != 0) {
        *m.mutable_member_group()->mutable_container_id() = Uuid(group);
        m.mutable_member_group()->set_ip_revision_filter(revision);
        m.mutable_member_group()->set_port(port);
    }
    return Rec(ObjectType::LB_POOL, n, m);
}
// Virtual server n (0 for a link: none; address 0: none).
inline CairnDBUpdateMsg Server(uint64_t n, uint64_t lbs, uint64_t pool, uint64_t app,
                               uint64_t persist, uint32_t address = 0x0a000001, uint32_t port = 80,
                               uint32_t protocol = 6) {
    pb::LbVirtualServerMsg m;
    *m.mutable_id() = Uuid(n);
    if (lbs != 0)
        *m.mutable_lbs_id() = Uuid(lbs);
    if (pool != 0)
        *m.mutable_pool_id() = Uuid(pool);
    if (app != 0)
        *m.mutable_application_profile_id() = Uuid(app);
    if (persist != 0)
        *m.mutable_persistence_profile_id() = Uuid(persist);
    if (address != 0)
        *m.mutable_ip_address() = V4(address);
    m.set_port(port);
    m.set_ip_protocol(protocol);
    return Rec(ObjectType::LB_VIRTUAL_SERVER, n, m);
}
// Logical switch port n for the configuration table: a VIF attachment, or one without VIF id.
inline CairnDBUpdateMsg Lsp(uint64_t n, bool vif) {
    pb::LogSwitchPortConfigMsg m;
    *m.mutable_id() = Uuid(n);
    m.mutable_attachment()->set_type(vif ? 1 : 3);
    if (vif)
        m.mutable_attachment()->set_vif_id("vif-" + std::to_string(n));
    return Rec(ObjectType::LOG_SWITCH_PORT_CONFIG, n, m);
}

}  // namespace CfgAgent::test::lbobj
