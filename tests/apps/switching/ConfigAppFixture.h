#pragma once
// A ConfigApp on fakes: a real configuration table, fake kernel links (KCP and switch-security),
// a recording DVS property convertor, a lookup database client and a private io context for the
// timers. Helpers build the dataplane's messages and read the runtime store back.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/property_tree/ptree.hpp>

#include "apps/switching/ConfigApp.h"
#include "dataplane/KcpBuilders.h"
#include "intake/MsgDispatcher.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/AgentClock.h"
#include "statecache/StateCacheConfigTable.h"
#include "tests/apps/switching/SwitchingFakes.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {

constexpr const char* kKcpLink = "ozy_kcp_krnlink";
constexpr const char* kSwsecLink = "swsec_krnlink";
constexpr const char* kVif1 = "11111111-2222-3333-4444-000000000001";
constexpr const char* kVif2 = "11111111-2222-3333-4444-000000000002";
constexpr const char* kPort1 = "port-1";
constexpr const char* kSwitch = "dvs-1";

inline kcp::VifRecordSpec Vif(const std::string& id, const std::string& port,
                              std::optional<uint8_t> status = kcp::kVifConnect) {
    kcp::VifRecordSpec v;
    v.vifId = id;
    v.portId = port;
    v.switchId = kSwitch;
    v.status = status;
    return v;
}

inline kcp::Binding V4Binding(uint8_t last, uint8_t method = kcp::kDiscoveryArpSnooping) {
    kcp::Binding b;
    b.ipv4 = true;
    b.address = {10, 0, 0, last};
    b.mac = {0x00, 0x50, 0x56, 0x00, 0x00, last};
    b.method = method;
    b.timestamp = 1000 + last;
    return b;
}

// One VIF Update message (unfragmented) with the records given.
inline DpMsg VifUpdateMsg(uint8_t op, const std::vector<kcp::VifRecordSpec>& vifs) {
    kcp::KcpUpdateBuilder b(kDpMaxMsgSize);
    EXPECT_TRUE(b.AddVifUpdate(op, vifs));
    std::vector<DpMsg> msgs = b.Build();
    EXPECT_EQ(msgs.size(), 1u);
    return msgs.empty() ? DpMsg() : msgs.front();
}

class ConfigAppFixture : public ::testing::Test {
  protected:
    void SetUp() override { Make(); }
    void TearDown() override {
        if (app)
            app->Stop();
        AgentClock::reset();
    }

    virtual boost::property_tree::ptree Config() {
        boost::property_tree::ptree c;
        c.put("krnlink.path", kKcpLink);
        return c;
    }

    void Make(int persona = 3) {
        table = ozy::MakeRef<StateCacheConfigTable>();
        ConfigAppOptions o;
        o.configTable = table.get();
        o.dispatcher = dispatcher.get();
        o.cairndb = &db;
        o.makeConvertor = [this](IConfigApp*) {
            auto c = std::make_unique<RecordingConvertor>();
            conv = c.get();
            return c;
        };
        o.makeLink = links.Factory();
        o.timerContext = &io;
        o.healthContext = &io;
        o.persona = persona;
        ConfigureOptions(o);
        app = ozy::MakeRef<ConfigApp>(std::move(o));
        app->Init(Config());
        kcpLink = links.Get(kKcpLink);
        swsecLink = links.Get(kSwsecLink);
        ASSERT_NE(kcpLink, nullptr);
        ASSERT_NE(swsecLink, nullptr);
    }
    virtual void ConfigureOptions(ConfigAppOptions&) {}

    // Link up, the Session Open acknowledged; with `endFullSync` also the full sync ended (after
    // `fullSyncVifs` were reported in it).
    void OpenSession(bool endFullSync = true,
                     const std::vector<kcp::VifRecordSpec>& fullSyncVifs = {}) {
        kcpLink->Up();
        uint32_t sid = kcp::CurrentSessionId();
        kcpLink->Deliver(kcp::BuildSessionControl(kcp::kSessionOpenAck, sid));
        if (!fullSyncVifs.empty())
            kcpLink->Deliver(VifUpdateMsg(kcp::kOpFullSync, fullSyncVifs));
        if (endFullSync)
            kcpLink->Deliver(kcp::BuildSessionControl(kcp::kSessionFullSyncEnd, sid));
    }

    // The VIF_STATE of a VIF in the runtime store; false when absent.
    bool VifState(const std::string& vifId, orvane::ozy::cairndb::VifStateMsg* out) {
        std::string value;
        if (!table->GetRuntimeState(ObjectType::VIF_STATE, VifObjectId(vifId),
                                    PropertyType::INVALID_PROPERTY, &value)) {
            return false;
        }
        return out->ParseFromString(value);
    }
    bool HopoverState(const std::string& vifId, orvane::ozy::cairndb::HopoverStatusMsg* out) {
        std::string value;
        if (!table->GetRuntimeState(ObjectType::HOPOVER_STATUS, VifObjectId(vifId),
                                    PropertyType::INVALID_PROPERTY, &value)) {
            return false;
        }
        return out->ParseFromString(value);
    }

    // Session-control messages the app sent.
    std::vector<DpMsg> SessionOpens() {
        std::vector<DpMsg> out;
        for (const DpMsg& m : kcpLink->Sent()) {
            if (m.size() == kcp::kSessionControlMsgSize && DpMsgType(m.data()) == 5)
                out.push_back(m);
        }
        return out;
    }

    // Runs the timer context after moving the clock.
    void Advance(std::chrono::seconds d) {
        AgentClock::advance(d, &io);
        for (int i = 0; i < 20; ++i) {
            io.restart();
            io.run_for(std::chrono::milliseconds(5));
        }
    }

    LogCapture log{kLogDebug};
    boost::asio::io_context io;
    ozy::RefPtr<StateCacheConfigTable> table;
    ozy::RefPtr<MsgDispatcher> dispatcher{
        new MsgDispatcher(std::make_shared<UpdateQueue>(UpdateQueue::kUnbounded, true, true))};
    FakeCairndbClient db;
    FakeLinks links;
    RecordingConvertor* conv = nullptr;
    ozy::RefPtr<ConfigApp> app;
    FakeLink* kcpLink = nullptr;
    FakeLink* swsecLink = nullptr;
};

}  // namespace CfgAgent::test
