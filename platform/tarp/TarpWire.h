#pragma once
// The contract of the firewall device "/dev/ozy-tarp" and of the firewall filter link
// "ozy_tarp_krnlink", shared by the firewall library (libozy_tarpfw) and the dataplane emulator
// like FcVswitchIoctls.h. This header holds constants, sizes and offsets only: each side reads and
// writes the bytes with its own code, and tests pin the layouts with literal bytes.
//
// Every integer on the wire is big-endian. Every text field is read bounded (strnlen over its
// width); a field as wide as its longest value carries no terminator then.
//
// ---------------------------------------------------------------------------------------------
// Device commands: one ioctl is one frame of platform/device/DeviceFrame.h; the reply's code is a
// status below (never an errno, except ENOTTY for an unknown command code).
//
//   kCmdHello         request: none.
//                     reply: u32 protocol version, u64 device instance id (new on every start
//                     of the device: the library's epoch changes with it).
//   kCmdSegmentPut    request: u64 segment hash, u32 total size, u32 offset, then the piece
//                     (at most kMaxSegmentPiece bytes). Pieces arrive in order; the last one
//                     completes the segment, which the device checks (hash, layout) before keeping.
//   kCmdApply         request: a configuration (layout below). Whole or nothing. reply: status;
//                     with kStatusUnknownSegment the payload is u32 n, then n u64 missing hashes.
//   kCmdFilterSetting request: filter name [kFilterNameField], u32 setting id, u32 value size,
//                     value (layouts below).
//   kCmdListRuleSets  request: filter name [kFilterNameField], u32 capacity.
//                     reply: u32 total, u32 returned, returned names [kRuleSetNameField].
//   kCmdListAddrSets  as kCmdListRuleSets, names [kAddrSetNameField].
//   kCmdAddrSetStats  as kCmdListRuleSets, records of kAddrSetStatSize bytes.
//   kCmdActivateAddrSets  request: none. reply: u32 activated, new, replaced, obsoleted.
//   kCmdCleanupAddrSets   request: none. reply: u32 deleted.
//   kCmdFwIoctl       request: u32 command, then its buffer. reply: the buffer as left.
//   kCmdDvfIoctl      request: u32 command, then its buffer. reply: the buffer as left.
//   kCmdSiIoctl       request: u32 command, u32 entry count, u32 entry size, entries.
//   kCmdListIpRepChunks  request: filter name [kFilterNameField] (the shared filter, which holds
//                     the IP-reputation chunks), u32 capacity. reply: u32 total, u32 returned,
//                     returned records of kIpRepChunkStatSize bytes in id order (layout below).
//
// Statuses: kStatusOk (0) applied; kStatusNoChange (21) applied and nothing differed;
// kStatusNoMemory (8); kStatusNoFilter (19) no such filter; kStatusInvalidConfig (65) anything
// malformed or inconsistent (unknown command, over-long name, undefined reference, start > end, bad
// family or prefix). kStatusUnknownSegment is answered only to kCmdApply and never leaves the
// library: it uploads the missing segments and retries once. kStatusIoError (5) is the library's
// own for a device it cannot reach or that answered out of contract.
// ---------------------------------------------------------------------------------------------
#include <cstddef>
#include <cstdint>

