#include "apps/routing/BFDTable.h"

#include <arpa/inet.h>

#include <cstring>
#include <iterator>
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

uint64_t LoadBe64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_bswap64(v);
}

// BfdAddress's order (family, then the bytes as memcmp orders them) as -1, 0, 1; the bytes are
// compared as two big-endian words, which orders them alike without a call per comparison.
int CompareAddress(const BfdAddress& a, const BfdAddress& b) {
    if (a.ipv6 != b.ipv6)
        return a.ipv6 ? 1 : -1;
    for (size_t at = 0; at < a.bytes.size(); at += 8) {
        const uint64_t x = LoadBe64(a.bytes.data() + at);
        const uint64_t y = LoadBe64(b.bytes.data() + at);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
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
    // One search of the entries whether the key is new or not, none when the key goes right
    // before the entry after the last one added (the hint is checked against its neighbours).
    const size_t before = entries_.size();
    const auto entry = entries_.try_emplace(next_, key);
    const bool created = entries_.size() != before;
    next_ = std::next(entry);
    auto [it, inserted] = entry->second.emplace(ref, vni);
    if (!inserted) {
        if (oldVni != nullptr)
            *oldVni = it->second;
        it->second = vni;
        return Result::kPresent;
    }
    ++references_;
    if (lastLocal_ == byLocal_.end() || lastLocal_->first != ref.localId)
        lastLocal_ = byLocal_.try_emplace(ref.localId).first;
    // A switch's references come in order: each goes last of its index when it is the greatest.
    lastLocal_->second.insert(lastLocal_->second.end(),
                              Ref{&entry->first, &it->first, &it->second});
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
        if (local->second.empty()) {
            byLocal_.erase(local);
            lastLocal_ = byLocal_.end();
        }
    }
    entry->second.erase(it);
    --references_;
    if (!entry->second.empty())
        return Result::kRemoved;
    entries_.erase(entry);
    next_ = entries_.end();
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
