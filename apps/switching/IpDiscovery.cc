#include "apps/switching/IpDiscovery.h"

#include <optional>
#include <utility>

#include "platform/upm/UPMService.h"
#include "proto/cairndb_switching.pb.h"

#include <boost/property_tree/ptree.hpp>

#include "dataplane/SwsecProtocol.h"
#include "intake/ICairndbClient.h"
#include "proto/UuidText.h"
#include "proto/cairndb_switching.pb.h"
#include "runtime/AgentLock.h"
#include "runtime/Logger.h"
#include "statecache/IdText.h"
#include "statecache/MemoryEstimate.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {

constexpr uint16_t kHostVdb = 1;

// A guest-tool binding of a DA_VIF object.
IpBinding BindingFromDaVif(const pb::DaVifBindingMsg& b) {
    IpBinding out;
    out.method = kcp::kDiscoveryVmTools;
    if (b.has_ip()) {
        if (b.ip().has_ipv4()) {
            out.hasAddress = true;
            out.ipv4 = true;
            StoreBe32(out.address.data(), b.ip().ipv4());
        } else if (b.ip().has_ipv6() && b.ip().ipv6().size() == 16) {
            out.hasAddress = true;
            std::copy(b.ip().ipv6().begin(), b.ip().ipv6().end(), out.address.begin());
        }
    }
    if (b.has_mac()) {
        out.hasMac = true;
        out.mac = MacFromU64(b.mac());
    }
    out.vlan = static_cast<uint16_t>(b.vlan());
    return out;
}

void AppendNew(std::vector<IpBinding>& out, const std::vector<IpBinding>& from) {
    for (const IpBinding& b : from) {
        bool seen = false;
        for (const IpBinding& o : out) {
            if (o.SameBinding(b)) {
                seen = true;
                break;
            }
        }
        if (!seen)
            out.push_back(b);
    }
}

}  // namespace

std::string VifKey(const std::string& vifId) {
    uint64_t left = 0;
    uint64_t right = 0;
    if (ozy::cairndb::ParseUuidText(vifId, &left, &right))
        return ozy::cairndb::UuidText(left, right);
    return vifId;
}

IpDiscovery::IpDiscovery(IIpDiscoveryOwner* owner, ICairndbClient* cairndb, KrnlinkFactory makeLink)
    : owner_(owner),
      cairndb_(cairndb),
      makeLink_(makeLink ? std::move(makeLink) : SystemKrnlinkFactory()) {
    CFG_INFO("IpDiscovery: Constructor");
}

IpDiscovery::~IpDiscovery() {
    if (upm_ != nullptr && upmCallback_ != 0)
        upm_->UnregisterMonitorCallback(upmCallback_);
    CFG_INFO("IpDiscovery: Destructor");
}

void IpDiscovery::Start(const boost::property_tree::ptree& config) {
    CFG_INFO("IpDiscovery: Start called");
    std::string path = config.get<std::string>(kLinkKey, kDefaultLinkName);
    ozy::RefPtr<IpDiscovery> self(this);
    link_ = makeLink_(
        path, [self](const uint8_t* msg, size_t length) { self->HandleSwsecMessage(msg, length); },
        [self](DataplaneLink* link, int status) { self->HandleLinkStatus(link, status); },
        kLinkBufferSize);
    if (link_)
        link_->Start();
}

void IpDiscovery::AttachProfileService(ozy::upm::UPMService* upm) {
    upm_ = upm;
    if (upm_ == nullptr)
        return;
    upmCallback_ = upm_->RegisterMonitorCallback(
        {ozy::upm::kProfileIpDiscovery},
        [this](const std::vector<ozy::upm::ProfileUpdate>& updates, bool fullSync) {
            std::lock_guard<std::mutex> lock(profileMutex_);
            if (fullSync)
                portProfiles_.clear();
            // The ports of one profile share its body: parsed once, its text kept for each.
            std::map<const std::string*, std::optional<std::string>> texts;
            for (const ozy::upm::ProfileUpdate& u : updates) {
                std::optional<std::string> text;
                if (u.HasProfile()) {
                    auto it = texts.find(u.profile.get());
                    if (it == texts.end()) {
                        orvane::ozy::cairndb::ProfileMsg profile;
                        std::optional<std::string> parsed;
                        if (profile.ParseFromString(*u.profile))
                            parsed = profile.ip_discovery_profile().ShortDebugString();
                        it = texts.emplace(u.profile.get(), std::move(parsed)).first;
                    }
                    text = it->second;
                }
                if (!text) {
                    portProfiles_.erase(u.portId);
                    CFG_INFO("IpDiscovery: port %1 has no IP discovery profile", u.portId);
                    continue;
                }
                CFG_INFO("IpDiscovery: IP discovery profile %1 of port %2: %3", u.profileId,
                         u.portId, *text);
                portProfiles_[u.portId] = std::move(*text);
            }
        });
}

