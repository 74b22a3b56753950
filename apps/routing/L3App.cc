// L3App: start-up, the link, what the dataplane sends, the full sync, the observers and the
// waiting objects. Routers, ports and settings are in L3AppRouters.cc, routes and ARP tables in
// L3AppRoutes.cc, DAD status in L3AppDad.cc.
#include "apps/routing/L3App.h"

#include <boost/property_tree/ptree.hpp>

#include "dataplane/VdrDump.h"
#include "dataplane/VdrWalk.h"
#include "proto/cairndb_routing.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/AgentLock.h"
#include "runtime/Logger.h"
#include "statecache/IStateCacheConfigTable.h"
#include "statecache/IStateCacheL3Table.h"
#include "statecache/IdText.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {

constexpr const char* kName = "L3App";

// The configuration-table types L3App observes.
constexpr ObjectType kConfigTypes[] = {
    ObjectType::LOG_SWITCH_CONFIG,
    ObjectType::LOG_SWITCH_PORT_CONFIG,
    ObjectType::TRANSPORT_NODE_CONFIG,
};

bool IsFibProperty(PropertyType p) {
    return p == PropertyType::L3_FIB_ROUTER_ID || p == PropertyType::L3_FIB_IP_PREFIX ||
           p == PropertyType::L3_FIB_NEXT_HOP;
}

// Whether a switch port's whole body carries a bridge endpoint. Most ports carry none: the field's
// tag (19, length-delimited) is looked for before the body is parsed.
bool HasBridgeEndpoint(const std::string& body) {
    if (body.find("\x9a\x01") == std::string::npos)
        return false;
    pb::LogSwitchPortConfigMsg lsp;
    return lsp.ParseFromString(body) && lsp.has_bridge_endpoint();
}

bool IsElementOp(Operation op) {
    return op == Operation::OPERATION_ELEMENT_SET || op == Operation::OPERATION_ELEMENT_CLEAR;
}

std::vector<std::string> IdsOf(IStateCacheL3Table* table, ObjectType type, PropertyType p) {
    CairnDBUpdateList records;
    table->GetObjectsWithProperty(type, p, &records);
    std::vector<std::string> ids;
    ids.reserve(records.size());
    for (const CairnDBUpdateMsg& r : records) {
        if (ids.empty() || ids.back() != r.id)
            ids.push_back(r.id);
    }
    return ids;
}

}  // namespace

L3App::L3App(L3AppOptions options)
    : options_(std::move(options)), configTable_(options_.configTable), l3Table_(options_.l3Table) {
    if (!options_.makeLink)
        options_.makeLink = SystemKrnlinkFactory();
}

L3App::~L3App() = default;

void L3App::Init(const boost::property_tree::ptree& config) {
    const auto l3 = config.get_child_optional(kSubtree);
    const boost::property_tree::ptree& settings = l3 ? *l3 : config;
    const std::string path = settings.get<std::string>(kLinkPathKey, kDefaultLinkPath);
    const bool softRss = settings.get<bool>(kSoftRssKey, false);
    CFG_INFO("%1: VDR SoftRSS status %2", kName, softRss);

    ozy::RefPtr<L3App> self(this);
    {
        AgentLockGuard lock(GlobalAgentLock());
        desiredReady_ = l3Table_ != nullptr && l3Table_->FullSyncVersion() > 0;
        // Desired state that came before the observers (none at agent start-up).
        CairnDBUpdateList ports;
        if (configTable_ != nullptr) {
            configTable_->GetObjectsWithProperty(ConfigStore::kDesired,
                                                 ObjectType::LOG_SWITCH_PORT_CONFIG,
                                                 PropertyType::INVALID_PROPERTY, &ports);
        }
        for (const CairnDBUpdateMsg& p : ports) {
            if (HasBridgeEndpoint(p.data))
                bridgeIds_.insert(p.id);
        }
        link_ = options_.makeLink(
            path,
            [self](const uint8_t* msg, size_t length) { self->HandleVdrMessage(msg, length); },
            [self](DataplaneLink* link, int status) { self->HandleLinkStatus(link, status); },
            kLinkBufferSize);
        initialized_ = true;
    }
    if (l3Table_ != nullptr)
        l3Table_->RegisterDesiredStateObserver(this);
    if (configTable_ != nullptr) {
        for (ObjectType t : kConfigTypes)
            configTable_->RegisterDesiredStateObserver(t, this);
    }
    CFG_INFO("%1: started, kernel link %2", kName, path);
    if (link_)
        link_->Start();
}

