#pragma once
// The state of the VXLAN family as the dataplane's overlay module holds it: what the host itself
// has (its switch instances, the VNIs it joined with their local VTEPs and learned VM MACs, the
// local routing-domain VTEPs of each switch) and what the agent programmed (the settings of its
// Configure message; per joined VNI the membership confirmation, link flags, controller address,
// per-switch items and the remote VTEPs, MACs and IPs). What the agent programmed for the VNIs
// belongs to one session: ClearRemote() forgets it at every Session Open, and the agent re-pushes.
//
// Remote lists: the removed entries of an Update are applied before the added ones; removing an
// entry that is not there is counted in spuriousRemovals (a sign of a lost or doubled push).
//
// BFD sessions (data type 11) are keyed by (switch ID, 57-byte entry), as the dataplane runs them:
// the entry carries the VNI, routing domain and group label, so the same endpoints on two VNIs are
// two sessions. An add of a present session is counted in bfdDupAdds; a removal of an absent one
// is refused (an error). A VNI's sessions go when it leaves; every session and both BFD
// configurations go at a Session Open. The BFD items (Configure 8 per DVS UUID, 9 for EVPN) change
// only the fields whose presence bit is set.
//
// Apply() takes every message the agent may send, checked strictly through the shared walkers:
// a message that is shorter than its layout, has a TLV that does not fit, a list whose counts do
// not match, an unknown Configure item or data type, a type the agent never sends, or state for a
// VNI the host has not joined (or under another switch ID) is refused with the reason and changes
// nothing. FullSyncMessages() renders the host's state as the
// dataplane reports it after a Session Open.
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "dataplane/VxlanBuilders.h"
#include "dataplane/VxlanWalk.h"

namespace ozy::dpemu {

class VxlanTables {
  public:
    struct Vni {
        uint32_t switchId = 0;
        bool joined = false;  // a left VNI stays listed, without local state
        std::map<std::string, CfgAgent::vxlan::VtepEntry> localVteps;  // by address text
        std::map<uint64_t, CfgAgent::vxlan::VmMacEntry> localMacs;     // by 48-bit MAC

        // What the agent programmed in the current session.
        bool confirmed = false;  // membership confirmation (type 3, join)
        std::optional<CfgAgent::vxlan::LinkVni> link;
        uint8_t linkFlag = 0;
        std::optional<CfgAgent::vxlan::ControllerIp> controller;
        std::optional<uint32_t> macLimit;
        std::optional<uint8_t> multicastProxy;
        std::optional<uint8_t> arpProxy;
        std::optional<CfgAgent::vxlan::UuidBytes> routingDomain;
        std::map<std::string, CfgAgent::vxlan::VtepEntry> remoteVteps;  // by address text
        std::map<uint64_t, CfgAgent::vxlan::VmMacEntry> remoteMacs;     // by 48-bit MAC
        std::map<std::string, uint64_t> remoteIps;                      // address text -> MAC
        std::set<uint32_t> vtepGroups;                                  // VTEP group labels bound
    };
    // A routing domain the agent programmed (Routing domain membership change, join).
    struct RemoteDomain {
        uint32_t switchId = 0;
        bool global = false;
        std::map<std::string, CfgAgent::vxlan::VtepEntry> vteps;  // by address text
        std::set<uint32_t> vtepGroups;                            // VTEP group labels bound
    };

    // --- the host's own state ---
    std::set<uint32_t> instances;
    std::map<uint32_t, Vni> vnis;
    std::map<uint32_t, std::vector<CfgAgent::vxlan::VtepEntry>> rdVteps;  // by switch ID

    // --- what the agent programmed ---
    std::optional<CfgAgent::vxlan::Settings> settings;
    // Routing domain list of each switch (data type 10), as UUID texts.
    std::map<uint32_t, std::vector<std::string>> routingDomains;
    std::map<std::string, RemoteDomain> remoteDomains;          // by UUID text
    std::map<uint32_t, CfgAgent::vxlan::VtepGroup> vtepGroups;  // by label
    std::map<uint32_t, uint8_t> globalReplication;              // by switch ID
    using BfdKey = std::pair<uint32_t, std::array<uint8_t, CfgAgent::vxlan::kBfdSessionEntrySize>>;
    std::map<BfdKey, CfgAgent::vxlan::BfdSession> bfdSessions;  // by (switch ID, entry)
    struct BfdSettings {
        std::optional<uint8_t> enable;
        std::optional<uint32_t> healthInterval;
        std::optional<uint8_t> latencyEnable;  // item 8
        std::optional<uint32_t> multiplier;    // item 9
    };
    std::map<std::string, BfdSettings> bfdConfig;  // item 8, by DVS UUID text
    std::optional<BfdSettings> evpnBfd;            // item 9
    uint64_t bfdDupAdds = 0;
    // Drops the BFD sessions of a VNI (it left).
    void DropBfdSessions(uint32_t vni);
    struct QueryReply {
        uint16_t dataType = 0;
        uint32_t vni = 0;
        uint32_t messages = 0;  // Update messages the reply took
        // Per entry: the address asked for (the VM MAC for data type 4), the VM MAC, the VTEP.
        std::vector<std::array<std::string, 3>> entries;
    };
    // The reply to the last query sent (the Updates of its data type and VNI since), if any.
    std::optional<QueryReply> lastQueryReply;
    void QuerySent(uint32_t vni, uint16_t dataType);