namespace ozy::tarp {

constexpr uint32_t kProtocolVersion = 1;

// --- statuses ---
constexpr uint32_t kStatusOk = 0;
constexpr uint32_t kStatusIoError = 5;
constexpr uint32_t kStatusNoMemory = 8;
constexpr uint32_t kStatusNoFilter = 19;
constexpr uint32_t kStatusNoChange = 21;
constexpr uint32_t kStatusUnknownCommand = 25;  // ENOTTY: a device command code nobody knows
constexpr uint32_t kStatusInvalidConfig = 65;
constexpr uint32_t kStatusUnknownSegment = 0x53454721;  // "SEG!"

// --- device commands ("TP", then the number) ---
constexpr uint32_t kCmdHello = 0x54500001;
constexpr uint32_t kCmdSegmentPut = 0x54500002;
constexpr uint32_t kCmdApply = 0x54500003;
constexpr uint32_t kCmdFilterSetting = 0x54500004;
constexpr uint32_t kCmdListRuleSets = 0x54500005;
constexpr uint32_t kCmdListAddrSets = 0x54500006;
constexpr uint32_t kCmdAddrSetStats = 0x54500007;
constexpr uint32_t kCmdActivateAddrSets = 0x54500008;
constexpr uint32_t kCmdCleanupAddrSets = 0x54500009;
constexpr uint32_t kCmdFwIoctl = 0x5450000A;
constexpr uint32_t kCmdDvfIoctl = 0x5450000B;
constexpr uint32_t kCmdSiIoctl = 0x5450000C;
constexpr uint32_t kCmdListIpRepChunks = 0x5450000D;

constexpr size_t kHelloReplySize = 12;
constexpr size_t kSegmentPutHeaderSize = 16;
constexpr uint32_t kMaxSegmentPiece = 8u * 1024u * 1024u;
// A segment is assembled from pieces up to this size.
constexpr uint32_t kMaxSegmentSize = 256u * 1024u * 1024u;

// --- names: the longest accepted, and the width of fixed fields ---
constexpr size_t kMaxFilterName = 63;
constexpr size_t kMaxRuleSetName = 64;
constexpr size_t kMaxContainerName = 36;  // address sets and containers
constexpr size_t kFilterNameField = 64;
constexpr size_t kRuleSetNameField = 64;
constexpr size_t kAddrSetNameField = 40;
constexpr size_t kMaxAttrValue = 1024;
constexpr size_t kMaxTextField = 1024;  // action text, tag, tenant parts, identity entries

// The shared address-set filter of the firewall agent.
constexpr const char* kAgentFirewall = "orvane-sfw";
constexpr const char* kAgentServiceInsertion = "orvane-si";
constexpr const char* kSharedAddrSetFilter = "shared-addrset-filter-orvane-sfw";
// What a filter created for this product carries in its product text (offset 802 of the record).
constexpr const char* kProductTag = "ozy";

// --- hashing ---
// The 64-bit hash of segments and rules (ours; any good mix would do). Both sides compute it over
// the same bytes.
inline uint64_t Hash64(const uint8_t* p, size_t n, uint64_t seed) {
    constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
    uint64_t h = seed ^ (n * kMul);
    auto mix = [](uint64_t v) {
        v ^= v >> 33;
        v *= 0xFF51AFD7ED558CCDull;
        v ^= v >> 33;
        v *= 0xC4CEB9FE1A85EC53ull;
        v ^= v >> 33;
        return v;
    };
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t v = 0;
        for (int k = 0; k < 8; ++k)
            v |= static_cast<uint64_t>(p[i + k]) << (8 * k);
        h = (h ^ mix(v)) * kMul + 0x632BE59BD9B4E019ull;
    }
    uint64_t tail = 0;
    for (size_t k = 0; i + k < n; ++k)
        tail |= static_cast<uint64_t>(p[i + k]) << (8 * k);
    h = (h ^ mix(tail ^ 0xA5)) * kMul;
    return mix(h);
}