void L3App::Stop() {
    ozy::RefPtr<DataplaneLink> link;
    {
        AgentLockGuard lock(GlobalAgentLock());
        if (stopped_ || !initialized_) {
            stopped_ = true;
            return;
        }
        stopped_ = true;
        link = link_;
    }
    // The link's handlers hold this object; the link is stopped before it is let go.
    if (link)
        link->Stop();
    if (l3Table_ != nullptr)
        l3Table_->UnregisterDesiredStateObserver(this);
    if (configTable_ != nullptr) {
        for (ObjectType t : kConfigTypes)
            configTable_->UnregisterDesiredStateObserver(t, this);
    }
    AgentLockGuard lock(GlobalAgentLock());
    link_.reset();
    CFG_INFO("%1: stopped", kName);
}

// ---- link ----

bool L3App::Send(DpMsg msg) {
    if (msg.empty())
        return false;  // refused by its converter, which logged why
    if (Logger::enabled(kLogDebug)) {
        CFG_DEBUG("%1: send a message to the dataplane, len: %2", kName, msg.size());
        if (DpMsgType(msg.data()) == vdr::kMsgUpdate) {
            CFG_DEBUG("%1: Send Update to dataplane, payload len: %2", kName,
                      msg.size() - vdr::kUpdateHeaderSize);
        }
    }
    if (!link_ || !link_->Send(std::move(msg))) {
        sendsOk_ = false;
        return false;
    }
    return true;
}

void L3App::HandleLinkStatus(DataplaneLink* /*link*/, int status) {
    AgentLockGuard lock(GlobalAgentLock());
    if (stopped_)
        return;
    ++linkGeneration_;
    dataplaneSynced_ = false;
    if (status == DataplaneLink::kLinkUp) {
        CFG_INFO("%1: krnlink up", kName);
        linkUp_ = true;
        FullSyncDataplane("link up");
    } else {
        CFG_INFO("%1: krnlink down", kName);
        linkUp_ = false;
    }
}

void L3App::HandleVdrMessage(const uint8_t* msg, size_t length) {
    AgentLockGuard lock(GlobalAgentLock());
    if (stopped_ || msg == nullptr || length < kDpMsgHeaderSize)
        return;
    const uint16_t type = DpMsgType(msg);
    if (type != vdr::kMsgDataplane) {
        CFG_ERROR_CODE("LCP00901", "%1: unknown vdr msg %2", kName, type);
        return;
    }
    if (Logger::enabled(kLogDebug))
        CFG_DEBUG("%1: %2", kName, vdr::DumpVdrMessage(msg, length));
    vdr::DataplaneMsg m;
    std::string why;
    switch (vdr::ParseDataplaneMsg(msg, length, &m, &why)) {
        case vdr::ParseResult::kOk:
            break;
        case vdr::ParseResult::kUnknownSubType:
            CFG_ERROR_CODE("LCP00901", "%1: unknown vdrb msg sub type %2, dropped", kName,
                           m.subType);
            return;
        default:
            CFG_ERROR_CODE("LCP00901", "%1: malformed vdrb msg (%2), dropped", kName, why);
            return;
    }
    CFG_DEBUG("%1: Handle vdrb msg type %2, sub type %3", kName, type, m.subType);
    if (m.subType == vdr::kSubFullSyncRequest)
        HandleFullSyncRequest(m.fullSync.scope, m.fullSync.vdrId);
    else
        HandleDadReport(m.dad);
}

