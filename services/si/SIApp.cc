#include "services/si/SIApp.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <random>

#include <boost/property_tree/ptree.hpp>
#include <nlohmann/json.hpp>

#include "dataplane/SiProtocol.h"
#include "intake/MsgDispatcher.h"
#include "proto/cairndb_si.pb.h"
#include "runtime/AgentLock.h"
#include "runtime/Logger.h"
#include "runtime/WorkGroup.h"
#include "runtime/WorkItem.h"
#include "services/si/SIAlarmReporter.h"
#include "services/si/SIDeviceDataplane.h"
#include "statecache/IStateCacheConfigTable.h"
#include "statecache/IdText.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;
using namespace ozy::device;
using si::Path;

namespace {

uint32_t NshKey(const si::Hop& h) {
    return (h.spi << 8) | h.si;
}

si::SIPathSelector::Random DefaultRandom() {
    auto engine = std::make_shared<std::mt19937>(std::random_device{}());
    return [engine] { return static_cast<uint32_t>((*engine)()); };
}

SiHopRef FirstHop(const si::Direction& d) {
    SiHopRef r;
    if (!d.hops.empty()) {
        r.spi = d.hops.front().spi;
        r.si = d.hops.front().si;
        r.mac = d.hops.front().mac;
    }
    return r;
}

// The distinct SPIs of a path's hops.
std::set<uint32_t> Spis(const Path& p) {
    std::set<uint32_t> out;
    for (const si::Direction* d : {&p.forward, &p.reverse}) {
        for (const si::Hop& h : d->hops)
            out.insert(h.spi);
    }
    return out;
}

nlohmann::json DirectionJson(const si::Direction& d) {
    nlohmann::json hops = nlohmann::json::array();
    for (const si::Hop& h : d.hops)
        hops.push_back({{"spi", h.spi}, {"si", h.si}, {"mac", MacText(h.mac)}});
    return {{"host_local_count", d.local},
            {"host_cross_count", d.cross},
            {"preference", d.preference},
            {"hops", hops}};
}

template <class T>
std::string ReadOr(const boost::property_tree::ptree& c, const char* key, T* out) {
    try {
        if (auto v = c.get_optional<T>(key))
            *out = *v;
        return {};
    } catch (const std::exception& e) {
        return e.what();
    }
}

}  // namespace

bool SIApp::Batch::Empty() const {
    return chainDeletes.empty() && nshSets.empty() && chainSets.empty() && nshDeletes.empty() &&
           failOps.empty() && ovl2Adds.empty() && ovl2Deletes.empty();
}

SIApp::SIApp(SIAppOptions options)
    : options_(std::move(options)), selector_(options_.random ? options_.random : DefaultRandom()) {
    CFG_INFO("SIApp creating...");
    if (!options_.dataplane)
        options_.dataplane = std::make_shared<si::SIDeviceDataplane>();
    if (!options_.alarmDataplane)
        options_.alarmDataplane = std::make_shared<si::SIDeviceDataplane>();
    alarms_ = std::make_unique<si::SIAlarmReporter>(*options_.alarmDataplane,
                                                    [this] { return TransportNode(); });
}

SIApp::~SIApp() = default;

bool SIApp::Start(const boost::property_tree::ptree& config) {
    CFG_INFO("SIApp starting...");
    std::string path = kLinkName;
    int64_t poll = pollInterval_.count();
    int64_t retry = retryInterval_.count();
    std::string bad = ReadOr(config, kLinkPathKey, &path);
    if (bad.empty())
        bad = ReadOr(config, kAlarmPollKey, &poll);
    if (bad.empty())
        bad = ReadOr(config, kRetryKey, &retry);
    if (!bad.empty() || poll <= 0 || retry <= 0 || path.empty()) {
        CFG_ERROR_CODE("LCP00002", "Failed to start SIApp: %1, %2", "bad settings",
                       bad.empty() ? "intervals must be positive" : bad);
        return false;
    }
    pollInterval_ = std::chrono::milliseconds(poll);
    retryInterval_ = std::chrono::milliseconds(retry);
    alarms_->Start();  // a failure is logged; service insertion runs without its alarm

    ozy::RefPtr<SIApp> self(this);
    if (!options_.makeLink)
        options_.makeLink = SystemKrnlinkFactory();
    link_ = options_.makeLink(
        path, [self](const uint8_t* m, size_t n) { self->HandleDpMessage(m, n); },
        [self](DataplaneLink* l, int s) { self->HandleLinkStatus(l, s); }, kLinkBufferSize);
    if (options_.postLoop) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            running_ = true;
        }
        if (!WorkGroups::Post(MakeWorkItem(&SIApp::Run, this, "SIApp"))) {
            std::lock_guard<std::mutex> lock(mutex_);
            running_ = false;
            CFG_ERROR_CODE("LCP00002", "Failed to start SIApp: %1, %2", "work group",
                           "the loop was not posted");
            return false;
        }
    }
    if (options_.dispatcher != nullptr) {
        options_.dispatcher->RegisterComponent(ComponentType::SIAPP, this);
        registered_ = true;
    }
    if (link_)
        link_->Start();
    return true;
}

