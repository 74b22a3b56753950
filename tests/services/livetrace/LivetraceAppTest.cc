// LivetraceApp against fakes of its two links and a real configuration table, with its capture
// directory in a private host root and its timer on a private io context (time moved, never
// waited for). Dataplane bytes are written out from the layout.
#include <pcap/pcap.h>

#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/property_tree/ptree.hpp>

#include "proto/cairndb_switching.pb.h"
#include "proto/lcp.pb.h"
#include "services/livetrace/LivetraceApp.h"
#include "statecache/StateCacheConfigTable.h"
#include "tests/support/Await.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ServiceFakes.h"
#include "tests/support/TempDir.h"
#include "tests/support/WireBytes.h"

namespace CfgAgent::test {
namespace {

namespace pb = orvane::ozy::cairndb;
namespace lcp = orvane::ozy::lcp;
using Bytes = std::vector<uint8_t>;

const pb::UuidMsg kLs = Uuid(0x5a00000000004000, 0x8000000000000001);
const pb::UuidMsg kNoTzLs = Uuid(0x5a00000000004000, 0x8000000000000002);
const pb::UuidMsg kLsp = Uuid(0x5b00000000004000, 0x8000000000000001);
const pb::UuidMsg kNoTzLsp = Uuid(0x5b00000000004000, 0x8000000000000002);
const pb::UuidMsg kTz = Uuid(0x7f00000000004000, 0x8000000000000001);
const pb::UuidMsg kDvs = Uuid(0x7d00000000004000, 0x8000000000000001);
const Bytes kSession = {0, 0, 0, 0, 0, 0, 0x10, 0x01};  // 4097
const Bytes kPort = {0x5b, 0, 0, 0, 0, 0, 0x40, 0, 0x80, 0, 0, 0, 0, 0, 0, 1};

// PKT_META: packet id, flags, VLAN 10, VNI 5001, snap, original length, reserved, timestamp in
// nanoseconds (1700000000.123456789 s).
Bytes Meta(uint32_t id, uint16_t flags, uint32_t snap, uint32_t orig) {
    return Cat({Be(id, 4), Be(flags, 2), Be(10, 2), Be(5001, 4), Be(snap, 4), Be(orig, 4), Be(0, 4),
                Be(1700000000123456789, 8)});
}

class LivetraceAppTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* old = std::getenv("OZY_HOST_ROOT");
        savedRoot_ = old != nullptr ? old : "";
        ::setenv("OZY_HOST_ROOT", root_.path().c_str(), 1);
        ioThread_ = std::thread([this] { io_.run(); });

        table_ = ozy::MakeRef<StateCacheConfigTable>();
        CairnDBUpdateList records;
        pb::TransportNodeConfigMsg tn;
        auto* sw = tn.add_transport_switches();
        *sw->mutable_host_switch_id() = kDvs;
        sw->set_name("dvs-1");
        *sw->add_transport_zone_ids() = kTz;
        AddObject(&records, ObjectType::TRANSPORT_NODE_CONFIG, Uuid(0x7e, 1), tn,
                  {PropertyType::TN_TRANSPORT_SWITCHES});
        for (const auto& [ls, tz] : {std::pair{kLs, true}, std::pair{kNoTzLs, false}}) {
            pb::LogSwitchConfigMsg m;
            *m.mutable_id() = ls;
            if (tz)
                *m.mutable_transport_zone_id() = kTz;
            AddObject(&records, ObjectType::LOG_SWITCH_CONFIG, ls, m,
                      {PropertyType::LS_TRANSPORT_ZONE_ID});
        }
        for (const auto& [lsp, ls] : {std::pair{kLsp, kLs}, std::pair{kNoTzLsp, kNoTzLs}}) {
            pb::LogSwitchPortConfigMsg port;
            *port.mutable_id() = lsp;
            *port.mutable_switch_id() = ls;
            port.mutable_attachment()->set_vif_id("vif");
            port.mutable_attachment()->set_dvport_id("dvport");
            AddObject(&records, ObjectType::LOG_SWITCH_PORT_CONFIG, lsp, port,
                      {PropertyType::LSP_SWITCH_ID, PropertyType::LSP_ATTACHMENT});
        }
        table_->UpdateDesiredState(records, true);