void L3App::HandleFullSyncRequest(uint8_t scope, uint32_t vdrId) {
    if (scope == vdr::kScopeAll) {
        CFG_INFO("%1: handle kernel full sync request both Config and L3 State-cache", kName);
        FullSyncDataplane("full sync request");
        return;
    }
    CFG_INFO("%1: receive kernel full sync request for vdr %2", kName, vdrId);
    auto it = vdrIndex_.find(vdrId);
    if (it == vdrIndex_.end()) {
        CFG_ERROR_CODE("LCP00029",
                       "%1: handle kernel full sync request, LR UUID not found for vdr ID %2",
                       kName, vdrId);
        return;
    }
    const std::string lrId = it->second;
    // The dataplane dropped the router: forget what it had, then send it all again.
    DetachRouter(lrId, false);
    SyncRouter(lrId);
}

// ---- full sync ----

void L3App::ForgetSentState() {
    routers_.clear();
    vdrIndex_.clear();
    routerLrps_.clear();
    routerFibs_.clear();
    lrps_.clear();
    pendingLrps_.clear();
    lifIndex_.clear();
    lsLrps_.clear();
    prefixLists_.clear();
    lifPrefixRefs_.clear();
    fibs_.clear();
    lrpFibs_.clear();
    mcastConfigs_.clear();
    mcastRoutes_.clear();
    arps_.clear();
    bridges_.clear();
    global_.clear();
    waiting_.clear();
    waitingOn_.clear();
    // The dataplane forgot its DAD reports; what was written to the database stays written.
    for (auto& [lif, d] : dad_) {
        d.lastReport.clear();
        d.lastSent.clear();
    }
}

