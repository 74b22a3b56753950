// The operations-agent link with real processes: the emulator plays the host's operations agent
// and connects to the agent's link socket; bad frames are refused by the agent, which lives on;
// traceflow requests travel from the operations agent through the agent to the dataplane, and
// the observations back; live-trace sessions get their filter compiled, run by the emulator over
// a pcap file, and their captures judged by tcpdump and tshark.
#include <arpa/inet.h>
#include <pcap/pcap.h>
#include <sys/stat.h>

#include <sstream>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/AgentSystem.h"
#include "tests/support/Await.h"

namespace CfgAgent {
namespace {

using test::AgentSystem;

bool AwaitConnects(AgentSystem& sys, int connects) {
    return sys.AwaitEmu("opsagent", [&](const nlohmann::json& d) {
        return d["connected"].get<bool>() && d["connects"].get<int>() >= connects;
    });
}

constexpr const char* kTopology = R"({
  "TRANSPORT_NODE_CONFIG": [{"id": "7e000000-0000-4000-8000-000000000001", "type": 1,
    "transport_switches": [{"host_switch_id": "7d000000-0000-4000-8000-000000000001",
      "name": "dvs-1", "transport_zone_ids": ["7f000000-0000-4000-8000-000000000001"]}]}],
  "LOG_SWITCH_CONFIG": [{"id": "5a000000-0000-4000-8000-000000000001", "vni": 5001,
                         "admin_state_up": true,
                         "transport_zone_id": "7f000000-0000-4000-8000-000000000001"}],
  "LOG_SWITCH_PORT_CONFIG": [{"id": "5b000000-0000-4000-8000-000000000001",
    "switch_id": "5a000000-0000-4000-8000-000000000001", "admin_state_up": true,
    "attachment": {"type": 1, "vif_id": "5c000000-0000-4000-8000-000000000001",
                   "dvport_id": "5b000000-0000-4000-8000-000000000001"}}],
  "GLOBAL_CONFIG": [{"id": "6a000000-0000-4000-8000-000000000001", "int_mode": 2, "int_dscp": 46}]
})";

// The port's UUID as protobuf JSON writes a UuidMsg (fixed64 halves as decimal strings).
constexpr const char* kPortJson =
    R"({"left": "6557241057451458560", "right": "9223372036854775809"})";

void TraceflowChecks(AgentSystem& sys) {
    ASSERT_TRUE(sys.Apply(kTopology));
    ASSERT_EQ(
        sys.EmuCtl({"dpemu/vif-connect", "5c000000-0000-4000-8000-000000000001",
                    "5b000000-0000-4000-8000-000000000001", "5a000000-0000-4000-8000-000000000001"})
            .status,
        0);
    ASSERT_TRUE(sys.AwaitEmu("kcp", [](const nlohmann::json& d) {
        return d["ports"].contains("5b000000-0000-4000-8000-000000000001");
    }));

    // INT configuration as the dataplane reads it: type 11, length 10, mode 2 in host byte order,
    // DSCP 46.
    EXPECT_TRUE(sys.AwaitEmu("traceflow", [](const nlohmann::json& d) {
        return d["int_config"].is_object() && d["int_config"]["bytes"] == "000b000a02000000002e";
    }));

    // A request of the operations agent reaches the dataplane as an injection.
    std::string request = std::string(R"({"round_id": "42", "src_port": )") + kPortJson +
                          R"(, "packet": "AAECAwQF"})";
    auto sent = sys.EmuCtl({"dpemu/opsagent-send", "orvane.ozy.lcp.TraceflowRequestMsg", request});
    ASSERT_EQ(sent.status, 0) << sent.output;
    EXPECT_TRUE(sys.AwaitEmu("traceflow", [](const nlohmann::json& d) {
        for (const auto& inj : d["injections"]) {
            if (inj["round_id"] == 42 && inj["dvport"] == "5b000000-0000-4000-8000-000000000001" &&
                inj["packet"] == "000102030405")
                return true;
        }
        return false;
    }));
    // The auto observations come back to the operations agent with the switch and the port.
    EXPECT_TRUE(sys.AwaitEmu("opsagent", [](const nlohmann::json& d) {
        bool deliver = false, forward = false;
        for (const auto& m : d["messages"]) {
            if (m["type"] != "orvane.ozy.lcp.TraceflowObservationMsg")
                continue;
            const auto& p = m["payload"];
            if (p["observation_name"] == "deliver" && p.contains("lsp_id") &&
                p["lsp_id"]["left"] == "6557241057451458560")
                deliver = true;
            if (p["observation_name"] == "logical forward" && p.contains("ls_id") &&
                p["ls_id"]["left"] == "6485183463413530624")
                forward = true;
        }
        return deliver && forward;
    }));
}