// ---------------------------------------------------------------------------------------------
// Configuration (kCmdApply):
//   u32 magic kConfigMagic, u32 version, filter name [kFilterNameField], u32 command count, then
//   commands: u16 code, u16 zero, u32 body size, body.
// Strings inside bodies: u16 length, bytes (no terminator).
// Address (kAddressSize bytes): u8 kind (kAddrIPv4, kAddrIPv6, kAddrMac), u8 prefix, 16 bytes
//   (IPv4 in the first 4, MAC in the first 6, the rest zero). A MAC's prefix is 0.
//
//   kCfgCreateAddrSet    str name, u8 flags (kAddrSetIpReputation), u32 n, n addresses,
//                        u32 m, m excluded addresses
//   kCfgCreateContainer  str name, u8 type (ContainerType), u32 n, n elements:
//                        u8 kind, then kElemAddrSet: str name | kElemAddress: address |
//                        kElemAttribute: u16 key, str value | kElemIdentity: str text
//   kCfgDestroyRuleSet   str name
//   kCfgCreateRuleSet    str name, u32 n, n u64 segment hashes (in evaluation order)
//   kCfgSetRootRuleSets  u8 n (0..2), n str names
//   kCfgDestroyAddrSet   str name (the address set and a container of that name)
//   kCfgCreateIpRepChunk u32 id, u32 capacity, u32 bucket, u32 n, n entries of kIpRepEntrySize
//                        (1 <= capacity, n <= capacity). An id the device holds is replaced.
//   kCfgDestroyIpRepChunk u32 id (held at that point of the list, else the list is refused)
//   Chunks are device-wide and live on the shared filter kSharedAddrSetFilter: both chunk
//   commands in a configuration of any other filter refuse it.
//
// Segment (kCmdSegmentPut): u32 kSegmentMagic, u32 rule count, then per rule u32 size and the
//   rule. Its hash is Hash64 (seed kSegmentSeed) over u32 rule count and each rule's hash (u64),
//   all big-endian; a rule's hash is Hash64 (seed kRuleSeed) over its bytes. So a segment is named
//   without its bytes being laid out, and the device checks the name of what it receives.
// Rule: u16 part count (>= 1), then per part u32 size and the part's elements (combined parts
//   match when any part does). Element: u8 tag, u16 size, value; tags below, each at most once
//   per part unless said.
// ---------------------------------------------------------------------------------------------
constexpr uint32_t kConfigMagic = 0x54434647;   // "TCFG"
constexpr uint32_t kSegmentMagic = 0x54534547;  // "TSEG"
constexpr uint64_t kSegmentSeed = 0x7461727073656773ull;
constexpr uint64_t kRuleSeed = 0x7461727072756c65ull;
constexpr size_t kConfigHeaderSize = 4 + 4 + kFilterNameField + 4;
constexpr size_t kCommandHeaderSize = 8;
constexpr size_t kAddressSize = 18;

enum ConfigCommand : uint16_t {
    kCfgCreateAddrSet = 1,
    kCfgCreateContainer = 2,
    kCfgDestroyRuleSet = 3,
    kCfgCreateRuleSet = 4,
    kCfgSetRootRuleSets = 5,
    kCfgDestroyAddrSet = 6,
    kCfgCreateIpRepChunk = 7,
    kCfgDestroyIpRepChunk = 8,
};

enum AddressKind : uint8_t {
    kAddrIPv4 = 4,
    kAddrIPv6 = 6,
    kAddrMac = 16,
};

constexpr uint8_t kAddrSetIpReputation = 0x01;

enum ContainerTypeCode : uint8_t {
    kContainerAddresses = 1,  // address sets and addresses (composites)
    kContainerAttributes = 2,
    kContainerTime = 3,
    kContainerIdentity = 4,
};

enum ElementKind : uint8_t {
    kElemAddrSet = 1,
    kElemAddress = 2,
    kElemAttribute = 3,
    kElemIdentity = 4,
};

// IP-reputation chunk entry: u32 address, u32 mask, u16 threat level, u16 reputation, u32 bucket.
constexpr size_t kIpRepEntrySize = 16;
// A chunk's content hash: Hash64 (seed kIpRepSeed) over its n entries as on the wire (n x 16
// bytes, nothing else), so the agent can tell whether the device holds a chunk as it wants it.
constexpr uint64_t kIpRepSeed = 0x7461727069707270ull;
// kCmdListIpRepChunks record (kIpRepChunkStatSize bytes): u32 id, u32 capacity, u32 entry count,
// u32 bucket, u64 content hash.
constexpr size_t kIpRepChunkStatSize = 24;

