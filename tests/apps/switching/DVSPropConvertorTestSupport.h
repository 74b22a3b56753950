#pragma once
// Test harness of DVSPropConvertor: a real configuration table fed with records shaped as the
// decoder makes them (whole object plus one record per property), a driver that hands them to the
// convertor the way ConfigApp does, a recording ConfigApp that decodes every message with the
// dataplane walkers into the dataplane's tables (the emulator's KcpTables), and fake devices.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include "apps/switching/CIFConfig.h"
#include "apps/switching/DVSPropConvertor.h"
#include "dataplane/IConfigApp.h"
#include "dataplane/KcpPropertyTable.h"
#include "dataplane/KcpProtocol.h"
#include "dataplane/KcpWalk.h"
#include "platform/device/DeviceClient.h"
#include "proto/cairndb_switching.pb.h"
#include "proto/cairndb_system.pb.h"
#include "statecache/IdText.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"
#include "tools/ozy-dpemu/KcpTables.h"

namespace CfgAgent::test {

namespace pb = orvane::ozy::cairndb;

// A serialized UuidMsg, distinct per n; its text is "00000000-0000-00aa-0000-0000000000nn".
inline std::string Id(uint64_t n) {
    return SerializedUuid(0xaa, n);
}
inline pb::UuidMsg Uuid(uint64_t n) {
    pb::UuidMsg u;
    u.set_left(0xaa);
    u.set_right(n);
    return u;
}
inline std::string Text(uint64_t n) {
    return IdText(Id(n));
}

// One decoded record as the dataplane received it.
struct SentRecord {
    uint16_t type = 0;  // Update data type
    uint8_t op = 0;
    std::string id;
    std::vector<uint16_t> keys;  // property keys in order
};

// ConfigApp as the convertor sees it: records every message, decodes it with the KCP walkers and
// applies it to the dataplane's tables (fragments joined first).
class RecordingConfigApp : public IConfigApp {
  public:
    bool SendKcpMessage(DpMsg msg) override;

    std::vector<DpMsg> sent;
    ozy::dpemu::KcpTables tables;
    std::vector<std::string> errors;  // what the dataplane's tables refused
    bool accept = true;

    // The records of every Update sent since index `from` (up to index `to`).
    std::vector<SentRecord> Records(size_t from = 0, size_t to = SIZE_MAX) const;
    nlohmann::json Dump() const;
    nlohmann::json Port(const std::string& id) const;

  private:
    std::vector<uint8_t> pending_;
};

// Devices whose ioctls are recorded; the status and failures are scripted.
class FakeDevices : public ozy::device::IDeviceOpener {
  public:
    struct Call {
        std::string device;
        uint32_t command;
        std::vector<uint8_t> payload;
    };
    std::unique_ptr<ozy::device::IDevice> Open(const std::string& logicalPath, int* err) override;

    std::vector<Call> calls;
    std::set<std::string> missing;        // devices that do not open (ENOENT)
    std::map<uint32_t, uint32_t> status;  // status by command (default 0)
    int closeError = 0;
};

// Whole-object and property records of a body, as the decoder's pattern P makes them: the whole
// body first, then for each of `count` properties from `first` (held by consecutive fields from
// field 2) a record with a body holding only that field, or a delete without value when the body
// lacks it.
CairnDBUpdateList PatternP(ObjectType type, const google::protobuf::Message& body,
                           PropertyType first, int count);
CairnDBUpdateList SwitchRecords(const pb::LogSwitchConfigMsg& ls);
CairnDBUpdateList PortRecords(const pb::LogSwitchPortConfigMsg& lsp);
CairnDBUpdateList TransportNodeRecords(const pb::TransportNodeConfigMsg& tn);
CairnDBUpdateList MirrorRecords(const pb::PortMirrorSessionMsg& pms);
// A container interface's logical port `n` on switch `ls`: CIF VIF `cifVif` behind host VIF `host`
// on `vlan`, child port `childPort`, MAC `mac` in its bindings (0: none).
pb::LogSwitchPortConfigMsg CifPort(uint64_t n, uint64_t ls, const std::string& cifVif,
                                   const std::string& host, uint32_t vlan,
                                   const std::string& childPort, uint64_t mac = 0x020000000001);
// The removal of a whole object.
CairnDBUpdateList Removal(ObjectType type, const std::string& id);
// One record of one property.
CairnDBUpdateMsg OneProperty(ObjectType type, const std::string& id, PropertyType property,
                             const std::string& data, Operation op = Operation::OPERATION_UPDATE);

pb::LogSwitchConfigMsg Switch(uint64_t n, uint32_t vni);
pb::LogSwitchPortConfigMsg Port(uint64_t n, uint64_t ls, const std::string& dvport,
                                const std::string& vif);

// The convertor with its table, driver and recorders.
class DvsHarness {
  public:
    DvsHarness();
    ~DvsHarness();

    // Container interfaces: a CIFConfig beside the convertor, fed as ConfigApp feeds it (the
    // batch's records after the convertor's, VIF reports around them, session events) and
    // pushed (so that it sends) like the convertor.
    void EnableCifs();
    void Push();

    // A desired-state batch: into the configuration table, then to the convertor as ConfigApp
    // hands it over (records without value as entity updates), then the end-of-batch call with
    // the ports and switches whose blocking may have cleared.
    void Apply(const CairnDBUpdateList& records, bool fullSync = false);
    // The same, with property removals handed over as property records with an empty value.
    void ApplyRemovalsAsProperties(const CairnDBUpdateList& records);
    void Connect(const std::string& vif, const std::string& port, uint8_t type = kcp::kVifVnic,
                 const std::string& dvs = "dvs-1");
    void Disconnect(const std::string& vif, const std::string& port);

    nlohmann::json Port(const std::string& id) const { return app.Port(id); }
    nlohmann::json Dump() const { return app.Dump(); }
    std::string Block(const std::string& port) const;

    RecordingConfigApp app;
    FakeDevices devices;
    boost::asio::io_context io;
    ozy::RefPtr<StateCache> cache;
    std::unique_ptr<DVSPropConvertor> conv;
    std::unique_ptr<CIFConfig> cif;
};

}  // namespace CfgAgent::test