void SIApp::Stop() {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (stopping_)
            return;
        stopping_ = true;
        wake_.notify_all();
        wake_.wait_for(lock, std::chrono::seconds(10), [this] { return !running_; });
    }
    CFG_INFO("SIApp: stop");
    if (registered_ && options_.dispatcher != nullptr)
        options_.dispatcher->UnregisterComponent(this);
    registered_ = false;
    ozy::RefPtr<DataplaneLink> link;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        link.swap(link_);  // the link's handlers hold this application: break the cycle
    }
    if (link)
        link->Stop();
    alarms_->Stop();
}

// ---- the loop ----

void SIApp::Wake() {
    work_ = true;
    wake_.notify_all();
}

void SIApp::Run() {
    using Clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(mutex_);
    Clock::time_point nextPoll = Clock::now();
    // No retry owed while it stands at the end of time.
    constexpr Clock::time_point kNoRetry = Clock::time_point::max();
    Clock::time_point retryAt = kNoRetry;
    while (!stopping_) {
        const Clock::time_point until = std::min(retryAt, nextPoll);
        wake_.wait_until(lock, until, [this] { return stopping_ || work_; });
        if (stopping_)
            break;
        const Clock::time_point now = Clock::now();
        if (work_ || now >= retryAt) {
            work_ = false;
            lock.unlock();
            bool ok = false;
            try {
                ok = ProcessUpdates();
            } catch (const std::exception& e) {
                CFG_ERROR("SIApp: Caught exception at line %1. Ignored. (%2)", __LINE__, e.what());
            }
            lock.lock();
            retryAt = ok ? kNoRetry : Clock::now() + retryInterval_;
        }
        if (Clock::now() >= nextPoll) {
            lock.unlock();
            PollAlarms();
            lock.lock();
            nextPoll = Clock::now() + pollInterval_;
        }
    }
    running_ = false;
    wake_.notify_all();
}

void SIApp::PollAlarms() {
    alarms_->Poll();
}

std::string SIApp::TransportNode() const {
    if (options_.configTable == nullptr)
        return {};
    AgentLockGuard lock(GlobalAgentLock());
    CairnDBUpdateList nodes;
    if (options_.configTable->GetObjectsOfType(ConfigStore::kDesired,
                                               ObjectType::TRANSPORT_NODE_CONFIG, &nodes)) {
        for (const CairnDBUpdateMsg& n : nodes) {
            if (!n.id.empty())
                return IdText(n.id);
        }
    }
    return {};
}

// ---- kernel link ----

void SIApp::HandleDpMessage(const uint8_t* msg, size_t length) {
    if (length < kDpMsgHeaderSize) {
        CFG_ERROR_CODE("LCP00901", "SIApp: message of %1 bytes from kernel dropped", length);
        return;
    }
    const uint16_t type = DpMsgType(msg);
    CFG_DEBUG("%1: received a message from kernel type %2, len %3", "SIApp", type, length);
    if (type != si::kMsgInstanceEndpoint) {
        CFG_ERROR_CODE("LCP00901", "%1: unknown tarp msg %2", "SIApp", type);
        return;
    }
    auto vif = si::ParseInstanceEndpoint(msg, length);
    if (!vif) {
        CFG_ERROR_CODE("LCP00901", "SIApp: malformed Instance EndPoint message, len %1", length);
        return;
    }
    CFG_INFO("SIApp: received from kernel for Instance EndPoint with vifID =  %1", *vif);
}

void SIApp::HandleLinkStatus(DataplaneLink* link, int status) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (link != link_.get())
        return;
    if (status == DataplaneLink::kLinkDown) {
        CFG_INFO("SIApp: krnlink down");
        return;
    }
    CFG_INFO("SIApp: krnlink up: programming every chain and path again");
    Resync();
    Wake();
}

void SIApp::Resync() {
    for (auto& [uuid, e] : paths_) {
        e.failed = false;
        dirtyPaths_.insert(uuid);
    }
    for (auto& [uuid, c] : chains_)
        dirtyChains_.insert(c.chain.chainId);
    for (const auto& [key, n] : ovl2Refs_)
        owed_.ovl2Adds.insert(key);
}

// ---- desired state ----