// Rule element tags.
enum RuleTag : uint8_t {
    kTagId = 1,              // u32
    kTagLayer = 2,           // u8: 3 or 2
    kTagDirection = 3,       // u8: 0 in and out, 1 in, 2 out
    kTagAction = 4,          // u8 action, str text
    kTagNat = 5,             // u16, u16, u16, str address (action kActionNat)
    kTagType = 6,            // u8
    kTagInetFamily = 7,      // u8: 4 or 6
    kTagProtocol = 8,        // u16 protocol (IP or ether), u8 negate
    kTagIcmp = 9,            // u8 type, u8 has code, u8 code; repeated
    kTagTcpFlags = 10,       // u8 flags, u8 mask
    kTagSourcePorts = 11,    // u8 negate, u16 n, n x (u16 start, u16 end)
    kTagDestPorts = 12,      // as kTagSourcePorts
    kTagAlg = 13,            // u32
    kTagIdsProfile = 14,     // str
    kTagFlags = 15,          // u8: kRuleFlag*
    kTagTag = 16,            // str
    kTagOversub = 17,        // u32
    kTagCategory = 18,       // u32
    kTagBucket = 19,         // u32
    kTagAddrContainer = 20,  // u8 side, u8 malicious, str name; repeated (one per side)
    kTagAddrDirect = 21,     // u8 side, address; repeated (one per side)
    kTagAddrNegate = 22,     // u8 side; repeated (one per side)
    kTagAttrProfile = 23,    // str container
    kTagTimeProfile = 24,    // str container
    kTagTcpStrict = 25,      // u8
    kTagTenant = 26,         // str org, str project, str vpc
};

constexpr uint8_t kRuleFlagLog = 0x01;
constexpr uint8_t kRuleFlagLb = 0x02;
constexpr uint8_t kRuleFlagNoFlowRecord = 0x04;
constexpr uint8_t kRuleFlagStateless = 0x08;

// Address sides of a rule.
enum SideCode : uint8_t {
    kSideSource = 1,
    kSideDest = 2,
    kSideExcludeSource = 3,
    kSideExcludeDest = 4,
    kSideExtSource = 5,    // identity (extended source)
    kSideExtSourceIp = 6,  // addresses of the identity
};

// Rule actions (the library's numbering).
enum ActionCode : uint8_t {
    kActionDrop = 1,
    kActionAllow = 2,
    kActionReject = 3,
    kActionRedirect = 11,
    kActionDoNotRedirect = 12,
    kActionCopy = 13,
    kActionNat = 14,
    kActionDetect = 15,
    kActionDetectPrevent = 16,
    kActionPrevent = 17,
};

// Attribute keys (str2attrkey maps their names).
constexpr uint16_t kAttrDayOfWeek = 12;  // "SUNDAY".."SATURDAY"
constexpr uint16_t kAttrStartTime = 13;  // "%m/%d/%Y,%H:%M"
constexpr uint16_t kAttrEndTime = 14;    // "%m/%d/%Y,%H:%M"
constexpr uint16_t kAttrTimeOfDay = 15;  // "HH:MM,HH:MM"
constexpr uint16_t kAttrTimeZone = 16;   // "UTC" or "LOCAL" (resolved by the device)
constexpr uint16_t kAttrKeyCount = 17;
constexpr const char* kAttrKeyNames[kAttrKeyCount] = {
    "APP_ID",      "DOMAIN_NAME",      "URL_CATEGORY", "URL_REPUTATION", "CUSTOM_URL",
    "TLS_VERSION", "TLS_CIPHER_SUITE", "PROCESS_NAME", "PROCESS_HASH",   "SNI",
    "USER_AGENT",  "FILE_TYPE",        "DAY_OF_WEEK",  "START_TIME",     "END_TIME",
    "TIME_OF_DAY", "TIME_ZONE",
};

// --- per-filter settings (kCmdFilterSetting) ---
enum SettingId : uint32_t {
    kSetFlood = 1,             // kFloodCfgSize bytes
    kSetTimeout = 2,           // kTimeoutCfgSize bytes
    kSetDns = 3,               // kDnsCfgSize bytes
    kSetExportVersion = 4,     // u32
    kSetFastPath = 5,          // u32
    kSetDeleteSpoofGuard = 6,  // 6-byte MAC
    kSetSharedAddrSet = 7,     // u32 0 or 1
    kSetIdsMode = 8,           // u32 (shared filter)
    kSetOversubscription = 9,  // u32 (shared filter)
};
constexpr size_t kSettingHeaderSize = kFilterNameField + 8;

