#include "apps/switching/CIFConfig.h"

#include <nlohmann/json.hpp>

#include "apps/switching/CIFValidation.h"
#include "dataplane/KCPMsgConvertor.h"
#include "dataplane/KcpBuilders.h"
#include "dataplane/KcpProtocol.h"
#include "platform/WorkflowUtil.h"
#include "proto/cairndb_switching.pb.h"
#include "runtime/Logger.h"
#include "statecache/IStateCacheConfigTable.h"
#include "statecache/IdText.h"
#include "statecache/MemoryEstimate.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {

// A schema MAC (the low 48 bits, first octet highest).
kcp::MacAddr MacOf(uint64_t v) {
    kcp::MacAddr m;
    for (size_t i = 0; i < m.size(); ++i)
        m[i] = static_cast<uint8_t>(v >> (40 - 8 * i));
    return m;
}

bool SameAddresses(const std::vector<kcp::ContainerAddress>& a,
                   const std::vector<kcp::ContainerAddress>& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].ipv4 != b[i].ipv4 || a[i].address != b[i].address || a[i].mac != b[i].mac)
            return false;
    }
    return true;
}

}  // namespace

bool CIFConfig::Cif::SameDesired(const Cif& o) const {
    return cifId == o.cifId && hostVifId == o.hostVifId && childPortId == o.childPortId &&
           childLs == o.childLs && vlan == o.vlan && mac == o.mac &&
           SameAddresses(addresses, o.addresses);
}

void CIFConfig::Stop() {
    CFG_INFO("CIFConfig Stop");
    stopped_ = true;
    DetachConduit();
}

// ---- desired state ------------------------------------------------------------------------

void CIFConfig::ProcessConfigDesiredStateUpdate(const CairnDBUpdateList& updates, bool fullSync) {
    ozy::wft::Span span("CIFConfig.ProcessConfigDesiredStateUpdate");
    std::set<std::string> lsps;
    // A port's property records come one after another: looked up once per port, not per record.
    const std::string* previous = nullptr;
    for (const CairnDBUpdateMsg& u : updates) {
        if (u.objType != ObjectType::LOG_SWITCH_PORT_CONFIG ||
            (previous != nullptr && *previous == u.id))
            continue;
        previous = &u.id;
        lsps.insert(u.id);
    }
    BusPortsOfChangedSwitches(updates, &lsps);
    if (fullSync) {
        // A CIF, or a VIF attached for the bus, whose logical port the full sync no longer has
        // goes too.
        for (const auto& [lspId, c] : cifs_) {
            (void)c;
            lsps.insert(lspId);
        }
        for (const auto& [lspId, port] : busPorts_) {
            (void)port;
            lsps.insert(lspId.str());
        }
    }
    for (const std::string& lspId : lsps)
        Reevaluate(lspId);
    Flush();
}

