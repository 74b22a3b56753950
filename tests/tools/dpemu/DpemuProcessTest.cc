// ozy-dpemu as a program: started in a private host root, driven through ovs-appctl, and talked to
// by the agent's own kernel link and device client.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <nlohmann/json.hpp>

#include "dataplane/DataplaneKrnlink.h"
#include "dataplane/KCPMsgConvertor.h"
#include "dataplane/KcpBuilders.h"
#include "dataplane/KcpPropertyTable.h"
#include "platform/HostRoot.h"
#include "platform/device/DeviceClient.h"
#include "platform/device/FcVswitchIoctls.h"
#include "platform/ids/IdsEngineProtocol.h"
#include "platform/krnlink/KrnlinkSockets.h"
#include "runtime/AgentClock.h"
#include "runtime/AgentLock.h"
#include "runtime/WorkGroup.h"
#include "tests/dataplane/ByteVec.h"
#include "tests/support/Await.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestEnv.h"
#include "tests/support/UnixClient.h"

namespace CfgAgent {
namespace {

using test::AwaitTrue;
using test::H;

constexpr const char* kAppctl = "/usr/bin/ovs-appctl";

// The agent's side: a link with everything it received and every status it saw.
struct Agent {
    std::mutex mutex;
    std::vector<DpMsg> received;
    std::vector<int> statuses;
    ozy::RefPtr<DataplaneKrnlink> link;

    void Start(const std::string& endpoint) {
        link = new DataplaneKrnlink(
            endpoint,
            [this](const uint8_t* m, size_t n) {
                std::lock_guard<std::mutex> lock(mutex);
                received.emplace_back(m, m + n);
            },
            [this](DataplaneLink*, int s) {
                std::lock_guard<std::mutex> lock(mutex);
                statuses.push_back(s);
            },
            nullptr, 10240);
        link->Start();
    }
    size_t Received() {
        std::lock_guard<std::mutex> lock(mutex);
        return received.size();
    }
    DpMsg At(size_t i) {
        std::lock_guard<std::mutex> lock(mutex);
        return received.at(i);
    }
    std::vector<int> Statuses() {
        std::lock_guard<std::mutex> lock(mutex);
        return statuses;
    }
};

class LinkConfigApp : public IConfigApp {
  public:
    explicit LinkConfigApp(DataplaneLink* link) : link_(link) {}
    bool SendKcpMessage(DpMsg msg) override { return link_->Send(std::move(msg)); }

  private:
    DataplaneLink* link_;
};

class DpemuProcessTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        SetThreadCounts(1, 6);
        WorkGroups::Start(nullptr);
    }
    static void TearDownTestSuite() { WorkGroups::Stop(); }

    void SetUp() override {
        if (::access(kAppctl, X_OK) != 0) {
            GTEST_SKIP() << kAppctl << " is not installed (package openvswitch-common)";
        }
        setenv("OZY_HOST_ROOT", root.path().c_str(), 1);
        // Under the most permissive umask: the socket directories must not follow it.
        mode_t umaskBefore = ::umask(0);
        emu = std::make_unique<test::ChildProcess>(
            test::BinPath("ozy-dpemu"),
            std::vector<std::string>{"--host-root", root.path(), "--log-level", "debug"},
            root.path() + "/dpemu.log");
        ::umask(umaskBefore);
        ASSERT_TRUE(emu->WaitForOutput("ozy-dpemu: ready")) << emu->Output();
        ctl = ozy::hostPath("/var/run/orvane/ozy-dpemu/dpemu-ctl");
    }
    void TearDown() override {
        if (agent.link)
            agent.link->Stop();
        AgentClock::reset();
        if (emu) {
            emu->Signal(SIGTERM);
            auto status = emu->WaitExit();
            EXPECT_EQ(status, 0) << emu->Output();
            // Every socket of the emulator is gone with it.
            EXPECT_NE(::access(ozy::hostPath("/dev/fc").c_str(), F_OK), 0);
        }
        unsetenv("OZY_HOST_ROOT");
    }

    test::RunResult Appctl(std::vector<std::string> args) {
        args.insert(args.begin(), {"--timeout=60", "-t", ctl});
        return test::RunProgram(kAppctl, args);
    }
    nlohmann::json Dump(const std::string& family) {
        test::RunResult r = Appctl({"dpemu/dump", family});
        EXPECT_EQ(r.status, 0) << r.output;
        return nlohmann::json::parse(r.output, nullptr, false);
    }

