#pragma once
// Strict readers of VDR messages (VdrProtocol.h): the dataplane's type-4 messages for the agent,
// and the agent's Updates, ARP table updates and Full Sync End for the dataplane emulator.
//
// Nothing received is trusted. A reader checks the header against the bytes given, every field
// against the end of the message, texts for printable characters and their NUL padding, address
// entries for their size and padding, codes against the catalogue, and that the content fills
// the message exactly; the first fault ends the parse with its reason in `why` and nothing
// half-parsed is handed out. The readers are written from the layout, not from the builders
// (VdrBuilders.h), whose structs they fill.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dataplane/VdrBuilders.h"

namespace CfgAgent::vdr {

// --- dataplane to agent (type 4) ---

struct FullSyncRequest {
    uint8_t scope = 0;
    uint32_t vdrId = 0;
};

struct DadReport {
    uint32_t vdrId = 0;
    std::string lifName;
    std::string versionText;  // as sent, up to the padding; "" when none
    std::string lsText;
    std::vector<DadEntry> entries;
};

struct DataplaneMsg {
    uint32_t subType = 0;
    FullSyncRequest fullSync;  // sub type 3
    DadReport dad;             // sub type 28
};

enum class ParseResult {
    kOk,
    kNotDataplane,  // not a type-4 message, or its header does not match the bytes
    kShort,         // shorter than its sub type needs
    kUnknownSubType,
    kMalformed,
};

ParseResult ParseDataplaneMsg(const uint8_t* msg, size_t size, DataplaneMsg* out, std::string* why);

// --- agent to dataplane ---

// One element of an Update; only the fields of its type are filled.
struct UpdateElement {
    uint8_t type = 0;
    uint8_t op = 0;
    InstanceSpec instance;
    IpPrefix prefix;                       // routes, next-hop updates, multicast routes
    std::vector<NextHopSpec> hops;         // routes; the added next hops of an update
    std::vector<NextHopSpec> deletedHops;  // next-hop updates
    LifSpec lif;                           // a delete fills the name alone
    McastConfigSpec mcastConfig;
    std::vector<McastNextHop> mcastHops;
    uint32_t arpLimit = 0;
    bool arpOverridden = false;
    uint32_t prefixListIndex = 0;
    std::string prefixListName;
    std::vector<PrefixEntrySpec> prefixEntries;
    GlobalSpec global;
    BridgeEndpointSpec bridge;  // a delete fills the name alone
    std::string dadLif;
    std::string dadVersion;
    std::vector<DadEntry> dadEntries;
};

struct UpdateMsg {
    uint32_t vdrId = 0;
    std::vector<UpdateElement> elements;
};

bool ParseUpdate(const uint8_t* msg, size_t size, UpdateMsg* out, std::string* why);

struct ArpTableMsg {
    uint32_t vdrId = 0;
    std::string tableUuid;
    bool add = false;
    std::vector<ArpEntrySpec> entries;
};

bool ParseArpTableUpdate(const uint8_t* msg, size_t size, ArpTableMsg* out, std::string* why);

// A Full Sync End: exactly the 4-byte header of type 12.
bool IsFullSyncEnd(const uint8_t* msg, size_t size);

// "aa:bb:cc:dd:ee:ff".
std::string MacText(const uint8_t* mac);

}  // namespace CfgAgent::vdr
