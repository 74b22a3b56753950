#pragma once
// BFDTable: the BFD sessions the local tunnel endpoints must run, one entry per session key
// (local IP, remote IP, local label, remote label, TN VTEP-group label, session type), each with
// the set of references that want it. A reference is (remote ID, remote ID type, local ID): the
// logical switch, routing domain or VTEP group the remote side came from, and the logical switch
// on the local side. Each reference also records the VNI of its logical switch when it was added
// (0: none), which the dataplane session is built with.
//
// The table only keeps what is wanted; BFDTableApp decides what the dataplane is told. Local and
// remote addresses of an entry are of one family: Add and Remove refuse mixed keys. Not locked:
// its owner holds the global agent lock.
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>

namespace CfgAgent {

// An address of a BFD session: IPv4 in the first 4 bytes (the rest zero) or IPv6.
struct BfdAddress {
    bool ipv6 = false;
    std::array<uint8_t, 16> bytes{};

    bool operator<(const BfdAddress& o) const {
        return ipv6 != o.ipv6 ? ipv6 < o.ipv6 : bytes < o.bytes;
    }
    bool operator==(const BfdAddress& o) const { return ipv6 == o.ipv6 && bytes == o.bytes; }
    std::string Text() const;
};

enum class BfdIdType : uint8_t {
    kUnknown = 0,
    kRoutingDomain = 1,
    kLogicalSwitch = 2,
    kVtepGroup = 3,
};
// "Unknown", "Routing Romain", "Logical Switch", "VTEP Group".
const char* BfdIdTypeName(BfdIdType type);

enum class BfdSessionType : uint8_t {
    kUnknown = 0,
    kTunnel = 1,
};
const char* BfdSessionTypeName(BfdSessionType type);

struct BfdSessionKey {
    BfdAddress local;
    BfdAddress remote;
    uint32_t localLabel = 0;
    uint32_t remoteLabel = 0;
    uint32_t tnVgLabel = 0;
    BfdSessionType type = BfdSessionType::kTunnel;

    bool operator<(const BfdSessionKey& o) const;
    bool operator==(const BfdSessionKey& o) const { return !(*this < o) && !(o < *this); }
};

struct BfdReference {
    std::string remoteId;  // serialized id of a switch or domain; the label's text for a group
    BfdIdType remoteType = BfdIdType::kUnknown;
    std::string localId;  // serialized id of the logical switch

    bool operator<(const BfdReference& o) const;
    bool operator==(const BfdReference& o) const {
        return remoteId == o.remoteId && remoteType == o.remoteType && localId == o.localId;
    }
    // The remote ID as printed: a UUID text, or the group label.
    std::string RemoteText() const;
};

class BFDTable {
  public:
    BFDTable() = default;
    // It keeps iterators into itself.
    BFDTable(const BFDTable&) = delete;
    BFDTable& operator=(const BFDTable&) = delete;

    enum class Result {
        kCreated,       // a new entry with this reference
        kInserted,      // a new reference of an existing entry
        kPresent,       // the reference was there already (its VNI unchanged)
        kRemoved,       // the reference is gone, its entry stays
        kEntryRemoved,  // the reference was the entry's last: the entry is gone
        kAbsent,        // no such reference
        kMixedFamily,   // local and remote of different families: nothing changed
    };
    // reference -> VNI of its logical switch when added (0: none)
    using References = std::map<BfdReference, uint32_t>;
    using Item = std::pair<BfdSessionKey, BfdReference>;
    // A reference as the index of its local switch holds it: the entry's key, the reference and
    // its VNI, all owned by the table (valid until the reference is removed), ordered as their
    // Items.
    struct Ref {
        const BfdSessionKey* key;
        const BfdReference* ref;
        const uint32_t* vni = nullptr;
    };
    // Orders Items and Refs together, so that a set of either is searched with the other.
    struct ItemLess {
        using is_transparent = void;
        template <class A, class B>
        bool operator()(const A& a, const B& b) const {
            return Less(KeyOf(a), RefOf(a), KeyOf(b), RefOf(b));
        }

      private:
        static const BfdSessionKey& KeyOf(const Item& i) { return i.first; }
        static const BfdSessionKey& KeyOf(const Ref& r) { return *r.key; }
        static const BfdReference& RefOf(const Item& i) { return i.second; }
        static const BfdReference& RefOf(const Ref& r) { return *r.ref; }
        static bool Less(const BfdSessionKey& ak, const BfdReference& ar, const BfdSessionKey& bk,
                         const BfdReference& br) {
            return ak < bk || (!(bk < ak) && ar < br);
        }
    };
    using LocalRefs = std::set<Ref, ItemLess>;

    // A reference already present with another VNI takes the new one (kPresent; `oldVni` tells).
    // Adds in key order (as a switch's references come) find their place from the previous one
    // without a search of the whole table.
    Result Add(const BfdSessionKey& key, const BfdReference& ref, uint32_t vni,
               uint32_t* oldVni = nullptr);
    // `vni` receives the VNI the reference was added with.
    Result Remove(const BfdSessionKey& key, const BfdReference& ref, uint32_t* vni = nullptr);

    const std::map<BfdSessionKey, References>& Entries() const { return entries_; }
    // The references whose local ID is `localId`, with their keys; empty when none.
    const LocalRefs& OfLocal(const std::string& localId) const;
    // The VNI a reference was added with; false when it is not in the table.
    bool VniOf(const BfdSessionKey& key, const BfdReference& ref, uint32_t* vni) const;
    std::set<std::string> LocalIds() const;

    size_t EntryCount() const { return entries_.size(); }
    size_t ReferenceCount() const { return references_; }

  private:
    using EntryMap = std::map<BfdSessionKey, References>;
    using LocalMap = std::map<std::string, LocalRefs>;

    EntryMap entries_;
    LocalMap byLocal_;
    size_t references_ = 0;
    // The entry after the last one added, and the last local switch added to: where the next add
    // looks first (end() when unknown). Reset when an entry or a switch's index goes.
    EntryMap::iterator next_ = entries_.end();
    LocalMap::iterator lastLocal_ = byLocal_.end();
};

}  // namespace CfgAgent
