// Live trace's packet captures: PKTCAP records as the dataplane sends them (64 to 1,500-byte
// frames) handed to LivetraceApp, which decodes each, finds its session and writes the packet to
// the session's pcapng file with its comment ("PKTID .. TSO .."), the direction's BARRIER closing
// the file; beside libpcap's pcap_dump of the same packets (same lengths and timestamps) to a
// file that pcap_dump_close closes. Target ratio <= 2.
//
//   build-rel/bench/bench_livetrace_pktcap [PACKETS [ROUNDS]]   (default 20000 packets, 5 rounds)
//
// The application runs against fakes of its two links (no dataplane, no operations agent), its
// capture directory in a private host root; both files are on the same file system. Every round
// checks the packet count the BARRIER reports. Medians of the rounds are printed.
#include <pcap/pcap.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/property_tree/ptree.hpp>

#include "bench/BenchFigures.h"
#include "dataplane/LivetraceProtocol.h"
#include "platform/HostRoot.h"
#include "proto/cairndb_switching.pb.h"
#include "proto/lcp.pb.h"
#include "runtime/Logger.h"
#include "services/livetrace/LivetraceApp.h"
#include "statecache/StateCacheConfigTable.h"
#include "tests/support/ServiceFakes.h"
#include "tests/support/WireBytes.h"

namespace {

using namespace CfgAgent;
using namespace CfgAgent::livetrace;
using ozy::bench::Check;
using ozy::bench::Clock;
using ozy::bench::Median;
using ozy::bench::Ms;
using test::Cat;
using test::Msg;
using test::Tlv;
using Bytes = std::vector<uint8_t>;
namespace pb = orvane::ozy::cairndb;
namespace lcp = orvane::ozy::lcp;

constexpr size_t kSizes[] = {64, 128, 256, 576, 1024, 1500};
constexpr uint64_t kStartNs = 1700000000123456789ull;
const pb::UuidMsg kLs = test::Uuid(0x5a00000000004000, 0x8000000000000001);
const pb::UuidMsg kLsp = test::Uuid(0x5b00000000004000, 0x8000000000000001);
const pb::UuidMsg kTz = test::Uuid(0x7f00000000004000, 0x8000000000000001);
const pb::UuidMsg kDvs = test::Uuid(0x7d00000000004000, 0x8000000000000001);

Bytes Be(uint64_t v, int bytes) {
    Bytes out(static_cast<size_t>(bytes));
    for (int i = bytes - 1; i >= 0; --i, v >>= 8)
        out[static_cast<size_t>(i)] = static_cast<uint8_t>(v);
    return out;
}

struct Packet {
    Bytes frame;
    uint64_t timestampNs;
};

std::vector<Packet> Packets(int count) {
    std::vector<Packet> out;
    out.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        Packet p;
        p.frame.resize(kSizes[static_cast<size_t>(i) % std::size(kSizes)]);
        for (size_t b = 0; b < p.frame.size(); ++b)
            p.frame[b] = static_cast<uint8_t>(b * 31 + static_cast<size_t>(i));
        p.timestampNs = kStartNs + static_cast<uint64_t>(i) * 1000;
        out.push_back(std::move(p));
    }
    return out;
}

// PKTCAP of one forward packet: whole frame, TSO and checksum flags, VLAN 10, VNI 5001.
Bytes Pktcap(uint64_t session, uint32_t packetId, const Packet& p) {
    const uint16_t flags = kPktTso | kPktCsum | kPktVlanValid | kPktVniValid;
    const uint32_t size = static_cast<uint32_t>(p.frame.size());
    Bytes meta = Cat({Be(packetId, 4), Be(flags, 2), Be(10, 2), Be(5001, 4), Be(size, 4),
                      Be(size, 4), Be(0, 4), Be(p.timestampNs, 8)});
    return Msg(kMsgPktcap, Cat({Tlv(kTlvSessionId, Be(session, 8)), Tlv(kTlvPktMeta, meta),
                                Tlv(kTlvPktData, p.frame)}));
}

// The configuration records a request's source port is resolved through.
ozy::RefPtr<StateCacheConfigTable> ConfigTable() {
    auto table = ozy::MakeRef<StateCacheConfigTable>();
    CairnDBUpdateList records;
    pb::TransportNodeConfigMsg tn;
    auto* sw = tn.add_transport_switches();
    *sw->mutable_host_switch_id() = kDvs;
    sw->set_name("dvs-1");
    *sw->add_transport_zone_ids() = kTz;
    test::AddObject(&records, ObjectType::TRANSPORT_NODE_CONFIG, test::Uuid(0x7e, 1), tn,
                    {PropertyType::TN_TRANSPORT_SWITCHES});
    pb::LogSwitchConfigMsg ls;
    *ls.mutable_id() = kLs;
    *ls.mutable_transport_zone_id() = kTz;
    test::AddObject(&records, ObjectType::LOG_SWITCH_CONFIG, kLs, ls,
                    {PropertyType::LS_TRANSPORT_ZONE_ID});
    pb::LogSwitchPortConfigMsg port;
    *port.mutable_id() = kLsp;
    *port.mutable_switch_id() = kLs;
    port.mutable_attachment()->set_vif_id("vif");
    port.mutable_attachment()->set_dvport_id("dvport");
    test::AddObject(&records, ObjectType::LOG_SWITCH_PORT_CONFIG, kLsp, port,
                    {PropertyType::LSP_SWITCH_ID, PropertyType::LSP_ATTACHMENT});
    table->UpdateDesiredState(records, true);
    return table;
}

