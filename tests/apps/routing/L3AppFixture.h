#pragma once
// An L3App on real state-cache tables, fed through the real decoder and the database client's
// merge (DesiredFeed), with a fake VDR kernel link whose messages are applied to the emulator's
// VDR tables (the dataplane's view, with its order checks), and a recording database client.
// Builders make the schema objects of a small topology: a transport node whose host switch spans
// transport zone kTz, switches on it, routers, ports, FIBs and the rest.
#include <gtest/gtest.h>

#include <google/protobuf/message.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/property_tree/ptree.hpp>
#include <nlohmann/json.hpp>

#include "apps/routing/L3App.h"
#include "dataplane/VdrWalk.h"
#include "intake/CairnDBUpdateMsg.h"
#include "proto/cairndb_routing.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "proto/cairndb_system.pb.h"
#include "statecache/IdText.h"
#include "statecache/StateCacheConfigTable.h"
#include "statecache/StateCacheL3Table.h"
#include "tests/apps/switching/SwitchingFakes.h"
#include "tests/support/FakeCairndbClient.h"
#include "tests/support/LogCapture.h"
#include "tools/ozy-dpemu/VdrTables.h"

namespace CfgAgent::test {

namespace pb = orvane::ozy::cairndb;

constexpr const char* kVdrLink = "ozy_vdr_krnlink";

// Identifiers: one block of UUIDs per kind of object.
enum IdKind : uint64_t {
    kTn = 1,
    kTzKind,
    kDvsKind,
    kLsKind,
    kLspKind,
    kLrKind,
    kLrpKind,
    kFibKind,
    kArpKind,
    kPlKind,
    kMcKind,
    kMsrKind,
    kVersionKind,
    kGlobalKind,
    kBarrierKind,
};
inline pb::UuidMsg U(IdKind kind, uint64_t n) {
    pb::UuidMsg u;
    u.set_left(0x5100000000004000ull | (static_cast<uint64_t>(kind) << 32));
    u.set_right(0x8000000000000000ull | n);
    return u;
}
inline std::string Key(IdKind kind, uint64_t n) {
    return U(kind, n).SerializeAsString();
}
inline std::string Text(IdKind kind, uint64_t n) {
    return IdText(Key(kind, n));
}

pb::IpAddressMsg V4(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
pb::IpAddressMsg V6(uint16_t first, uint16_t last);
pb::IpPrefixMsg Prefix(const pb::IpAddressMsg& ip, uint32_t length);

pb::TransportNodeConfigMsg TransportNode();
pb::LogSwitchConfigMsg Switch(uint64_t n, uint32_t vni, bool withTz = true);
pb::LogRouterConfigMsg Router(uint64_t n, uint32_t vdr);
pb::LogRouterPortConfigMsg Port(uint64_t n, uint64_t lr, uint64_t ls,
                                std::vector<pb::IpPrefixMsg> ips = {});
pb::FibNextHopMsg Hop(const pb::IpAddressMsg& ip, uint64_t lrp = 0);
pb::FibMsg Fib(uint64_t n, uint64_t lr, const pb::IpPrefixMsg& prefix,
               std::vector<pb::FibNextHopMsg> hops);
pb::PrefixListMsg PrefixList(uint64_t n, uint32_t index);
pb::ArpTableConfigMsg ArpTable(uint64_t n, uint64_t lrp, size_t entries);
pb::GlobalConfigMsg Global(uint32_t mtu);
pb::BarrierMsg Barrier(uint64_t id);

// Changes as the database would deliver them: each Put/Remove is decoded like a monitor update
// (the op message derived from the previous and the new body), Commit closes the transaction
// (merge, then the configuration table and the L3 table as the dispatcher calls them).
class DesiredFeed {
  public:
    DesiredFeed(StateCacheConfigTable& config, StateCacheL3Table& l3) : config_(config), l3_(l3) {}
    void Put(ObjectType type, const google::protobuf::Message& body);
    void Remove(ObjectType type, const pb::UuidMsg& id);
    void Commit();
    // One Put as a transaction of its own.
    void Change(ObjectType type, const google::protobuf::Message& body) {
        Put(type, body);
        Commit();
    }
    // Forgets the changes since the last Commit without delivering them (a database that changed
    // while the agent was not connected).
    void Drop() { batch_.clear(); }
    // Everything current as one full sync.
    void FullSync();
    // Records straight to the L3 table, as one delta.
    void L3Records(const CairnDBUpdateList& records);

  private:
    void Decode(ObjectType type, const google::protobuf::Message* old,
                const google::protobuf::Message* body);
    void Deliver(bool fullSync);

    StateCacheConfigTable& config_;
    StateCacheL3Table& l3_;
    std::map<std::pair<ObjectType, std::string>, std::unique_ptr<google::protobuf::Message>>
        current_;
    ComponentUpdateMap batch_;
};

// What the dataplane holds after the messages sent so far.
struct DataplaneView {
    ozy::dpemu::VdrTables tables;
    std::vector<std::string> errors;
    size_t fullSyncEnds = 0;
    std::vector<vdr::UpdateElement> dadUpdates;
    std::vector<DpMsg> messages;  // every message, in order
};

class L3AppFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the application (the link stays down until LinkUp).
    void Start(const boost::property_tree::ptree& config = {});
    void LinkUp();
    void LinkDown();
    // The store as given, as the database's first full sync; then Start and LinkUp. What that
    // sync sent is applied to the dataplane view (one Full Sync End).
    void StartSynced();
    FakeLink* Link() { return links_.Get(kVdrLink); }
    // The dataplane view after every message sent so far.
    DataplaneView& Dp();
    // Messages sent since the last call to Dp() or Sent(), applied to the dataplane view.
    std::vector<DpMsg> Sent();
    void Deliver(const DpMsg& msg) { Link()->Deliver(msg); }

    // The standard topology: transport node, switches 1 and 2 (VNI 5001, 5002), router 1 (VDR
    // 1001) with ports 1 (switch 1, 10.0.1.1/24) and 2 (switch 2, 10.0.2.1/24).
    void PutTopology();
    const ozy::dpemu::VdrTables::Vdr* DpVdr(uint32_t vdr);
    nlohmann::json DpRoute(uint32_t vdr, const std::string& prefix);

    void Apply(const DpMsg& msg);
    void ExpectNoDataplaneErrors() {
        EXPECT_TRUE(Dp().errors.empty()) << ::testing::PrintToString(Dp().errors);
    }

    LogCapture log_{kLogDebug};
    ozy::RefPtr<StateCacheConfigTable> config_;
    ozy::RefPtr<StateCacheL3Table> l3_;
    FakeLinks links_;
    FakeCairndbClient db_;
    std::vector<uint64_t> barriers_;
    ozy::RefPtr<L3App> app_;
    std::unique_ptr<DesiredFeed> feed_;
    DataplaneView dp_;
    size_t drained_ = 0;
};

}  // namespace CfgAgent::test