        LivetraceAppOptions options;
        options.configTable = table_.get();
        options.opsLink = &ops_;
        options.timerContext = &io_;
        options.makeLink = [this](const std::string& name, auto, auto, int) {
            linkName_ = name;
            return link_;
        };
        app_ = ozy::MakeRef<LivetraceApp>(options);
        app_->Start(boost::property_tree::ptree());
        app_->HandleLinkStatus(link_.get(), DataplaneLink::kLinkUp);
    }
    void TearDown() override {
        app_->Stop();
        work_.reset();
        io_.stop();
        ioThread_.join();
        AgentClock::reset();
        if (savedRoot_.empty())
            ::unsetenv("OZY_HOST_ROOT");
        else
            ::setenv("OZY_HOST_ROOT", savedRoot_.c_str(), 1);
    }

    // Slot 31, session 4097, 60 s, packets captured both ways (all) and traced forward (first 2),
    // UDP only.
    lcp::LivetraceRequestMsg Request() {
        lcp::LivetraceRequestMsg r;
        r.set_slot(31);
        r.mutable_metadata()->set_session_id(4097);
        *r.mutable_src_port() = kLsp;
        r.set_timeout_sec(60);
        auto* cap = r.add_actions();
        cap->set_kind(lcp::LivetraceActionMsg::PKTCAP);
        cap->set_direction(3);
        cap->mutable_sampling()->set_type(lcp::LivetraceSamplingMsg::ALL);
        auto* trace = r.add_actions();
        trace->set_kind(lcp::LivetraceActionMsg::TRACE);
        trace->set_direction(1);
        trace->mutable_sampling()->set_type(lcp::LivetraceSamplingMsg::FIRST_N);
        trace->mutable_sampling()->set_first_n(2);
        r.mutable_match()->set_protocol(lcp::LivetraceMatchMsg::UDP);
        return r;
    }
    void Send(const lcp::LivetraceRequestMsg& r) {
        lcp::LivetraceMsg m;
        *m.mutable_request() = r;
        ops_.Deliver(m);
    }
    void Deliver(const Bytes& m) { app_->HandleDpMessage(m.data(), m.size()); }
    std::vector<lcp::LivetraceStatusMsg> Statuses() { return ops_.Sent<lcp::LivetraceStatusMsg>(); }
    std::vector<lcp::LivetraceResultMsg> Results() { return ops_.Sent<lcp::LivetraceResultMsg>(); }
    void Advance(std::chrono::seconds s) { AgentClock::advance(s, &io_); }

    LogCapture log_;
    TempDir root_{"ozy-livetrace"};
    std::string savedRoot_;
    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_ =
        boost::asio::make_work_guard(io_);
    std::thread ioThread_;
    ozy::RefPtr<StateCacheConfigTable> table_;
    ozy::RefPtr<FakeDpLink> link_ = ozy::MakeRef<FakeDpLink>();
    FakeOpsLink ops_;
    ozy::RefPtr<LivetraceApp> app_;
    std::string linkName_;
};

