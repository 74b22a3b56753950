#pragma once
// What the CLI shows of the state cache: each function reads the cache (the tables take the global
// agent lock themselves; the CLI handler already holds it, so one command sees one snapshot) and
// renders the reply text. Internal to cli/.
//
// A function returns true with the JSON text in `out`, or false with the short error reply in
// `out`, after logging the failure with its error code: LCP00702 when the state asked for is not
// there, LCP00703 for an argument that does not parse, LCP00704 when the object named by an
// argument does not exist. Dumps never fail: what the cache does not hold shows as an empty list.
#include <string>
#include <vector>

#include "intake/CairnDBUpdateMsg.h"

namespace google::protobuf {
class Message;
}

namespace CfgAgent {

class StateCache;

namespace cli {

// The records of one object (same type and id, adjacent in a query result).
struct ObjectRecords {
    const CairnDBUpdateMsg* begin;
    const CairnDBUpdateMsg* end;
    const std::string& id() const { return begin->id; }
};
std::vector<ObjectRecords> GroupByObject(const CairnDBUpdateList& list);
// The object's body: its whole body, or, when there is none, its property values merged (each is a
// body holding only that field). False when nothing parses.
bool ObjectBody(const ObjectRecords& object, google::protobuf::Message* out);

// ---- dumps (CliCacheViews.cc) -------------------------------------------------------------------

// Per logical port: "Logical Port UUID", "DVSwitch ID", "Logical Switch", "DVPort ID".
bool LportStatus(const StateCache& cache, std::string* out);
// The desired objects of one type, as the configuration table dumps them.
bool ConfigObjects(const StateCache& cache, ObjectType type, std::string* out);
// Per logical switch, its ports: [{"Logical Switch UUID", "Logical Ports": [...]}].
bool SwitchPortLists(const StateCache& cache, std::string* out);
// One entry per mirror session and kind (logical port, uplink port, RSPAN source and destination,
// L3 span) with the session's fields.
bool MirrorSessions(const StateCache& cache, std::string* out);
// Extra configuration of logical ports / logical switches; switch attachments.
bool PortExtraConfigs(const StateCache& cache, std::string* out);
bool SwitchExtraConfigs(const StateCache& cache, std::string* out);
bool SwitchAttachments(const StateCache& cache, std::string* out);

// ---- queries (CliStateCacheQueries.cc) ----------------------------------------------------------

bool LogicalSwitches(const StateCache& cache, std::string* out);
// `idType` "vni" (value: decimal VNI) or "uuid" (value: 8-4-4-4-12 text).
bool LogicalSwitch(const StateCache& cache, const std::string& idType, const std::string& value,
                   std::string* out);
// The IPv4 address entries (ARP), the IPv6 ones (ND), the MAC entries of a logical switch given
// by UUID text.
bool SwitchArpTable(const StateCache& cache, const std::string& lsUuid, std::string* out);
bool SwitchNdTable(const StateCache& cache, const std::string& lsUuid, std::string* out);
bool SwitchMacTable(const StateCache& cache, const std::string& lsUuid, std::string* out);
// The VTEP entries of a logical switch named as for LogicalSwitch.
bool SwitchVtepTable(const StateCache& cache, const std::string& idType, const std::string& value,
                     std::string* out);
// "remote_vteps" of every routing domain and "remote_tep_groups".
bool RoutingDomains(const StateCache& cache, std::string* out);
bool RoutingDomain(const StateCache& cache, const std::string& rdUuid, std::string* out);
// "local_vtep": the VTEPs the host reports for its routing domains.
bool DrVtep(const StateCache& cache, std::string* out);
// "vtep_groups".
bool TnTepGroups(const StateCache& cache, std::string* out);

}  // namespace cli
}  // namespace CfgAgent