void L3App::FullSyncDataplane(const char* why) {
    if (!linkUp_)
        return;
    if (!desiredReady_) {
        CFG_INFO("%1: full sync (%2) waits for the desired state", kName, why);
        return;
    }
    ++fullSyncs_;
    const uint64_t generation = linkGeneration_;
    sendsOk_ = true;
    ForgetSentState();

    CFG_INFO("%1: full sync Config State-cache with kernel", kName);
    CFG_INFO("%1: BE Full Sync Start", kName);
    for (const std::string& id : std::set<std::string>(bridgeIds_))
        SyncBridge(id);
    CFG_INFO("%1: BE Full Sync Done", kName);

    CFG_INFO("%1: full sync L3 State-cache with kernel", kName);
    CFG_INFO("%1: full sync LR instances", kName);
    CairnDBUpdateList records;
    l3Table_->GetObjectsWithProperty(ObjectType::LOG_ROUTER_CONFIG, PropertyType::INVALID_PROPERTY,
                                     &records);
    for (const CairnDBUpdateMsg& r : records) {
        pb::LogRouterConfigMsg lr;
        if (!lr.ParseFromString(r.data) || !lr.has_vdr_id()) {
            CFG_ERROR_CODE("LCP00920", "%1: full sync vdr ID is not found for LR %2", kName,
                           IdText(r.id));
            continue;
        }
        SyncRouter(r.id);
    }
    for (const std::string& id :
         IdsOf(l3Table_, ObjectType::MULTICAST_CONFIG, PropertyType::INVALID_PROPERTY))
        SyncMcastConfig(id);

    CFG_INFO("%1: full sync prefix list", kName);
    for (const std::string& id :
         IdsOf(l3Table_, ObjectType::PREFIX_LIST, PropertyType::INVALID_PROPERTY))
        SyncPrefixList(id);

    // What each router has in the store, found in one pass per kind.
    std::map<std::string, std::vector<std::string>> lrpsOf, fibsOf, mcastOf, arpsOf, dadsOf;
    std::map<std::string, std::string> routerOfLrp;
    records.clear();
    l3Table_->GetObjectsWithProperty(ObjectType::LOG_ROUTER_PORT_CONFIG,
                                     PropertyType::INVALID_PROPERTY, &records);
    for (const CairnDBUpdateMsg& r : records) {
        pb::LogRouterPortConfigMsg lrp;
        if (!lrp.ParseFromString(r.data))
            continue;
        const std::string lr = lrp.lr_uuid().SerializeAsString();
        lrpsOf[lr].push_back(r.id);
        routerOfLrp[r.id] = lr;
    }
    records.clear();
    l3Table_->GetObjectsWithProperty(ObjectType::FIB, PropertyType::L3_FIB_ROUTER_ID, &records);
    for (CairnDBUpdateMsg& r : records)
        fibsOf[r.data].push_back(std::move(r.id));
    records.clear();
    l3Table_->GetObjectsWithProperty(ObjectType::MULTICAST_STATIC_ROUTE,
                                     PropertyType::INVALID_PROPERTY, &records);
    for (const CairnDBUpdateMsg& r : records) {
        pb::MulticastStaticRouteMsg m;
        if (m.ParseFromString(r.data))
            mcastOf[m.lr_uuid().SerializeAsString()].push_back(r.id);
    }
    records.clear();
    l3Table_->GetObjectsWithProperty(ObjectType::ARP_TABLE_CONFIG,
                                     PropertyType::L3_ARP_ROUTER_PORT_ID, &records);
    for (const CairnDBUpdateMsg& r : records) {
        auto lr = routerOfLrp.find(r.data);
        if (lr != routerOfLrp.end())
            arpsOf[lr->second].push_back(r.id);
    }
    records.clear();
    l3Table_->GetObjectsWithProperty(ObjectType::LOG_ROUTER_PORT_FIB_DAD_STATE,
                                     PropertyType::INVALID_PROPERTY, &records);
    for (const CairnDBUpdateMsg& r : records) {
        pb::LogRouterPortFibDadStateMsg m;
        if (!m.ParseFromString(r.data))
            continue;
        auto lr = routerOfLrp.find(m.has_lrp_id() ? m.lrp_id().SerializeAsString() : r.id);
        if (lr != routerOfLrp.end())
            dadsOf[lr->second].push_back(r.id);
    }

    for (const auto& [vdrId, lrId] : std::map<uint32_t, std::string>(vdrIndex_)) {
        const std::string lrText = IdText(lrId);
        CFG_INFO("%1: full sync LRP for LR %2 (vdr %3)", kName, lrText, vdrId);
        for (const std::string& id : lrpsOf[lrId])
            SyncLrp(id);
        CFG_INFO("%1: full sync fib for LR %2 (vdr %3)", kName, lrText, vdrId);
        for (const std::string& id : fibsOf[lrId])
            SyncFib(id, nullptr, false);
        CFG_INFO("%1: full sync mcast fib for LR %2 (vdr %3)", kName, lrText, vdrId);
        for (const std::string& id : mcastOf[lrId])
            SyncMcastRoute(id);
        CFG_INFO("%1: full sync arp for vdr %2", kName, vdrId);
        for (const std::string& id : arpsOf[lrId])
            SyncArp(id);
        CFG_INFO("%1: full sync dad for vdr %2", kName, vdrId);
        for (const std::string& id : dadsOf[lrId])
            SyncDadState(id, true);
    }
    SyncGlobal(true);

    CFG_INFO("%1: Send Full Sync End to dataplane", kName);
    Send(vdr::BuildFullSyncEnd());
    dataplaneSynced_ = true;

    CFG_INFO("%1: full sync barrier", kName);
    if (!sendsOk_ || generation != linkGeneration_) {
        CFG_WARN("%1: a send of the full sync failed, the barrier is not reported", kName);
        return;
    }
    pb::BarrierMsg barrier;
    if (l3Table_->QueryBarrier(&barrier) && barrier.has_barrier_id())
        ReportBarrier(barrier.barrier_id(), "full sync");
}

void L3App::ReportBarrier(uint64_t barrier, const char* why) {
    CFG_INFO("%1: send barrier version %2 (%3)", kName, barrier, why);
    if (options_.reportBarrier)
        options_.reportBarrier(barrier);
}

// ---- desired state ----

