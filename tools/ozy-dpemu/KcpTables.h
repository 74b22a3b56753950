#pragma once
// The programmed state of the KCP family, as the dataplane holds it: port, kernel-interface and
// switch properties, the agent's VIF records, containers and their per-port lists, uplinks.
//
// ApplyUpdate takes the element list of one (joined) Update and applies it element by element:
//   Port / Krnnic / SWX Property Update  UPDATE sets the properties given; DELETE removes them, or
//                                        the whole record when none is given; FULL SYNC replaces
//                                        the record's properties (copies of one record within the
//                                        same Update are merged, see KcpProtocol.h)
//   PortList / KrnnicList / SWX List /   the complete set: records not listed are removed (several
//   ContainerList                        elements of one type in one Update form one list)
//   Port ContainerList                   the complete container list of that parent port
//   VIF Update                           records by VIF ID; DELETE removes
//   Container Update                     records by container ID
//   Uplink Update                        UPDATE adds, DELETE removes, FULL SYNC replaces all
// Every property is checked against the property table; one that is unknown or does not fit is
// reported and not stored. An element that does not fit stops only that element.
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "dataplane/KcpWalk.h"

namespace ozy::dpemu {

class KcpTables {
  public:
    using ErrorFn = std::function<void(const std::string&)>;
    // Property values by (key, instance); the instance is "" unless the property has several.
    using PropertySet = std::map<std::pair<uint16_t, std::string>, std::vector<uint8_t>>;

    struct VifState {
        CfgAgent::kcp::VifRecord record;  // properties span not kept
        CfgAgent::kcp::VifProperties properties;
    };

    // Applies the elements in [elements, elements + size); returns the number of elements applied.
    // With `portIds`, the IDs of the port property records met are appended to it.
    size_t ApplyUpdate(const uint8_t* elements, size_t size, const ErrorFn& error,
                       std::vector<std::string>* portIds = nullptr);

    nlohmann::json ToJson() const;
    static nlohmann::json PropertiesJson(const PropertySet& props);

    std::map<std::string, PropertySet> ports;
    std::map<std::string, PropertySet> krnnics;
    std::map<std::string, PropertySet> switches;
    std::map<std::string, VifState> vifs;
    std::map<std::string, CfgAgent::kcp::ContainerRecord> containers;
    std::map<std::string, std::vector<std::string>> portContainerLists;
    std::map<std::string, CfgAgent::kcp::UplinkRecord> uplinks;

  private:
    void ApplyPropertyRecord(std::map<std::string, PropertySet>& table, const char* what,
                             uint8_t scope, uint8_t op, const std::string& id,
                             CfgAgent::kcp::ByteSpan props, std::set<std::string>& fullSyncSeen,
                             const ErrorFn& error);
    void ApplyList(uint16_t type, const std::vector<std::string>& ids, bool first);
};

}  // namespace ozy::dpemu