void SIApp::UpdateDesiredState(const std::vector<CairnDBUpdateMsg>& updates, bool fullSync) {
    std::lock_guard<std::mutex> lock(mutex_);
    CFG_INFO("SIApp: UpdateDesiredState called, msgs size = %1", updates.size());
    std::set<std::string> policies, chains, paths;
    bool changed = false;
    for (const CairnDBUpdateMsg& u : updates) {
        switch (u.objType) {
            case ObjectType::SI_REDIRECTION_POLICY:
                changed |= HandlePolicy(u, &policies);
                break;
            case ObjectType::SI_SERVICE_CHAIN:
                changed |= HandleChain(u, &chains);
                break;
            case ObjectType::SI_SERVICE_PATH:
                changed |= HandlePath(u, &paths);
                break;
            default:
                CFG_DEBUG("SIApp: object type %1 ignored", static_cast<uint32_t>(u.objType));
                break;
        }
    }
    if (fullSync)
        changed |= DeleteAbsent(policies, chains, paths);
    if (changed) {
        CFG_DEBUG("SIApp: notifying process loop there's update from cairnDB");
        Wake();
    }
}

bool SIApp::HandlePolicy(const CairnDBUpdateMsg& u, std::set<std::string>* seen) {
    const std::string op = OperationToString(u.op);
    if (u.data.empty()) {
        CFG_INFO(
            "SIApp: received SiRedirectionPolicyMsg with empty propertyValue object %1, op "
            "%2, continuing",
            IdText(u.id), op);
        return false;
    }
    pb::SiRedirectionPolicyMsg m;
    if (!m.ParseFromString(u.data)) {
        CFG_ERROR_CODE("LCP01715", "SIApp: SiRedirectionPolicyMsg %1 does not parse", IdText(u.id));
        return false;
    }
    const std::string uuid = si::UuidOf(m);
    CFG_DEBUG("SIApp: SiRedirectionPolicyMsg with uuid %1, op %2", uuid, op);
    auto it = policies_.find(uuid);
    const bool live = it != policies_.end() && !it->second.deleted;
    if (u.op == Operation::OPERATION_DELETE) {
        if (!live) {
            CFG_WARN("SIApp: SiRedirectionPolicyMsg with uuid %1 not found, cannot delete", uuid);
            return false;
        }
        CFG_DEBUG("SIApp: setting delEntry flag to true for siPolicy with UUID: %1", uuid);
        it->second.deleted = true;
        deletedPolicies_.insert(uuid);
        return true;
    }
    if (u.op != Operation::OPERATION_UPDATE) {
        CFG_ERROR_CODE("LCP00001", "SIApp: SiRedirectionPolicyMsg invalid op %1", op);
        return false;
    }
    auto p = si::ValidatePolicy(m);
    if (!p)
        return false;
    seen->insert(uuid);
    if (live) {
        CFG_DEBUG("SIApp: SiRedirectionPolicyMsg with uuid %1 already found, updates not allowed",
                  uuid);
        return false;
    }
    // A flagged entry (deleted, its delete not yet sent) is replaced: the delete is dropped.
    deletedPolicies_.erase(uuid);
    policies_[uuid] = PolicyEntry{std::move(*p), false};
    return true;
}

bool SIApp::HandleChain(const CairnDBUpdateMsg& u, std::set<std::string>* seen) {
    const std::string op = OperationToString(u.op);
    if (u.data.empty()) {
        CFG_INFO(
            "SIApp: received SiServiceChainMsg with empty propertyValue object %1, op %2, "
            "continuing",
            IdText(u.id), op);
        return false;
    }
    pb::SiServiceChainMsg m;
    if (!m.ParseFromString(u.data)) {
        CFG_ERROR_CODE("LCP01715", "SIApp: SiServiceChainMsg %1 does not parse", IdText(u.id));
        return false;
    }
    const std::string uuid = si::UuidOf(m);
    CFG_DEBUG("SIApp: SiServiceChainMsg with uuid %1, op %2", uuid, op);
    auto it = chains_.find(uuid);
    const bool live = it != chains_.end() && !it->second.deleted;
    if (u.op == Operation::OPERATION_DELETE) {
        if (!live) {
            CFG_WARN("SIApp: SiServiceChainMsg with uuid %1 not found, cannot delete", uuid);
            return false;
        }
        CFG_DEBUG("SIApp: setting delEntry flag to true for siChain with UUID: %1", uuid);
        it->second.deleted = true;
        deletedChains_.insert(uuid);
        return true;
    }
    if (u.op != Operation::OPERATION_UPDATE) {
        CFG_ERROR_CODE("LCP00001", "SIApp: SiServiceChainMsg invalid op %1", op);
        return false;
    }
    auto c = si::ValidateChain(m);
    if (!c)
        return false;
    seen->insert(uuid);
    if (live) {
        CFG_DEBUG("SIApp: SiServiceChainMsg with uuid %1 already found, updates not allowed", uuid);
        return false;
    }
    auto owner = chainByNumber_.find(c->chainId);
    if (owner != chainByNumber_.end() && owner->second != uuid &&
        !chains_.at(owner->second).deleted) {
        CFG_ERROR_CODE("LCP01705",
                       "SIApp: SiServiceChain with uuid %1: service_chain_id %2 already used by %3",
                       uuid, c->chainId, owner->second);
        return false;
    }
    deletedChains_.erase(uuid);
    ChainEntry& e = chains_[uuid];
    if (e.chain.chainId != c->chainId) {
        auto old = chainByNumber_.find(e.chain.chainId);
        if (old != chainByNumber_.end() && old->second == uuid)
            chainByNumber_.erase(old);
        e.slots.clear();
    }
    e.chain = std::move(*c);
    e.deleted = false;
    chainByNumber_[e.chain.chainId] = uuid;
    dirtyChains_.insert(e.chain.chainId);
    return true;
}