// An Ethernet/IPv4/UDP frame from 10.0.0.2 to `dst`:`dport`, `tag` as its payload.
std::vector<uint8_t> UdpFrame(const char* dst, uint16_t dport, uint8_t tag, uint8_t proto = 17) {
    std::vector<uint8_t> f = {2,    0, 0, 0,  0, 2, 2, 0, 0,  0,     0, 1, 8,  0,  // Ethernet
                              0x45, 0, 0, 30, 0, 1, 0, 0, 64, proto, 0, 0, 10, 0, 0, 2};
    uint8_t d[4];
    inet_pton(AF_INET, dst, d);
    f.insert(f.end(), d, d + 4);
    f.insert(f.end(), {0x30, 0x39, uint8_t(dport >> 8), uint8_t(dport), 0, 10, 0, 0, tag, tag});
    return f;
}

std::string Session(const char* slot, const char* id) {
    return std::string(R"({"request": {"slot": )") + slot + R"(, "metadata": {"session_id": ")" +
           id + R"("}, "src_port": )" + kPortJson + R"(, "timeout_sec": 300, "actions": [
             {"kind": "PKTCAP", "direction": 1, "sampling": {"type": "ALL"}},
             {"kind": "COUNTER", "direction": 1}],
           "match": {"dst_prefix": {"address": {"ipv4": 167837697}, "prefix_length": 32},
                     "dst_port": 53, "protocol": "UDP"}}})";
}

// The result messages the operations agent received for a session.
std::vector<nlohmann::json> ResultsOf(const nlohmann::json& dump, const std::string& session) {
    std::vector<nlohmann::json> out;
    for (const auto& m : dump["messages"]) {
        if (m["type"] == "orvane.ozy.lcp.LivetraceResultMsg" &&
            m["payload"].value("session_id", "") == session)
            out.push_back(m["payload"]);
    }
    return out;
}

