#include "tools/ozy-dpemu/KcpTables.h"

#include <nlohmann/json.hpp>

#include "dataplane/KcpPropertyTable.h"
#include "dataplane/KcpProtocol.h"

namespace ozy::dpemu {

using namespace CfgAgent;
using namespace CfgAgent::kcp;

namespace {

nlohmann::json FieldJson(const FieldDesc& f, const uint8_t* p, size_t n) {
    switch (f.type) {
        case FieldType::kU8:
            if (const char* name = KcpFieldValueName(f, p[0]))
                return name;
            return p[0];
        case FieldType::kBool:
            return p[0] != 0;
        case FieldType::kU16:
            return LoadBe16(p);
        case FieldType::kU32:
            return LoadBe32(p);
        case FieldType::kU64:
            return LoadBe64(p);
        default:
            return KcpFieldText(f, p, n);
    }
}

nlohmann::json PropertyValueJson(const PropertyDesc& d, const std::vector<uint8_t>& v) {
    nlohmann::json obj = nlohmann::json::object();
    nlohmann::json entries = nlohmann::json::array();
    VisitKcpPropertyFields(d, v.data(), v.size(),
                           [&](int entry, const FieldDesc& f, const uint8_t* p, size_t n) {
                               if (entry < 0) {
                                   obj[f.name] = FieldJson(f, p, n);
                                   return;
                               }
                               if (static_cast<size_t>(entry) >= entries.size()) {
                                   entries.push_back(nlohmann::json::object());
                               }
                               entries[static_cast<size_t>(entry)][f.name] = FieldJson(f, p, n);
                           });
    if (d.entriesName != nullptr)
        obj[d.entriesName] = entries;
    return obj;
}

}  // namespace

nlohmann::json KcpTables::PropertiesJson(const PropertySet& props) {
    nlohmann::json out = nlohmann::json::object();
    for (const auto& [k, value] : props) {
        const PropertyDesc* d = FindKcpProperty(k.first);
        if (d == nullptr)
            continue;  // never stored
        nlohmann::json v = PropertyValueJson(*d, value);
        if (d->instancesByFirstField) {
            out[d->name].push_back(v);
        } else {
            out[d->name] = v;
        }
    }
    return out;
}

void KcpTables::ApplyPropertyRecord(std::map<std::string, PropertySet>& table, const char* what,
                                    uint8_t scope, uint8_t op, const std::string& id,
                                    ByteSpan props, std::set<std::string>& fullSyncSeen,
                                    const ErrorFn& error) {
    if (op != kOpUpdate && op != kOpDelete && op != kOpFullSync) {
        error(std::string(what) + " " + id + ": invalid operation " + std::to_string(op));
        return;
    }
    // Validate every property first: a record is applied whole or not at all.
    std::vector<std::pair<std::pair<uint16_t, std::string>, std::vector<uint8_t>>> parsed;
    bool bad = false;
    bool fits = WalkProperties(props, [&](uint16_t key, ByteSpan v) {
        const PropertyDesc* d = FindKcpProperty(key);
        std::string why;
        if (d == nullptr) {
            error(std::string(what) + " " + id + ": unknown property key " + std::to_string(key));
            bad = true;
            return;
        }
        if ((d->scopes & scope) == 0) {
            error(std::string(what) + " " + id + ": property " + d->name + " is not a " + what +
                  " property");
            bad = true;
            return;
        }
        // A delete names the property (and its instance) and may omit the value.
        if (op == kOpDelete && v.size == 0) {
            parsed.push_back({{key, std::string()}, {}});
            return;
        }
        if (!ValidateKcpPropertyValue(*d, v.size, &why)) {
            error(std::string(what) + " " + id + ": property " + d->name + ": " + why);
            bad = true;
            return;
        }
        std::string instance;
        if (d->instancesByFirstField && !d->head.empty()) {
            instance = KcpFieldText(d->head[0], v.data, FieldWireSize(d->head[0]));
        }
        parsed.push_back({{key, instance}, std::vector<uint8_t>(v.data, v.data + v.size)});
    });
    if (!fits) {
        error(std::string(what) + " " + id + ": property element does not fit its record");
        return;
    }
    if (bad) {
        return;
    }
    if (op == kOpDelete) {
        auto it = table.find(id);
        if (it == table.end())
            return;
        if (parsed.empty()) {
            table.erase(it);
            return;
        }
        for (const auto& [k, v] : parsed) {
            const PropertyDesc* d = FindKcpProperty(k.first);
            if (d->instancesByFirstField && k.second.empty()) {
                // Every instance of the property.
                auto lo = it->second.lower_bound({k.first, std::string()});
                while (lo != it->second.end() && lo->first.first == k.first)
                    lo = it->second.erase(lo);
            } else {
                it->second.erase(k);
            }
        }
        return;
    }
    PropertySet& set = table[id];
    if (op == kOpFullSync && fullSyncSeen.insert(id).second) {
        set.clear();
    }
    for (auto& [k, v] : parsed)
        set[k] = std::move(v);
}

void KcpTables::ApplyList(uint16_t type, const std::vector<std::string>& ids, bool first) {
    auto replace = [&](auto& table, auto make) {
        std::set<std::string> keep(ids.begin(), ids.end());
        if (first) {
            for (auto it = table.begin(); it != table.end();) {
                it = keep.count(it->first) ? std::next(it) : table.erase(it);
            }
        }
        for (const std::string& id : ids) {
            if (!table.count(id))
                table.emplace(id, make(id));
        }
    };
    switch (type) {
        case kPortListUpdate:
            replace(ports, [](const std::string&) { return PropertySet(); });
            break;
        case kKrnnicListUpdate:
            replace(krnnics, [](const std::string&) { return PropertySet(); });
            break;
        case kSwxListUpdate:
            replace(switches, [](const std::string&) { return PropertySet(); });
            break;
        case kContainerListUpdate:
            replace(containers, [](const std::string& id) {
                ContainerRecord r;
                r.cifId = id;
                return r;
            });
            break;
        default:
            break;
    }
}

size_t KcpTables::ApplyUpdate(const uint8_t* elements, size_t size, const ErrorFn& error,
                              std::vector<std::string>* portIds) {
    std::set<std::string> portFullSync, krnnicFullSync, swxFullSync;
    std::set<uint16_t> listsSeen;
    std::set<std::string> parentsSeen;
    bool uplinkFullSyncSeen = false;
    size_t applied = 0;
    DpTlvWalker walker(elements, 0, size);
    DpTlv tlv;
    while (walker.Next(&tlv)) {
        ByteSpan value{tlv.value, tlv.valueSize};
        const char* name = UpdateTypeName(tlv.type);
        bool ok = true;
        uint8_t op = 0;
        switch (tlv.type) {
            case kVifUpdate:
                ok = WalkVifUpdate(value, &op, [&](const VifRecord& r) {
                    if (op == kOpDelete) {
                        vifs.erase(r.vifId);
                        return;
                    }
                    VifState s;
                    s.record = r;
                    s.record.properties = ByteSpan{};
                    if (!ParseVifProperties(r.properties, &s.properties)) {
                        error("VIF " + r.vifId + ": property element does not fit its record");
                        return;
                    }
                    vifs[r.vifId] = std::move(s);
                });
                break;
            case kPortPropertyUpdate:
                ok = WalkPropertyRecords(tlv.type, value, &op, [&](const PropertyRecord& r) {
                    if (portIds != nullptr)
                        portIds->push_back(r.id);
                    ApplyPropertyRecord(ports, "port", kScopePort, op, r.id, r.properties,
                                        portFullSync, error);
                });
                break;
            case kKrnnicPropertyUpdate:
                ok = WalkPropertyRecords(tlv.type, value, &op, [&](const PropertyRecord& r) {
                    ApplyPropertyRecord(krnnics, "krnnic", kScopeKrnnic, op, r.id, r.properties,
                                        krnnicFullSync, error);
                });
                break;
            case kSwxPropertyUpdate: {
                SwxRecord r;
                ok = ParseSwxUpdate(value, &r);
                if (ok) {
                    ApplyPropertyRecord(switches, "switch", kScopeSwitch, r.op, r.switchId,
                                        r.properties, swxFullSync, error);
                }
                break;
            }
            case kPortListUpdate:
            case kKrnnicListUpdate:
            case kSwxListUpdate:
            case kContainerListUpdate: {
                size_t width = tlv.type == kKrnnicListUpdate ? kKrnnicNameSize
                               : tlv.type == kSwxListUpdate  ? kSwitchIdSize
                                                             : kIdSize;
                if (tlv.valueSize % width != 0) {
                    error(std::string(name) + ": " + std::to_string(tlv.valueSize) +
                          " bytes are not a whole number of IDs");
                }
                std::vector<std::string> ids;
                WalkIdList(value, width, [&](const std::string& id) { ids.push_back(id); });
                ApplyList(tlv.type, ids, listsSeen.insert(tlv.type).second);
                break;
            }
            case kPortContainerListUpdate: {
                std::string parent;
                std::vector<std::string> ids;
                ok = WalkPortContainerList(value, &parent,
                                           [&](const std::string& id) { ids.push_back(id); });
                if (ok) {
                    auto& list = portContainerLists[parent];
                    if (parentsSeen.insert(parent).second)
                        list.clear();
                    list.insert(list.end(), ids.begin(), ids.end());
                }
                break;
            }
            case kContainerUpdate:
                ok = WalkContainerUpdate(
                    value, [&](const ContainerRecord& r) { containers[r.cifId] = r; });
                break;
            case kUplinkUpdate:
                if (tlv.valueSize >= 1 && tlv.value[0] == kOpFullSync && !uplinkFullSyncSeen) {
                    uplinks.clear();
                    uplinkFullSyncSeen = true;
                }
                ok = WalkUplinkUpdate(value, &op, [&](const UplinkRecord& r) {
                    if (op == kOpDelete) {
                        uplinks.erase(r.portId);
                    } else {
                        uplinks[r.portId] = r;
                    }
                });
                break;
            default:
                error("Update: unsupported data type " + std::to_string(tlv.type) + ", len " +
                      std::to_string(tlv.length));
                continue;
        }
        if (!ok) {
            error(std::string(name) + ": malformed record, rest of the element ignored");
        }
        ++applied;
    }
    if (walker.Malformed()) {
        error("Update: element at offset " + std::to_string(walker.Offset()) +
              " does not fit the message");
    }
    return applied;
}

nlohmann::json KcpTables::ToJson() const {
    auto props = [](const std::map<std::string, PropertySet>& table) {
        nlohmann::json out = nlohmann::json::object();
        for (const auto& [id, set] : table)
            out[id] = PropertiesJson(set);
        return out;
    };
    nlohmann::json vifJson = nlohmann::json::object();
    for (const auto& [id, s] : vifs) {
        nlohmann::json macs = nlohmann::json::array();
        for (const MacAddr& m : s.properties.macs)
            macs.push_back(MacText(m.data()));
        nlohmann::json bindings = nlohmann::json::array();
        for (const Binding& b : s.properties.bindings) {
            const char* method = DiscoveryMethodName(b.method);
            bindings.push_back({{"address", AddressText(b.ipv4, b.address.data())},
                                {"mac", MacText(b.mac.data())},
                                {"vlan", b.vlan},
                                {"method", method != nullptr ? method : "unknown"},
                                {"timestamp", b.timestamp}});
        }
        nlohmann::json v = {{"port_id", s.record.portId},
                            {"switch_id", s.record.switchId},
                            {"parent_vif_id", s.record.parentVifId},
                            {"type", VifTypeName(s.record.vifType)},
                            {"smartnic", s.record.smartNic != 0},
                            {"hopover", s.record.hopover != 0},
                            {"macs", macs},
                            {"bindings", bindings}};
        v["status"] = s.properties.status ? VifStatusName(*s.properties.status) : nullptr;
        vifJson[id] = v;
    }
    nlohmann::json containerJson = nlohmann::json::object();
    for (const auto& [id, c] : containers) {
        nlohmann::json addrs = nlohmann::json::array();
        for (const ContainerAddress& a : c.addresses) {
            addrs.push_back({{"address", AddressText(a.ipv4, a.address.data())},
                             {"mac", MacText(a.mac.data())}});
        }
        containerJson[id] = {{"port_id", c.portId},          {"vm_port_id", c.vmPortId},
                             {"vm_vif_id", c.vmVifId},       {"vlan", c.vlan},
                             {"mac", MacText(c.mac.data())}, {"addresses", addrs}};
    }
    nlohmann::json uplinkJson = nlohmann::json::object();
    for (const auto& [id, u] : uplinks) {
        uplinkJson[id] = {{"switch_id", u.switchId}, {"client", u.clientName}, {"alias", u.alias}};
    }
    return {{"ports", props(ports)},       {"krnnics", props(krnnics)},
            {"switches", props(switches)}, {"vifs", vifJson},
            {"containers", containerJson}, {"port_container_lists", portContainerLists},
            {"uplinks", uplinkJson}};
}

}  // namespace ozy::dpemu