TEST_F(LivetraceAppTest, ARequestInSlot31BecomesOneCreateWithItsCompiledFilter) {
    EXPECT_EQ(linkName_, "livetrace_ozyt_krnlink");
    Send(Request());
    ASSERT_EQ(link_->sent.size(), 1u) << log_.Dump();
    const Bytes& create = link_->sent[0];
    Bytes head =
        Cat({Tlv(1, {31}), Tlv(2, kSession), Tlv(3, kPort),
             Tlv(4, {0x7d, 0, 0, 0, 0, 0, 0x40, 0, 0x80, 0, 0, 0, 0, 0, 0, 1}),
             Tlv(5, {0, 0, 0, 60}), Tlv(6, {3}), Tlv(7, {2, 3, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
             Tlv(7, {1, 1, 1, 0, 0, 0, 0, 2, 0, 0, 0, 0})});
    ASSERT_GT(create.size(), 4 + head.size() + 4);
    EXPECT_EQ(Bytes(create.begin(), create.begin() + 2), (Bytes{0, 1}));
    EXPECT_EQ(size_t(create[2]) << 8 | create[3], create.size());
    EXPECT_EQ(Bytes(create.begin() + 4, create.begin() + 4 + head.size()), head);
    size_t filter = 4 + head.size();
    EXPECT_EQ(create[filter + 1], 8);
    EXPECT_EQ((size_t(create[filter + 2]) << 8 | create[filter + 3]), create.size() - filter);
    EXPECT_EQ((create.size() - filter - 4) % 8, 0u);
    EXPECT_TRUE(log_.Contains(
        "LivetraceApp: LTR_CreateMsg slot: 31, session id: 4097, dvp id 64MSB: "
        "6557241057451458560, dvp id 64LSB: 9223372036854775809, dvs id 64MSB: "
        "9007199254741008384, dvs id 64LSB: 9223372036854775809, timeout: 60, direction: 3"));
    ASSERT_EQ(Statuses().size(), 1u);
    EXPECT_TRUE(Statuses()[0].ok());
    EXPECT_NE(app_->SessionsJson().find("\"session_id\":4097,\"slot\":31"), std::string::npos);
}

TEST_F(LivetraceAppTest, ARequestMissingWhatItNeedsIsRefusedAndNothingReachesTheDataplane) {
    using Edit = std::function<void(lcp::LivetraceRequestMsg&)>;
    // Every refusal has the code LCP02109.
    struct Case {
        Edit edit;
        const char* line;
    };
    const Case cases[] = {
        {[](auto& r) { r.set_slot(32); }, "invalid slot number 32"},
        {[](auto& r) { r.clear_slot(); }, "missing slot in request"},
        {[](auto& r) { r.clear_metadata(); }, "missing metadata in request"},
        {[](auto& r) { r.mutable_metadata()->clear_session_id(); },
         "missing session ID in request"},
        {[](auto& r) { *r.mutable_src_port() = Uuid(1, 2); }, "invalid source port"},
        {[](auto& r) { r.clear_src_port(); }, "invalid source port"},
        {[](auto& r) { *r.mutable_src_port() = kNoTzLsp; }, "failed to query DVS ID from LS ID"},
        {[](auto& r) { r.clear_timeout_sec(); }, "missing timeout in request"},
        {[](auto& r) { r.clear_actions(); }, "request has no action config"},
        {[](auto& r) { r.mutable_actions(0)->clear_direction(); }, "missing direction"},
        {[](auto& r) { r.mutable_actions(0)->set_direction(4); }, "invalid direction 4"},
        {[](auto& r) { r.mutable_actions(1)->clear_sampling(); }, "missing sampling config"},
        {[](auto& r) { r.mutable_actions(1)->mutable_sampling()->clear_type(); },
         "missing sampling type"},
        {[](auto& r) {
             r.mutable_actions(1)->mutable_sampling()->set_type(
                 lcp::LivetraceSamplingMsg::SAMPLING_NONE);
         },
         "unsupported sampling type 0"},
        {[](auto& r) { r.mutable_actions(1)->mutable_sampling()->clear_first_n(); },
         "missing arguments for first-N sampling"},
        {[](auto& r) { r.mutable_actions(1)->mutable_sampling()->set_first_n(0); },
         "missing sampling number"},
        {[](auto& r) { *r.add_actions() = r.actions(0); }, "action PKTCAP given twice"},
        {[](auto& r) { r.mutable_match()->mutable_src_prefix()->set_prefix_length(8); },
         "can't find ipv4 or ipv6 field at IpPrefixMsg"},
    };
    for (const Case& c : cases) {
        lcp::LivetraceRequestMsg r = Request();
        c.edit(r);
        Send(r);
        SCOPED_TRACE(c.line);
        EXPECT_TRUE(log_.ContainsWithCode(std::string("LivetraceApp: ") + c.line, "LCP02109"));
        ASSERT_FALSE(Statuses().empty());
        EXPECT_FALSE(Statuses().back().ok());
        EXPECT_EQ(Statuses().back().error_code(), "LCP02109");
    }
    EXPECT_TRUE(link_->sent.empty());
    EXPECT_EQ(app_->SessionsJson(), "[]");

    // With the kernel link down, a good request is refused too.
    app_->HandleLinkStatus(link_.get(), DataplaneLink::kLinkDown);
    Send(Request());
    EXPECT_TRUE(log_.ContainsWithCode("Livetrace krnlink is down.", "LCP02102"));
    EXPECT_TRUE(link_->sent.empty());
    // Neither request nor delete.
    ops_.Deliver(lcp::LivetraceMsg());
    EXPECT_TRUE(log_.ContainsWithCode(
        "LivetraceApp: livetraceMsg does not have request or delete msg", "LCP02109"));
}

TEST_F(LivetraceAppTest, CapturedPacketsGoToTheDirectionsFileWhichTheBarrierClosesAndNames) {
    Send(Request());
    ASSERT_EQ(link_->sent.size(), 1u);
    Bytes frame(40, 0x11);
    // Forward, TSO, VLAN 10 and VNI 5001 valid; the snap length promises 60 of the 40 bytes.
    Deliver(Msg(22, Cat({Tlv(2, kSession), Tlv(13, Meta(7, 0x001c, 60, 100)), Tlv(14, frame)})));
    // Backward (reverse flag), CSUM.
    Deliver(Msg(22, Cat({Tlv(2, kSession), Tlv(13, Meta(8, 0x0021, 20, 20)),
                         Tlv(14, Bytes(frame.begin(), frame.begin() + 20))})));
    // No such session.
    Deliver(Msg(22, Cat({Tlv(2, {0, 0, 0, 0, 0, 0, 0, 99}), Tlv(13, Meta(9, 0x0002, 1, 1)),
                         Tlv(14, {1})})));
    EXPECT_TRUE(log_.ContainsWithCode(
        "LivetraceApp: cannot find matched PktcapFileHandler for this pcapMsg from the session, "
        "sessionID: 99, isInnerTn: true, isReverse: false, is pHandler assigned: false",
        "LCP02107"));

    Deliver(Msg(11, Cat({Tlv(2, kSession), Tlv(6, {1})})));
    ASSERT_EQ(Results().size(), 1u);
    lcp::LivetraceResultMsg fwd = Results()[0];
    EXPECT_TRUE(fwd.ended());
    EXPECT_EQ(fwd.direction(), 1u);
    EXPECT_EQ(fwd.pcap_packets(), 1u);
    ASSERT_EQ(fwd.forward_pcap_file().rfind("/tmp/livetrace/pktcap/ltr_pcap.", 0), 0u);

    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline_with_tstamp_precision(
        (root_.path() + fwd.forward_pcap_file()).c_str(), PCAP_TSTAMP_PRECISION_NANO, errbuf);
    ASSERT_NE(p, nullptr) << errbuf;
    pcap_pkthdr* h;
    const u_char* data;
    ASSERT_EQ(pcap_next_ex(p, &h, &data), 1);
    EXPECT_EQ(Bytes(data, data + h->caplen), frame);
    EXPECT_EQ(h->len, 100u);
    EXPECT_EQ(h->ts.tv_sec, 1700000000);
    EXPECT_EQ(h->ts.tv_usec, 123456789);
    EXPECT_EQ(pcap_next_ex(p, &h, &data), PCAP_ERROR_BREAK);
    pcap_close(p);
    EXPECT_NE(app_->SessionsJson(), "[]");

    Deliver(Msg(11, Cat({Tlv(2, kSession), Tlv(6, {2})})));
    ASSERT_EQ(Results().size(), 2u);
    EXPECT_EQ(Results()[1].backward_pcap_file().rfind("/tmp/livetrace/pktcap/ltr_pcap.", 0), 0u);
    EXPECT_EQ(Results()[1].pcap_packets(), 1u);
    EXPECT_EQ(app_->SessionsJson(), "[]");
}

TEST_F(LivetraceAppTest, TracesCountersAndStatisticsAreReportedWithTheirCodesChecked) {
    Send(Request());
    Bytes obs = Cat({{1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5}, kPort});
    Bytes badComponent = Cat({{3, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 6}, kPort});
    Deliver(Msg(21, Cat({Tlv(2, kSession), Tlv(6, {1}), Tlv(10, {0, 0, 0, 7}), Tlv(12, obs),
                         Tlv(12, badComponent)})));
    EXPECT_TRUE(log_.ContainsWithCode("LivetraceApp: invalid component 9", "LCP02109"));
    Deliver(Msg(20, Cat({Tlv(2, kSession), Tlv(6, {2}),
                         Tlv(11, Cat({kPort, {2, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 42}})),
                         Tlv(11, Cat({kPort, {7, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1}})),
                         Tlv(15, Bytes(32, 0))})));
    EXPECT_TRUE(log_.ContainsWithCode("LivetraceApp: invalid checkpoint type 7", "LCP02109"));
    EXPECT_TRUE(log_.Contains("LivetraceApp: Counter entries, entries num:2"));
    std::vector<lcp::LivetraceResultMsg> r = Results();
    ASSERT_EQ(r.size(), 3u);
    ASSERT_EQ(r[0].traces_size(), 1);
    EXPECT_EQ(r[0].packet_id(), 7u);
    EXPECT_EQ(r[0].traces(0).observation_type(), 1u);
    EXPECT_EQ(r[0].traces(0).timestamp(), 5u);
    EXPECT_EQ(r[0].traces(0).dvport_id(), "5b000000-0000-4000-8000-000000000001");
    ASSERT_EQ(r[1].counters_size(), 1);
    EXPECT_EQ(r[1].counters(0).count(), 42u);
    EXPECT_EQ(r[1].counters(0).checkpoint(), 2u);
    EXPECT_TRUE(r[2].has_stats());
    EXPECT_EQ(r[2].direction(), 2u);

    // Without an operations agent the loss is logged.
    ops_.connected = false;
    Deliver(Msg(21, Cat({Tlv(2, kSession), Tlv(6, {1}), Tlv(10, {0, 0, 0, 8})})));
    EXPECT_TRUE(
        log_.ContainsWithCode("LivetraceApp: failed to send LcpDpMsg to opsAgent", "LCP02103"));
}

TEST_F(LivetraceAppTest, MalformedAndUnhandledMessagesAreLoggedAndDropped) {
    struct Case {
        Bytes msg;
        const char* line;
        const char* code;
    };
    const Case cases[] = {
        {Msg(12, {}), "LivetraceApp: message type 12 not processed", "LCP02101"},
        {Msg(1, {}), "LivetraceApp: message type 1 not processed", "LCP02101"},
        {Msg(99, {}), "LivetraceApp: unrecognized message type 99", "LCP02109"},
        {Msg(21, Cat({Tlv(2, kSession), Tlv(6, {1})})),
         "malformed message type 21: element 10 missing", "LCP02109"},
        {Msg(11, Cat({Tlv(2, kSession), Tlv(6, {3})})), "malformed message type 11: direction 3",
         "LCP02109"},
        {Msg(11, Cat({Tlv(2, kSession), Tlv(6, {1}), Tlv(6, {1})})), "element 6 repeated",
         "LCP02109"},
        {Msg(22, Cat({Tlv(2, kSession), Tlv(13, Bytes(31, 0)), Tlv(14, {1})})),
         "element 13 of 31 bytes, expected 32", "LCP02109"},
        {Msg(10, Cat({Tlv(2, kSession), Tlv(6, {1}), Tlv(9, {9})})),
         "LivetraceApp: unsupported invalidation reason 9", "LCP02109"},
    };
    for (const Case& c : cases) {
        Deliver(c.msg);
        EXPECT_TRUE(log_.ContainsWithCode(c.line, c.code)) << c.line;
    }
    Bytes cut = Msg(21, Cat({Tlv(2, kSession), Tlv(6, {1})}));
    cut[7] = 200;  // an element longer than the message
    Deliver(cut);
    EXPECT_TRUE(log_.Contains("element list does not fit the message"));
}

TEST_F(LivetraceAppTest, FragmentsMakeOnePacketAndAChainNeverCompletedIsFreedOnTheTimer) {
    Send(Request());
    Bytes frame(1500, 0x22);
    Bytes whole = Cat({Tlv(2, kSession), Tlv(13, Meta(1, 0, 1500, 1500)), Tlv(14, frame)});
    auto piece = [&](uint32_t chain, uint16_t index, size_t offset, size_t size) {
        // Chain id, index, count 2, inner type 22, reserved, offset and total length.
        Bytes h = Cat({Be(chain, 4), Be(index, 2), Be(2, 2), Be(22, 2), Be(0, 2), Be(offset, 4),
                       Be(whole.size(), 4)});
        return Msg(30, Cat({h, Bytes(whole.begin() + offset, whole.begin() + offset + size)}));
    };
    Deliver(piece(4, 1, 1000, whole.size() - 1000));
    Deliver(piece(4, 0, 0, 1000));
    EXPECT_EQ(app_->OpenChains(), 0u);
    Deliver(Msg(11, Cat({Tlv(2, kSession), Tlv(6, {1})})));
    ASSERT_EQ(Results().size(), 1u);
    EXPECT_EQ(Results()[0].pcap_packets(), 1u);

    Deliver(piece(9, 0, 0, 1000));
    EXPECT_EQ(app_->OpenChains(), 1u);
    Advance(std::chrono::seconds(6));
    EXPECT_TRUE(AwaitTrue([&] { return app_->OpenChains() == 0; }));
    EXPECT_TRUE(log_.ContainsWithCode("LivetraceApp: Fragment chain 9 is timeout", "LCP02109"));
}

TEST_F(LivetraceAppTest, SessionsWhoseEndNeverComesAreInvalidatedAndTheirFilesClosed) {
    Send(Request());
    // The dataplane restarts: both directions invalidated, files named.
    app_->HandleLinkStatus(link_.get(), DataplaneLink::kLinkDown);
    std::vector<lcp::LivetraceResultMsg> r = Results();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].invalidation_reason(), 4u);
    EXPECT_FALSE(r[0].forward_pcap_file().empty());
    EXPECT_FALSE(r[1].backward_pcap_file().empty());
    EXPECT_EQ(app_->SessionsJson(), "[]");

    // No end within timeout plus grace.
    app_->HandleLinkStatus(link_.get(), DataplaneLink::kLinkUp);
    lcp::LivetraceRequestMsg req = Request();
    req.set_timeout_sec(1);
    Send(req);
    ASSERT_NE(app_->SessionsJson(), "[]");
    Advance(std::chrono::seconds(1 + LivetraceApp::kGraceSeconds + 1));
    EXPECT_TRUE(AwaitTrue([&] { return app_->SessionsJson() == "[]"; }));
    r = Results();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[2].invalidation_reason(), 1u);
    EXPECT_TRUE(r[3].ended());

    // A delete goes to the dataplane; the session ends with the dataplane's invalidation.
    Send(Request());
    link_->sent.clear();
    lcp::LivetraceMsg del;
    del.mutable_delete_()->set_slot(31);
    del.mutable_delete_()->mutable_metadata()->set_session_id(4097);
    ops_.Deliver(del);
    ASSERT_EQ(link_->sent.size(), 1u);
    EXPECT_EQ(link_->sent[0], Msg(2, Cat({Tlv(1, {31}), Tlv(2, kSession)})));
    Deliver(Msg(10, Cat({Tlv(2, kSession), Tlv(6, {1}), Tlv(9, {2})})));
    Deliver(Msg(10, Cat({Tlv(2, kSession), Tlv(6, {2}), Tlv(9, {2})})));
    EXPECT_EQ(app_->SessionsJson(), "[]");
}

}  // namespace
}  // namespace CfgAgent::test
