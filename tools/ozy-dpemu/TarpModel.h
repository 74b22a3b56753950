#pragma once
// What the emulated firewall device holds, as plain records decoded from the device's layouts
// (platform/tarp/TarpWire.h). Objects that a configuration replaces whole keep their received
// bytes (`raw`) so that "applied with no change" is a byte comparison.
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace ozy::dpemu::tarp {

struct Address {
    uint8_t kind = 0;  // 4, 6 or 16 (MAC)
    uint8_t prefix = 0;
    std::array<uint8_t, 16> bytes{};
};

struct AddrSet {
    std::vector<Address> addresses;
    std::vector<Address> excluded;
    bool ipReputation = false;
    std::string raw;
};

struct Element {
    uint8_t kind = 0;  // TarpWire ElementKind
    std::string text;  // address-set name, attribute value or identity
    uint16_t key = 0;
    Address address;
};

struct Container {
    uint8_t type = 0;  // TarpWire ContainerTypeCode
    std::vector<Element> elements;
    std::string raw;
};

struct PortList {
    bool negate = false;
    std::vector<std::pair<uint16_t, uint16_t>> ranges;
};

struct SideRef {
    std::string container;
    bool malicious = false;
    bool hasAddress = false;
    Address address;
    bool negate = false;
    bool Present() const { return !container.empty() || hasAddress; }
};

struct IcmpMatch {
    uint8_t type = 0;
    bool hasCode = false;
    uint8_t code = 0;
};

struct RulePart {
    uint32_t id = 0;
    uint8_t layer = 3;
    bool hasDirection = false;
    uint8_t direction = 0;
    uint8_t action = 0;
    std::string actionText;
    bool nat = false;
    uint16_t natFields[3] = {0, 0, 0};
    std::string natAddress;
    bool hasType = false;
    uint8_t type = 0;
    uint8_t family = 0;
    bool hasProtocol = false;
    uint16_t protocol = 0;
    bool protocolNegate = false;
    std::vector<IcmpMatch> icmp;
    bool hasTcpFlags = false;
    uint8_t tcpFlags = 0;
    uint8_t tcpMask = 0;
    PortList sourcePorts;
    PortList destPorts;
    bool hasAlg = false;
    uint32_t alg = 0;
    std::string idsProfile;
    uint8_t flags = 0;
    std::string tag;
    bool hasOversub = false;
    uint32_t oversub = 0;
    bool hasCategory = false;
    uint32_t category = 0;
    bool hasBucket = false;
    uint32_t bucket = 0;
    SideRef sides[6];  // by TarpWire SideCode - 1
    std::string attrProfile;
    std::string timeProfile;
    bool tcpStrict = false;
    std::string org, project, vpc;
};

struct Rule {
    std::vector<RulePart> parts;
};

// A stored segment: its rules and every container name they use (checked on each apply).
struct Segment {
    uint64_t hash = 0;
    std::vector<Rule> rules;
    std::set<std::string> names;
    size_t bytes = 0;
    uint32_t refs = 0;  // rule sets of filters that list it
    uint64_t lastUse = 0;
};

struct IpRepEntry {
    uint32_t address = 0;
    uint32_t mask = 0;
    uint16_t threat = 0;
    uint16_t reputation = 0;
    uint32_t bucket = 0;
};

// A chunk as created; `raw` is its command body, `hash` its content hash (TarpWire.h kIpRepSeed).
struct IpRepChunk {
    uint32_t capacity = 0;
    uint32_t bucket = 0;
    std::vector<IpRepEntry> entries;
    std::string raw;
    uint64_t hash = 0;
};

struct FloodSettings {
    uint32_t tcpHalfOpen = 0, udp = 0, icmp = 0, other = 0;
    bool synCache = false, rstSpoofing = false, natLimits = false;
};

struct FilterConfig {
    std::map<std::string, AddrSet> addrSets;
    std::map<std::string, Container> containers;
    std::map<std::string, std::vector<uint64_t>> ruleSets;
    std::vector<std::string> roots;
};

struct Filter {
    std::string vif, lsp, agent, product, vm;
    uint32_t flags = 0;
    uint64_t importTime = 0;
    std::array<uint8_t, 6> mac{};
    uint32_t port = 0;

    FilterConfig config;
    // Settings.
    std::optional<FloodSettings> flood;
    std::optional<std::vector<uint32_t>> timeouts;
    std::optional<std::pair<bool, uint32_t>> dns;  // TTL flag, TTL
    std::string dnsBytes;
    uint32_t exportVersion = 0;
    uint32_t fastPath = 0;
    bool sharedAddrSets = false;
    uint32_t idsMode = 0;
    uint32_t oversubscription = 0;
    uint32_t spoofGuardDeletions = 0;
    std::array<uint8_t, 6> lastSpoofGuardMac{};
    // When the device last accepted a setting for it: milliseconds of the steady clock (the one
    // every process on the host shares); 0 before the first.
    double settingsMs = 0;

    uint32_t applyCount = 0;
    uint32_t lastStatus = 0;
    // When the device last accepted an apply to it (same clock as settingsMs); 0 before the first.
    double appliedMs = 0;

    // Set whenever its address sets or containers change (TarpState's clock).
    uint64_t objectsVersion = 0;
    // The segments of its rule sets (sorted, each once), all found to resolve against its sets
    // and the shared filter's as of these versions, in this shared mode; its containers were
    // checked then too.
    std::vector<uint64_t> resolved;
    uint64_t resolvedObjects = 0, resolvedShared = 0;
    bool resolvedSharedMode = false;
};

}  // namespace ozy::dpemu::tarp
