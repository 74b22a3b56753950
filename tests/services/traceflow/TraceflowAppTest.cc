// TraceflowApp against fakes of its two links and a real configuration table: requests from the
// operations agent, observations from the dataplane, the INT configuration. Expected dataplane
// bytes are written out from the layout.
#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>

#include "proto/cairndb_switching.pb.h"
#include "proto/cairndb_system.pb.h"
#include "proto/lcp.pb.h"
#include "services/traceflow/TraceflowApp.h"
#include "statecache/StateCacheConfigTable.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ServiceFakes.h"
#include "tests/support/WireBytes.h"

namespace CfgAgent::test {
namespace {

namespace pb = orvane::ozy::cairndb;
namespace lcp = orvane::ozy::lcp;
using Bytes = std::vector<uint8_t>;

Bytes Id48(const std::string& s) {
    Bytes b(s.begin(), s.end());
    b.resize(48, 0);
    return b;
}

const pb::UuidMsg kLs = Uuid(0x5a00000000004000, 0x8000000000000001);
const pb::UuidMsg kVlanLs = Uuid(0x5a00000000004000, 0x8000000000000002);
const pb::UuidMsg kLsp = Uuid(0x5b00000000004000, 0x8000000000000001);
const pb::UuidMsg kOrphanLsp = Uuid(0x5b00000000004000, 0x8000000000000009);

class TraceflowAppTest : public ::testing::Test {
  protected:
    void SetUp() override {
        table_ = ozy::MakeRef<StateCacheConfigTable>();
        TraceflowAppOptions options;
        options.configTable = table_.get();
        options.opsLink = &ops_;
        options.makeLink = [this](const std::string& name, auto, auto, int size) {
            linkName_ = name;
            bufferSize_ = size;
            return link_;
        };
        app_ = ozy::MakeRef<TraceflowApp>(options);
        boost::property_tree::ptree config;
        config.put("krnlink.path", "ozy_traceflow_krnlink");
        app_->Start(config);

        CairnDBUpdateList records;
        pb::LogSwitchConfigMsg ls;
        *ls.mutable_id() = kLs;
        ls.set_vni(5001);
        AddObject(&records, ObjectType::LOG_SWITCH_CONFIG, kLs, ls, {PropertyType::LS_VNI});
        pb::LogSwitchConfigMsg vlanLs;
        *vlanLs.mutable_id() = kVlanLs;
        vlanLs.set_vlan(10);
        AddObject(&records, ObjectType::LOG_SWITCH_CONFIG, kVlanLs, vlanLs,
                  {PropertyType::LS_VLAN});
        pb::LogSwitchPortConfigMsg port;
        *port.mutable_id() = kLsp;
        *port.mutable_switch_id() = kLs;
        port.mutable_attachment()->set_vif_id("vif-1");
        port.mutable_attachment()->set_dvport_id("dvport-1");
        AddObject(&records, ObjectType::LOG_SWITCH_PORT_CONFIG, kLsp, port,
                  {PropertyType::LSP_SWITCH_ID, PropertyType::LSP_ATTACHMENT});
        pb::LogSwitchPortConfigMsg orphan = port;
        *orphan.mutable_id() = kOrphanLsp;
        *orphan.mutable_switch_id() = Uuid(1, 1);  // no such switch
        orphan.mutable_attachment()->set_vif_id("vif-9");
        orphan.mutable_attachment()->set_dvport_id("dvport-9");
        AddObject(&records, ObjectType::LOG_SWITCH_PORT_CONFIG, kOrphanLsp, orphan,
                  {PropertyType::LSP_SWITCH_ID, PropertyType::LSP_ATTACHMENT});
        table_->UpdateDesiredState(records, true);
        app_->HandleLinkStatus(link_.get(), DataplaneLink::kLinkUp);
    }
    void TearDown() override { app_->Stop(); }

    void Request(const pb::UuidMsg* port, const std::string* packet, uint64_t round = 7) {
        lcp::TraceflowRequestMsg r;
        r.set_round_id(round);
        if (port != nullptr)
            *r.mutable_src_port() = *port;
        if (packet != nullptr)
            r.set_packet(*packet);
        lcp::LcpDpMsg m;
        m.mutable_payload()->PackFrom(r);
        ops_.handlers.at("orvane.ozy.lcp.TraceflowRequestMsg")(m);
    }
    void Deliver(const Bytes& m) { app_->HandleDpMessage(m.data(), m.size()); }
    std::vector<lcp::TraceflowObservationMsg> Observed() {
        return ops_.Sent<lcp::TraceflowObservationMsg>();
    }