bool IpDiscovery::SelectEffectiveProfile(const std::string& portId,
                                         orvane::ozy::cairndb::IpDiscoveryProfileMsg* out) const {
    CFG_DEBUG("IpDiscovery: SelectEffectiveProfile: Getting profiles for port %1", portId);
    if (upm_ == nullptr)
        return false;
    std::string body = upm_->EffectiveProfile(portId, ozy::upm::kProfileIpDiscovery);
    orvane::ozy::cairndb::ProfileMsg profile;
    if (body.empty() || !profile.ParseFromString(body))
        return false;
    *out = profile.ip_discovery_profile();
    return true;
}

size_t IpDiscovery::ProfiledPortCount() const {
    std::lock_guard<std::mutex> lock(profileMutex_);
    return portProfiles_.size();
}

void IpDiscovery::Stop() {
    CFG_INFO("IpDiscovery: Stop called");
    // Waits for a delivery in progress; afterwards none reaches this object.
    if (upm_ != nullptr && upmCallback_ != 0) {
        upm_->UnregisterMonitorCallback(upmCallback_);
        upmCallback_ = 0;
    }
    ozy::RefPtr<DataplaneLink> link;
    {
        AgentLockGuard lock(GlobalAgentLock());
        stopped_ = true;
        owner_ = nullptr;
        link = link_;
    }
    // The link's handlers hold this object: stopping the link breaks that cycle.
    if (link)
        link->Stop();
    AgentLockGuard lock(GlobalAgentLock());
    link_.reset();
}

bool IpDiscovery::LinkUp() const {
    return linkUp_.load();
}

void IpDiscovery::HandleLinkStatus(DataplaneLink* link, int status) {
    AgentLockGuard lock(GlobalAgentLock());
    if (link_ && link != link_.get())
        return;
    if (status == DataplaneLink::kLinkUp) {
        CFG_INFO("IpDiscovery: DP link status turns to UP");
        linkUp_ = true;
    } else if (status == DataplaneLink::kLinkDown) {
        CFG_INFO("IpDiscovery: DP link status turns to DOWN");
        linkUp_ = false;
    }
}

bool IpDiscovery::Connected(const std::string& vifKey) const {
    return connected_.count(dvs::PackedId(vifKey)) != 0;
}

size_t IpDiscovery::TableBytes() const {
    using sc::ContainerBytes;
    size_t n = sc::HeapChunk(connected_.bucket_count() * sizeof(void*)) +
               connected_.size() * sc::HeapChunk(sizeof(void*) + sizeof(dvs::PackedId));
    for (const dvs::PackedId& key : connected_)
        n += key.HeapBytes();
    for (const auto* table : {&dpBindings_, &daBindings_}) {
        n += ContainerBytes(*table);
        for (const auto& [key, bindings] : *table)
            n += sc::StringBytes(key) + ContainerBytes(bindings);
    }
    return n;
}

std::vector<IpBinding> IpDiscovery::EffectiveBindings(const std::string& vifKey) const {
    std::vector<IpBinding> out;
    auto dp = dpBindings_.find(vifKey);
    if (dp != dpBindings_.end())
        AppendNew(out, dp->second);
    auto da = daBindings_.find(vifKey);
    if (da != daBindings_.end())
        AppendNew(out, da->second);
    return out;
}

std::vector<IpDiscResult> IpDiscovery::Results(const std::set<std::string>& keys) const {
    std::vector<IpDiscResult> out;
    out.reserve(keys.size());
    for (const std::string& k : keys)
        out.push_back(IpDiscResult{k, EffectiveBindings(k)});
    return out;
}

// ---- DA_VIF ----