void L3App::CollectL3Record(const CairnDBUpdateMsg& u, Dirty* d) {
    switch (u.objType) {
        case ObjectType::LOG_ROUTER_CONFIG:
            d->routers.insert(u.id);
            return;
        case ObjectType::LOG_ROUTER_PORT_CONFIG:
            d->lrps.insert(u.id);
            return;
        case ObjectType::FIB: {
            if (!IsFibProperty(u.property)) {
                CFG_ERROR_CODE("LCP00905", "fib unknown property type %1",
                               PropertyTypeToString(u.property));
                return;
            }
            if (!IsElementOp(u.op)) {
                CFG_ERROR_CODE("LCP00905", "fib unknown operation %1", static_cast<uint32_t>(u.op));
                return;
            }
            FibChange& c = d->fibs[u.id];
            if (u.property == PropertyType::L3_FIB_NEXT_HOP) {
                (u.op == Operation::OPERATION_ELEMENT_SET ? c.added : c.deleted).insert(u.data);
            }
            return;
        }
        case ObjectType::ARP_TABLE_CONFIG:
            if (u.property != PropertyType::L3_ARP_ROUTER_PORT_ID &&
                u.property != PropertyType::L3_ARP_ENTRY) {
                CFG_ERROR_CODE("LCP00905", "arp table config unknown property type %1",
                               PropertyTypeToString(u.property));
                return;
            }
            if (!IsElementOp(u.op)) {
                CFG_ERROR_CODE("LCP00905", "arp table config unknown operation %1",
                               static_cast<uint32_t>(u.op));
                return;
            }
            d->arps.insert(u.id);
            return;
        case ObjectType::PREFIX_LIST:
            d->prefixLists.insert(u.id);
            return;
        case ObjectType::MULTICAST_CONFIG:
            CFG_DEBUG("Desired state update for Multicast config %1", IdText(u.id));
            d->mcastConfigs.insert(u.id);
            return;
        case ObjectType::MULTICAST_STATIC_ROUTE:
            CFG_DEBUG("Desired state update for Multicast Static Route %1", IdText(u.id));
            d->mcastRoutes.insert(u.id);
            return;
        case ObjectType::GLOBAL_CONFIG:
            CFG_DEBUG("Desired state update for Global config %1", IdText(u.id));
            d->global = true;
            return;
        case ObjectType::LOG_ROUTER_PORT_FIB_DAD_STATE:
            CFG_DEBUG("Desired state update for Dad Status %1", IdText(u.id));
            d->dads.insert(u.id);
            return;
        case ObjectType::LOG_ROUTER_PORT_DAD_REQUEST:
            CFG_DEBUG("Desired state update for Dad Request %1", IdText(u.id));
            return;
        case ObjectType::DAD_PROFILE_CONFIG:
        case ObjectType::NDRA_PROFILE_CONFIG:
            // Profiles are part of the router instances that name them.
            CFG_DEBUG("Desired state update for Dad Config %1", IdText(u.id));
            for (const auto& [lrId, st] : routers_)
                d->routers.insert(lrId);
            return;
        case ObjectType::BARRIER: {
            pb::BarrierMsg b;
            if (u.op == Operation::OPERATION_UPDATE && b.ParseFromString(u.data) &&
                b.has_barrier_id())
                d->barriers.push_back(b.barrier_id());
            return;
        }
        default:
            return;
    }
}

void L3App::ApplyDirty(const Dirty& d) {
    sendsOk_ = true;
    const uint64_t generation = linkGeneration_;
    if (d.global) {
        CFG_DEBUG("Handle Desired state update for Global config. %1", d.global);
        SyncGlobal(false);
    }
    for (const std::string& id : d.routers)
        SyncRouter(id);
    for (const std::string& id : d.prefixLists)
        SyncPrefixList(id);
    for (const std::string& id : d.mcastConfigs)
        SyncMcastConfig(id);
    for (const std::string& id : d.lrps)
        SyncLrp(id);
    for (const auto& [id, change] : d.fibs)
        SyncFib(id, &change, false);
    for (const std::string& id : d.mcastRoutes)
        SyncMcastRoute(id);
    for (const std::string& id : d.arps)
        SyncArp(id);
    for (const std::string& id : d.dads)
        SyncDadState(id, false);
    if (!d.barriers.empty() && sendsOk_ && generation == linkGeneration_ && dataplaneSynced_)
        ReportBarrier(d.barriers.back(), "update");
}

