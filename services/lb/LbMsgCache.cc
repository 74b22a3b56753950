#include "services/lb/LbMsgCache.h"

#include <algorithm>
#include <cstddef>
#include <new>
#include <string_view>

#include "proto/cairndb_firewall.pb.h"
#include "proto/cairndb_lb.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "runtime/Logger.h"
#include "statecache/IdText.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;
using namespace ozy::device;

namespace {

const char* KindName(LbEntryKind k) {
    switch (k) {
        case kLbServiceUpdate:
            return "lbs update";
        case kLbServiceDelete:
            return "lbs delete";
        case kLbVirtualServerUpdate:
            return "vs update";
        case kLbVirtualServerDelete:
            return "vs delete";
        case kLbPoolUpdate:
            return "pool update";
        case kLbPoolDelete:
            return "pool delete";
    }
    return "none";
}

// Updates and deletes of one object class share a class number.
int ClassOf(LbEntryKind k) {
    return (k + 1) / 2;
}

// Dependency order: what refers to others goes first when deleted and last when written.
// A build buffer above this size is not kept for a much smaller update.
constexpr size_t kKeepBuffer = 1u << 20;

int Rank(LbEntryKind k) {
    switch (k) {
        case kLbVirtualServerDelete:
            return 0;
        case kLbPoolDelete:
            return 1;
        case kLbServiceDelete:
            return 2;
        case kLbServiceUpdate:
            return 3;
        case kLbPoolUpdate:
            return 4;
        case kLbVirtualServerUpdate:
            return 5;
    }
    return 6;
}

LbUuid UuidOf(const pb::UuidMsg& m) {
    return LbUuidFrom(m.left(), m.right());
}

LbUuid UuidOfKey(const std::string& key) {
    pb::UuidMsg m;
    m.ParseFromString(key);
    return UuidOf(m);
}

// An address of the schema in the device's form; false when it is neither 4 nor 16 bytes.
bool ToAddress(const pb::IpAddressMsg& m, LbAddress* a) {
    *a = LbAddress();
    if (m.address_case() == pb::IpAddressMsg::kIpv4) {
        const uint32_t v = m.ipv4();
        a->family = 4;
        a->bytes[0] = uint8_t(v >> 24);
        a->bytes[1] = uint8_t(v >> 16);
        a->bytes[2] = uint8_t(v >> 8);
        a->bytes[3] = uint8_t(v);
        return true;
    }
    if (m.address_case() == pb::IpAddressMsg::kIpv6 && m.ipv6().size() == 16) {
        a->family = 6;
        std::copy(m.ipv6().begin(), m.ipv6().end(), a->bytes.begin());
        return true;
    }
    return false;
}

// Whether a group address is a member under the pool's IP revision (1 IPv4, 2 IPv6, 3 both).
bool Wanted(const LbAddress& a, uint32_t revision) {
    return (a.family == 4 && (revision & 1) != 0) || (a.family == 6 && (revision & 2) != 0);
}

const char* FamilyName(const LbAddress& a) {
    return a.family == 6 ? "ipv6" : "ipv4";
}

std::string Key(const pb::UuidMsg& m) {
    return m.SerializeAsString();
}

void EraseLink(std::multimap<std::string, std::string>& index, const std::string& target,
               const std::string& source) {
    auto [b, e] = index.equal_range(target);
    for (auto it = b; it != e; ++it) {
        if (it->second == source) {
            index.erase(it);
            return;
        }
    }
}

template <class Msg>
bool Parse(const CairnDBUpdateMsg& u, Msg* m, const char* what) {
    if (m->ParseFromString(u.data))
        return true;
    CFG_ERROR_CODE("LCP01802", "LB: Unable to parse cairndb %1", what);
    return false;
}

}  // namespace

LbMsgCache::LbMsgCache(VifCheck isVif) : isVif_(std::move(isVif)) {}

void LbMsgCache::Clear() {
    CFG_INFO("LB: Clear LB cache");
    services_.clear();
    servers_.clear();
    pools_.clear();
    appProfiles_.clear();
    persistProfiles_.clear();
    groups_.clear();
    serversByPool_.clear();
    serversByApp_.clear();
    serversByPersist_.clear();
    serversByLbs_.clear();
    poolsByLbs_.clear();
    servicesByGroup_.clear();
    poolsByGroup_.clear();
    groupLsps_.clear();
    lspGroups_.clear();
    relations_.clear();
    pending_.clear();
}

void LbMsgCache::ClearPending() {
    CFG_INFO("LB: Clearing config update cache, %1 entries", pending_.size());
    pending_.clear();
}

