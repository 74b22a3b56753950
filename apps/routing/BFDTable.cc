#include "apps/routing/BFDTable.h"

#include <arpa/inet.h>

#include <cstring>
#include <tuple>

#include "statecache/IdText.h"

namespace CfgAgent {

std::string BfdAddress::Text() const {
    char buf[INET6_ADDRSTRLEN] = {};
    inet_ntop(ipv6 ? AF_INET6 : AF_INET, bytes.data(), buf, sizeof buf);
    return buf;
}

const char* BfdIdTypeName(BfdIdType type) {
    switch (type) {
        case BfdIdType::kRoutingDomain:
            return "Routing Romain";
        case BfdIdType::kLogicalSwitch:
            return "Logical Switch";
        case BfdIdType::kVtepGroup:
            return "VTEP Group";
        default:
            return "Unknown";
    }
}

const char* BfdSessionTypeName(BfdSessionType type) {
    return type == BfdSessionType::kTunnel ? "Tunnel" : "Unknown";
}

namespace {

// BfdAddress's order (family, then the bytes) as -1, 0, 1.
int CompareAddress(const BfdAddress& a, const BfdAddress& b) {
    if (a.ipv6 != b.ipv6)
        return a.ipv6 ? 1 : -1;
    return std::memcmp(a.bytes.data(), b.bytes.data(), a.bytes.size());
}

}  // namespace

// The order of the fields as declared; the table's searches compare keys many times each.
bool BfdSessionKey::operator<(const BfdSessionKey& o) const {
    if (const int c = CompareAddress(local, o.local); c != 0)
        return c < 0;
    if (const int c = CompareAddress(remote, o.remote); c != 0)
        return c < 0;
    return std::tie(localLabel, remoteLabel, tnVgLabel, type) <
           std::tie(o.localLabel, o.remoteLabel, o.tnVgLabel, o.type);
}

bool BfdReference::operator<(const BfdReference& o) const {
    return std::tie(remoteId, remoteType, localId) < std::tie(o.remoteId, o.remoteType, o.localId);
}

std::string BfdReference::RemoteText() const {
    return remoteType == BfdIdType::kVtepGroup ? remoteId : IdText(remoteId);
}

BFDTable::Result BFDTable::Add(const BfdSessionKey& key, const BfdReference& ref, uint32_t vni,
                               uint32_t* oldVni) {
    if (key.local.ipv6 != key.remote.ipv6)
        return Result::kMixedFamily;
    // One search of the entries whether the key is new or not.
    const auto [entry, created] = entries_.try_emplace(key);
    auto [it, inserted] = entry->second.emplace(ref, vni);
    if (!inserted) {
        if (oldVni != nullptr)
            *oldVni = it->second;
        it->second = vni;
        return Result::kPresent;
    }
    ++references_;
    byLocal_[ref.localId].insert(Ref{&entry->first, &it->first});
    return created ? Result::kCreated : Result::kInserted;
}

BFDTable::Result BFDTable::Remove(const BfdSessionKey& key, const BfdReference& ref,
                                  uint32_t* vni) {
    if (key.local.ipv6 != key.remote.ipv6)
        return Result::kMixedFamily;
    auto entry = entries_.find(key);
    if (entry == entries_.end())
        return Result::kAbsent;
    auto it = entry->second.find(ref);
    if (it == entry->second.end())
        return Result::kAbsent;
    if (vni != nullptr)
        *vni = it->second;
    auto local = byLocal_.find(ref.localId);
    if (local != byLocal_.end()) {
        local->second.erase(Ref{&entry->first, &it->first});
        if (local->second.empty())
            byLocal_.erase(local);
    }
    entry->second.erase(it);
    --references_;
    if (!entry->second.empty())
        return Result::kRemoved;
    entries_.erase(entry);
    return Result::kEntryRemoved;
}

const BFDTable::LocalRefs& BFDTable::OfLocal(const std::string& localId) const {
    static const LocalRefs kNone;
    auto it = byLocal_.find(localId);
    return it == byLocal_.end() ? kNone : it->second;
}

bool BFDTable::VniOf(const BfdSessionKey& key, const BfdReference& ref, uint32_t* vni) const {
    auto entry = entries_.find(key);
    if (entry == entries_.end())
        return false;
    auto it = entry->second.find(ref);
    if (it == entry->second.end())
        return false;
    *vni = it->second;
    return true;
}

std::set<std::string> BFDTable::LocalIds() const {
    std::set<std::string> out;
    for (const auto& [id, items] : byLocal_)
        out.insert(id);
    return out;
}

}  // namespace CfgAgent