void L3App::ReconcileAll() {
    Dirty d;
    d.global = true;
    auto addIds = [&](std::set<std::string>& out, ObjectType type, PropertyType p) {
        for (std::string& id : IdsOf(l3Table_, type, p))
            out.insert(std::move(id));
    };
    addIds(d.routers, ObjectType::LOG_ROUTER_CONFIG, PropertyType::INVALID_PROPERTY);
    addIds(d.lrps, ObjectType::LOG_ROUTER_PORT_CONFIG, PropertyType::INVALID_PROPERTY);
    addIds(d.prefixLists, ObjectType::PREFIX_LIST, PropertyType::INVALID_PROPERTY);
    addIds(d.mcastConfigs, ObjectType::MULTICAST_CONFIG, PropertyType::INVALID_PROPERTY);
    addIds(d.mcastRoutes, ObjectType::MULTICAST_STATIC_ROUTE, PropertyType::INVALID_PROPERTY);
    addIds(d.arps, ObjectType::ARP_TABLE_CONFIG, PropertyType::L3_ARP_ROUTER_PORT_ID);
    addIds(d.dads, ObjectType::LOG_ROUTER_PORT_FIB_DAD_STATE, PropertyType::INVALID_PROPERTY);
    for (std::string& id : IdsOf(l3Table_, ObjectType::FIB, PropertyType::L3_FIB_ROUTER_ID))
        d.fibs[std::move(id)];
    // What the dataplane holds that the store may no longer have.
    for (const auto& [id, st] : routers_)
        d.routers.insert(id);
    for (const auto& [id, st] : lrps_)
        d.lrps.insert(id);
    d.lrps.insert(pendingLrps_.begin(), pendingLrps_.end());
    for (const auto& [id, st] : prefixLists_)
        d.prefixLists.insert(id);
    for (const auto& [id, st] : mcastConfigs_)
        d.mcastConfigs.insert(id);
    for (const auto& [id, st] : mcastRoutes_)
        d.mcastRoutes.insert(id);
    for (const auto& [id, st] : arps_)
        d.arps.insert(id);
    for (const auto& [id, st] : fibs_)
        d.fibs[id];
    for (const auto& [ref, dep] : waitingOn_) {
        if (ref.kind == Kind::kFib)
            d.fibs[ref.id];
    }
    pb::BarrierMsg barrier;
    if (l3Table_->QueryBarrier(&barrier) && barrier.has_barrier_id())
        d.barriers.push_back(barrier.barrier_id());
    ApplyDirty(d);
    for (const std::string& id : std::set<std::string>(bridgeIds_))
        SyncBridge(id);
    for (const auto& [id, st] : std::map<std::string, BridgeState>(bridges_))
        SyncBridge(id);
}

void L3App::ProcessL3DesiredStateUpdate(const CairnDBUpdateList& updates, bool fullSync) {
    AgentLockGuard lock(GlobalAgentLock());
    if (stopped_ || !initialized_)
        return;
    if (fullSync) {
        desiredReady_ = true;
        if (!linkUp_)
            return;
        if (!dataplaneSynced_)
            FullSyncDataplane("desired state ready");
        else
            ReconcileAll();
        return;
    }
    Dirty d;
    for (const CairnDBUpdateMsg& u : updates)
        CollectL3Record(u, &d);
    // Until the dataplane has had its full sync, that sync will send the store as it is then.
    if (dataplaneSynced_)
        ApplyDirty(d);
}