void IpDiscovery::UpdateDesiredState(const CairnDBUpdateList& msgs, bool fullSync) {
    CFG_INFO("IpDiscovery: UpdateDesiredState called, isFullSync = %1, msgs size = %2", fullSync,
             msgs.size());
    std::set<std::string> changed;
    std::set<std::string> seen;
    for (const CairnDBUpdateMsg& m : msgs) {
        if (m.objType != ObjectType::DA_VIF)
            continue;
        if (m.op != Operation::OPERATION_UPDATE && m.op != Operation::OPERATION_DELETE) {
            CFG_ERROR_CODE("LCP00001",
                           "IpDiscovery: DaVif invalid op %1, not caching or writing to StateCache",
                           static_cast<uint32_t>(m.op));
            continue;
        }
        std::string key = VifKey(IdText(m.id));
        if (key.empty()) {
            CFG_ERROR_CODE("LCP00001", "IpDiscovery: DaVif record without id, ignored");
            continue;
        }
        if (m.op == Operation::OPERATION_DELETE) {
            // A whole-object delete and the delete of the bindings property both leave the VIF
            // without guest-tool bindings.
            auto it = daBindings_.find(key);
            if (it == daBindings_.end()) {
                if (fullSync)
                    CFG_INFO("IpDiscovery: full sync delete VIF %1 not found in local cache", key);
                continue;
            }
            daBindings_.erase(it);
            changed.insert(key);
            continue;
        }
        if (m.data.empty()) {
            CFG_WARN("IpDiscovery: received empty property valuefrom CairnDb");
            continue;
        }
        pb::DaVifMsg davif;
        if (!davif.ParseFromString(m.data)) {
            CFG_ERROR_CODE("LCP00001", "IpDiscovery: DaVif %1 body cannot be parsed, ignored", key);
            continue;
        }
        CFG_DEBUG("IpDiscovery: DaVifMsg id : %1", key);
        // A whole-object record without the bindings field says nothing about them.
        if (m.property == PropertyType::INVALID_PROPERTY && davif.bindings_size() == 0 &&
            daBindings_.count(key) != 0) {
            seen.insert(key);
            continue;
        }
        std::vector<IpBinding> bindings;
        for (const pb::DaVifBindingMsg& b : davif.bindings())
            bindings.push_back(BindingFromDaVif(b));
        seen.insert(key);
        std::vector<IpBinding>& slot = daBindings_[key];
        bool same = slot.size() == bindings.size();
        for (size_t i = 0; same && i < bindings.size(); ++i)
            same = slot[i].SameBinding(bindings[i]);
        if (!same) {
            slot = std::move(bindings);
            changed.insert(key);
        }
    }
    if (fullSync) {
        // What the full sync did not deliver no longer exists.
        for (auto it = daBindings_.begin(); it != daBindings_.end();) {
            if (seen.count(it->first) == 0) {
                changed.insert(it->first);
                it = daBindings_.erase(it);
            } else {
                ++it;
            }
        }
    }
    if (!changed.empty() && owner_ != nullptr)
        owner_->OnIpDiscoveryReady(false, Results(changed), false);
}

// ---- dataplane reports ----

void IpDiscovery::ProcessVifUpdate(const std::vector<IpDiscVifUpdate>& upds, bool fullSync) {
    CFG_DEBUG("IpDiscovery: ProcessVifUpdate with upds size : %1, isVifFullSync : %2", upds.size(),
              fullSync);
    if (fullSync) {
        CFG_DEBUG(
            "IpDiscovery: ProcessVifUpdate, full sync scenario, not updating runtime state "
            "directly");
        connected_.clear();
    }
    for (const IpDiscVifUpdate& u : upds) {
        dvs::PackedId key(VifKey(u.vifId));
        if (u.deleted || !u.connected) {
            connected_.erase(key);
        } else {
            connected_.insert(std::move(key));
        }
    }
}

void IpDiscovery::ProcessIpDiscList(const std::vector<IpDiscVifUpdate>& upds, bool fullSync) {
    std::set<std::string> changed;
    if (fullSync) {
        for (const auto& [key, bindings] : dpBindings_)
            changed.insert(key);
        dpBindings_.clear();
    }
    for (const IpDiscVifUpdate& u : upds) {
        std::string key = VifKey(u.vifId);
        changed.insert(key);
        if (u.deleted) {
            CFG_DEBUG("IpDiscovery: ProcessIpDiscList, KCP_OP_DELETE");
            dpBindings_.erase(key);
            continue;
        }
        CFG_DEBUG("IpDiscovery: ProcessIpDiscList, KCP_OP_UPDATE");
        if (!u.hasBindings)
            continue;
        std::vector<IpBinding> kept;
        for (const IpBinding& b : u.bindings) {
            if (kcp::DiscoveryMethodName(b.method) == nullptr) {
                CFG_ERROR_CODE(
                    "LCP00001",
                    "IP Discovery: Received unsupported discovery source binding from datapath");
                continue;
            }
            CFG_TRACE(b.ipv4 ? "IpDiscovery: Setting v4 address"
                             : "IpDiscovery: Setting v6 address");
            kept.push_back(b);
        }
        if (kept.empty()) {
            dpBindings_.erase(key);
        } else {
            dpBindings_[key] = std::move(kept);
        }
    }
    // Deleted VIFs are reported too (with what the guest tools still say), so that the owner sees
    // every VIF the update touched.
    if (owner_ != nullptr)
        owner_->OnIpDiscoveryReady(true, Results(changed), fullSync);
}

