#include "services/traceflow/TraceflowCodes.h"

#include <map>

namespace CfgAgent::traceflow {

namespace {

using Table = std::map<uint32_t, const char*>;

bool Lookup(const Table& table, uint32_t code, std::string* name) {
    auto it = table.find(code);
    if (it == table.end())
        return false;
    *name = it->second;
    return true;
}

}  // namespace

bool ComponentName(uint32_t code, std::string* name) {
    static const Table t = {
        {1, "logical switch"}, {2, "logical router"},    {3, "firewall"},   {4, "physical"},
        {5, "bridge"},         {6, "service insertion"}, {7, "spoofguard"}, {8, "dlb"}};
    return Lookup(t, code, name);
}

bool ObservationName(uint32_t code, std::string* name) {
    static const Table t = {{2, "forward"},         {3, "drop"},
                            {4, "receive"},         {5, "deliver"},
                            {6, "logical forward"}, {7, "logical receive"},
                            {8, "logical drop"},    {9, "logical replication"},
                            {10, "logical relay"}};
    return Lookup(t, code, name);
}

bool DropReasonName(uint32_t code, std::string* name) {
    static const Table t = {{1, "no route"}, {2, "firewall rule"},     {3, "ttl zero"},
                            {4, "arp fail"}, {7, "service insertion"}, {10, "firewall state"},
                            {11, "no mac"}};
    return Lookup(t, code, name);
}

bool ResolutionName(uint32_t code, std::string* name) {
    static const Table t = {{1, "port cache"},
                            {2, "ARP table"},
                            {3, "CP query"},
                            {4, "VM"},
                            {5, "logical router port"}};
    return Lookup(t, code, name);
}

bool ReplicationName(uint32_t code, std::string* name) {
    static const Table t = {{1, "Tx VTEP"}, {2, "Tx MTEP"}, {3, "Rx"}};
    return Lookup(t, code, name);
}

bool ResendName(uint32_t code, std::string* name) {
    static const Table t = {{1, "unknown"},
                            {2, "unknown ARP query result from CP"},
                            {3, "unknown ND (NS) query result from CP"}};
    return Lookup(t, code, name);
}

}  // namespace CfgAgent::traceflow