bool LbMsgCache::Handle(const CairnDBUpdateMsg& u) {
    switch (u.objType) {
        case ObjectType::LB_SERVICE:
            HandleService(u);
            return true;
        case ObjectType::LB_VIRTUAL_SERVER:
            HandleServer(u);
            return true;
        case ObjectType::LB_POOL:
            HandlePool(u);
            return true;
        case ObjectType::LB_APPLICATION_PROFILE:
            HandleProfile(u, true);
            return true;
        case ObjectType::LB_PERSISTENCE_PROFILE:
            HandleProfile(u, false);
            return true;
        case ObjectType::CONTAINER:
            HandleGroup(u);
            return true;
        case ObjectType::ENTITY_GROUP_RELATION:
            HandleRelation(u);
            return true;
        default:
            CFG_ERROR_CODE("LCP01801", "LB: unexpected cairndb object type %1",
                           static_cast<uint32_t>(u.objType));
            return false;
    }
}

void LbMsgCache::Mark(const std::string& key, const LbUuid& id, LbEntryKind kind, bool manMade) {
    pending_[{ClassOf(kind), key}] = Pending{kind, manMade, id};
    if (manMade)
        CFG_INFO("LB: Added man_made entry (%1), uuid %2", KindName(kind), IdText(key));
}

void LbMsgCache::MarkServersUsing(const std::multimap<std::string, std::string>& index,
                                  const std::string& target) {
    auto [b, e] = index.equal_range(target);
    for (auto it = b; it != e; ++it) {
        auto s = servers_.find(it->second);
        if (s != servers_.end())
            Mark(it->second, s->second.id, kLbVirtualServerUpdate, s->second.manMade);
    }
}

void LbMsgCache::MarkServicesOfGroup(const std::string& group) {
    auto [b, e] = servicesByGroup_.equal_range(group);
    for (auto it = b; it != e; ++it) {
        auto s = services_.find(it->second);
        if (s != services_.end())
            Mark(it->second, s->second.id, kLbServiceUpdate, s->second.manMade);
    }
}

// ---- services ----

void LbMsgCache::UnlinkService(const std::string& id, const Service& s) {
    for (const std::string& g : s.containers)
        EraseLink(servicesByGroup_, g, id);
}

void LbMsgCache::HandleService(const CairnDBUpdateMsg& u) {
    CFG_DEBUG("LB: Get a LBS update");
    auto it = services_.find(u.id);
    if (u.op == Operation::OPERATION_DELETE) {
        if (it == services_.end())
            return;
        CFG_INFO("LB: Delete LBS: %1 from cache", IdText(u.id));
        Mark(u.id, it->second.id, kLbServiceDelete, it->second.manMade);
        UnlinkService(u.id, it->second);
        PointAtService(u.id, nullptr, false);
        services_.erase(it);
        return;
    }
    if (it != services_.end() && it->second.raw == u.data) {
        CFG_DEBUG("LB: Dropping message. LBS not changed");
        return;
    }
    pb::LbServiceMsg m;
    if (!Parse(u, &m, "LBS"))
        return;
    Service s;
    s.id = UuidOfKey(u.id);
    s.raw = u.data;
    s.name = m.display_name();
    s.created = m.creation_time();
    s.isDefault = m.is_default();
    s.logLevel = m.log_level();
    s.manMade = m.man_made();
    for (const pb::UuidMsg& g : m.attachment_container_ids())
        s.containers.push_back(Key(g));
    const bool isNew = it == services_.end();
    if (isNew) {
        CFG_INFO("LB: Save LBS: %1 in cache", IdText(u.id));
        it = services_.emplace(u.id, Service()).first;
    } else {
        CFG_INFO("LB: Found old LBS: %1 in cache, update it", IdText(u.id));
        UnlinkService(u.id, it->second);
    }
    it->second = std::move(s);
    for (const std::string& g : it->second.containers)
        servicesByGroup_.emplace(g, u.id);
    Mark(u.id, it->second.id, kLbServiceUpdate, it->second.manMade);
    // Pools and servers skipped while their service was missing are written with it.
    if (isNew)
        PointAtService(u.id, &it->second, true);
}

void LbMsgCache::PointAtService(const std::string& key, const Service* s, bool mark) {
    auto [vb, ve] = serversByLbs_.equal_range(key);
    for (auto it = vb; it != ve; ++it) {
        auto v = servers_.find(it->second);
        if (v == servers_.end())
            continue;
        v->second.lbsObj = s;
        if (mark)
            Mark(it->second, v->second.id, kLbVirtualServerUpdate, v->second.manMade);
    }
    auto [pb, pe] = poolsByLbs_.equal_range(key);
    for (auto it = pb; it != pe; ++it) {
        auto p = pools_.find(it->second);
        if (p == pools_.end())
            continue;
        for (Ref& l : p->second.lbs) {
            if (l.key == key)
                l.obj = s;
        }
        if (mark)
            Mark(it->second, p->second.id, kLbPoolUpdate, p->second.manMade);
    }
}