void L3App::ProcessConfigDesiredStateUpdate(const CairnDBUpdateList& updates, bool fullSync) {
    AgentLockGuard lock(GlobalAgentLock());
    if (stopped_ || !initialized_)
        return;
    std::set<std::string> switches, ports;
    bool transportNodes = false;
    for (const CairnDBUpdateMsg& u : updates) {
        if (u.objType == ObjectType::LOG_SWITCH_CONFIG) {
            switches.insert(u.id);
        } else if (u.objType == ObjectType::TRANSPORT_NODE_CONFIG) {
            transportNodes = true;
        } else if (u.objType == ObjectType::LOG_SWITCH_PORT_CONFIG &&
                   u.property == PropertyType::INVALID_PROPERTY) {
            // Only ports that are or were bridge endpoints matter.
            const bool bridge = u.op == Operation::OPERATION_UPDATE && HasBridgeEndpoint(u.data);
            if (bridge || bridgeIds_.count(u.id) != 0 || bridges_.count(u.id) != 0)
                ports.insert(u.id);
            if (bridge)
                bridgeIds_.insert(u.id);
            else
                bridgeIds_.erase(u.id);
        }
    }
    if (!dataplaneSynced_)
        return;
    sendsOk_ = true;
    std::set<std::string> lrps(pendingLrps_.begin(), pendingLrps_.end());
    std::set<std::string> bridges(bridgeIds_.begin(), bridgeIds_.end());
    if (fullSync || transportNodes) {
        for (const auto& [id, st] : lrps_)
            lrps.insert(id);
        for (const auto& [id, st] : bridges_)
            bridges.insert(id);
    } else {
        for (const std::string& ls : switches) {
            auto it = lsLrps_.find(ls);
            if (it != lsLrps_.end())
                lrps.insert(it->second.begin(), it->second.end());
        }
        for (const auto& [id, st] : bridges_) {
            if (switches.count(st.lsId) != 0)
                bridges.insert(id);
        }
        bridges.insert(ports.begin(), ports.end());
    }
    for (const std::string& id : bridges)
        SyncBridge(id);
    for (const std::string& id : lrps) {
        const bool wasPending = pendingLrps_.count(id) != 0;
        SyncLrp(id);
        if (wasPending && pendingLrps_.count(id) == 0)
            CFG_INFO("%1: replay LRP %2", kName, IdText(id));
    }
}

// ---- waiting objects ----

void L3App::WaitFor(const std::string& dependency, Kind kind, const std::string& id) {
    ObjRef ref{kind, id};
    StopWaiting(kind, id);
    waiting_[dependency].insert(ref);
    waitingOn_[ref] = dependency;
}

void L3App::StopWaiting(Kind kind, const std::string& id) {
    auto it = waitingOn_.find(ObjRef{kind, id});
    if (it == waitingOn_.end())
        return;
    auto w = waiting_.find(it->second);
    if (w != waiting_.end()) {
        w->second.erase(it->first);
        if (w->second.empty())
            waiting_.erase(w);
    }
    waitingOn_.erase(it);
}

void L3App::ReleaseWaiting(const std::string& dependency) {
    auto it = waiting_.find(dependency);
    if (it == waiting_.end())
        return;
    const std::set<ObjRef> refs = std::move(it->second);
    waiting_.erase(it);
    for (const ObjRef& r : refs)
        waitingOn_.erase(r);
    for (const ObjRef& r : refs)
        SyncObject(r);
}

void L3App::SyncObject(const ObjRef& ref) {
    switch (ref.kind) {
        case Kind::kLrp:
            SyncLrp(ref.id);
            break;
        case Kind::kFib:
            SyncFib(ref.id, nullptr, false);
            break;
        case Kind::kMcastConfig:
            SyncMcastConfig(ref.id);
            break;
        case Kind::kMcastRoute:
            SyncMcastRoute(ref.id);
            break;
        case Kind::kArp:
            SyncArp(ref.id);
            break;
        case Kind::kDad:
            SyncDadState(ref.id, false);
            break;
    }
}

uint32_t L3App::VdrOfRouter(const std::string& lrId) const {
    auto it = routers_.find(lrId);
    return it != routers_.end() ? it->second.vdrId : 0;
}

const L3App::LrpState* L3App::LifOf(const std::string& lrpId) const {
    auto it = lrps_.find(lrpId);
    return it != lrps_.end() && it->second.inDataplane ? &it->second : nullptr;
}

// ---- state ----

bool L3App::linkUp() const {
    AgentLockGuard lock(GlobalAgentLock());
    return linkUp_;
}

bool L3App::dataplaneSynced() const {
    AgentLockGuard lock(GlobalAgentLock());
    return dataplaneSynced_;
}

size_t L3App::pendingLrpCount() const {
    AgentLockGuard lock(GlobalAgentLock());
    return pendingLrps_.size();
}

size_t L3App::sentRouteCount() const {
    AgentLockGuard lock(GlobalAgentLock());
    size_t n = 0;
    for (const auto& [id, st] : fibs_)
        n += st.sent ? 1 : 0;
    return n;
}

uint64_t L3App::fullSyncCount() const {
    AgentLockGuard lock(GlobalAgentLock());
    return fullSyncs_;
}

}  // namespace CfgAgent