bool SIApp::HandlePath(const CairnDBUpdateMsg& u, std::set<std::string>* seen) {
    const std::string op = OperationToString(u.op);
    if (u.data.empty()) {
        CFG_INFO(
            "SIApp: received SiServicePathMsg with empty propertyValue object %1, op %2, "
            "continuing",
            IdText(u.id), op);
        return false;
    }
    pb::SiServicePathMsg m;
    if (!m.ParseFromString(u.data)) {
        CFG_ERROR_CODE("LCP01715", "SIApp: SiServicePathMsg %1 does not parse", IdText(u.id));
        return false;
    }
    const std::string uuid = si::UuidOf(m);
    CFG_DEBUG("SIApp: SiServicePathMsg with UUID %1, op %2", uuid, op);
    auto it = paths_.find(uuid);
    const bool live = it != paths_.end() && !it->second.deleted;
    if (u.op == Operation::OPERATION_DELETE) {
        if (!live) {
            CFG_WARN("SIApp: SiServicePathMsg with uuid %1 not found, cannot delete", uuid);
            return false;
        }
        CFG_DEBUG("SIApp: setting delEntry flag to true for siPath with UUID: %1", uuid);
        it->second.deleted = true;
        dirtyPaths_.insert(uuid);
        return true;
    }
    if (u.op != Operation::OPERATION_UPDATE) {
        CFG_ERROR_CODE("LCP00001", "SIApp: SiServicePathMsg invalid op %1", op);
        return false;
    }
    auto p = si::ValidatePath(m);
    if (!p)
        return false;
    seen->insert(uuid);
    if (live)
        CFG_DEBUG("SIApp: SiServicePathMsg with UUID %1 already found, will be updated", uuid);
    const bool existed = it != paths_.end();
    PathEntry& e = paths_[uuid];
    if (existed && e.path.chainId != p->chainId) {
        pathsByChain_[e.path.chainId].erase(uuid);
        dirtyChains_.insert(e.path.chainId);
    }
    // The entry keeps what was sent for it (NSH, overlay, failed marks): the loop sends the
    // difference.
    e.path = std::move(*p);
    e.deleted = false;
    pathsByChain_[e.path.chainId].insert(uuid);
    dirtyPaths_.insert(uuid);
    return true;
}

bool SIApp::DeleteAbsent(const std::set<std::string>& policies, const std::set<std::string>& chains,
                         const std::set<std::string>& paths) {
    bool changed = false;
    for (auto& [uuid, e] : policies_) {
        if (!e.deleted && policies.count(uuid) == 0) {
            CFG_INFO("SIApp: policy %1 absent from the full sync, deleted", uuid);
            e.deleted = true;
            deletedPolicies_.insert(uuid);
            changed = true;
        }
    }
    for (auto& [uuid, e] : chains_) {
        if (!e.deleted && chains.count(uuid) == 0) {
            CFG_INFO("SIApp: chain %1 absent from the full sync, deleted", uuid);
            e.deleted = true;
            deletedChains_.insert(uuid);
            changed = true;
        }
    }
    for (auto& [uuid, e] : paths_) {
        if (!e.deleted && paths.count(uuid) == 0) {
            CFG_INFO("SIApp: path %1 absent from the full sync, deleted", uuid);
            e.deleted = true;
            dirtyPaths_.insert(uuid);
            changed = true;
        }
    }
    return changed;
}

// ---- one pass ----

void SIApp::QueueNshSet(uint32_t key, const Mac& mac) {
    owed_.nshDeletes.erase(key);
    owed_.nshSets[key] = mac;
}

void SIApp::QueueNshDelete(uint32_t key, const Mac& mac) {
    owed_.nshSets.erase(key);
    owed_.nshDeletes[key] = mac;
}