// ---- virtual servers ----

template <class T>
void LbMsgCache::PointServers(const std::multimap<std::string, std::string>& index,
                              const std::string& target, const T* Server::*field, const T* obj) {
    auto [b, e] = index.equal_range(target);
    for (auto it = b; it != e; ++it) {
        auto s = servers_.find(it->second);
        if (s != servers_.end())
            s->second.*field = obj;
    }
}

void LbMsgCache::LinkServer(const std::string& vs, Server& s) {
    s.lbsObj = nullptr;
    s.poolObj = nullptr;
    s.appObj = nullptr;
    s.persistObj = nullptr;
    if (!s.lbs.empty()) {
        serversByLbs_.emplace(s.lbs, vs);
        auto l = services_.find(s.lbs);
        s.lbsObj = l != services_.end() ? &l->second : nullptr;
    }
    if (!s.pool.empty()) {
        serversByPool_.emplace(s.pool, vs);
        auto pool = pools_.find(s.pool);
        if (pool != pools_.end()) {
            s.poolObj = &pool->second;
            CFG_INFO("LB: Link server: %1 with pool: %2", IdText(vs), IdText(s.pool));
        } else {
            CFG_INFO("LB: NOT found pool: %1 in cache, lost linking with server: %2",
                     IdText(s.pool), IdText(vs));
        }
    }
    if (!s.app.empty()) {
        serversByApp_.emplace(s.app, vs);
        auto a = appProfiles_.find(s.app);
        if (a != appProfiles_.end()) {
            s.appObj = &a->second;
        } else {
            CFG_INFO("LB: NOT found app profile: %1 in cache, lost linking with server: %2",
                     IdText(s.app), IdText(vs));
        }
    }
    if (!s.persistence.empty()) {
        serversByPersist_.emplace(s.persistence, vs);
        auto p = persistProfiles_.find(s.persistence);
        if (p != persistProfiles_.end()) {
            s.persistObj = &p->second;
        } else {
            CFG_INFO("LB: NOT found persist profile: %1 in cache, lost linking with server: %2",
                     IdText(s.persistence), IdText(vs));
        }
    }
}

void LbMsgCache::UnlinkServer(const std::string& vs, const Server& s) {
    if (!s.lbs.empty())
        EraseLink(serversByLbs_, s.lbs, vs);
    if (!s.pool.empty()) {
        EraseLink(serversByPool_, s.pool, vs);
        CFG_INFO("LB: UnLink server: %1 with pool: %2", IdText(vs), IdText(s.pool));
    }
    if (!s.app.empty())
        EraseLink(serversByApp_, s.app, vs);
    if (!s.persistence.empty())
        EraseLink(serversByPersist_, s.persistence, vs);
}

void LbMsgCache::HandleServer(const CairnDBUpdateMsg& u) {
    CFG_DEBUG("LB: Get a virtual server update");
    auto it = servers_.find(u.id);
    if (u.op == Operation::OPERATION_DELETE) {
        if (it == servers_.end())
            return;
        CFG_INFO("LB: Delete virtual server: %1 from cache", IdText(u.id));
        Mark(u.id, it->second.id, kLbVirtualServerDelete, it->second.manMade);
        UnlinkServer(u.id, it->second);
        servers_.erase(it);
        return;
    }
    if (it != servers_.end() && it->second.raw == u.data) {
        CFG_DEBUG("LB: Dropping message. Virtual server not changed");
        return;
    }
    pb::LbVirtualServerMsg m;
    if (!Parse(u, &m, "virtual server"))
        return;
    Server s;
    s.id = UuidOfKey(u.id);
    s.raw = u.data;
    if (m.has_lbs_id()) {
        s.lbs = Key(m.lbs_id());
        s.lbsId = UuidOf(m.lbs_id());
    }
    if (m.has_pool_id()) {
        s.pool = Key(m.pool_id());
        s.poolId = UuidOf(m.pool_id());
    }
    if (m.has_application_profile_id())
        s.app = Key(m.application_profile_id());
    if (m.has_persistence_profile_id()) {
        s.persistence = Key(m.persistence_profile_id());
        s.persistenceId = UuidOf(m.persistence_profile_id());
    }
    s.protocol = m.ip_protocol();
    s.port = m.port();
    s.addressOk = m.has_ip_address() && ToAddress(m.ip_address(), &s.address);
    s.manMade = m.man_made();
    if (it == servers_.end()) {
        CFG_INFO("LB: Save virtual server: %1 in cache", IdText(u.id));
        it = servers_.emplace(u.id, Server()).first;
    } else {
        CFG_INFO("LB: Found old virtual server: %1 in cache, update it", IdText(u.id));
        UnlinkServer(u.id, it->second);
    }
    it->second = std::move(s);
    LinkServer(u.id, it->second);
    Mark(u.id, it->second.id, kLbVirtualServerUpdate, it->second.manMade);
}