    test::TempDir root{"ozy-dpemu"};
    std::unique_ptr<test::ChildProcess> emu;
    std::string ctl;
    Agent agent;
};

TEST_F(DpemuProcessTest, ControlSocketListsCommandsAndDumpsTables) {
    test::RunResult r = Appctl({"list-commands"});
    ASSERT_EQ(r.status, 0) << r.output;
    for (const char* c : {"dpemu/dump", "dpemu/vif-connect", "dpemu/vif-disconnect",
                          "dpemu/out-of-sync", "dpemu/link-drop", "dpemu/list", "exit"}) {
        EXPECT_NE(r.output.find(c), std::string::npos) << c << "\n" << r.output;
    }
    nlohmann::json kcp = Dump("kcp");
    ASSERT_FALSE(kcp.is_discarded());
    EXPECT_EQ(kcp["endpoint"], "ozy_kcp_krnlink");
    EXPECT_EQ(kcp["session"]["state"], "idle");
    EXPECT_TRUE(kcp["ports"].empty());

    nlohmann::json list = nlohmann::json::parse(Appctl({"dpemu/list"}).output);
    std::map<std::string, std::string> endpoints;
    for (const auto& f : list["families"])
        endpoints[f["name"]] = f["endpoint"];
    EXPECT_EQ(endpoints["vxlan"], "ozy_vxlan_krnlink");
    EXPECT_EQ(endpoints["vdr"], "ozy_vdr_krnlink");
    EXPECT_EQ(endpoints["traceflow"], "ozy_traceflow_krnlink");
    EXPECT_EQ(endpoints["swsec"], "swsec_krnlink");
    EXPECT_EQ(endpoints["si"], "ozy_tarp_si_krnlink");
    EXPECT_EQ(endpoints["filter"], "ozy_tarp_krnlink");
    EXPECT_EQ(endpoints["livetrace"], "livetrace_ozyt_krnlink");
    for (const auto& [name, ep] : endpoints) {
        EXPECT_EQ(::access(ozy::krnlink::EndpointPath(ep).c_str(), F_OK), 0) << ep;
    }
    // Its records name the emulator, not the agent.
    EXPECT_NE(emu->Output().find("subcomp=\"ozy-dpemu\""), std::string::npos);
    EXPECT_EQ(emu->Output().find("subcomp=\"cfgAgent\""), std::string::npos);
    // The emulator ran under umask 000; what it created is writable by its owner only.
    for (const char* dir : {"/var", "/var/run", "/var/run/orvane", "/var/run/orvane/ozy-dpemu",
                            "/var/run/orvane/ozy-krnlink", "/dev"}) {
        struct stat st;
        ASSERT_EQ(::stat(ozy::hostPath(dir).c_str(), &st), 0) << dir;
        EXPECT_EQ(st.st_mode & 07777, 0755u) << dir;
    }

    r = Appctl({"dpemu/dump", "nosuch"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.find("unknown family \"nosuch\""), std::string::npos) << r.output;
    r = Appctl({"dpemu/vif-connect", "only-one"});
    EXPECT_NE(r.status, 0);
    r = Appctl({"dpemu/link-drop", "ozy_kcp_krnlink"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.find("no connection on ozy_kcp_krnlink"), std::string::npos) << r.output;
}

TEST_F(DpemuProcessTest, AgentLinkRunsASessionProgramsTablesAndSeesInjections) {
    test::LogCapture cap(kLogInfo);
    test::RunResult r =
        Appctl({"dpemu/vif-connect", "vif-1", "port-1", "dvs-1", "00:50:56:00:00:01"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("no KCP session is open"), std::string::npos) << r.output;

    agent.Start("ozy_kcp_krnlink");
    ASSERT_TRUE(AwaitTrue([&] { return agent.Statuses() == std::vector<int>{0}; }));
    uint32_t session = kcp::NewSessionId();
    ASSERT_TRUE(agent.link->Send(kcp::BuildSessionControl(kcp::kSessionOpen, session)));
    ASSERT_TRUE(AwaitTrue([&] { return agent.Received() == 3; }));
    EXPECT_EQ(agent.At(0), kcp::BuildSessionControl(kcp::kSessionOpenAck, session));
    DpMsg vifs = agent.At(1);
    kcp::KcpMsgView view;
    ASSERT_TRUE(kcp::ViewKcpMessage(vifs.data(), vifs.size(), &view));
    EXPECT_EQ(view.type, kcp::kMsgUpdate);
    std::vector<kcp::VifRecord> records;
    DpTlvWalker w(vifs.data(), 5, vifs.size());
    DpTlv t;
    ASSERT_TRUE(w.Next(&t));
    uint8_t op;
    kcp::VifProperties props;
    ASSERT_TRUE(kcp::WalkVifUpdate(kcp::ByteSpan{t.value, t.valueSize}, &op,
                                   [&](const kcp::VifRecord& rec) {
                                       records.push_back(rec);
                                       kcp::ParseVifProperties(rec.properties, &props);
                                   }));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].vifId, "vif-1");
    EXPECT_EQ(records[0].portId, "port-1");
    EXPECT_EQ(props.status, kcp::kVifConnect);
    EXPECT_EQ(agent.At(2), kcp::BuildSessionControl(kcp::kSessionFullSyncEnd, session));

    // Updates built by the convertor, fragmented, reach the emulator's tables.
    LinkConfigApp app(agent.link.get());
    ozy::RefPtr<KCPMsgConvertor> conv(new KCPMsgConvertor(&app));
    conv->SetMaxMsgLength(1024);
    std::vector<std::string> ports;
    for (int i = 0; i < 100; ++i)
        ports.push_back("port-" + std::to_string(i));
    ASSERT_TRUE(conv->SendPortList(ports));
    ASSERT_TRUE(conv->SendPortPropertyUpdate(
        kcp::kOpUpdate, {{"port-1",
                          {kcp::MakeKcpProperty(kcp::kPropVni, H("00 00 13 88")),
                           kcp::MakeKcpProperty(kcp::kPropBlock, H("01"))}}}));
    ASSERT_TRUE(conv->SendSwxPropertyUpdate(
        "dvs-1", kcp::kOpUpdate, {kcp::MakeKcpProperty(kcp::kPropForwardingMode, H("01"))}));
    nlohmann::json d;
    ASSERT_TRUE(AwaitTrue([&] {
        d = Dump("kcp");
        return d["switches"].contains("dvs-1");
    })) << d.dump();
    EXPECT_EQ(d["ports"].size(), 100u);
    EXPECT_EQ(d["ports"]["port-1"]["vni"]["vni"], 5000);
    EXPECT_EQ(d["ports"]["port-1"]["block"]["state"], "BLOCK");
    EXPECT_GT(d["stats"]["fragments"].get<int>(), 1);
    EXPECT_TRUE(d["errors"].empty()) << d["errors"].dump();
    EXPECT_EQ(d["session"]["state"], "synced");
    EXPECT_EQ(d["session"]["id"], session);

    // Injections reach the agent as KCP messages.
    r = Appctl({"dpemu/vif-connect", "vif-2", "port-2", "dvs-1"});
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_TRUE(AwaitTrue([&] { return agent.Received() == 4; }));
    EXPECT_EQ(DpMsgType(agent.At(3).data()), kcp::kMsgUpdate);
    r = Appctl({"dpemu/vif-disconnect", "vif-1"});
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_TRUE(AwaitTrue([&] { return agent.Received() == 5; }));
    r = Appctl({"dpemu/out-of-sync", "kcp"});
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_TRUE(AwaitTrue([&] { return agent.Received() == 6; }));
    EXPECT_EQ(agent.At(5), H("00 03 00 09 00 01 00 05 01"));
    r = Appctl({"dpemu/out-of-sync", "kcp", "port", "vif-2"});
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_TRUE(AwaitTrue([&] { return agent.Received() == 7; }));

    // A dropped link goes down, and the reopen timer brings it back.
    r = Appctl({"dpemu/link-drop", "ozy_kcp_krnlink"});
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_TRUE(AwaitTrue([&] { return agent.Statuses().size() == 2; }));
    AgentClock::advance(std::chrono::milliseconds(5001));
    ASSERT_TRUE(AwaitTrue([&] { return agent.Statuses().size() == 3; }));
    EXPECT_EQ(agent.Statuses(), (std::vector<int>{0, 1, 0}));
    d = Dump("kcp");
    EXPECT_EQ(d["session"]["state"], "idle");
    EXPECT_EQ(d["connections"], 1);
    EXPECT_EQ(d["ports"].size(), 100u);  // programmed state survives the link
}

TEST_F(DpemuProcessTest, DevicesHoldTheirSettingsAcrossConnections) {
    using namespace ozy::device;
    uint32_t status = 0;
    std::vector<uint8_t> out;
    const uint8_t payload[] = {0, 0, 0, 180};
    // A command the device does not know.
    ASSERT_EQ(IoctlOnce("/dev/fc", 7, payload, sizeof payload, &status, &out), 0);
    EXPECT_EQ(status, static_cast<uint32_t>(ENOTTY));
    // One connection carries several ioctls.
    DeviceSocket fc;
    ASSERT_EQ(fc.Open("/dev/fc"), 0);
    std::vector<uint8_t> v = IoctlU32(42);
    ASSERT_EQ(fc.Ioctl(kFcSetFlowExprTime, v.data(), v.size(), &status, nullptr), 0);
    EXPECT_EQ(status, 0u);
    v = IoctlU32(4);
    ASSERT_EQ(fc.Ioctl(kFcSetFlowAgingInterval, v.data(), v.size(), &status, nullptr), 0);
    EXPECT_EQ(status, static_cast<uint32_t>(EINVAL));
    v = IoctlFlag(true);
    ASSERT_EQ(fc.Ioctl(kFcSetMcastEnabled, v.data(), v.size(), &status, nullptr), 0);
    ASSERT_EQ(fc.Close(), 0);
    // A new connection sees what the last one set.
    ASSERT_EQ(IoctlOnce("/dev/fc", kFcGetConfig, nullptr, 0, &status, &out), 0);
    EXPECT_EQ(status, 0u);
    std::optional<FcConfig> c = DecodeFcConfig(out.data(), out.size());
    ASSERT_TRUE(c);
    EXPECT_EQ(c->flowExprTime, 42u);
    EXPECT_EQ(c->flowAgingInterval, kFcFlowAgingDefault);
    EXPECT_TRUE(c->mcastEnabled);
    nlohmann::json d = Dump("fc");
    EXPECT_EQ(d["flow_expr_time"], 42);
    EXPECT_EQ(d["flow_aging_interval"], 360);
    EXPECT_EQ(d["mcast_enabled"], true);
    EXPECT_EQ(d["ioctls"], 5);
    ASSERT_EQ(d["rejected"].size(), 2u);
    EXPECT_EQ(d["rejected"][1], "flow_aging_interval 4 out of range 5-86400");

    v = IoctlFlag(true);
    ASSERT_EQ(IoctlOnce("/dev/vswitch", kVswitchSetNetqHandling, v.data(), v.size(), &status), 0);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(Dump("vswitch")["netq_handling"], true);
    EXPECT_EQ(IoctlOnce("/dev/nosuch", 1, nullptr, 0, &status), ENOENT);
}

TEST_F(DpemuProcessTest, InjectedDeviceFaultsFailTheNextIoctlsAndLeaveTheSettings) {
    using namespace ozy::device;
    test::RunResult r = Appctl({"dpemu/device-fail", "/dev/fc", "2", "EBUSY"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "next 2 ioctl(s) of fc fail with EBUSY\n");
    uint32_t status = 0;
    std::vector<uint8_t> v = IoctlU32(42);
    DeviceSocket fc;
    ASSERT_EQ(fc.Open("/dev/fc"), 0);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(fc.Ioctl(kFcSetFlowExprTime, v.data(), v.size(), &status, nullptr), 0);
        EXPECT_EQ(status, static_cast<uint32_t>(EBUSY)) << i;
    }
    std::vector<uint8_t> out;
    ASSERT_EQ(fc.Ioctl(kFcGetConfig, nullptr, 0, &status, &out), 0);
    EXPECT_EQ(status, 0u);
    std::optional<FcConfig> c = DecodeFcConfig(out.data(), out.size());
    ASSERT_TRUE(c);
    EXPECT_EQ(c->flowExprTime, kFcFlowExprTimeDefault);  // the failed sets never reached the device
    ASSERT_EQ(fc.Close(), 0);

    // A numeric status, then cleared with a count of 0; the other device is untouched.
    ASSERT_EQ(Appctl({"dpemu/device-fail", "fc", "5", "5"}).status, 0);
    ASSERT_EQ(IoctlOnce("/dev/fc", kFcGetConfig, nullptr, 0, &status), 0);
    EXPECT_EQ(status, static_cast<uint32_t>(EIO));
    nlohmann::json faults;
    const nlohmann::json list = nlohmann::json::parse(Appctl({"dpemu/list"}).output);
    for (const auto& d : list["devices"]) {
        if (d["name"] == "fc")
            faults = d["faults"];
    }
    EXPECT_EQ(faults, (nlohmann::json{{"pending", 4}, {"status", EIO}, {"injected", 3}}));
    ASSERT_EQ(Appctl({"dpemu/device-fail", "fc", "0", "EIO"}).status, 0);
    ASSERT_EQ(IoctlOnce("/dev/fc", kFcGetConfig, nullptr, 0, &status), 0);
    EXPECT_EQ(status, 0u);
    v = IoctlFlag(true);
    ASSERT_EQ(IoctlOnce("/dev/vswitch", kVswitchSetNetqHandling, v.data(), v.size(), &status), 0);
    EXPECT_EQ(status, 0u);

    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"dpemu/device-fail", "nosuch", "1", "EIO"},
          {"dpemu/device-fail", "fc", "-1", "EIO"},
          {"dpemu/device-fail", "fc", "1", "EWHAT"},
          {"dpemu/device-fail", "fc", "1", "0"},
          {"dpemu/device-fail", "fc", "1", "4096"}}) {
        EXPECT_EQ(Appctl(bad).status, 2) << bad[1] << " " << bad[2] << " " << bad[3];
    }
}