// A session capturing every forward packet, UDP or not (no match fields).
lcp::LivetraceMsg Request(uint32_t slot, uint64_t session) {
    lcp::LivetraceMsg m;
    lcp::LivetraceRequestMsg* r = m.mutable_request();
    r->set_slot(slot);
    r->mutable_metadata()->set_session_id(session);
    *r->mutable_src_port() = kLsp;
    r->set_timeout_sec(600);
    auto* cap = r->add_actions();
    cap->set_kind(lcp::LivetraceActionMsg::PKTCAP);
    cap->set_direction(kDirForward);
    cap->mutable_sampling()->set_type(lcp::LivetraceSamplingMsg::ALL);
    return m;
}

// Through the application: the records, then the BARRIER that closes the file. Returns the
// milliseconds taken and the file's logical name.
double ThroughApp(LivetraceApp& app, test::FakeOpsLink& ops, uint64_t session,
                  const std::vector<Bytes>& records, std::string* file) {
    const Bytes barrier = Msg(
        kMsgBarrier, Cat({Tlv(kTlvSessionId, Be(session, 8)), Tlv(kTlvDirection, {kDirForward})}));
    ops.sent.clear();
    Clock::time_point t0 = Clock::now();
    for (const Bytes& r : records)
        app.HandleDpMessage(r.data(), r.size());
    app.HandleDpMessage(barrier.data(), barrier.size());
    double ms = Ms(Clock::now() - t0);
    std::vector<lcp::LivetraceResultMsg> results = ops.Sent<lcp::LivetraceResultMsg>();
    Check(results.size() == 1 && results[0].ended(), "the barrier ends the direction");
    Check(results[0].pcap_packets() == records.size(), "every packet is in the capture file");
    *file = results[0].forward_pcap_file();
    return ms;
}

// libpcap: the same packets with pcap_dump, nanosecond timestamps, closed at the end.
double ThroughPcapDump(const std::vector<Packet>& packets, const std::string& path) {
    pcap_t* dead =
        pcap_open_dead_with_tstamp_precision(DLT_EN10MB, 65535, PCAP_TSTAMP_PRECISION_NANO);
    Check(dead != nullptr, "pcap_open_dead");
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    Check(dumper != nullptr, "pcap_dump_open");
    Clock::time_point t0 = Clock::now();
    for (const Packet& p : packets) {
        pcap_pkthdr h{};
        h.ts.tv_sec = static_cast<time_t>(p.timestampNs / 1000000000);
        h.ts.tv_usec = static_cast<suseconds_t>(p.timestampNs % 1000000000);
        h.caplen = h.len = static_cast<bpf_u_int32>(p.frame.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &h, p.frame.data());
    }
    pcap_dump_close(dumper);
    double ms = Ms(Clock::now() - t0);
    pcap_close(dead);
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    Logger::setLevel(kLogWarn);
    Logger::setSyslog(false);
    char tmpl[] = "/tmp/ozy-bench-ltr-XXXXXX";
    Check(::mkdtemp(tmpl) != nullptr, "mkdtemp");
    const std::string root = tmpl;
    ::setenv("OZY_HOST_ROOT", root.c_str(), 1);

    ozy::RefPtr<StateCacheConfigTable> table = ConfigTable();
    boost::asio::io_context timers;  // never run: no session times out during the benchmark
    auto link = ozy::MakeRef<test::FakeDpLink>();
    test::FakeOpsLink ops;
    LivetraceAppOptions options;
    options.configTable = table.get();
    options.opsLink = &ops;
    options.timerContext = &timers;
    options.makeLink = [link](const std::string&, auto, auto, int) { return link; };
    auto app = ozy::MakeRef<LivetraceApp>(options);
    app->Start(boost::property_tree::ptree());
    app->HandleLinkStatus(link.get(), DataplaneLink::kLinkUp);

    const std::vector<Packet> packets = Packets(count);
    size_t bytes = 0;
    for (const Packet& p : packets)
        bytes += p.frame.size();
    std::vector<double> viaApp, viaPcap;
    for (int r = 0; r < rounds; ++r) {
        const uint64_t session = 5000 + static_cast<uint64_t>(r);
        link->sent.clear();
        ops.Deliver(Request(static_cast<uint32_t>(r) % kSlotCount, session));
        Check(link->sent.size() == 1, "the request becomes a CREATE");
        std::vector<Bytes> records;
        records.reserve(packets.size());
        for (size_t i = 0; i < packets.size(); ++i)
            records.push_back(Pktcap(session, static_cast<uint32_t>(i + 1), packets[i]));
        std::string file;
        viaApp.push_back(ThroughApp(*app, ops, session, records, &file));
        std::remove(ozy::hostPath(file).c_str());

        const std::string dumpPath = root + "/pcap_dump.pcap";
        viaPcap.push_back(ThroughPcapDump(packets, dumpPath));
        std::remove(dumpPath.c_str());
    }
    app->Stop();
    std::string cmd = "rm -rf '" + root + "'";
    if (std::system(cmd.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", root.c_str());

    double a = Median(viaApp), b = Median(viaPcap);
    std::printf(
        "%d PKTCAP records (%zu frame bytes, 64 to 1,500-byte frames): LivetraceApp to pcapng with "
        "comments %.2f ms, libpcap pcap_dump %.2f ms, ratio %.2f (target <= 2)\n",
        count, bytes, a, b, a / b);
    return 0;
}
