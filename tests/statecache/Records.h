#pragma once
// Builders of decoded records and schema bodies for the state-cache tests, and recording observers.
#include <cstdint>
#include <string>
#include <vector>

#include "intake/CairnDBUpdateMsg.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_routing.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "proto/cairndb_system.pb.h"
#include "proto/cairndb_types.pb.h"
#include "statecache/IdText.h"
#include "statecache/SCConfigTableObserver.h"
#include "statecache/SCL2TableObserver.h"
#include "statecache/SCL3TableObserver.h"

namespace CfgAgent::test {

namespace pb = orvane::ozy::cairndb;

// A serialized UuidMsg, distinct per n.
inline std::string Id(uint64_t n) {
    return SerializedUuid(0x1111222233334444ull, n);
}

inline pb::UuidMsg Uuid(uint64_t n) {
    pb::UuidMsg u;
    u.ParseFromString(Id(n));
    return u;
}

inline CairnDBUpdateMsg Rec(ObjectType type, const std::string& id, PropertyType p,
                            const std::string& data, Operation op = Operation::OPERATION_UPDATE) {
    CairnDBUpdateMsg r;
    r.objType = type;
    r.id = id;
    r.property = p;
    r.data = data;
    r.op = op;
    return r;
}

inline CairnDBUpdateMsg Whole(ObjectType type, const std::string& id, const std::string& body,
                              Operation op = Operation::OPERATION_UPDATE) {
    return Rec(type, id, PropertyType::INVALID_PROPERTY, body, op);
}

inline pb::IpAddressMsg Ip4(uint32_t a) {
    pb::IpAddressMsg ip;
    ip.set_ipv4(a);
    return ip;
}

inline pb::IpAddressMsg Ip6(uint64_t high, uint64_t low) {
    std::string bytes(16, '\0');
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<char>((high >> (56 - 8 * i)) & 0xFF);
        bytes[8 + i] = static_cast<char>((low >> (56 - 8 * i)) & 0xFF);
    }
    pb::IpAddressMsg ip;
    ip.set_ipv6(bytes);
    return ip;
}

inline std::string Vtep(const pb::IpAddressMsg& ip, uint32_t label = 0) {
    pb::LogSwitchVtepEntryMsg m;
    *m.mutable_ip() = ip;
    if (label != 0)
        m.set_label(label);
    return m.SerializeAsString();
}

inline std::string Mac(uint64_t mac, uint32_t vtep = 0x0a000001) {
    pb::LogSwitchMacEntryMsg m;
    m.set_mac(mac);
    *m.mutable_vtep_ip() = Ip4(vtep);
    return m.SerializeAsString();
}

inline std::string VmIp(const pb::IpAddressMsg& ip, uint64_t mac = 0) {
    pb::LogSwitchIpEntryMsg m;
    *m.mutable_ip() = ip;
    if (mac != 0)
        m.set_mac(mac);
    return m.SerializeAsString();
}

// A VIF state body (VIF ID "vif-<id>"), and one holding only a MAC.
inline std::string VifState(uint64_t id, uint64_t mac) {
    pb::VifStateMsg m;
    *m.mutable_id() = Uuid(id);
    m.set_vif_id("vif-" + std::to_string(id));
    m.set_mac(mac);
    return m.SerializeAsString();
}
inline std::string VifMac(uint64_t mac) {
    pb::VifStateMsg m;
    m.set_mac(mac);
    return m.SerializeAsString();
}

// Observers that keep every notification.
struct Notification {
    CairnDBUpdateList records;
    bool fullSync;
};

class ConfigObserver : public SCConfigTableObserver {
  public:
    void ProcessConfigDesiredStateUpdate(const CairnDBUpdateList& u, bool f) override {
        desired.push_back({u, f});
        if (hook)
            hook();
    }
    void ProcessConfigRuntimeStateUpdate(const CairnDBUpdateList& u, bool f) override {
        runtime.push_back({u, f});
    }
    std::vector<Notification> desired;
    std::vector<Notification> runtime;
    std::function<void()> hook;
};

class L2Observer : public SCL2TableObserver {
  public:
    void ProcessL2DesiredStateUpdate(const CairnDBUpdateList& u, bool f) override {
        desired.push_back({u, f});
    }
    void ProcessL2RuntimeStateUpdate(const CairnDBUpdateList& u, bool f) override {
        runtime.push_back({u, f});
    }
    std::vector<Notification> desired;
    std::vector<Notification> runtime;
};

class L3Observer : public SCL3TableObserver {
  public:
    void ProcessL3DesiredStateUpdate(const CairnDBUpdateList& u, bool f) override {
        calls.push_back({u, f});
    }
    std::vector<Notification> calls;
};

}  // namespace CfgAgent::test