// ---- pools ----

void LbMsgCache::UnlinkPool(const std::string& id, const Pool& p) {
    for (const Ref& l : p.lbs)
        EraseLink(poolsByLbs_, l.key, id);
    if (!p.group.empty())
        EraseLink(poolsByGroup_, p.group, id);
}

void LbMsgCache::HandlePool(const CairnDBUpdateMsg& u) {
    CFG_DEBUG("LB: Get a pool update");
    auto it = pools_.find(u.id);
    if (u.op == Operation::OPERATION_DELETE) {
        if (it == pools_.end())
            return;
        const size_t linked = serversByPool_.count(u.id);
        if (linked != 0)
            CFG_WARN("LB: Pool %1 is still linked with %2 virtual servers", IdText(u.id), linked);
        CFG_INFO("LB: Delete pool: %1 from cache", IdText(u.id));
        Mark(u.id, it->second.id, kLbPoolDelete, it->second.manMade);
        UnlinkPool(u.id, it->second);
        PointServers(serversByPool_, u.id, &Server::poolObj, static_cast<const Pool*>(nullptr));
        pools_.erase(it);
        return;
    }
    if (it != pools_.end() && it->second.raw == u.data)
        return;
    pb::LbPoolMsg m;
    if (!Parse(u, &m, "pool"))
        return;
    Pool p;
    p.id = UuidOfKey(u.id);
    p.raw = u.data;
    p.lbs.reserve(m.lbs_ids_size());
    for (const pb::UuidMsg& l : m.lbs_ids())
        p.lbs.push_back(Ref{Key(l), UuidOf(l)});
    p.members.reserve(m.members_size());
    for (const pb::LbPoolMemberMsg& pm : m.members()) {
        LbMember member;
        member.port = static_cast<uint16_t>(pm.port());
        member.weight = pm.has_weight() ? pm.weight() : 1;
        if (!ToAddress(pm.ip_address(), &member.address) || pm.port() > 0xFFFF ||
            member.weight == 0)
            p.membersOk = false;
        p.members.push_back(member);
    }
    if (m.has_member_group() && m.member_group().has_container_id()) {
        p.group = Key(m.member_group().container_id());
        p.ipRevision = m.member_group().ip_revision_filter();
        p.groupPort = static_cast<uint16_t>(m.member_group().port());
        if (m.member_group().port() > 0xFFFF)
            p.membersOk = false;
    }
    p.manMade = m.man_made();
    const bool isNew = it == pools_.end();
    if (isNew) {
        CFG_INFO("LB: Save pool: %1 in cache", IdText(u.id));
        it = pools_.emplace(u.id, Pool()).first;
    } else {
        CFG_INFO("LB: Found old pool: %1 in cache, update it", IdText(u.id));
        UnlinkPool(u.id, it->second);
    }
    it->second = std::move(p);
    for (Ref& l : it->second.lbs) {
        poolsByLbs_.emplace(l.key, u.id);
        auto s = services_.find(l.key);
        l.obj = s != services_.end() ? &s->second : nullptr;
    }
    if (!it->second.group.empty()) {
        poolsByGroup_.emplace(it->second.group, u.id);
        auto g = groups_.find(it->second.group);
        it->second.groupObj = g != groups_.end() ? &g->second : nullptr;
    }
    Mark(u.id, it->second.id, kLbPoolUpdate, it->second.manMade);
    // Servers skipped while their pool was missing are written with it.
    if (isNew) {
        PointServers(serversByPool_, u.id, &Server::poolObj, static_cast<const Pool*>(&it->second));
        MarkServersUsing(serversByPool_, u.id);
    }
}

// ---- profiles ----

void LbMsgCache::HandleProfile(const CairnDBUpdateMsg& u, bool app) {
    const char* what = app ? "app profile" : "persist profile";
    CFG_DEBUG(app ? "LB: Get an app profile update" : "LB: Get a persist profile update");
    auto& cache = app ? appProfiles_ : persistProfiles_;
    const auto& users = app ? serversByApp_ : serversByPersist_;
    auto it = cache.find(u.id);
    if (u.op == Operation::OPERATION_DELETE) {
        if (it == cache.end())
            return;
        const size_t linked = users.count(u.id);
        if (linked != 0) {
            CFG_WARN(app ? "LB: App Profile %1 is still linked with %2 virtual servers"
                         : "LB: Persist Profile %1 is still linked with %2 virtual servers",
                     IdText(u.id), linked);
        }
        PointServers(users, u.id, app ? &Server::appObj : &Server::persistObj,
                     static_cast<const Profile*>(nullptr));
        cache.erase(it);
        return;
    }
    if (it != cache.end() && it->second.raw == u.data)
        return;
    uint32_t type = 0;
    if (app) {
        pb::LbApplicationProfileMsg m;
        if (!Parse(u, &m, what))
            return;
        type = m.type();
    } else {
        pb::LbPersistenceProfileMsg m;
        if (!Parse(u, &m, what))
            return;
        type = m.type();
    }
    if (it == cache.end()) {
        CFG_INFO("LB: Save %1: %2 in cache", what, IdText(u.id));
        it = cache.emplace(u.id, Profile()).first;
    } else {
        CFG_INFO("LB: Found old %1: %2 in cache, update it", what, IdText(u.id));
    }
    it->second.raw = u.data;
    it->second.type = type;
    PointServers(users, u.id, app ? &Server::appObj : &Server::persistObj,
                 static_cast<const Profile*>(&it->second));
    MarkServersUsing(users, u.id);
}