void SIApp::BuildPath(const std::string& uuid) {
    auto it = paths_.find(uuid);
    if (it == paths_.end())
        return;
    PathEntry& e = it->second;
    const Path& p = e.path;
    std::map<uint32_t, Mac> want;
    std::set<Ovl2Key> ovl2;
    if (!e.deleted) {
        for (const auto& [d, name] :
             {std::make_pair(&p.forward, "fwd"), std::make_pair(&p.reverse, "rev")}) {
            for (const si::Hop& h : d->hops) {
                if (!h.HasMac())
                    continue;
                want[NshKey(h)] = h.mac;
                CFG_DEBUG("SIApp: sent nshEntry(%1) with %1 SPI: %2, SI: %3 and MAC: %4", name,
                          h.spi, h.si, MacText(h.mac));
                if (!h.dvs.empty())
                    ovl2.emplace(h.dvs, h.ovl2, h.mac);
            }
        }
    }
    for (const auto& [key, mac] : e.nsh) {
        if (want.count(key) == 0) {
            CFG_DEBUG("SIApp: sent nshDelEntry with SPI: %1 and SI: %2 and MAC: %3", key >> 8,
                      key & 0xFF, MacText(mac));
            QueueNshDelete(key, mac);
        }
    }
    for (const auto& [key, mac] : want)
        QueueNshSet(key, mac);
    e.nsh = std::move(want);

    for (const Ovl2Key& k : e.ovl2) {
        if (ovl2.count(k) == 0 && --ovl2Refs_[k] == 0) {
            ovl2Refs_.erase(k);
            owed_.ovl2Adds.erase(k);
            owed_.ovl2Deletes.insert(k);
        }
    }
    for (const Ovl2Key& k : ovl2) {
        if (e.ovl2.count(k) == 0)
            ++ovl2Refs_[k];
        owed_.ovl2Deletes.erase(k);
        owed_.ovl2Adds.insert(k);  // an add of a held entry refreshes it
    }
    e.ovl2 = std::move(ovl2);

    // A path with a hop whose MAC is not known yet carries no traffic: its SPIs are marked failed
    // until every hop has one (or the path goes).
    const bool wantFailed = !e.deleted && !p.Usable();
    if (wantFailed != e.failed) {
        for (uint32_t spi : Spis(p))
            owed_.failOps[spi] = wantFailed ? kFailSpi : kUnfailSpi;
        e.failed = wantFailed;
    }
    dirtyChains_.insert(p.chainId);
    if (e.deleted) {
        pathsByChain_[p.chainId].erase(uuid);
        if (pathsByChain_[p.chainId].empty())
            pathsByChain_.erase(p.chainId);
        CFG_DEBUG("SIApp: deleted pathCache entry with UUID %1", uuid);
        paths_.erase(it);
    }
}

void SIApp::BuildChainDelete(const std::string& uuid) {
    auto it = chains_.find(uuid);
    if (it == chains_.end() || !it->second.deleted)
        return;
    if (it->second.programmed) {
        CFG_DEBUG("SIApp: sent chainDelEntry with UUID: %1", uuid);
        owed_.chainDeletes.insert(uuid);
    }
    auto owner = chainByNumber_.find(it->second.chain.chainId);
    if (owner != chainByNumber_.end() && owner->second == uuid)
        chainByNumber_.erase(owner);
    chains_.erase(it);
}

void SIApp::BuildPolicyDelete(const std::string& uuid) {
    auto it = policies_.find(uuid);
    if (it == policies_.end() || !it->second.deleted)
        return;
    const si::Policy& p = it->second.policy;
    if (p.failure == si::kFailureAllow && p.chainId <= kMaxChainId) {
        auto owner = chainByNumber_.find(static_cast<uint16_t>(p.chainId));
        if (owner != chainByNumber_.end()) {
            ChainEntry& c = chains_.at(owner->second);
            if (c.programmed) {
                CFG_DEBUG("SIApp: sent chainDelEntry for failure policy with UUID: %1",
                          owner->second);
                owed_.chainDeletes.insert(owner->second);
                c.programmed = false;
                c.slots.clear();
            }
        }
    }
    policies_.erase(it);
}

std::vector<const Path*> SIApp::ChainPaths(uint16_t number, bool usableOnly) const {
    std::vector<const Path*> out;
    auto it = pathsByChain_.find(number);
    if (it == pathsByChain_.end())
        return out;
    out.reserve(it->second.size());
    for (const std::string& uuid : it->second) {
        const PathEntry& e = paths_.at(uuid);
        if (!e.deleted && (!usableOnly || e.path.Usable()))
            out.push_back(&e.path);
    }
    return out;
}

void SIApp::BuildChain(uint16_t number, Batch* batch) {
    auto owner = chainByNumber_.find(number);
    if (owner == chainByNumber_.end())
        return;
    ChainEntry& c = chains_.at(owner->second);
    if (c.deleted)
        return;
    std::vector<const Path*> ordered = ChainPaths(number, true);
    si::SIPathSelector::Order(c.chain.selection, &ordered);
    c.slots = selector_.Select(ordered, c.slots);
    if (c.slots.empty()) {
        // No usable path: the chain's entry goes (never a division by a zero path count).
        if (c.programmed) {
            CFG_INFO("SIApp: chain %1 has no usable path; its entry is deleted", c.chain.uuid);
            owed_.chainDeletes.insert(c.chain.uuid);
            c.programmed = false;
        }
        return;
    }
    SiChainEntry entry;
    entry.uuid = c.chain.uuid;
    entry.chainId = c.chain.chainId;
    entry.policy = c.chain.selection;
    for (const std::string& uuid : c.slots) {
        const Path& p = paths_.at(uuid).path;
        SiChainSlot slot;
        slot.pathId = p.pathId;
        slot.forward = FirstHop(p.forward);
        slot.reverse = FirstHop(p.reverse);
        CFG_DEBUG("SIApp: chainEntry with fwd SPI: %1 and MAC %2", slot.forward.spi,
                  MacText(slot.forward.mac));
        entry.slots.push_back(slot);
    }
    CFG_DEBUG("SIApp: chain created with num_paths %1 ", entry.slots.size());
    c.programmed = true;
    batch->chainSets.push_back(std::move(entry));
}