void LivetraceChecks(AgentSystem& sys) {
    // A session on the port, for UDP to 10.1.0.1:53: the emulator's slot holds a program that
    // passed bpf_validate.
    auto sent =
        sys.EmuCtl({"dpemu/opsagent-send", "orvane.ozy.lcp.LivetraceMsg", Session("5", "77")});
    ASSERT_EQ(sent.status, 0) << sent.output;
    ASSERT_TRUE(sys.AwaitEmu("livetrace", [](const nlohmann::json& d) {
        return d["slots"].contains("5") && d["slots"]["5"]["session_id"] == 77 &&
               d["slots"]["5"]["filter_insns"].get<int>() > 4 &&
               d["slots"]["5"]["dvs"] == "7d000000-0000-4000-8000-000000000001";
    }));

    // Ten frames written with libpcap's dump API; 2, 5 and 7 match.
    std::vector<std::vector<uint8_t>> frames;
    for (uint8_t i = 1; i <= 10; ++i) {
        bool match = i == 2 || i == 5 || i == 7;
        frames.push_back(match        ? UdpFrame("10.1.0.1", 53, i)
                         : i % 3 == 0 ? UdpFrame("10.1.0.1", 54, i)
                         : i % 3 == 1 ? UdpFrame("10.1.0.9", 53, i)
                                      : UdpFrame("10.1.0.1", 53, i, 6));
    }
    std::string input = sys.Root() + "/input.pcap";
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(dead, input.c_str());
    ASSERT_NE(dumper, nullptr);
    for (size_t i = 0; i < frames.size(); ++i) {
        pcap_pkthdr h{};
        h.ts.tv_sec = 1700000000 + static_cast<time_t>(i);
        h.caplen = h.len = static_cast<bpf_u_int32>(frames[i].size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &h, frames[i].data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
    ASSERT_EQ(sys.EmuCtl({"dpemu/livetrace-meta", R"({"tso": true})"}).status, 0);
    auto ran = sys.EmuCtl({"dpemu/livetrace-pcap", "5", input});
    ASSERT_EQ(ran.status, 0) << ran.output;
    EXPECT_NE(ran.output.find("10 packets, 3 matched"), std::string::npos) << ran.output;
    ASSERT_EQ(sys.EmuCtl({"dpemu/livetrace-end", "5", "barrier"}).status, 0);

    // The barrier names the capture file; the counter came before it.
    std::string file;
    ASSERT_TRUE(sys.AwaitEmu("opsagent", [&](const nlohmann::json& d) {
        for (const auto& r : ResultsOf(d, "77")) {
            if (r.value("ended", false))
                file = r.value("forward_pcap_file", "");
        }
        return !file.empty();
    }));
    nlohmann::json ops = sys.EmuDump("opsagent");
    bool counted = false;
    for (const auto& r : ResultsOf(ops, "77"))
        counted = counted || (r.contains("counters") && r["counters"][0]["count"] == "3");
    EXPECT_TRUE(counted) << ops.dump();
    std::string path = sys.Root() + file;

    // tcpdump shows exactly the matching packets; their bytes are the frames'.
    test::RunResult dump = test::RunProgram("/usr/bin/tcpdump", {"-nn", "-r", path}, {},
                                            std::chrono::seconds(120), true);
    ASSERT_EQ(dump.status, 0) << dump.error;
    std::istringstream lines(dump.output);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        EXPECT_NE(line.find("10.0.0.2.12345 > 10.1.0.1.53: "), std::string::npos) << line;
    }
    EXPECT_EQ(count, 3) << dump.output;
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(path.c_str(), errbuf);
    ASSERT_NE(p, nullptr) << errbuf;
    pcap_pkthdr* h;
    const u_char* data;
    for (size_t i : {1, 4, 6}) {
        ASSERT_EQ(pcap_next_ex(p, &h, &data), 1);
        EXPECT_EQ(std::vector<uint8_t>(data, data + h->caplen), frames[i]);
        EXPECT_EQ(h->ts.tv_sec, 1700000000 + static_cast<time_t>(i));
    }
    EXPECT_EQ(pcap_next_ex(p, &h, &data), PCAP_ERROR_BREAK);
    pcap_close(p);
    // tshark reads each packet's comment.
    test::RunResult shark =
        test::RunProgram("/usr/bin/tshark", {"-r", path, "-T", "fields", "-e", "frame.comment"}, {},
                         std::chrono::seconds(120), true);
    ASSERT_EQ(shark.status, 0) << shark.error;
    EXPECT_NE(shark.output.find("PKTID 7 TSO 1 CSUM 0 CSUMVFD 0 ENCAP 0 ENCAPCSUMVFD 0\n"),
              std::string::npos)
        << shark.output;

    // A second session; the dataplane's link drops mid-session: its file is closed and the
    // invalidation (dataplane restart) reported.
    ASSERT_EQ(sys.EmuCtl({"dpemu/opsagent-send", "orvane.ozy.lcp.LivetraceMsg", Session("6", "78")})
                  .status,
              0);
    ASSERT_TRUE(sys.AwaitEmu("livetrace",
                             [](const nlohmann::json& d) { return d["slots"].contains("6"); }));
    ASSERT_EQ(sys.EmuCtl({"dpemu/link-drop", "livetrace"}).status, 0);
    std::string dropped;
    ASSERT_TRUE(sys.AwaitEmu("opsagent", [&](const nlohmann::json& d) {
        for (const auto& r : ResultsOf(d, "78")) {
            if (r.value("invalidation_reason", 0) == 4)
                dropped = r.value("forward_pcap_file", "");
        }
        return !dropped.empty();
    }));
    EXPECT_TRUE(sys.AwaitAgentLog("LivetraceApp: krnlink down"));
    EXPECT_EQ(test::RunProgram("/usr/bin/tcpdump", {"-nn", "-r", sys.Root() + dropped}).status, 0);
}

TEST(OpsLinkSystemTest, TheOperationsAgentConnectsBadFramesOnlyCostTheirConnectionTracesFlow) {
    test::AgentSystemOptions options;
    options.apps = {"config", "traceflow"};
    AgentSystem sys(options);
    ASSERT_TRUE(sys.Start());

    // connects
    ASSERT_TRUE(AwaitConnects(sys, 1));
    ASSERT_TRUE(sys.AwaitAgentLog("Conection 1 changed its status to 1"));
    struct stat st;
    ASSERT_EQ(::stat((sys.Root() + "/var/run/orvane/ozy-agent/ozya_link").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);

    // a 5-byte frame, cut off by the peer's going away
    size_t from = sys.AgentLogSize();
    ASSERT_EQ(sys.EmuCtl({"dpemu/opsagent-raw", "0001000000"}).status, 0);
    ASSERT_EQ(sys.EmuCtl({"dpemu/opsagent-drop"}).status, 0);
    EXPECT_TRUE(
        sys.AwaitAgentLog("Message len 5 is smaller than header len 6", test::kDefaultAwait, from));
    ASSERT_TRUE(AwaitConnects(sys, 2));

    // a header announcing 100 bytes, of which 10 arrive
    from = sys.AgentLogSize();
    ASSERT_EQ(sys.EmuCtl({"dpemu/opsagent-raw", "000100000064aabbccdd"}).status, 0);
    ASSERT_EQ(sys.EmuCtl({"dpemu/opsagent-drop"}).status, 0);
    EXPECT_TRUE(sys.AwaitAgentLog("Payload len 4 does not match message header 94",
                                  test::kDefaultAwait, from));
    EXPECT_TRUE(sys.AwaitAgentLog("LCP02001", test::kDefaultAwait, from));
    ASSERT_TRUE(AwaitConnects(sys, 3));

    // 4 GiB announced: the agent closes that connection, lives, and takes the next one
    from = sys.AgentLogSize();
    ASSERT_EQ(sys.EmuCtl({"dpemu/opsagent-raw", "0001ffffffff"}).status, 0);
    EXPECT_TRUE(sys.AwaitAgentLog("exceeds the limit 16777216", test::kDefaultAwait, from));
    ASSERT_TRUE(AwaitConnects(sys, 4));
    EXPECT_EQ(sys.AgentCtl({"cfgagent/get/loglevel"}).status, 0);

    TraceflowChecks(sys);
    LivetraceChecks(sys);

    // again after an agent restart
    EXPECT_EQ(sys.StopAgent(), 0);
    ASSERT_TRUE(sys.StartAgent());
    EXPECT_TRUE(AwaitConnects(sys, 5));
    EXPECT_EQ(sys.StopAgent(), 0);
}

}  // namespace
}  // namespace CfgAgent