// Connects a raw stream socket to a host path.
int RawConnect(const std::string& logicalPath) {
    std::string path = ozy::hostPath(logicalPath);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool ClosedByPeer(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 30000) <= 0)
        return false;
    char c;
    return ::recv(fd, &c, 1, 0) == 0;
}

TEST_F(DpemuProcessTest, StreamsThatLoseTheirFramingAreClosedAndTheEmulatorCarriesOn) {
    int fd = RawConnect(ozy::krnlink::EndpointLogicalPath("ozy_kcp_krnlink"));
    ASSERT_GE(fd, 0);
    test::Bytes bad = H("00 02 00 02");
    ASSERT_EQ(::send(fd, bad.data(), bad.size(), MSG_NOSIGNAL), 4);
    EXPECT_TRUE(ClosedByPeer(fd));
    ::close(fd);
    EXPECT_TRUE(emu->WaitForOutput(
        "sent a malformed frame (message length field 2 is below the 4-byte header)"));

    fd = RawConnect("/dev/fc");
    ASSERT_GE(fd, 0);
    test::Bytes badDev = H("00 00 00 00 00 00 00 01 00 00 00 00");
    ASSERT_EQ(::send(fd, badDev.data(), badDev.size(), MSG_NOSIGNAL), 12);
    EXPECT_TRUE(ClosedByPeer(fd));
    ::close(fd);

    // The service-insertion family counts what the agent sends, which its dataplane never expects.
    fd = RawConnect(ozy::krnlink::EndpointLogicalPath("ozy_tarp_si_krnlink"));
    ASSERT_GE(fd, 0);
    test::Bytes msg = H("00 05 00 06 ab cd");
    ASSERT_EQ(::send(fd, msg.data(), msg.size(), MSG_NOSIGNAL), 6);
    nlohmann::json d;
    ASSERT_TRUE(AwaitTrue([&] {
        d = Dump("si");
        return d["received"] == 1;
    }));
    EXPECT_EQ(d["link_errors"].size(), 1u);
    ::close(fd);
    EXPECT_EQ(Dump("kcp")["session"]["state"], "idle");
}