bool SIApp::ProcessUpdates() {
    const auto begin = std::chrono::steady_clock::now();
    Batch batch;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (dirtyPaths_.empty() && dirtyChains_.empty() && deletedChains_.empty() &&
            deletedPolicies_.empty() && owed_.Empty()) {
            CFG_DEBUG("SIApp: No updates");
            return true;
        }
        CFG_DEBUG("SIApp: process loop wakes up to process update");
        for (const std::string& uuid : dirtyPaths_)
            BuildPath(uuid);
        dirtyPaths_.clear();
        for (const std::string& uuid : deletedChains_)
            BuildChainDelete(uuid);
        deletedChains_.clear();
        for (const std::string& uuid : deletedPolicies_)
            BuildPolicyDelete(uuid);
        deletedPolicies_.clear();
        for (uint16_t number : dirtyChains_)
            BuildChain(number, &batch);
        dirtyChains_.clear();
        std::vector<SiChainEntry> sets = std::move(batch.chainSets);
        batch = std::move(owed_);
        batch.chainSets = std::move(sets);
        owed_ = Batch();
    }
    if (Send(batch)) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - begin)
                            .count();
        CFG_INFO("SIApp: successfully processed request: %1 ms", ms);
        return true;
    }
    CFG_ERROR_CODE("LCP01716", "SIApp: Error sending the updates to DP");
    std::lock_guard<std::mutex> lock(mutex_);
    Restore(batch);
    return false;
}

void SIApp::Restore(Batch& failed) {
    // Whatever a newer pass already owes for the same key wins.
    for (const std::string& uuid : failed.chainDeletes)
        owed_.chainDeletes.insert(uuid);
    for (const auto& [key, mac] : failed.nshSets) {
        if (owed_.nshSets.count(key) == 0 && owed_.nshDeletes.count(key) == 0)
            owed_.nshSets[key] = mac;
    }
    for (const auto& [key, mac] : failed.nshDeletes) {
        if (owed_.nshSets.count(key) == 0 && owed_.nshDeletes.count(key) == 0)
            owed_.nshDeletes[key] = mac;
    }
    for (const auto& [spi, action] : failed.failOps)
        owed_.failOps.emplace(spi, action);
    for (const Ovl2Key& k : failed.ovl2Adds) {
        if (ovl2Refs_.count(k) != 0)
            owed_.ovl2Adds.insert(k);
    }
    for (const Ovl2Key& k : failed.ovl2Deletes) {
        if (ovl2Refs_.count(k) == 0)
            owed_.ovl2Deletes.insert(k);
    }
    for (const SiChainEntry& e : failed.chainSets) {
        auto it = chains_.find(e.uuid);
        if (it != chains_.end() && !it->second.deleted)
            dirtyChains_.insert(it->second.chain.chainId);
    }
}

bool SIApp::SendSi(uint32_t command, size_t entrySize, const std::vector<uint8_t>& entries,
                   size_t count, const char* okText, const char* failText, const char* codeTag) {
    bool ok = true;
    const size_t chunk = kMaxBatch * entrySize;
    for (size_t at = 0; at < entries.size(); at += chunk) {
        const size_t bytes = std::min(chunk, entries.size() - at);
        const uint32_t n = static_cast<uint32_t>(bytes / entrySize);
        int rc = 0;
        if (bytes == entries.size()) {
            rc = options_.dataplane->SiIoctl(command, n, static_cast<uint32_t>(entrySize), entries);
        } else {
            std::vector<uint8_t> part(entries.begin() + static_cast<std::ptrdiff_t>(at),
                                      entries.begin() + static_cast<std::ptrdiff_t>(at + bytes));
            rc = options_.dataplane->SiIoctl(command, n, static_cast<uint32_t>(entrySize), part);
        }
        if (rc != 0) {
            CFG_LOG_TAGS(::CfgAgent::kLogError, {codeTag}, failText, rc);
            ok = false;
        }
    }
    if (ok)
        CFG_INFO(okText, count);
    return ok;
}

