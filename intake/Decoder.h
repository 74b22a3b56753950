#pragma once
// The decoder: turns one database change (a MonitorUpdateMsg of the client library) into the
// CairnDBUpdateMsg records of the pipeline and names the components that receive them.
//
// It is stateless: a family of decode functions, one per object type, selected by the routing
// table in Decoder.cc. The CairndbClient's update callback calls Decode() on the database
// library's thread, one update at a time, and files the result into its pending batch with
// File(). Decode() never throws on bad input and never keeps a reference to the update: a body or
// op message that does not parse is decoded as the default message of its class; missing old
// bodies and entry indexes that point outside a list are logged ("errorCode:LCP00028") and only
// the affected record is skipped.
//
// Record layout by pattern (see the decode files under intake/decode/):
// - W (firewall, IDS, load balancer, service insertion): one whole-object record; SET carries
//   the new body, CLEAR the old body. No trace or tenant context.
// - O (other configuration types): one whole-object record; SET carries the new body, CLEAR an
//   empty body.
// - P (switch, port, transport node, ...): the whole-object record, then on SET one record per
//   property of the type's PropertyType block, op 1 with a body holding only that property, or
//   op 2 with empty data when the new body lacks it.
// - E (forwarding tables): one record per affected list entry or field value. L2 tables use
//   op 1/2 and data = the serialized entry message (L2_VTEP_GROUP: a VtepGroupMsg holding only
//   the key), preceded on the SET of a new object (no old body) by a whole-object record (op 1,
//   empty data) and followed on CLEAR by one (op 2, empty data), so that the L2 table knows the
//   object. L3 tables use op 3/4 and
//   data = the serialized value (UuidMsg, IpPrefixMsg, FibNextHopMsg, ArpEntryMsg, ...); the DAD
//   types also carry a whole-object record. A SET of a list or field removes every old value and
//   adds every new one; the client's merge then cancels the identical pairs.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "intake/CairnDBUpdateMsg.h"

namespace orvane::ozy::cairndb {
class MonitorUpdateMsg;
}

namespace CfgAgent {

// Whether an update is also handed to the SmartNIC host's Demux, and by which function.
enum class DemuxRoute : uint8_t {
    NONE = 0,
    KIND = 1,        // the kind-specific function of the Demux
    GENERIC = 2,     // the generic (global object) function
    KIND_FIRST = 3,  // kind-specific, handed over before the records are filed
};

// Records of one update that go to the same list of components.
struct DecodedGroup {
    CairnDBUpdateList records;
    const ComponentType* components = nullptr;  // static routing table storage
    size_t componentCount = 0;
};

// The output of one Decode() call. Reusable: Clear() keeps the capacity of the record lists.
struct DecodeResult {
    static constexpr size_t kMaxGroups = 2;

    bool routed = false;  // the type is in the routing table
    DemuxRoute demux = DemuxRoute::NONE;
    DecodedGroup groups[kMaxGroups];
    size_t groupCount = 0;

    void Clear();
    size_t RecordCount() const;
    // The next group, filed under `components` (a static array of `count` entries).
    CairnDBUpdateList& AddGroup(const ComponentType* components, size_t count);
    // Hands every group's records to each of its components in routing order (components of value
    // 0 are skipped): `file(component, records, last)`, where `last` says the records may be moved
    // (the group's last component). The groups' records are cleared afterwards.
    template <typename FileFn>
    void FileEach(FileFn&& file) {
        for (size_t i = 0; i < groupCount; ++i) {
            DecodedGroup& g = groups[i];
            for (size_t c = 0; c < g.componentCount; ++c) {
                if (g.components[c] != ComponentType::NONE)
                    file(g.components[c], g.records, c + 1 == g.componentCount);
            }
            g.records.clear();
        }
    }
};

class Decoder {
  public:
    // Decodes one update into `result` (cleared first). Returns false for object types outside the
    // routing table (nothing decoded; the caller decides whether to log).
    static bool Decode(const orvane::ozy::cairndb::MonitorUpdateMsg& update, DecodeResult* result);

    // Files every group of `result` under its components, in routing order (components of value
    // 0 are ignored). The records are moved into the last component of each group.
    static void File(DecodeResult& result, ComponentUpdateMap& batch);
    // Makes room in `list` for `n` more records, growing it by a quarter at least (File's growth:
    // the room a long list holds beyond its records stays under a quarter of them).
    static void ReserveForAppend(CairnDBUpdateList& list, size_t n);

    // Components of an object type in routing order (all groups); count 0 when the type is not
    // routed. For tests, the CLI and the benchmark.
    static size_t RoutedComponents(ObjectType type, ComponentType* out, size_t max);
    // How the SmartNIC host's Demux gets updates of a type (NONE when not routed).
    static DemuxRoute DemuxRouteOf(ObjectType type);

    // The realtime feature switch "EozyDpVswitchRT": when on, logical switch port updates also
    // produce LSP_REALTIME_PROFINET, LSP_REALTIME_LATENCY and LSP_REALTIME_PRP. Process-wide,
    // off by default; start-up sets it from the configuration key
    // "config.cfgAgent.features.EozyDpVswitchRT" (AgentConfig.cc).
    static void SetRealtimeFeatureEnabled(bool on);
    static bool RealtimeFeatureEnabled();
};

}  // namespace CfgAgent
