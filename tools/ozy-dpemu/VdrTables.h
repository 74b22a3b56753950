#pragma once
// The programmed state of the VDR family, as the dataplane holds it: per router (VDR ID) its
// instance, ARP limit, multicast configuration, LIFs by name, routes by prefix, multicast routes
// by group, ARP tables by UUID and the last DAD status per LIF; and, for what is bound to no
// router (VDR ID 0), the global settings, prefix lists by index and bridge endpoints by name.
//
// Each element is checked against what is already programmed, which is what catches an agent
// that sends in the wrong order: a LIF, route, multicast route, ARP table or DAD status naming a
// router without an instance, a route or LIF naming a LIF or prefix list that is not there, a
// next-hop update adding a next hop the route has or deleting one it has not, a delete of
// something absent. Such an element is reported through the error function and not applied; the
// other elements of the message still are.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "dataplane/VdrWalk.h"

namespace ozy::dpemu {

class VdrTables {
  public:
    using ErrorFn = std::function<void(const std::string&)>;

    struct Route {
        CfgAgent::vdr::IpPrefix prefix;
        std::vector<CfgAgent::vdr::NextHopSpec> hops;
    };
    struct McastRoute {
        CfgAgent::vdr::IpPrefix group;
        std::vector<CfgAgent::vdr::McastNextHop> hops;
    };
    struct ArpLimit {
        uint32_t limit = 0;
        bool overridden = false;
    };
    struct Dad {
        std::string version;
        std::vector<CfgAgent::vdr::DadEntry> entries;
    };
    struct Vdr {
        bool instance = false;
        CfgAgent::vdr::InstanceSpec settings;
        std::optional<ArpLimit> arpLimit;
        std::optional<CfgAgent::vdr::McastConfigSpec> mcastConfig;
        std::map<std::string, CfgAgent::vdr::LifSpec> lifs;
        std::map<std::string, Route> routes;  // by PrefixText
        std::map<std::string, McastRoute> mcastRoutes;
        std::map<std::string, std::map<std::string, std::string>> arp;  // table: ip -> MAC
        std::map<std::string, Dad> dad;                                 // by LIF name
    };
    struct PrefixList {
        std::string name;
        std::vector<CfgAgent::vdr::PrefixEntrySpec> entries;
    };

    // Returns the number of elements applied.
    size_t ApplyUpdate(const CfgAgent::vdr::UpdateMsg& msg, const ErrorFn& error);
    bool ApplyArp(const CfgAgent::vdr::ArpTableMsg& msg, const ErrorFn& error);
    void Reset();

    size_t RouteCount() const;
    size_t LifCount() const;
    size_t ArpEntryCount() const;
    size_t McastRouteCount() const;

    // Routers by VDR ID.
    nlohmann::json ToJson() const;
    // {"settings", "prefix_lists", "bridge_endpoints"}.
    nlohmann::json GlobalJson() const;
    static nlohmann::json RouteJson(const Route& route);

    std::map<uint32_t, Vdr> vdrs;
    std::optional<CfgAgent::vdr::GlobalSpec> global;
    std::map<uint32_t, PrefixList> prefixLists;
    std::map<std::string, CfgAgent::vdr::BridgeEndpointSpec> bridgeEndpoints;

  private:
    bool ApplyElement(uint32_t vdrId, const CfgAgent::vdr::UpdateElement& e, const ErrorFn& error);
    bool ApplyRouterElement(Vdr& vdr, uint32_t vdrId, const CfgAgent::vdr::UpdateElement& e,
                            const ErrorFn& error);
    bool ApplyNextHopUpdate(Vdr& vdr, uint32_t vdrId, const CfgAgent::vdr::UpdateElement& e,
                            const ErrorFn& error);
    bool ApplyGlobalElement(const CfgAgent::vdr::UpdateElement& e, const ErrorFn& error);
};

}  // namespace ozy::dpemu