// ---- groups and their ports ----

void LbMsgCache::HandleGroup(const CairnDBUpdateMsg& u) {
    CFG_DEBUG("LB: Get a container update");
    auto it = groups_.find(u.id);
    if (u.op == Operation::OPERATION_DELETE) {
        if (it == groups_.end())
            return;
        groups_.erase(it);
        it = groups_.end();
    } else {
        if (it != groups_.end() && it->second.raw == u.data)
            return;
        pb::ContainerMsg m;
        if (!Parse(u, &m, "container"))
            return;
        Group g;
        g.raw = u.data;
        for (const pb::FirewallAddressMsg& a : m.ip_addresses()) {
            LbAddress addr;
            if (!ToAddress(a.ip(), &addr))
                continue;
            const uint32_t full = addr.family == 6 ? 128 : 32;
            // Subnets are not members; a host address carries no prefix or the full one.
            if (a.has_prefix_length() && a.prefix_length() != full)
                continue;
            g.addresses.push_back(addr);
        }
        if (it == groups_.end())
            it = groups_.emplace(u.id, Group()).first;
        it->second = std::move(g);
    }
    // The pools taking members from it point at it (or at nothing) and are sent again.
    const Group* group = it != groups_.end() ? &it->second : nullptr;
    auto [b, e] = poolsByGroup_.equal_range(u.id);
    for (auto p = b; p != e; ++p) {
        auto pool = pools_.find(p->second);
        if (pool == pools_.end())
            continue;
        pool->second.groupObj = group;
        Mark(p->second, pool->second.id, kLbPoolUpdate, pool->second.manMade);
    }
}

void LbMsgCache::LinkLsp(const std::string& group, const std::string& lsp) {
    CFG_DEBUG("LB: Updating container-lsp map for lsp %1, op %2", IdText(lsp), "LINK");
    if (isVif_ && !isVif_(lsp))
        CFG_DEBUG("LB: Ingore non VIF LSP %1", IdText(lsp));
    LspRef& ref = groupLsps_[group][lsp];
    if (ref.refs++ == 0) {
        ref.id = UuidOfKey(lsp);
        lspGroups_[lsp].insert(group);
    }
}

void LbMsgCache::UnlinkLsp(const std::string& group, const std::string& lsp) {
    CFG_DEBUG("LB: Updating container-lsp map for lsp %1, op %2", IdText(lsp), "UNLINK");
    auto g = groupLsps_.find(group);
    if (g == groupLsps_.end())
        return;
    auto l = g->second.find(lsp);
    if (l == g->second.end())
        return;
    if (--l->second.refs == 0) {
        g->second.erase(l);
        auto lg = lspGroups_.find(lsp);
        if (lg != lspGroups_.end()) {
            lg->second.erase(group);
            if (lg->second.empty())
                lspGroups_.erase(lg);
        }
    }
    if (g->second.empty())
        groupLsps_.erase(g);
}

void LbMsgCache::HandleRelation(const CairnDBUpdateMsg& u) {
    CFG_DEBUG("LB: Get an entity group relation update");
    std::vector<std::pair<std::string, std::string>> pairs;
    if (u.op != Operation::OPERATION_DELETE) {
        pb::EntityGroupRelationMsg m;
        if (!Parse(u, &m, "entity group relation"))
            return;
        if (m.has_entity_type() && m.entity_type() != 1) {
            CFG_DEBUG("LB: ignore non lsp entity group relation msg");
            return;
        }
        for (const pb::ContainerLogicalSwitchPortMsg& c : m.container_logical_switch_port()) {
            for (const pb::UuidMsg& l : c.logical_switch_port_ids())
                pairs.emplace_back(Key(c.container_id()), Key(l));
        }
        std::sort(pairs.begin(), pairs.end());
    }
    auto it = relations_.find(u.id);
    static const std::vector<std::pair<std::string, std::string>> kNone;
    const auto& old = it != relations_.end() ? it->second : kNone;
    if (old == pairs)
        return;
    std::set<std::string> touched;
    for (const auto& [g, l] : old) {
        UnlinkLsp(g, l);
        touched.insert(g);
    }
    for (const auto& [g, l] : pairs) {
        LinkLsp(g, l);
        touched.insert(g);
    }
    if (pairs.empty())
        relations_.erase(u.id);
    else
        relations_[u.id] = std::move(pairs);
    for (const std::string& g : touched)
        MarkServicesOfGroup(g);
}