bool SIApp::SendOvl2(bool add, const std::set<Ovl2Key>& keys) {
    std::vector<uint8_t> entries;
    entries.reserve(keys.size() * kOvl2EntrySize);
    uint32_t n = 0;
    bool ok = true;
    auto flush = [&] {
        if (n == 0)
            return;
        if (options_.dataplane->Ovl2(add ? kOvl2AddMac : kOvl2DelMac, n, entries) != 0)
            ok = false;
        entries.clear();
        n = 0;
    };
    for (const auto& [dvs, segment, mac] : keys) {
        CFG_DEBUG("SIApp: AddDelMACTableEntry dvsId %1, ovl2ID %2 inner_MAC %3 add %4", dvs,
                  segment, MacText(mac), add);
        if (!EncodeOvl2Entry(Ovl2Entry{dvs, segment, mac}, &entries))
            continue;  // validated on intake; never here
        if (++n == kMaxBatch)
            flush();
    }
    flush();
    if (!ok) {
        for (const auto& k : keys) {
            CFG_ERROR_CODE("LCP01717", "SIApp: Add MACTableEntry failed for MAC %1",
                           MacText(std::get<2>(k)));
            break;  // one line per batch
        }
    } else if (add) {
        CFG_DEBUG("SIApp: MAC Auto refresh successful for %1 MACs", keys.size());
    }
    return ok;
}

bool SIApp::Send(Batch& b) {
    bool ok = true;
    std::vector<uint8_t> bytes;
    if (!b.chainDeletes.empty()) {
        bytes.reserve(b.chainDeletes.size() * kChainEntrySize);
        for (const std::string& uuid : b.chainDeletes)
            EncodeChainDelete(uuid, &bytes);
        if (SendSi(kSiDelChain, kChainEntrySize, bytes, b.chainDeletes.size(),
                   "SIApp: delete for %1 chain entries sent to DP",
                   "SIApp: Failed to delete chain entry: %1", "errorCode:LCP01712"))
            b.chainDeletes.clear();
        else
            ok = false;
    }
    auto nsh = [&](std::map<uint32_t, Mac>& m, uint32_t command, const char* okText,
                   const char* failText, const char* codeTag) {
        if (m.empty())
            return;
        bytes.clear();
        bytes.reserve(m.size() * kNshEntrySize);
        for (const auto& [key, mac] : m)
            EncodeNshEntry(SiHopRef{key >> 8, static_cast<uint8_t>(key & 0xFF), mac}, &bytes);
        if (SendSi(command, kNshEntrySize, bytes, m.size(), okText, failText, codeTag))
            m.clear();
        else
            ok = false;
    };
    // A stage that fails ends the pass: what it and the later stages hold stays owed (chain
    // entries name the SPIs of the NSH entries before them).
    if (!ok)
        return false;
    nsh(b.nshSets, kSiSetNsh, "SIApp: sent %1 nsh entries to DP",
        "SIApp: Failed to set nsh entry: %1", "errorCode:LCP01713");
    if (!ok)
        return false;
    if (!b.chainSets.empty()) {
        bytes.clear();
        bytes.reserve(b.chainSets.size() * kChainEntrySize);
        size_t n = 0;
        for (const SiChainEntry& e : b.chainSets) {
            if (EncodeChainEntry(e, &bytes)) {
                ++n;
                CFG_DEBUG("SIApp: sent chainEntry with UUID %1", e.uuid);
            }
        }
        if (SendSi(kSiSetChain, kChainEntrySize, bytes, n, "SIApp: sent %1 Mp chain entries to DP",
                   "SIApp: Failed to set Multipath chain entry: %1", "errorCode:LCP01711"))
            b.chainSets.clear();
        else
            ok = false;
    }
    if (!ok)
        return false;
    nsh(b.nshDeletes, kSiDelNsh, "SIApp: delete for %1 nsh entries sent to DP",
        "SIApp: Failed to delete nsh entry: %1", "errorCode:LCP01714");
    if (!ok)
        return false;
    for (uint8_t action : {kFailSpi, kUnfailSpi}) {
        bytes.clear();
        size_t n = 0;
        for (const auto& [spi, a] : b.failOps) {
            if (a == action && EncodeFailEntry(SiFailEntry{spi, a}, &bytes))
                ++n;
        }
        if (n == 0)
            continue;
        const char* name = action == kFailSpi ? "FAIL_SPI" : "UNFAIL_SPI";
        int rc = options_.dataplane->SiIoctl(kSiFailUnfail, static_cast<uint32_t>(n),
                                             kFailEntrySize, bytes);
        if (rc != 0) {
            CFG_ERROR_CODE("SIERR_FAILUNFAIL_SPI_ENTRY", "SIApp: Failed to send %1 entry: %2", name,
                           rc);
            return false;
        }
        CFG_INFO("SIApp: sent %1 %2 ioctl to DP", n, name);
        for (auto it = b.failOps.begin(); it != b.failOps.end();)
            it = it->second == action ? b.failOps.erase(it) : std::next(it);
    }
    if (!b.ovl2Adds.empty()) {
        if (!SendOvl2(true, b.ovl2Adds))
            return false;
        b.ovl2Adds.clear();
    }
    if (!b.ovl2Deletes.empty()) {
        if (SendOvl2(false, b.ovl2Deletes))
            b.ovl2Deletes.clear();
        else
            ok = false;
    }
    return ok;
}