// ---- switch-security link ----

void IpDiscovery::HandleSwsecMessage(const uint8_t* msg, size_t length) {
    if (length < kDpMsgHeaderSize || DpMsgCheckedLength(msg, length) == 0) {
        CFG_ERROR_CODE("LCP00510", "IpDiscovery: DP MSG length shorter than expected.");
        return;
    }
    if (DpMsgType(msg) != swsec::kMsgBindingSolicitation) {
        CFG_ERROR_CODE("LCP00510", "IpDiscovery: DP MSG type not supported");
        return;
    }
    std::string vifId;
    if (!swsec::ParseBindingSolicitation(msg, length, &vifId)) {
        CFG_ERROR_CODE("LCP00510", "IpDiscovery: DP MSG length shorter than expected.");
        return;
    }
    if (vifId.empty() || !IsPrintableId(vifId)) {
        CFG_ERROR_CODE("LCP00510", "IpDiscovery: solicitation without a usable VIF ID, dropped");
        return;
    }
    HandleSolicitation(vifId);
}

void IpDiscovery::HandleSolicitation(const std::string& vifId) {
    CFG_INFO("IpDiscovery: Received DP vm_tools binding solicitation. vif ID: %1", vifId);
    uint16_t vdb = kHostVdb;
    {
        AgentLockGuard lock(GlobalAgentLock());
        if (stopped_)
            return;
        if (cairndb_ == nullptr) {
            CFG_ERROR("IpDiscovery: Cairndb get failed.");
            return;
        }
        if (cairndb_->mainVdbId() != 0)
            vdb = cairndb_->mainVdbId();
    }
    CFG_DEBUG("IpDiscovery: Query cairndb for davif.");
    ozy::RefPtr<IpDiscovery> self(this);
    cairndb_->getObject(
        ObjectType::DA_VIF, vdb, VifKey(vifId),
        [self, vifId](ICairndbClient::LookupResult result, const std::string& body) {
            self->AnswerSolicitation(vifId, static_cast<int>(result), body);
        });
}

void IpDiscovery::AnswerSolicitation(const std::string& vifId, int result,
                                     const std::string& body) {
    using LR = ICairndbClient::LookupResult;
    if (result == static_cast<int>(LR::kFailed)) {
        CFG_ERROR("IpDiscovery: Cairndb get failed.");
        return;
    }
    if (result == static_cast<int>(LR::kNotFound)) {
        CFG_INFO("IpDiscovery: No da_vif found.");
        return;
    }
    pb::DaVifMsg davif;
    if (!davif.ParseFromString(body)) {
        CFG_ERROR_CODE("LCP00001", "IpDiscovery: da_vif of VIF %1 cannot be parsed", vifId);
        return;
    }
    CFG_INFO("IpDiscovery: retrieved da_vif from cairnDB with binding sz = %1",
             davif.bindings_size());
    std::vector<swsec::BindingEntry> entries;
    for (const pb::DaVifBindingMsg& b : davif.bindings()) {
        IpBinding ib = BindingFromDaVif(b);
        if (!ib.hasAddress || !ib.hasMac || entries.size() >= swsec::kMaxBindingEntries) {
            CFG_DEBUG("IpDiscovery: Skipped davif binding item");
            continue;
        }
        swsec::BindingEntry e;
        e.ipv4 = ib.ipv4;
        e.address = ib.address;
        e.mac = ib.mac;
        entries.push_back(e);
    }
    AgentLockGuard lock(GlobalAgentLock());
    if (stopped_)
        return;
    if (!Connected(VifKey(vifId)))
        CFG_WARN("IpDiscovery: davif contains vif id %1 that is not connected", vifId);
    DpMsg msg = swsec::BuildVmToolsBindings(vifId, entries);
    if (msg.empty()) {
        CFG_ERROR_CODE("LCP00510", "IpDiscovery: cannot build the bindings message of VIF %1",
                       vifId);
        return;
    }
    CFG_INFO("IpDiscovery: Msg vmtools bindings to SwSec");
    if (!link_ || !linkUp_) {
        CFG_WARN("IpDiscovery: DAVIF_MSG received. Swsec krnlink not ready.");
        return;
    }
    link_->Send(std::move(msg));
}

}  // namespace CfgAgent