void LbMsgCache::LspChanged(const std::string& lsp, Operation op) {
    CFG_DEBUG("LB: LSP %1, op %2", IdText(lsp), static_cast<uint32_t>(op));
    auto it = lspGroups_.find(lsp);
    if (it == lspGroups_.end())
        return;
    for (const std::string& g : it->second)
        MarkServicesOfGroup(g);
}

// ---- build ----

bool LbMsgCache::ResolveService(Resolved* r, IdList* ids) const {
    const Service& s = *r->service;
    if (s.logLevel > kLbMaxLogLevel) {
        CFG_WARN("LB: Unsupport log level %1 for LB %2", s.logLevel, IdText(*r->key));
        r->logLevel = 0;
    } else {
        r->logLevel = static_cast<uint8_t>(s.logLevel);
    }
    r->first = ids->size();
    for (const std::string& g : s.containers) {
        auto members = groupLsps_.find(g);
        if (members == groupLsps_.end())
            continue;
        for (const auto& [lsp, ref] : members->second) {
            if (!isVif_ || isVif_(lsp))
                ids->push_back(&ref.id);
            else
                CFG_DEBUG("LB: Ingore non VIF LSP %1", IdText(lsp));
        }
    }
    // In id order, each port once (a port can be in several of the service's groups).
    const auto begin = ids->begin() + static_cast<std::ptrdiff_t>(r->first);
    std::sort(begin, ids->end(), [](const LbUuid* a, const LbUuid* b) { return *a < *b; });
    ids->erase(
        std::unique(begin, ids->end(), [](const LbUuid* a, const LbUuid* b) { return *a == *b; }),
        ids->end());
    r->count = ids->size() - r->first;
    r->size = LbServiceEntrySize(r->count);
    CFG_DEBUG("LB: Entry (%1) size %2, header %3, lsp %4 x %5", KindName(r->kind), r->size,
              kLbServiceFixedSize, r->count, kLbUuidSize);
    return true;
}

bool LbMsgCache::ResolveServer(Resolved* r) const {
    const char* kind = KindName(r->kind);
    const Server& s = *r->server;
    if (s.lbs.empty()) {
        CFG_ERROR("LB: Write entry (%1) error - lbs uuid invalid", kind);
        return false;
    }
    if (s.lbsObj == nullptr) {
        CFG_ERROR("LB: Write entry (%1) error - lbs not found, uuid %2", kind, IdText(s.lbs));
        return false;
    }
    if (s.pool.empty() || s.poolObj == nullptr) {
        CFG_ERROR("LB: Write entry (%1) error - pool not found, uuid %2", kind, IdText(s.pool));
        return false;
    }
    if (s.protocol != 6 && s.protocol != 17) {
        CFG_ERROR("LB: Write entry (%1) error - invalid protocol", kind);
        return false;
    }
    if (!s.addressOk) {
        CFG_ERROR("LB: Write entry (%1) error - invalid IP address", kind);
        return false;
    }
    if (s.port == 0 || s.port > 0xFFFF) {
        CFG_ERROR("LB: Write entry (%1) error - invalid port %2", kind, s.port);
        return false;
    }
    if (s.appObj == nullptr) {
        CFG_ERROR("LB: Write entry (%1) error - app profile not found, uuid %2", kind,
                  IdText(s.app));
        return false;
    }
    if (s.appObj->type < 1 || s.appObj->type > 3) {
        CFG_ERROR("LB: Write entry (%1) error - unknown app profile type: %2", kind,
                  s.appObj->type);
        return false;
    }
    r->appType = static_cast<uint8_t>(s.appObj->type);
    if (!s.persistence.empty()) {
        if (s.persistObj == nullptr || s.persistObj->type < 1 || s.persistObj->type > 2) {
            CFG_ERROR("LB: Write entry (%1) error - persist profile not usable, uuid %2", kind,
                      IdText(s.persistence));
            return false;
        }
        r->persistType = static_cast<uint8_t>(s.persistObj->type);
    }
    r->size = kLbVirtualServerSize;
    return true;
}