// ---- CLI ----

void SIApp::RegisterCliPages(CliPages& pages) {
    // The CLI server stops before the applications are released.
    pages.Add("si/get-ordered-service-paths", "", 1, 2,
              [this](const CliPages::Args& a) { return OrderedPaths(a); });
    pages.Add("si/get-selected-service-paths", "", 1, 1,
              [this](const CliPages::Args& a) { return SelectedPaths(a); });
}

const SIApp::ChainEntry* SIApp::CliChain(const std::string& arg, CliReply* error) const {
    *error = CliReply::Error("Query Service Path fail");
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(arg.c_str(), &end, 10);
    if (arg.empty() || *end != '\0' || errno != 0 || arg[0] == '-' || v > 0xFFFF) {
        CFG_ERROR("CLI: Bad option");
        return nullptr;
    }
    if (v == 0) {
        CFG_ERROR("CLI: chain ID cannot be 0. %1", arg);
        return nullptr;
    }
    auto owner = chainByNumber_.find(static_cast<uint16_t>(v));
    if (owner == chainByNumber_.end() || chains_.at(owner->second).deleted) {
        CFG_ERROR("CLI: chain ID %1 does not exist.", v);
        return nullptr;
    }
    return &chains_.at(owner->second);
}

CliReply SIApp::OrderedPaths(const CliPages::Args& args) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string filter;
    if (args.size() == 2) {
        filter = args[1];
        if (filter != "active" && filter != "maintenance-mode") {
            CFG_ERROR("CLI: Bad option");
            return CliReply::Error("Query Service Path fail");
        }
    }
    std::vector<const ChainEntry*> list;
    if (args[0] == "all") {
        for (const auto& [uuid, c] : chains_) {
            if (!c.deleted)
                list.push_back(&c);
        }
        std::sort(list.begin(), list.end(), [](const ChainEntry* a, const ChainEntry* b) {
            return a->chain.chainId < b->chain.chainId;
        });
    } else {
        CliReply error;
        const ChainEntry* c = CliChain(args[0], &error);
        if (c == nullptr)
            return error;
        list.push_back(c);
    }
    nlohmann::json chains = nlohmann::json::array();
    for (const ChainEntry* c : list) {
        std::vector<const Path*> ordered = ChainPaths(c->chain.chainId, false);
        si::SIPathSelector::Order(c->chain.selection, &ordered);
        nlohmann::json paths = nlohmann::json::array();
        for (const Path* p : ordered) {
            const char* state = p->Usable() ? "active" : "maintenance-mode";
            if (!filter.empty() && filter != state)
                continue;
            paths.push_back({{"service_path_id", p->pathId},
                             {"uuid", p->uuid},
                             {"state", state},
                             {"forward", DirectionJson(p->forward)},
                             {"reverse", DirectionJson(p->reverse)}});
        }
        chains.push_back({{"service_chain_id", c->chain.chainId},
                          {"uuid", c->chain.uuid},
                          {"path_selection_policy", si::SelectionName(c->chain.selection)},
                          {"ordered_service_paths", paths}});
    }
    return CliReply::Ok(nlohmann::json{{"si_ordered_service_paths", chains}}.dump());
}

CliReply SIApp::SelectedPaths(const CliPages::Args& args) const {
    std::lock_guard<std::mutex> lock(mutex_);
    CliReply error;
    const ChainEntry* c = CliChain(args[0], &error);
    if (c == nullptr)
        return error;
    nlohmann::json slots = nlohmann::json::array();
    for (size_t i = 0; i < c->slots.size(); ++i) {
        auto it = paths_.find(c->slots[i]);
        if (it == paths_.end() || it->second.deleted)
            continue;  // the loop has yet to pick again
        const Path& p = it->second.path;
        slots.push_back({{"slot", i}, {"service_path_id", p.pathId}, {"uuid", p.uuid}});
    }
    std::set<std::string> distinct(c->slots.begin(), c->slots.end());
    return CliReply::Ok(nlohmann::json{{"si_selected_service_paths",
                                        {{"service_chain_id", c->chain.chainId},
                                         {"uuid", c->chain.uuid},
                                         {"num_paths", distinct.size()},
                                         {"programmed", c->programmed},
                                         {"slots", slots}}}}
                            .dump());
}

// ---- tests ----

std::vector<std::string> SIApp::Slots(const std::string& chainUuid) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = chains_.find(chainUuid);
    return it == chains_.end() ? std::vector<std::string>{} : it->second.slots;
}

size_t SIApp::PolicyCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count_if(policies_.begin(), policies_.end(),
                                             [](const auto& e) { return !e.second.deleted; }));
}

size_t SIApp::ChainCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count_if(chains_.begin(), chains_.end(),
                                             [](const auto& e) { return !e.second.deleted; }));
}

size_t SIApp::PathCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count_if(paths_.begin(), paths_.end(),
                                             [](const auto& e) { return !e.second.deleted; }));
}

}  // namespace CfgAgent
