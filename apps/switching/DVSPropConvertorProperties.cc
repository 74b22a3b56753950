// DVSPropConvertor: the desired properties of every dataplane record (port, host switch, kernel
// interface) and the sending of their differences from what the dataplane was last given.
#include "apps/switching/DVSPropConvertor.h"
#include "apps/switching/DVSPropConvertorEncode.h"
#include "apps/switching/DVSPropConvertorInternal.h"
#include "dataplane/IKCPMsgConvertor.h"
#include "dataplane/KcpBuilders.h"
#include "dataplane/KcpPropertyTable.h"
#include "dataplane/KcpProtocol.h"

namespace CfgAgent {

using namespace dvs;

namespace {

const PropKey kBlockKey{kcp::kPropBlock, std::string()};

void Set(PropSet& out, uint16_t key, std::vector<uint8_t> value) {
    out[{key, std::string()}] = std::move(value);
}

bool Unblocked(const PropSet& set) {
    auto it = set.find(kBlockKey);
    return it != set.end() && it->second.size() == 1 && it->second[0] == kcp::kUnblocked;
}

// Property elements of `keys` (values from `set`). A BLOCK goes first, so that the port stops
// before anything else changes; an UNBLOCK last, after the properties it guards.
std::vector<std::vector<uint8_t>> Elements(const PropSet& set, const std::vector<PropKey>& keys) {
    std::vector<std::vector<uint8_t>> out;
    out.reserve(keys.size());
    std::vector<uint8_t> block;
    for (const PropKey& k : keys) {
        auto it = set.find(k);
        if (it == set.end())
            continue;
        std::vector<uint8_t> e = kcp::MakeKcpProperty(k.first, it->second);
        if (e.empty())
            continue;  // logged by MakeKcpProperty
        if (k == kBlockKey)
            block = std::move(e);
        else
            out.push_back(std::move(e));
    }
    if (!block.empty()) {
        if (Unblocked(set))
            out.push_back(std::move(block));
        else
            out.insert(out.begin(), std::move(block));
    }
    return out;
}

std::vector<PropKey> AllKeys(const PropSet& set) {
    std::vector<PropKey> keys;
    keys.reserve(set.size());
    for (const auto& entry : set)
        keys.push_back(entry.first);
    return keys;
}

// A DELETE names a property by its key alone; a property with instances also needs its value,
// whose first field tells the instance.
std::vector<std::vector<uint8_t>> DeleteElements(const PropSet& installed,
                                                 const std::vector<PropKey>& keys) {
    std::vector<std::vector<uint8_t>> out;
    for (const PropKey& k : keys) {
        if (k.second.empty()) {
            out.push_back({static_cast<uint8_t>(k.first >> 8), static_cast<uint8_t>(k.first), 0,
                           static_cast<uint8_t>(kDpTlvHeaderSize)});
            continue;
        }
        std::vector<uint8_t> e = kcp::MakeKcpProperty(k.first, installed.at(k));
        if (!e.empty())
            out.push_back(std::move(e));
    }
    return out;
}

// What changed between two sets: keys to update (new or different), keys to delete.
void Diff(const PropSet& installed, const PropSet& desired, std::vector<PropKey>* update,
          std::vector<PropKey>* remove) {
    for (const auto& [k, v] : desired) {
        auto it = installed.find(k);
        if (it == installed.end() || it->second != v)
            update->push_back(k);
    }
    for (const auto& entry : installed) {
        if (desired.count(entry.first) == 0)
            remove->push_back(entry.first);
    }
}

}  // namespace

PropSet DVSPropConvertor::DesiredPortProps(const std::string& portId, PortState& port) {
    PropSet out;
    const PackedId* lspKey = LspKeyOfPort(PackedId(portId), port);
    const std::string lspId = lspKey == nullptr ? std::string() : lspKey->str();
    const LspState* lp = lspKey == nullptr ? nullptr : &lsps_.find(*lspKey)->second;
    if (lp == nullptr) {
        port.causes.clear();
        if (port.everAttached) {
            port.causes.insert(BlockCause::kDetached);
            Set(out, kcp::kPropBlock, {kcp::kBlocked});
        }
        return out;
    }
    const LspState& l = *lp;
    port.everAttached = true;
    const dvs::LspExtras& x = l.Extras();
    const std::string lsId = l.lsId.str();
    const SwitchState* s = FindSwitch(lsId);
    Set(out, kcp::kPropLspId, UuidBytes(lspId));
    if (!lsId.empty())
        Set(out, kcp::kPropLsId, UuidBytes(lsId));
    if (s != nullptr) {
        std::vector<uint8_t> v;
        if (s->vni) {
            AppendBe32(v, *s->vni);
            Set(out, kcp::kPropVni, std::move(v));
        }
        if (s->vlan) {
            v.clear();
            AppendBe16(v, *s->vlan);
            Set(out, kcp::kPropVlan, std::move(v));
        }
        if (!s->trunk.empty()) {
            v.clear();
            for (const auto& [start, end] : s->trunk) {
                AppendBe16(v, start);
                AppendBe16(v, end);
            }
            Set(out, kcp::kPropVlanTrunk, std::move(v));
        }
        if (s->replicationMode)
            Set(out, kcp::kPropReplicationMode, {*s->replicationMode});
        if (s->lsType)
            Set(out, kcp::kPropLsType, {*s->lsType});
        if (s->spSubtype)
            Set(out, kcp::kPropLsSpSubtype, {*s->spSubtype});
        // A container port: the parent port and the VLAN of this switch inside the parent's.
        if (!x.parentVifId.empty()) {
            const PackedId* parentKey = portByVif_.Find(x.parentVifId);
            std::string parentPort = parentKey == nullptr ? std::string() : parentKey->str();
            auto pp = parentKey == nullptr ? ports_.end() : ports_.find(*parentKey);
            const PackedId* parentLspKey =
                pp == ports_.end() ? nullptr : LspKeyOfPort(pp->first, pp->second);
            const LspState* parentLsp =
                parentLspKey == nullptr ? nullptr : &lsps_.find(*parentLspKey)->second;
            auto vlan =
                parentLsp == nullptr ? s->parents.end() : s->parents.find(parentLsp->lsId.str());
            if (vlan != s->parents.end()) {
                v.clear();
                AppendFixed(v, parentPort, kcp::kIdSize);
                AppendBe16(v, vlan->second);
                Set(out, kcp::kPropLsAttachment, std::move(v));
            }
        }
    }
    if (x.macManagement)
        Set(out, kcp::kPropMacManagement, *x.macManagement);
    else if (s != nullptr && s->macManagement)
        Set(out, kcp::kPropMacManagement, *s->macManagement);
    if (x.latency && LatencyApplies(portId, port, l))
        Set(out, kcp::kPropLatency, *x.latency);
    if (x.ipDiscovery)
        Set(out, kcp::kPropIpDiscovery, *x.ipDiscovery);
    if (x.ignoreBindings)
        Set(out, kcp::kPropIgnoreBindings, *x.ignoreBindings);
    if (x.addressBindings)
        Set(out, kcp::kPropAddressBindings, *x.addressBindings);
    if (auto ip = ipfix_.find(lspId); ip != ipfix_.end())
        Set(out, kcp::kPropIpfix, ip->second);
    if (x.securityApplied) {
        for (const PropValue& p : x.security)
            Set(out, p.key, p.value);
    }
    if (!lsId.empty()) {
        for (const PropValue& p : x.qos)
            Set(out, p.key, p.value);
    }
    AddExtraConfigProperties(l, s, out);
    AddMirrorProperties(port, lspId, l, out);
    port.causes = CausesOf(lspId);
    Set(out, kcp::kPropBlock, {port.causes.empty() ? kcp::kUnblocked : kcp::kBlocked});
    return out;
}

std::set<std::string> DVSPropConvertor::DesiredSwitchIds() const {
    std::set<std::string> ids;
    for (const auto& entry : hostSwitches_) {
        for (const auto& hs : entry.second)
            ids.insert(hs.first);
    }
    for (const auto& [sessionId, kinds] : mirrors_) {
        (void)sessionId;
        auto k = kinds.find(PropertyType::PMS_UPLINK_PORT_MIRROR_SESSION);
        if (k == kinds.end())
            continue;
        for (const auto& entry : k->second.uplinksBySwitch)
            ids.insert(entry.first);
    }
    return ids;
}

PropSet DVSPropConvertor::DesiredSwitchProps(const std::string& switchId) const {
    PropSet out;
    for (const auto& entry : hostSwitches_) {
        auto hs = entry.second.find(switchId);
        if (hs == entry.second.end())
            continue;
        Set(out, kcp::kPropForwardingMode, {hs->second.forwardingMode});
        Set(out, kcp::kPropCcpSession, {static_cast<uint8_t>(CcpConnected() ? 1 : 0)});
        for (const auto& [key, value] : globalOpaque_) {
            uint16_t prop = GlobalOpaquePropertyKey(key);
            if (prop != 0)
                Set(out, prop, std::vector<uint8_t>(value.begin(), value.end()));
        }
        break;
    }
    AddSwitchMirrorProperties(switchId, out);
    return out;
}

std::set<std::string> DVSPropConvertor::DesiredKrnnicNames() const {
    std::set<std::string> names(conduitKrnnics_.begin(), conduitKrnnics_.end());
    for (const auto& entry : labels_)
        names.insert(entry.first);
    return names;
}

PropSet DVSPropConvertor::DesiredKrnnicProps(const std::string& name) const {
    PropSet out;
    auto label = labels_.find(name);
    if (label != labels_.end()) {
        std::vector<uint8_t> v;
        AppendBe32(v, label->second);
        Set(out, kcp::kPropVtepLabel, std::move(v));
    }
    if (conduitKrnnics_.count(name) != 0)
        Set(out, kcp::kPropMacLearnStatic, {0});
    return out;
}

size_t DVSPropConvertor::MaxMsgLength() const {
    return kcp_->MaxMsgLength();
}

bool DVSPropConvertor::SendBuilder(const kcp::KcpUpdateBuilder& builder) {
    if (builder.Empty())
        return true;
    if (!builder.Ok() || !kcp_->SendUpdate(builder)) {
        CFG_ERROR("DvsPropConvertor failed to send msg to data plane");
        return false;
    }
    CFG_INFO("DvsPropConvertor sent msg to data plane");
    return true;
}

void DVSPropConvertor::Flush() {
    if (!dpConnected_) {
        // The push after the next session open sends everything.
        dirtyPorts_.clear();
        dirtySwitches_.clear();
        dirtyKrnnics_.clear();
        return;
    }
    FlushPorts();
    FlushSwitches();
    FlushKrnnics();
}

void DVSPropConvertor::FlushPorts() {
    if (dirtyPorts_.empty())
        return;
    std::set<std::string> dirty;
    dirty.swap(dirtyPorts_);
    std::vector<kcp::PropertyRecordSpec> whole, update, remove;
    // What each port will hold once sent, packed as it is kept.
    std::vector<std::pair<const std::string*, PackedPropSet>> results;
    size_t unblocks = 0;
    auto send = [&] {
        if (results.empty())
            return;
        kcp::KcpUpdateBuilder builder(MaxMsgLength());
        // The builder takes the lists' properties instead of copying them.
        if (!remove.empty())
            builder.AddPortProperties(kcp::kOpDelete, std::move(remove));
        if (!whole.empty())
            builder.AddPortProperties(kcp::kOpFullSync, std::move(whole));
        if (!update.empty())
            builder.AddPortProperties(kcp::kOpUpdate, std::move(update));
        bool ok = SendBuilder(builder);
        for (auto& [id, desired] : results) {
            PortState& port = ports_.at(PackedId(*id));
            if (ok) {
                port.installed = std::move(desired);
                port.sendWhole = false;
            } else {
                QueueResyncPort(*id);
            }
        }
        if (ok && unblocks > 0)
            CFG_INFO("DvsPropConvertor sent UNBLOCK msg to data plane");
        remove.clear();
        whole.clear();
        update.clear();
        results.clear();
        unblocks = 0;
    };
    for (const std::string& id : dirty) {
        auto it = ports_.find(PackedId(id));
        if (it == ports_.end())
            continue;
        PortState& port = it->second;
        PropSet desired = DesiredPortProps(id, port);
        const PropSet installed = port.installed.Unpack();
        bool unblock = Unblocked(desired) && !Unblocked(installed);
        if (port.sendWhole) {
            if (desired.empty() && port.installed.empty()) {
                port.sendWhole = false;  // nothing of ours on a port the dataplane just made
                continue;
            }
            whole.push_back({id, Elements(desired, AllKeys(desired))});
        } else {
            std::vector<PropKey> changed, removed;
            Diff(installed, desired, &changed, &removed);
            if (changed.empty() && removed.empty())
                continue;
            if (!removed.empty())
                remove.push_back({id, DeleteElements(installed, removed)});
            if (!changed.empty())
                update.push_back({id, Elements(desired, changed)});
        }
        if (unblock) {
            CFG_INFO("Build UNBLOCK update for port %1", id);
            ++unblocks;
        }
        results.emplace_back(&id, PackedPropSet(desired));
        if (results.size() == kPortsPerUpdate)
            send();
    }
    send();
}

void DVSPropConvertor::FlushSwitches() {
    std::set<std::string> ids = DesiredSwitchIds();
    bool listChanged = pushed_ && ids != listedSwitches_;
    if (dirtySwitches_.empty() && !listChanged)
        return;
    std::set<std::string> dirty;
    dirty.swap(dirtySwitches_);
    kcp::KcpUpdateBuilder builder(MaxMsgLength());
    if (listChanged)
        builder.AddSwxList(std::vector<std::string>(ids.begin(), ids.end()));
    std::vector<std::pair<std::string, PropSet>> results;
    for (const std::string& id : dirty) {
        PropSet desired = ids.count(id) != 0 ? DesiredSwitchProps(id) : PropSet();
        auto installed = installedSwitches_.find(id);
        if (ids.count(id) == 0) {
            if (installed != installedSwitches_.end()) {
                builder.AddSwxProperties(id, kcp::kOpDelete, {});
                results.emplace_back(id, PropSet());
            }
            continue;
        }
        static const PropSet kNone;
        const PropSet& have = installed == installedSwitches_.end() ? kNone : installed->second;
        std::vector<PropKey> changed, removed;
        Diff(have, desired, &changed, &removed);
        if (installed == installedSwitches_.end() && desired.empty())
            continue;
        if (!removed.empty())
            builder.AddSwxProperties(id, kcp::kOpDelete, DeleteElements(have, removed));
        if (!changed.empty() || installed == installedSwitches_.end())
            builder.AddSwxProperties(id, kcp::kOpUpdate, Elements(desired, changed));
        results.emplace_back(id, std::move(desired));
    }
    if (builder.Empty())
        return;
    bool ok = SendBuilder(builder);
    if (ok && listChanged)
        listedSwitches_ = ids;
    for (auto& [id, desired] : results) {
        if (!ok) {
            installedSwitches_.erase(id);
            resyncSwitches_.insert(id);
            StartResyncTimer();
        } else if (ids.count(id) == 0) {
            installedSwitches_.erase(id);
        } else {
            installedSwitches_[id] = std::move(desired);
        }
    }
}

void DVSPropConvertor::FlushKrnnics() {
    if (dirtyKrnnics_.empty())
        return;
    std::set<std::string> dirty;
    dirty.swap(dirtyKrnnics_);
    std::set<std::string> names = DesiredKrnnicNames();
    std::vector<kcp::PropertyRecordSpec> update, remove, gone;
    std::vector<std::pair<std::string, PropSet>> results;
    for (const std::string& name : dirty) {
        auto installed = installedKrnnics_.find(name);
        if (names.count(name) == 0) {
            if (installed != installedKrnnics_.end()) {
                gone.push_back({name, {}});
                results.emplace_back(name, PropSet());
            }
            continue;
        }
        PropSet desired = DesiredKrnnicProps(name);
        static const PropSet kNone;
        const PropSet& have = installed == installedKrnnics_.end() ? kNone : installed->second;
        std::vector<PropKey> changed, removed;
        Diff(have, desired, &changed, &removed);
        if (changed.empty() && removed.empty())
            continue;
        if (!removed.empty())
            remove.push_back({name, DeleteElements(have, removed)});
        if (!changed.empty())
            update.push_back({name, Elements(desired, changed)});
        results.emplace_back(name, std::move(desired));
    }
    if (results.empty())
        return;
    kcp::KcpUpdateBuilder builder(MaxMsgLength());
    if (!gone.empty())
        builder.AddKrnnicProperties(kcp::kOpDelete, gone);
    if (!remove.empty())
        builder.AddKrnnicProperties(kcp::kOpDelete, remove);
    if (!update.empty())
        builder.AddKrnnicProperties(kcp::kOpUpdate, update);
    bool ok = SendBuilder(builder);
    for (auto& [name, desired] : results) {
        if (!ok) {
            installedKrnnics_.erase(name);
            resyncKrnnics_.insert(name);
            StartResyncTimer();
        } else if (desired.empty()) {
            installedKrnnics_.erase(name);
        } else {
            installedKrnnics_[name] = std::move(desired);
        }
    }
}

}  // namespace CfgAgent