bool LbMsgCache::ResolvePool(Resolved* r, IdList* ids) const {
    const char* kind = KindName(r->kind);
    const Pool& p = *r->pool;
    r->first = ids->size();
    for (const Ref& l : p.lbs) {
        if (l.obj != nullptr)
            ids->push_back(&l.id);
    }
    r->count = ids->size() - r->first;
    if (r->count == 0) {
        CFG_ERROR("LB: get %1 entry size error: lbs cnt is 0", kind);
        return false;
    }
    if (!p.membersOk) {
        CFG_ERROR("LB: Write entry (%1) error - invalid IP address", kind);
        return false;
    }
    if (Logger::enabled(kLogTrace)) {
        const std::string text = IdText(*r->key);
        for (size_t i = 0; i < p.members.size(); ++i) {
            const LbMember& m = p.members[i];
            CFG_TRACE("LB: (%1): pm [%2]: %3, addr = %4", text, i, FamilyName(m.address),
                      LbAddressText(m.address));
            CFG_TRACE("LB: (%1): pm [%2]: port = %3", text, i, m.port);
            CFG_TRACE("LB: (%1): pm [%2]: weight = %3", text, i, m.weight);
        }
    }
    if (!p.group.empty()) {
        if (p.ipRevision < 1 || p.ipRevision > 3) {
            CFG_WARN("LB: (%1): container_id [%2] missing ip revision", IdText(*r->key),
                     IdText(p.group));
        } else if (p.groupObj != nullptr) {
            r->group = p.groupObj;
            for (size_t i = 0; i < p.groupObj->addresses.size(); ++i) {
                const LbAddress& a = p.groupObj->addresses[i];
                if (Wanted(a, p.ipRevision)) {
                    ++r->groupMembers;
                } else {
                    CFG_DEBUG("LB: (%1): group-pm [%2]: %3, addr = %4 filtered by ip revision",
                              IdText(*r->key), i, FamilyName(a), LbAddressText(a));
                }
            }
        }
    }
    const size_t members = p.members.size() + r->groupMembers;
    r->size = LbPoolEntrySize(r->count, members);
    CFG_DEBUG("LB: Entry (%1) size %2, header %3, lbs cnt %4 x %5, pm cnt %6 x %7", kind, r->size,
              kLbPoolFixedSize, r->count, kLbUuidSize, members, kLbMemberSize);
    return true;
}

bool LbMsgCache::Resolve(Resolved* r, IdList* ids) const {
    const char* kind = KindName(r->kind);
    switch (r->kind) {
        case kLbServiceUpdate:
            if (r->service != nullptr)
                return ResolveService(r, ids);
            CFG_ERROR("LB: Write entry (%1) error - lbs not found, uuid %2", kind, IdText(*r->key));
            return false;
        case kLbVirtualServerUpdate:
            if (r->server != nullptr)
                return ResolveServer(r);
            CFG_ERROR("LB: Write entry (%1) error - vs not found, uuid %2", kind, IdText(*r->key));
            return false;
        case kLbPoolUpdate:
            if (r->pool != nullptr)
                return ResolvePool(r, ids);
            CFG_ERROR("LB: Write entry (%1) error - pool not found, uuid %2", kind,
                      IdText(*r->key));
            return false;
        case kLbServiceDelete:
        case kLbVirtualServerDelete:
        case kLbPoolDelete:
            r->size = LbDeleteEntrySize();
            return true;
    }
    return false;
}

void LbMsgCache::Write(const Resolved& r, const IdList& ids, LbConfigWriter* w) const {
    switch (r.kind) {
        case kLbServiceUpdate: {
            const Service& s = *r.service;
            std::string_view name(s.name);
            w->ServiceBegin(*r.id, name.substr(0, kLbNameField - 1), s.created, s.isDefault,
                            r.logLevel, r.count);
            for (size_t i = 0; i < r.count; ++i)
                w->Uuid(*ids[r.first + i]);
            return;
        }
        case kLbVirtualServerUpdate: {
            const Server& s = *r.server;
            LbVirtualServerBody v;
            v.lbs = s.lbsId;
            v.pool = s.poolId;
            if (r.persistType != 0)
                v.persistence = s.persistenceId;
            v.protocol = static_cast<uint8_t>(s.protocol);
            v.appType = r.appType;
            v.persistType = r.persistType;
            v.address = s.address;
            v.port = static_cast<uint16_t>(s.port);
            w->VirtualServer(*r.id, v);
            return;
        }
        case kLbPoolUpdate: {
            const Pool& p = *r.pool;
            w->PoolBegin(*r.id, r.count, p.members.size() + r.groupMembers);
            for (size_t i = 0; i < r.count; ++i)
                w->Uuid(*ids[r.first + i]);
            for (const LbMember& m : p.members)
                w->Member(m.address, m.port, m.weight);
            if (r.group != nullptr) {
                for (const LbAddress& a : r.group->addresses) {
                    if (Wanted(a, p.ipRevision))
                        w->Member(a, p.groupPort, 1);
                }
            }
            return;
        }
        default:
            w->Delete(r.kind, *r.id);
            return;
    }
}