// Flood protection: u32 tcp half-open limit, u32 udp flow limit, u32 icmp flow limit, u32 other
// flow limit, u8 SYN cache, u8 RST spoofing, u8 NAT limits, u8 zero. A limit of 0 is no limit.
constexpr size_t kFloodCfgSize = 20;
// Session timeouts, u32 seconds each, in this order: tcp first packet, opening, established,
// closing, fin wait, closed; udp first packet, single, multiple; icmp first packet, error reply;
// other first packet, single, multiple.
constexpr size_t kTimeoutCount = 14;
constexpr size_t kTimeoutCfgSize = 4 * kTimeoutCount;
// DNS profile: u8 TTL flag, 3 zero bytes, u32 TTL seconds.
constexpr size_t kDnsCfgSize = 8;

// --- kCmdAddrSetStats record (kAddrSetStatSize bytes) ---
//   0  name [kAddrSetNameField]
//   40 u32 anchor reference count (filters whose rules use it, on the shared filter)
//   44 u32 address count
//   48 u32 excluded count
//   52 u32 flags (kStatActive, kStatIpReputation)
//   56 u64 generation
//   64 u64 reserved
//   72 u16 record version (1)
constexpr size_t kAddrSetStatSize = 74;
constexpr size_t kStatAnchorOffset = 40;
constexpr size_t kStatAddressCountOffset = 44;
constexpr size_t kStatExcludedOffset = 48;
constexpr size_t kStatFlagsOffset = 52;
constexpr size_t kStatGenerationOffset = 56;
constexpr size_t kStatVersionOffset = 72;
constexpr uint32_t kStatActive = 1;
constexpr uint32_t kStatIpReputation = 2;

// --- FW_Ioctl commands (kCmdFwIoctl) ---
constexpr uint32_t kFwIoctlFilterCount = 20;   // buffer: u32 count (set by the device)
constexpr uint32_t kFwIoctlReadFilters = 21;   // buffer: read header, capacity x filter records
constexpr uint32_t kFwIoctlUpdateConfig = 30;  // buffer: u32 n, n x kUpdateConfigEntrySize
constexpr uint32_t kFwIoctlLbConfig = 43;      // buffer: platform/device/LbConfigBuffer.h

// Read request header (kReadHeaderSize bytes):
//   0 u32 version (1), 4 u32 capacity (records after the header), 8 u32 returned (device),
//   12 u32 total (device: every filter that matched, also those that did not fit), 16 u32 zero,
//   20 agent name [100] (empty: every agent).
constexpr size_t kReadHeaderSize = 120;
constexpr size_t kReadCapacityOffset = 4;
constexpr size_t kReadReturnedOffset = 8;
constexpr size_t kReadTotalOffset = 12;
constexpr size_t kReadAgentOffset = 20;

// Filter record (kFilterRecordSize bytes):
//   0   filter name [64]
//   64  vif id [64]
//   128 logical switch port id [40]
//   168 u32 flags (kFilterImported)
//   172 u64 import time (seconds since the epoch; 0 when not imported)
//   180 MAC [6]
//   186 u16 zero
//   188 u32 port number
//   192 u32 rule count
//   196 u32 apply count
//   200 u32 last apply status
//   204 agent name [100]
//   304 VM id [40]
//   344 zero [458]
//   802 product text [123] (kProductTag for filters created for this product, else empty)
constexpr size_t kFilterRecordSize = 925;
constexpr size_t kRecNameOffset = 0;
constexpr size_t kRecNameField = 64;
constexpr size_t kRecVifOffset = 64;
constexpr size_t kRecVifField = 64;
constexpr size_t kRecLspOffset = 128;
constexpr size_t kRecLspField = 40;
constexpr size_t kRecFlagsOffset = 168;
constexpr size_t kRecImportTimeOffset = 172;
constexpr size_t kRecMacOffset = 180;
constexpr size_t kRecPortOffset = 188;
constexpr size_t kRecRuleCountOffset = 192;
constexpr size_t kRecApplyCountOffset = 196;
constexpr size_t kRecLastStatusOffset = 200;
constexpr size_t kRecAgentOffset = 204;
constexpr size_t kRecAgentField = 100;
constexpr size_t kRecVmOffset = 304;
constexpr size_t kRecVmField = 40;
constexpr size_t kRecProductOffset = 802;
constexpr size_t kRecProductField = 123;
constexpr uint32_t kFilterImported = 2;

// Update-config entry: filter name [64], MAC [6], u16 zero.
constexpr size_t kUpdateConfigEntrySize = 72;