// The IDS engine's sockets: version exchange and a request on the command socket, the monitor
// connection closed by a restart, the sockets gone while the engine is stopped.
TEST_F(DpemuProcessTest, IdsEngineSocketsServeRestartStopAndStart) {
    std::string command = ozy::hostPath(ozy::ids::kCommandSocketPath);
    std::string monitorPath =
        ozy::hostPath(ozy::ids::MonitorSocketPath(ozy::ids::kCommandSocketPath));
    auto handshake = [&](test::UnixClient& c) {
        ASSERT_TRUE(c.Connect(command));
        std::string text = R"({"version":"0.3"})";
        std::vector<uint8_t> frame = H("00 00 00 00 11 00 00 00");
        frame.insert(frame.end(), text.begin(), text.end());
        ASSERT_TRUE(c.Write(frame));
        std::vector<uint8_t> head;
        ASSERT_TRUE(c.Read(8, &head));
        ASSERT_EQ(std::vector<uint8_t>(head.begin(), head.begin() + 4), H("00 00 00 00"));
        std::vector<uint8_t> body;
        ASSERT_TRUE(c.Read(ozy::ids::DecodeFrameHeader(head.data()).length, &body));
        EXPECT_EQ(nlohmann::json::parse(body.begin(), body.end())["return"], "ok");
    };
    test::UnixClient cmd;
    test::UnixClient monitor;
    handshake(cmd);
    ASSERT_TRUE(monitor.Connect(monitorPath));
    ASSERT_TRUE(cmd.Write(H("0f 00 00 00 00 00 00 00")));
    std::vector<uint8_t> reply;
    ASSERT_TRUE(cmd.Read(8, &reply));
    EXPECT_EQ(reply, H("0f 00 00 00 00 00 00 00"));
    ASSERT_TRUE(AwaitTrue([&] { return Dump("idps")["monitor_connections"] == 1; }));

    ASSERT_EQ(Appctl({"dpemu/ids-restart"}).status, 0);
    EXPECT_TRUE(monitor.WaitClosed());
    EXPECT_TRUE(cmd.WaitClosed());
    test::UnixClient again;
    handshake(again);
    EXPECT_EQ(Dump("idps")["restarts"], 1);

    ASSERT_EQ(Appctl({"dpemu/ids-stop"}).status, 0);
    EXPECT_TRUE(again.WaitClosed());
    EXPECT_NE(::access(command.c_str(), F_OK), 0);
    EXPECT_NE(::access(monitorPath.c_str(), F_OK), 0);
    ASSERT_EQ(Appctl({"dpemu/ids-start"}).status, 0);
    test::UnixClient third;
    handshake(third);
    EXPECT_NE(Appctl({"dpemu/ids-reply", "TLV_GET_RULES", "sideways"}).status, 0);
    EXPECT_NE(Appctl({"dpemu/ids-fail", "TLV_NOPE"}).status, 0);
    ASSERT_EQ(Appctl({"dpemu/ids-fail", "15", "1"}).status, 0);
    ASSERT_TRUE(third.Write(H("0f 00 00 00 00 00 00 00")));
    ASSERT_TRUE(third.Read(8, &reply));
    EXPECT_EQ(std::vector<uint8_t>(reply.begin(), reply.begin() + 4), H("01 00 00 00"));
}

TEST_F(DpemuProcessTest, ExitCommandStopsTheProgram) {
    test::RunResult r = Appctl({"exit"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(emu->WaitExit(), 0);
    EXPECT_TRUE(emu->OutputContains("ozy-dpemu: stopped"));
}

TEST(DpemuOptionsTest, BadCommandLinesAreRefused) {
    test::RunResult r = test::RunProgram(test::BinPath("ozy-dpemu"), {"--bogus"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("unknown option \"--bogus\""), std::string::npos);
    r = test::RunProgram(test::BinPath("ozy-dpemu"), {"--host-root", "relative"});
    EXPECT_EQ(r.status, 2);
    test::TempDir dir("ozy-dpemu-opt");
    r = test::RunProgram(test::BinPath("ozy-dpemu"),
                         {"--host-root", dir.path(), "--kcp-endpoint", "../x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("invalid endpoint name \"../x\" for family kcp"), std::string::npos)
        << r.output;
    r = test::RunProgram(test::BinPath("ozy-dpemu"), {"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("--kcp-endpoint NAME"), std::string::npos);
}

}  // namespace
}  // namespace CfgAgent