LbMsgCache::BuildResult LbMsgCache::Build(bool full) {
    BuildResult out;
    std::vector<Resolved>& entries = entries_;
    entries.clear();
    auto add = [&entries](LbEntryKind kind, const std::string& key, const LbUuid& id,
                          bool manMade) -> Resolved* {
        if (manMade) {
            CFG_INFO("LB: Skipping man_made msg (%1), uuid %2", KindName(kind), IdText(key));
            return nullptr;
        }
        Resolved& r = entries.emplace_back();
        r.kind = kind;
        r.key = &key;
        r.id = &id;
        return &r;
    };
    CFG_DEBUG("LB: Adjust message order");
    if (full) {
        // Every object as an update, in dependency order: services, pools, virtual servers.
        entries.reserve(services_.size() + pools_.size() + servers_.size());
        for (const auto& [key, s] : services_) {
            if (Resolved* r = add(kLbServiceUpdate, key, s.id, s.manMade))
                r->service = &s;
        }
        for (const auto& [key, p] : pools_) {
            if (Resolved* r = add(kLbPoolUpdate, key, p.id, p.manMade))
                r->pool = &p;
        }
        for (const auto& [key, v] : servers_) {
            if (Resolved* r = add(kLbVirtualServerUpdate, key, v.id, v.manMade))
                r->server = &v;
        }
    } else {
        entries.reserve(pending_.size());
        for (const auto& [classAndKey, p] : pending_) {
            const std::string& key = classAndKey.second;
            Resolved* r = add(p.kind, key, p.id, p.manMade);
            if (r == nullptr)
                continue;
            if (p.kind == kLbServiceUpdate) {
                auto it = services_.find(key);
                r->service = it != services_.end() ? &it->second : nullptr;
            } else if (p.kind == kLbPoolUpdate) {
                auto it = pools_.find(key);
                r->pool = it != pools_.end() ? &it->second : nullptr;
            } else if (p.kind == kLbVirtualServerUpdate) {
                auto it = servers_.find(key);
                r->server = it != servers_.end() ? &it->second : nullptr;
            }
        }
        std::stable_sort(entries.begin(), entries.end(), [](const Resolved& a, const Resolved& b) {
            return Rank(a.kind) < Rank(b.kind);
        });
    }

    // Resolved and sized before one byte is written; what cannot be written is left out.
    IdList& ids = ids_;
    ids.clear();
    size_t total = kLbHeaderSize;
    size_t kept = 0;
    for (size_t index = 0; index < entries.size(); ++index) {
        Resolved& r = entries[index];
        CFG_DEBUG("LB: Getting size for entry-%1 (%2), uuid %3", index, KindName(r.kind),
                  IdText(*r.key));
        const size_t mark = ids.size();
        if (!Resolve(&r, &ids)) {
            ids.resize(mark);
            continue;
        }
        if (r.kind == kLbPoolUpdate &&
            (r.count > kLbMaxCount16 || r.pool->members.size() + r.groupMembers > kLbMaxCount16)) {
            out.error = "pool " + IdText(*r.key) + " has more LB services or members than the " +
                        "layout counts";
            return out;
        }
        CFG_DEBUG("LB: Entry (%1) size %2", KindName(r.kind), r.size);
        total += r.size;
        if (total > kLbMaxBuffer) {
            out.error =
                "the update passes the device limit of " + std::to_string(kLbMaxBuffer) + " bytes";
            return out;
        }
        entries[kept++] = r;
    }
    entries.resize(kept);
    CFG_DEBUG("LB: Total message size %1", total);
    // Not zeroed: the writer writes every byte, and a build that does not is never sent. A
    // buffer far larger than needed is given back.
    if (total > outCapacity_ || (outCapacity_ > kKeepBuffer && total < outCapacity_ / 4)) {
        out_.reset();
        outCapacity_ = 0;
        out_.reset(new (std::nothrow) uint8_t[total]);
        if (!out_) {
            CFG_ERROR("LB: Failed to allocate %1 bytes memory for LB config update", total);
            out.error = "no memory";
            return out;
        }
        outCapacity_ = total;
    }
    LbConfigWriter w(out_.get(), total);
    w.Header(full, static_cast<uint32_t>(kept));
    for (const Resolved& r : entries)
        Write(r, ids, &w);
    if (!w.Complete()) {
        out.error =
            "wrote " + std::to_string(w.Written()) + " of " + std::to_string(total) + " bytes";
        return out;
    }
    out.buf = out_.get();
    out.size = total;
    out.entries = kept;
    out.ok = true;
    return out;
}

}  // namespace CfgAgent