    // The largest message the agent accepts (Configure item 1, or the default before it came).
    size_t AgentMaxMsgLength() const;

    // Validates one message of the agent (any type but Session control) and applies what it
    // programs; false with the reason otherwise. `stateQuery` is set for a State query, which the
    // family answers.
    bool Apply(const CfgAgent::vxlan::MsgView& msg, std::string* error, bool* stateQuery);

    // Instance inserts, VNI joins, the local VTEPs (data type 5) and MACs (data type 4) of each
    // VNI, the local routing-domain VTEPs of each switch (data type 9), split at `maxMsgLength`.
    std::vector<CfgAgent::DpMsg> FullSyncMessages(size_t maxMsgLength) const;

    nlohmann::json ToJson() const;
    // Counts only: instances, joined VNIs, local VTEPs and MACs, what the agent programmed, and
    // "changed_ms": when the remote VTEPs and the BFD sessions last changed.
    nlohmann::json Summary() const;

    // Forgets what the agent programmed for the VNIs (a new session starts).
    void ClearRemote();

    // Counters of what the agent sent, by kind.
    std::map<std::string, uint64_t> applied;
    uint64_t spuriousRemovals = 0;
    // When an Update of the agent last added or removed remote VTEPs and BFD sessions, in
    // milliseconds of the monotonic clock (SteadyMs); 0 before the first. A benchmark reads when
    // a count was reached instead of polling for it.
    double remoteVtepsChangedMs = 0;
    double bfdSessionsChangedMs = 0;

  private:
    bool ApplyConfigure(const CfgAgent::vxlan::MsgView& msg, std::string* error);
    bool ApplyUpdate(const CfgAgent::vxlan::MsgView& msg, std::string* error);
    // The joined VNI `vni` under switch `switchId`; null with the reason otherwise.
    Vni* Programmed(const char* what, uint32_t switchId, uint32_t vni, std::string* error);
    bool ApplyList(uint16_t dataType, const CfgAgent::vxlan::ListUpdate& l, std::string* error);
    bool ApplySwitchItem(const CfgAgent::DpTlv& t, std::string* error);
    // Items 8 and 9: true when `t` was one (and is applied).
    bool ApplyBfdItem(const CfgAgent::DpTlv& t);
    // Checks a BFD session TLV against the tables; false with the reason.
    bool CheckBfdSession(const CfgAgent::DpTlv& t, CfgAgent::vxlan::BfdSession* out,
                         std::string* error);
    void ApplyBfdSession(const CfgAgent::vxlan::BfdSession& s);
    bool ApplyRdState(const CfgAgent::vxlan::MsgView& msg, std::string* error);
    bool ApplyVtepGroup(const CfgAgent::vxlan::MsgView& msg, std::string* error);
    // A switch of this host: an instance or the switch of a joined VNI.
    bool KnownSwitch(uint32_t switchId) const;
    // Adds the entries of a reply to the last query; false when `l` is not one.
    bool TakeQueryReply(uint16_t dataType, const CfgAgent::vxlan::ListUpdate& l);
};

// Text forms of the injection commands (MACs: ParseMac of KcpFamily.h). An IPv4 or IPv6 address
// sets the address type and the matching address field; false for anything else.
bool ParseVtepAddress(const std::string& text, uint32_t* addrType, uint32_t* ipv4,
                      CfgAgent::vxlan::Ipv6Addr* ipv6);
uint64_t MacKey(const CfgAgent::vxlan::MacAddr& mac);
// Now in milliseconds of the monotonic clock, which every process of the host shares.
double SteadyMs();
CfgAgent::vxlan::MacAddr MacOfKey(uint64_t key);

}  // namespace ozy::dpemu