// --- DVF_Ioctl commands (kCmdDvfIoctl) ---
constexpr uint32_t kDvfWriteTable = 1;   // header, count entries (replaces the table)
constexpr uint32_t kDvfExcludeSize = 3;  // header; the device sets total
constexpr uint32_t kDvfReadExclude = 4;  // header (count: capacity), capacity entries
constexpr uint32_t kDvfResetTable = 6;   // header
// Revalidate one running VM's filters: agent name [32], VM uuid [16], u32 world id (no table
// header).
constexpr uint32_t kDvfRevalidateVm = 7;
constexpr size_t kDvfRevalidateSize = 52;
constexpr size_t kDvfRevalidateVmOffset = 32;
constexpr size_t kDvfRevalidateWorldOffset = 48;

// Table header (kDvfHeaderSize bytes): agent name [32], u8 table (kDvfInclude, kDvfExclude),
// 3 zero bytes, u32 count (entries that follow; in a read: the capacity, then what was returned),
// u32 total (set by the device).
constexpr size_t kDvfHeaderSize = 44;
constexpr size_t kDvfAgentField = 32;
constexpr size_t kDvfTableOffset = 32;
constexpr size_t kDvfCountOffset = 36;
constexpr size_t kDvfTotalOffset = 40;
constexpr uint8_t kDvfInclude = 1;
constexpr uint8_t kDvfExclude = 2;

// Table entry (kDvfEntrySize bytes): u8 type (kDvfEntryVnic, kDvfEntryDefault), u8 length (23),
// vnic uuid [16], u32 flags, u8 zero. A vnic is named by its vif id in uuid text form; the default
// entry (all zero uuid) is the include table's single entry that turns an agent's filters on.
constexpr size_t kDvfEntrySize = 23;
constexpr uint8_t kDvfEntryVnic = 1;
constexpr uint8_t kDvfEntryDefault = 2;

// --- link messages on "ozy_tarp_krnlink" (framed as dataplane/DpFraming.h: u16 type, u16 length)
constexpr const char* kFilterLinkEndpoint = "ozy_tarp_krnlink";
constexpr uint16_t kMsgFilterNotify = 1;
constexpr uint16_t kMsgHopoverFailure = 5;
constexpr uint16_t kMsgFloodLimit = 6;

// Filter notification (kNotifySize bytes): header, filter name [100] at 4, agent name [100] at 104,
// vif id [64] at 204 (empty: the filter is gone), lsp id [40] at 268, u32 flags at 308
// (kFilterImported), u64 import time at 312.
constexpr size_t kNotifySize = 320;
constexpr size_t kNotifyFilterOffset = 4;
constexpr size_t kNotifyAgentOffset = 104;
constexpr size_t kNotifyVifOffset = 204;
constexpr size_t kNotifyLspOffset = 268;
constexpr size_t kNotifyFlagsOffset = 308;
constexpr size_t kNotifyImportTimeOffset = 312;
constexpr size_t kNotifyNameField = 100;

// Migration failure (kHopoverSize bytes): header, filter name [100] at 4, vif id [64] at 104,
// u32 reason at 168.
constexpr size_t kHopoverSize = 172;
constexpr size_t kHopoverFilterOffset = 4;
constexpr size_t kHopoverVifOffset = 104;
constexpr size_t kHopoverReasonOffset = 168;

// Flood limit (kFloodMsgSize bytes): header, filter name [100] at 4, vif id [64] at 104,
// protocol name [16] at 168, u8 severity at 184 (kFloodWarning, kFloodCritical), u8 flags at 185
// (kFloodRaise set: raised, clear: cleared), u16 zero.
constexpr size_t kFloodMsgSize = 188;
constexpr size_t kFloodFilterOffset = 4;
constexpr size_t kFloodVifOffset = 104;
constexpr size_t kFloodProtocolOffset = 168;
constexpr size_t kFloodProtocolField = 16;
constexpr size_t kFloodSeverityOffset = 184;
constexpr size_t kFloodFlagsOffset = 185;
constexpr uint8_t kFloodWarning = 1;
constexpr uint8_t kFloodCritical = 2;
constexpr uint8_t kFloodRaise = 0x01;

}  // namespace ozy::tarp