bool CIFConfig::ParseCif(const std::string& lspId, const pb::LogSwitchPortConfigMsg& m,
                         Cif* out) const {
    const pb::LogSwitchPortAttachmentMsg& a = m.attachment();
    std::optional<uint32_t> vlan;
    if (a.has_vlan())
        vlan = a.vlan();
    if (!ValidateCifVif(a.parent_vif_id(), vlan))
        return false;
    if (a.vif_id().empty() || !kcp::CheckIdField(a.vif_id(), kcp::kIdSize, "container ID") ||
        !kcp::CheckIdField(a.parent_vif_id(), kcp::kIdSize, "parent VIF ID")) {
        CFG_ERROR_CODE("LCP00514", "Invalid CIF VIF ID [%1] of CIF port [%2]", a.vif_id(),
                       IdText(lspId));
        return false;
    }
    if (!ParseChildPortId(a.dvport_id()))
        return false;
    std::vector<std::optional<uint64_t>> macs;
    for (const pb::AddressBindingMsg& b : m.address_bindings()) {
        macs.push_back(b.has_mac() ? std::optional<uint64_t>(b.mac()) : std::nullopt);
    }
    uint64_t mac = 0;
    if (!ValidateCifMac(macs, &mac))
        return false;
    out->cifId = a.vif_id();
    out->hostVifId = a.parent_vif_id();
    out->childPortId = a.dvport_id();
    out->childLs = m.has_switch_id() ? m.switch_id().SerializeAsString() : std::string();
    out->vlan = static_cast<uint16_t>(*vlan);
    out->mac = MacOf(mac);
    for (const pb::AddressBindingMsg& b : m.address_bindings()) {
        if (!b.has_ip())
            continue;
        kcp::ContainerAddress e;
        if (b.ip().has_ipv4()) {
            e.ipv4 = true;
            uint32_t v = b.ip().ipv4();
            for (int i = 0; i < 4; ++i)
                e.address[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
        } else if (b.ip().ipv6().size() == 16) {
            std::copy(b.ip().ipv6().begin(), b.ip().ipv6().end(), e.address.begin());
        } else {
            continue;
        }
        e.mac = b.has_mac() ? MacOf(b.mac()) : out->mac;
        out->addresses.push_back(e);
    }
    return true;
}

bool CIFConfig::Conflicts(const std::string& lspId, const Cif& c) const {
    auto byCif = lspByCif_.find(c.cifId);
    if (byCif != lspByCif_.end() && byCif->second != lspId) {
        CFG_ERROR_CODE("LCP00514", "CIF %1 is already the CIF of port [%2], port [%3] refused",
                       c.cifId, IdText(byCif->second), IdText(lspId));
        return true;
    }
    auto byChild = lspByChildPort_.find(c.childPortId);
    if (byChild != lspByChildPort_.end() && byChild->second != lspId) {
        CFG_ERROR_CODE("LCP00514",
                       "Child segment port %1 is already the port of CIF [%2], CIF %3 refused",
                       c.childPortId, IdText(byChild->second), c.cifId);
        return true;
    }
    auto host = lspsByHost_.find(c.hostVifId);
    if (host == lspsByHost_.end())
        return false;
    for (const std::string& other : host->second) {
        if (other == lspId)
            continue;
        const Cif& o = cifs_.at(other);
        if (o.vlan == c.vlan) {
            CFG_ERROR_CODE("LCP00514", "CIF vlan ID %1 on host VM VIF %2 is already used by CIF %3",
                           c.vlan, c.hostVifId, o.cifId);
            return true;
        }
    }
    return false;
}

void CIFConfig::Reevaluate(const std::string& lspId) {
    std::string body;
    bool exists = table_ != nullptr &&
                  table_->GetProperty(ConfigStore::kDesired, ObjectType::LOG_SWITCH_PORT_CONFIG,
                                      lspId, PropertyType::INVALID_PROPERTY, &body);
    bool known = cifs_.count(lspId) != 0;
    if (!exists) {
        UpdateBusPort(lspId, nullptr);
        if (known)
            DeleteCIFPort(lspId);
        return;
    }
    pb::LogSwitchPortConfigMsg m;
    if (!m.ParseFromString(body)) {
        CFG_ERROR_CODE("LCP00514",
                       "CIFConfig: logical port [%1] does not parse (%2 bytes), ignored",
                       IdText(lspId), body.size());
        return;
    }
    UpdateBusPort(lspId, &m);
    if (!m.has_attachment() || !m.attachment().has_parent_vif_id()) {
        if (known)
            DeleteCIFPort(lspId);  // no longer a container interface
        return;
    }
    Cif desired;
    if (!ParseCif(lspId, m, &desired) || Conflicts(lspId, desired))
        return;
    UpdateCIFPort(lspId, std::move(desired));
}

void CIFConfig::Index(const std::string& lspId, const Cif& c, bool add) {
    if (add) {
        lspByCif_[c.cifId] = lspId;
        lspByChildPort_[c.childPortId] = lspId;
        lspsByHost_[c.hostVifId].insert(lspId);
        return;
    }
    lspByCif_.erase(c.cifId);
    lspByChildPort_.erase(c.childPortId);
    auto h = lspsByHost_.find(c.hostVifId);
    if (h != lspsByHost_.end()) {
        h->second.erase(lspId);
        if (h->second.empty())
            lspsByHost_.erase(h);
    }
}

void CIFConfig::UpdateCIFPort(const std::string& lspId, Cif desired) {
    ozy::wft::Span span("CIFConfig.UpdateCIFPort");
    auto it = cifs_.find(lspId);
    if (it == cifs_.end()) {
        CFG_INFO("Add CIF port %1, hostVIFID %2", desired.cifId, desired.hostVifId);
        Cover(desired);
        it = cifs_.emplace(lspId, std::move(desired)).first;
        Index(lspId, it->second, true);
        Program(lspId, it->second, true);
        return;
    }
    Cif& c = it->second;
    if (c.SameDesired(desired)) {
        CFG_INFO("No change for CIF %1 on port %2", c.cifId, c.childPortId);
        return;
    }
    bool moves = c.hostVifId != desired.hostVifId || c.childPortId != desired.childPortId ||
                 c.cifId != desired.cifId;
    if (moves && c.connected) {
        CFG_INFO("CIF %1 on port %2 moves from host VM VIF %3 to %4", c.cifId, c.childPortId,
                 c.hostVifId, desired.hostVifId);
        Unprogram(lspId, c);
        // The old child port goes before the new one is made.
        Flush();
        if (deletions_.count(c.childPortId) != 0) {
            CFG_ERROR_CODE("LCP00502",
                           "Failed to move CIF %1 and child port %2 from host VM VIF %3 to %4",
                           c.cifId, c.childPortId, c.hostVifId, desired.hostVifId);
        }
    }
    Index(lspId, c, false);
    bool connected = c.connected;
    bool outOfSync = c.outOfSync;
    std::string vmPortId = c.vmPortId;
    c = std::move(desired);
    c.connected = connected;
    c.outOfSync = outOfSync;
    c.vmPortId = vmPortId;
    Cover(c);
    Index(lspId, c, true);
    Program(lspId, c, true);
}

void CIFConfig::DeleteCIFPort(const std::string& lspId) {
    auto it = cifs_.find(lspId);
    if (it == cifs_.end())
        return;
    Cif& c = it->second;
    if (c.connected) {
        CFG_INFO("Delete child segment port [%1] from cif list", c.childPortId);
        Unprogram(lspId, c);
    }
    CFG_INFO("Delete CIF port [%1]", c.cifId);
    Index(lspId, c, false);
    cifs_.erase(it);
}

// ---- span coverage --------------------------------------------------------------------------

bool CIFConfig::Cover(Cif& c) const {
    bool dfw = spans_.Covers(CifSpans::kDfw, c.cifId, c.mac);
    bool si = spans_.Covers(CifSpans::kSi, c.cifId, c.mac);
    if (dfw == c.inDfw && si == c.inSi)
        return false;
    c.inDfw = dfw;
    c.inSi = si;
    return true;
}

void CIFConfig::CoverAll() {
    // The dataplane looks at a container's filters again when its record comes.
    for (auto& [lspId, c] : cifs_) {
        if (!Cover(c) || !c.connected)
            continue;
        CFG_INFO("CIFConfig: send cif port[%1] to DP", c.cifId);
        MarkSend(lspId, c);
    }
}

// ---- realisation --------------------------------------------------------------------------

kcp::ContainerRecord CIFConfig::Record(const Cif& c) const {
    kcp::ContainerRecord r;
    r.cifId = c.cifId;
    r.portId = c.childPortId;
    r.vmPortId = c.vmPortId;
    r.vmVifId = c.hostVifId;
    r.vlan = c.vlan;
    r.mac = c.mac;
    r.addresses = c.addresses;
    return r;
}

void CIFConfig::MarkSend(const std::string& lspId, const Cif& c) {
    records_.insert(lspId);
    dirtyHosts_.insert(c.hostVifId);
    listDirty_ = true;
}

void CIFConfig::Program(const std::string& lspId, Cif& c, bool changed) {
    auto host = hostVifs_.find(dvs::PackedId(c.hostVifId));
    if (host == hostVifs_.end()) {
        CFG_INFO("Host VM VIF %1 not connected for CIF %2 on port %3", c.hostVifId, c.cifId,
                 c.childPortId);
        c.connected = false;
        return;
    }
    if (!c.connected || host->second.portId != c.vmPortId) {
        changed = true;
        CFG_INFO("Create child segment port with vmPortID %1, vmVifID %2,child LS %3, vlan %4",
                 host->second.portId.text(), c.hostVifId, IdText(c.childLs), c.vlan);
    }
    if (!convertor_->AnnounceChildPort({c.childPortId, lspId, c.cifId, c.hostVifId})) {
        CFG_ERROR_CODE("LCP00514", "Child segment port %1 of CIF %2 cannot be created",
                       c.childPortId, c.cifId);
        c.connected = false;
        return;
    }
    c.connected = true;
    c.vmPortId = host->second.portId.str();
    deletions_.erase(c.childPortId);
    if (changed)
        MarkSend(lspId, c);
}

void CIFConfig::Unprogram(const std::string& lspId, Cif& c) {
    convertor_->WithdrawChildPort(c.childPortId);
    c.connected = false;
    records_.erase(lspId);
    dirtyHosts_.insert(c.hostVifId);
    listDirty_ = true;
    // Without a session the next push's port list leaves the child port out.
    if (CanSend())
        deletions_.insert(c.childPortId);
}

std::vector<std::string> CIFConfig::ConnectedCifsOf(const std::string& hostVifId) const {
    std::vector<std::string> out;
    auto host = lspsByHost_.find(hostVifId);
    if (host == lspsByHost_.end())
        return out;
    for (const std::string& lspId : host->second) {
        if (cifs_.at(lspId).connected)
            out.push_back(lspId);
    }
    return out;
}

void CIFConfig::HostVifGone(const std::string& vifId) {
    hostVifs_.erase(dvs::PackedId(vifId));
    for (const std::string& lspId : ConnectedCifsOf(vifId)) {
        Cif& c = cifs_.at(lspId);
        CFG_INFO("Host VM VIF %1 of CIF %2 is gone, delete child segment port [%3]", vifId, c.cifId,
                 c.childPortId);
        Unprogram(lspId, c);
    }
}

// ---- dataplane reports ----------------------------------------------------------------------

bool CIFConfig::HandleVifInfo(const DvsVifInfo& vif) {
    if (vif.vifType == kcp::kVifContainer || vif.vifId.empty())
        return false;
    UpdateBusVif(vif);
    if (vif.deleted || !vif.connected) {
        HostVifGone(vif.vifId);
        Flush();
        return false;
    }
    HostVif& h = hostVifs_[dvs::PackedId(vif.vifId)];
    h.portId = vif.portId;
    h.confirmed = true;
    auto host = lspsByHost_.find(vif.vifId);
    if (host == lspsByHost_.end())
        return false;
    for (const std::string& lspId : host->second)
        Program(lspId, cifs_.at(lspId), false);
    Flush();
    return true;
}

void CIFConfig::MarkHostVifOutOfSync(const std::string& vifId) {
    for (const std::string& lspId : ConnectedCifsOf(vifId)) {
        Cif& c = cifs_.at(lspId);
        CFG_INFO("CIF %1 is set out of sync when its host VM port %2 is set of of sync", c.cifId,
                 c.vmPortId);
        c.outOfSync = true;
        CFG_INFO("CIF port [%1] reSync", c.cifId);
        CFG_INFO("Child segment port [%1] reSync", c.childPortId);
        convertor_->MarkPortOutOfSync(c.cifId);
        MarkSend(lspId, c);
    }
    Flush();
}

void CIFConfig::SyncPortContainerList(const std::string& vifId) {
    if (!pushed_) {
        CFG_INFO("Delay container list sync %1 since the configuration hasn't been pushed down",
                 vifId);
        return;  // the push sends every list
    }
    CFG_INFO("Sync container list of host VM VIF %1", vifId);
    dirtyHosts_.insert(vifId);
    Flush();
}

// ---- session --------------------------------------------------------------------------------

void CIFConfig::ResetSyncState() {
    pushed_ = false;
    dpConnected_ = true;
    deletions_.clear();  // the dataplane starts empty
    records_.clear();
    dirtyHosts_.clear();
    listDirty_ = false;
    for (auto& [vifId, h] : hostVifs_) {
        (void)vifId;
        h.confirmed = false;
    }
}

void CIFConfig::PushFullState() {
    pushed_ = true;
    size_t count = 0;
    for (auto& [lspId, c] : cifs_) {
        if (!c.connected)
            continue;
        MarkSend(lspId, c);
        ++count;
    }
    listDirty_ = true;
    Flush();
    CFG_INFO("CIFConfig: %1 CIF(s) sent with the full state", count);
    // The engine's port list left out the container-bus ports: they follow.
    if (CanSend()) {
        for (const auto& [portId, lip] : conduitPorts_) {
            (void)lip;
            SendConduitPort(portId);
        }
    }
}

void CIFConfig::OnDataplaneFullSyncDone() {
    std::vector<std::string> gone;
    for (const auto& [vifId, h] : hostVifs_) {
        if (!h.confirmed)
            gone.push_back(vifId.str());
    }
    for (const std::string& vifId : gone)
        HostVifGone(vifId);
    Flush();
}

void CIFConfig::OnDataplaneDisconnected() {
    dpConnected_ = false;
}

// ---- sending --------------------------------------------------------------------------------

void CIFConfig::Flush() {
    if (!CanSend()) {
        records_.clear();
        dirtyHosts_.clear();
        listDirty_ = false;
        return;
    }
    if (!deletions_.empty()) {
        std::vector<kcp::PropertyRecordSpec> ports;
        for (const std::string& id : deletions_)
            ports.push_back(kcp::PropertyRecordSpec{id, {}});
        if (kcp_->SendPortPropertyUpdate(kcp::kOpDelete, ports)) {
            for (const std::string& id : deletions_)
                CFG_INFO("Sent port deletion message for %1", id);
            deletions_.clear();
        } else {
            // Kept: sent again with the next change or resync.
            for (const std::string& id : deletions_)
                CFG_ERROR_CODE("LCP00502", "Failed to send port deletion message for %1", id);
        }
    }
    std::vector<Cif*> sent;
    std::vector<kcp::ContainerRecord> records;
    for (const std::string& lspId : records_) {
        auto it = cifs_.find(lspId);
        if (it == cifs_.end() || !it->second.connected)
            continue;
        sent.push_back(&it->second);
        records.push_back(Record(it->second));
    }
    records_.clear();
    bool ok = records.empty() || kcp_->SendContainerUpdate(records);
    if (!ok) {
        for (const Cif* c : sent)
            CFG_ERROR_CODE("LCP00502", "Failed to send CIF update message for %1", c->cifId);
    }
    if (listDirty_) {
        listDirty_ = false;
        ok = SendContainerList() && ok;
    }
    for (const std::string& host : dirtyHosts_)
        ok = SendPortContainerList(host) && ok;
    dirtyHosts_.clear();
    for (Cif* c : sent)
        c->outOfSync = !ok;
}

bool CIFConfig::SendContainerList() {
    std::vector<std::string> ids;
    for (const auto& [lspId, c] : cifs_) {
        (void)lspId;
        if (c.connected)
            ids.push_back(c.cifId);
    }
    if (kcp_->SendContainerList(ids))
        return true;
    CFG_ERROR_CODE("LCP00502", "Failed to send CIF list message of %1 CIF(s)", ids.size());
    return false;
}

bool CIFConfig::SendPortContainerList(const std::string& hostVifId) {
    std::vector<std::string> ids;
    auto host = lspsByHost_.find(hostVifId);
    if (host != lspsByHost_.end()) {
        for (const std::string& lspId : host->second) {
            const Cif& c = cifs_.at(lspId);
            if (c.connected)
                ids.push_back(c.cifId);
        }
    }
    if (kcp_->SendPortContainerList(hostVifId, ids))
        return true;
    CFG_ERROR_CODE("LCP00502", "Failed to send CIF update message for VM port %1", hostVifId);
    return false;
}

// ---- inspection -----------------------------------------------------------------------------

const CIFConfig::Cif* CIFConfig::FindCif(const std::string& lspId) const {
    auto it = cifs_.find(lspId);
    return it == cifs_.end() ? nullptr : &it->second;
}

size_t CIFConfig::TableBytes() const {
    using sc::ContainerBytes;
    using sc::HeapChunk;
    using sc::StringBytes;
    size_t n = ContainerBytes(cifs_);
    for (const auto& [lspId, c] : cifs_) {
        n += StringBytes(lspId) + StringBytes(c.cifId) + StringBytes(c.hostVifId) +
             StringBytes(c.childPortId) + StringBytes(c.childLs) + StringBytes(c.vmPortId) +
             ContainerBytes(c.addresses);
    }
    n += ContainerBytes(busPorts_);
    for (const auto& [lspId, port] : busPorts_)
        n += lspId.HeapBytes() + port.vifId.HeapBytes();
    n += ContainerBytes(hostVifs_);
    for (const auto& [vifId, h] : hostVifs_)
        n += vifId.HeapBytes() + h.portId.HeapBytes();
    n += ContainerBytes(busSwitches_);
    for (const auto& [switchId, sw] : busSwitches_) {
        (void)sw;
        n += StringBytes(switchId);
    }
    using AttachedNode = std::pair<const dvs::PackedId* const, const BusPortEntry*>;
    n += attachedBy_.size() * HeapChunk(32 + sizeof(AttachedNode));
    return n;
}

std::string CIFConfig::DumpCifs() const {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& [lspId, c] : cifs_) {
        out.push_back({{"cif", c.cifId},
                       {"port", IdText(lspId)},
                       {"host_vif", c.hostVifId},
                       {"vm_port", c.vmPortId},
                       {"child_port", c.childPortId},
                       {"child_ls", IdText(c.childLs)},
                       {"vlan", c.vlan},
                       {"mac", kcp::MacText(c.mac.data())},
                       {"connected", c.connected},
                       {"dfw", c.inDfw},
                       {"si", c.inSi},
                       {"out_of_sync", c.outOfSync}});
    }
    return out.dump(2);
}

}  // namespace CfgAgent