    LogCapture log_;
    ozy::RefPtr<StateCacheConfigTable> table_;
    ozy::RefPtr<FakeDpLink> link_ = ozy::MakeRef<FakeDpLink>();
    FakeOpsLink ops_;
    ozy::RefPtr<TraceflowApp> app_;
    std::string linkName_;
    int bufferSize_ = 0;
};

TEST_F(TraceflowAppTest, ARequestIsInjectedAtThePortsDvsPort) {
    EXPECT_EQ(linkName_, "ozy_traceflow_krnlink");
    EXPECT_EQ(bufferSize_, 4096);
    std::string packet(1500, '\x5a');
    Request(&kLsp, &packet, 0x0102030405060708);
    ASSERT_EQ(link_->sent.size(), 1u);
    Bytes expected = Msg(1, Cat({Tlv(1, {1, 2, 3, 4, 5, 6, 7, 8}), Tlv(2, Id48("dvport-1")),
                                 Tlv(3, Bytes(packet.begin(), packet.end()))}));
    EXPECT_EQ(link_->sent[0], expected);
    EXPECT_TRUE(
        log_.Contains("TraceflowApp: request port UUID 5b000000-0000-4000-8000-000000000001"));
    EXPECT_TRUE(log_.Contains("TraceflowApp: request DVPort ID dvport-1"));
    auto status = ops_.Sent<lcp::TraceflowStatusMsg>();
    ASSERT_EQ(status.size(), 1u);
    EXPECT_TRUE(status[0].ok());
    EXPECT_EQ(status[0].round_id(), 0x0102030405060708u);
}

TEST_F(TraceflowAppTest, RefusedRequestsSendNothingToTheDataplane) {
    std::string ok = "\x01\x02", tooLong(1501, 'x'), empty;
    pb::UuidMsg zero = Uuid(0, 0), unknown = Uuid(7, 7);
    struct Case {
        const pb::UuidMsg* port;
        const std::string* packet;
        bool linkDown;
        const char* line;
        const char* code;
    };
    std::vector<Case> cases = {
        {&kLsp, &tooLong, false, "observation request packet length = 1501 exceedmaximum length",
         "LCP01005"},
        {nullptr, &ok, false, "observation request has no source port", "LCP01005"},
        {&zero, &ok, false, "observation request source port has no value", "LCP01005"},
        {&kLsp, nullptr, false, "observation request has no packet", "LCP01005"},
        {&kLsp, &empty, false, "observation request has no packet", "LCP01005"},
        {&unknown, &ok, false, "find dvport 00000000-0000-0007-0000-000000000007 fail", "LCP01005"},
        {&kOrphanLsp, &ok, false, "observation request find switch uuid fail", "LCP01005"},
        {&kLsp, &ok, true, "Traceflow krnlink is down.", "LCP01006"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        log_.Clear();
        ops_.sent.clear();
        app_->HandleLinkStatus(link_.get(),
                               c.linkDown ? DataplaneLink::kLinkDown : DataplaneLink::kLinkUp);
        Request(c.port, c.packet);
        EXPECT_TRUE(log_.ContainsWithCode(c.line, c.code)) << log_.Dump();
        auto status = ops_.Sent<lcp::TraceflowStatusMsg>();
        ASSERT_EQ(status.size(), 1u);
        EXPECT_FALSE(status[0].ok());
        EXPECT_EQ(status[0].error_code(), c.code);
    }
    EXPECT_TRUE(link_->sent.empty());
}

TEST_F(TraceflowAppTest, ObservationsAreNamedResolvedAndForwarded) {
    Bytes round = Tlv(1, {0, 0, 0, 0, 0, 0, 0, 9});
    // deliver at the port of vif-1
    Deliver(Msg(5, Cat({round, Tlv(3, {5}), Tlv(4, {1}), Tlv(12, Id48("dvport-1")),
                        Tlv(13, Id48("vif-1")), Tlv(15, {2})})));
    // logical forward on VNI 5001, logical receive on VLAN 10
    Deliver(Msg(6, Cat({round, Tlv(17, {0, 0, 0x13, 0x89}), Tlv(19, {1})})));
    Deliver(Msg(7, Cat({round, Tlv(14, {0, 10}), Tlv(20, {3})})));
    // drop with a reason outside the table: the rest is still delivered
    Deliver(Msg(3, Cat({round, Tlv(11, {5}), Tlv(12, Id48("dvport-1"))})));

    auto obs = Observed();
    ASSERT_EQ(obs.size(), 4u);
    EXPECT_EQ(obs[0].observation_name(), "deliver");
    EXPECT_EQ(obs[0].component_name(), "logical switch");
    EXPECT_EQ(obs[0].lsp_id().SerializeAsString(), kLsp.SerializeAsString());
    EXPECT_EQ(obs[0].dvport_id(), "dvport-1");
    EXPECT_EQ(obs[0].resolution_name(), "ARP table");
    EXPECT_EQ(obs[0].round_id(), 9u);
    EXPECT_EQ(obs[1].ls_id().SerializeAsString(), kLs.SerializeAsString());
    EXPECT_EQ(obs[1].replication_name(), "Tx VTEP");
    EXPECT_EQ(obs[2].ls_id().SerializeAsString(), kVlanLs.SerializeAsString());
    EXPECT_EQ(obs[2].resend_name(), "unknown ND (NS) query result from CP");
    EXPECT_EQ(obs[3].observation_name(), "drop");
    EXPECT_EQ(obs[3].drop_reason(), 5u);
    EXPECT_EQ(obs[3].drop_reason_name(), "");
    EXPECT_EQ(obs[3].dvport_id(), "dvport-1");
    EXPECT_TRUE(log_.Contains("TraceflowApp: fail to get logical drop reason name 5"));
}

TEST_F(TraceflowAppTest, BadObservationsAreLoggedAndDropped) {
    struct Case {
        Bytes msg;
        const char* line;
    };
    Bytes round = Tlv(1, {0, 0, 0, 0, 0, 0, 0, 1});
    std::vector<Case> cases = {
        {Msg(13, {}), "unknown traceflow msg 13"},
        {Msg(2, Cat({round, Tlv(3, {4})})), "error traceflow msg type 4"},
        {Msg(5, Tlv(12, {1, 2, 3})), "malformed traceflow msg 5: identifier element of 3 bytes"},
        {Msg(2, Cat({round, round})), "element 1 repeated"},
        {Msg(2, Cat({Tlv(7, {1, 2, 3})})), "IP address of 3 bytes"},
        {Msg(2, {0, 4, 0, 9, 1}), "does not fit the message"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        log_.Clear();
        Deliver(c.msg);
        EXPECT_TRUE(log_.ContainsWithCode(c.line, "LCP01005")) << log_.Dump();
    }
    Deliver(Msg(7, round));
    EXPECT_TRUE(log_.Contains("TraceflowApp: skip invalid logical received message"));
    EXPECT_TRUE(Observed().empty());

    Bytes unknownVni = Msg(6, Tlv(17, {0, 0, 0, 1}));
    Deliver(unknownVni);
    EXPECT_TRUE(log_.Contains("TraceflowApp: Failed to find LS UUID for VNI 1"));
    Deliver(Msg(5, Tlv(13, Id48("vif-x"))));
    EXPECT_TRUE(log_.Contains("TraceflowApp: Failed to find LSP UUID for VIF ID vif-x"));
    EXPECT_EQ(Observed().size(), 2u);

    ops_.connected = false;
    Deliver(unknownVni);
    EXPECT_TRUE(
        log_.ContainsWithCode("TraceflowApp: failed to send update to controller", "LCP01007"));
}

TEST_F(TraceflowAppTest, IntConfigurationFollowsGlobalConfigAndTheLink) {
    pb::GlobalConfigMsg global;
    global.set_int_mode(2);
    global.set_int_dscp(46);
    CairnDBUpdateMsg u;
    u.objType = ObjectType::GLOBAL_CONFIG;
    u.id = Uuid(1, 2).SerializeAsString();
    u.data = global.SerializeAsString();
    app_->UpdateDesiredState({u}, false);
    ASSERT_EQ(link_->sent.size(), 1u);
    uint32_t mode = 2;
    Bytes expected = {0, 11, 0, 10};
    const uint8_t* m = reinterpret_cast<const uint8_t*>(&mode);
    expected.insert(expected.end(), m, m + 4);  // host byte order
    expected.insert(expected.end(), {0, 46});
    EXPECT_EQ(link_->sent[0], expected);
    EXPECT_TRUE(log_.Contains("TraceflowApp: INT config is set to dscp_value"));
    EXPECT_TRUE(log_.Contains("TraceflowApp: INT config dscp value = 46"));

    // Down: refused and logged; up again: sent again.
    app_->HandleLinkStatus(link_.get(), DataplaneLink::kLinkDown);
    app_->UpdateDesiredState({u}, false);
    EXPECT_TRUE(log_.ContainsWithCode("Traceflow krnlink is down.", "LCP01006"));
    EXPECT_EQ(link_->sent.size(), 1u);
    app_->HandleLinkStatus(link_.get(), DataplaneLink::kLinkUp);
    ASSERT_EQ(link_->sent.size(), 2u);
    EXPECT_EQ(link_->sent[1], expected);

    global.set_int_mode(7);
    u.data = global.SerializeAsString();
    app_->UpdateDesiredState({u}, false);
    EXPECT_TRUE(log_.ContainsWithCode("INT config mode 7 dscp 46 out of range", "LCP01005"));
    EXPECT_EQ(link_->sent.size(), 2u);
}

TEST_F(TraceflowAppTest, InternalMessagesAreAnsweredWithTheSameBytes) {
    Bytes internal = {0, 12, 0, 8, 0, 0, 0, 1};
    Deliver(internal);
    ASSERT_EQ(link_->sent.size(), 1u);
    EXPECT_EQ(link_->sent[0], internal);
    EXPECT_TRUE(log_.Contains("TraceflowApp: reply internal message 12"));
}

}  // namespace
}  // namespace CfgAgent::test
