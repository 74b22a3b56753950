// What a session's filter means: the match fields are compiled and the program is run with
// libpcap's bpf_filter over crafted Ethernet frames (never comparing the expression's text).
#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <gtest/gtest.h>

#include "dataplane/DpFraming.h"
#include "proto/lcp.pb.h"
#include "services/livetrace/LivetraceFilter.h"

namespace CfgAgent::livetrace {
namespace {

namespace lcp = orvane::ozy::lcp;
using Bytes = std::vector<uint8_t>;

// Ethernet + IPv4 or IPv6 + the first 4 bytes of TCP/UDP (ports) or ICMP.
Bytes Frame(const std::string& src, const std::string& dst, uint8_t proto, uint16_t sport = 0,
            uint16_t dport = 0) {
    bool v6 = src.find(':') != std::string::npos;
    Bytes f(14, 0);
    f[12] = v6 ? 0x86 : 0x08;
    f[13] = v6 ? 0xdd : 0x00;
    if (v6) {
        Bytes ip(40, 0);
        ip[0] = 0x60;
        ip[5] = 8;  // payload length
        ip[6] = proto;
        ip[7] = 64;
        inet_pton(AF_INET6, src.c_str(), ip.data() + 8);
        inet_pton(AF_INET6, dst.c_str(), ip.data() + 24);
        f.insert(f.end(), ip.begin(), ip.end());
    } else {
        Bytes ip(20, 0);
        ip[0] = 0x45;
        ip[3] = 28;
        ip[8] = 64;
        ip[9] = proto;
        inet_pton(AF_INET, src.c_str(), ip.data() + 12);
        inet_pton(AF_INET, dst.c_str(), ip.data() + 16);
        f.insert(f.end(), ip.begin(), ip.end());
    }
    f.insert(f.end(), {uint8_t(sport >> 8), uint8_t(sport), uint8_t(dport >> 8), uint8_t(dport), 0,
                       0, 0, 0});
    return f;
}

orvane::ozy::cairndb::IpPrefixMsg Prefix(const std::string& addr, uint32_t length) {
    orvane::ozy::cairndb::IpPrefixMsg p;
    uint8_t b[16];
    if (inet_pton(AF_INET, addr.c_str(), b) == 1)
        p.mutable_address()->set_ipv4(LoadBe32(b));
    else if (inet_pton(AF_INET6, addr.c_str(), b) == 1)
        p.mutable_address()->set_ipv6(std::string(b, b + 16));
    p.set_prefix_length(length);
    return p;
}

class LivetraceFilterTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(filter_.Init()); }

    // Compiles `m`; then whether the program accepts `frame`.
    bool Accepts(const lcp::LivetraceMatchMsg& m, const Bytes& frame) {
        std::string expr, error;
        std::vector<std::string> notes;
        EXPECT_TRUE(LivetraceFilter::BuildExpression(m, &expr, &notes, &error)) << error;
        Bytes code;
        EXPECT_TRUE(filter_.Compile(expr, &code, &error)) << error;
        EXPECT_FALSE(code.empty());
        std::vector<bpf_insn> insns(code.size() / 8);
        for (size_t i = 0; i < insns.size(); ++i) {
            insns[i].code = LoadBe16(&code[i * 8]);
            insns[i].jt = code[i * 8 + 2];
            insns[i].jf = code[i * 8 + 3];
            insns[i].k = LoadBe32(&code[i * 8 + 4]);
        }
        EXPECT_NE(bpf_validate(insns.data(), static_cast<int>(insns.size())), 0);
        return bpf_filter(insns.data(), frame.data(), frame.size(), frame.size()) != 0;
    }

    LivetraceFilter filter_;
};

TEST_F(LivetraceFilterTest, TheProgramAcceptsExactlyTheFramesTheFieldsDescribe) {
    lcp::LivetraceMatchMsg hostPortTcp;
    *hostPortTcp.mutable_src_prefix() = Prefix("10.1.2.3", 32);
    hostPortTcp.set_dst_port(80);
    hostPortTcp.set_protocol(lcp::LivetraceMatchMsg::TCP);
    lcp::LivetraceMatchMsg net;
    *net.mutable_dst_prefix() = Prefix("10.9.0.0", 16);
    lcp::LivetraceMatchMsg icmp6;
    *icmp6.mutable_src_prefix() = Prefix("2001:db8::1", 128);
    icmp6.set_protocol(lcp::LivetraceMatchMsg::ICMP);
    lcp::LivetraceMatchMsg any;

    struct Case {
        const char* what;
        const lcp::LivetraceMatchMsg* match;
        Bytes frame;
        bool accepted;
    };
    const Case cases[] = {
        {"tcp to 80 from the host", &hostPortTcp, Frame("10.1.2.3", "10.0.0.9", 6, 1234, 80), true},
        {"udp to 80 from the host", &hostPortTcp, Frame("10.1.2.3", "10.0.0.9", 17, 1234, 80),
         false},
        {"tcp to 81", &hostPortTcp, Frame("10.1.2.3", "10.0.0.9", 6, 1234, 81), false},
        {"tcp from another host", &hostPortTcp, Frame("10.1.2.4", "10.0.0.9", 6, 1234, 80), false},
        {"the host as destination", &hostPortTcp, Frame("10.0.0.9", "10.1.2.3", 6, 80, 80), false},
        {"into the net", &net, Frame("1.1.1.1", "10.9.200.1", 17), true},
        {"beside the net", &net, Frame("1.1.1.1", "10.10.0.1", 17), false},
        {"ICMPv6 echo from the host", &icmp6, Frame("2001:db8::1", "2001:db8::2", 58), true},
        {"ICMPv4 is not ICMPv6", &icmp6, Frame("10.1.2.3", "10.0.0.9", 1), false},
        {"UDP from the v6 host", &icmp6, Frame("2001:db8::1", "2001:db8::2", 17), false},
        {"no fields: every frame", &any, Frame("1.2.3.4", "5.6.7.8", 17), true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Accepts(*c.match, c.frame), c.accepted) << c.what;
}

TEST_F(LivetraceFilterTest, HostBitsAreClearedWithANote) {
    lcp::LivetraceMatchMsg m;
    *m.mutable_src_prefix() = Prefix("10.1.2.3", 8);
    std::string expr, error;
    std::vector<std::string> notes;
    ASSERT_TRUE(LivetraceFilter::BuildExpression(m, &expr, &notes, &error));
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0], "source prefix 10.1.2.3/8 has host bits set; using 10.0.0.0/8");
    EXPECT_TRUE(Accepts(m, Frame("10.200.0.1", "1.1.1.1", 17)));
    EXPECT_FALSE(Accepts(m, Frame("11.1.2.3", "1.1.1.1", 17)));
}

TEST_F(LivetraceFilterTest, FieldsThatCannotBeTypedAreRefused) {
    auto with = [](auto set) {
        lcp::LivetraceMatchMsg m;
        set(m);
        return m;
    };
    struct Case {
        lcp::LivetraceMatchMsg match;
        const char* error;
    };
    const Case cases[] = {
        {with([](auto& m) { m.mutable_src_prefix()->set_prefix_length(24); }),
         "can't find ipv4 or ipv6 field at IpPrefixMsg"},
        {with([](auto& m) { *m.mutable_src_prefix() = Prefix("10.0.0.1", 0); }),
         "can't find prefix_length field at IpPrefixMsg"},
        {with([](auto& m) {
             m.mutable_dst_prefix()->mutable_address()->set_ipv6(std::string(15, 'a'));
             m.mutable_dst_prefix()->set_prefix_length(64);
         }),
         "protocol type unknown at IpPrefixMsg"},
        {with([](auto& m) { *m.mutable_src_prefix() = Prefix("10.0.0.1", 33); }),
         "source prefix length 33 beyond the address"},
        {with([](auto& m) { m.set_src_port(65536); }), "src port 65536 beyond 65535"},
        {with([](auto& m) {
             *m.mutable_src_prefix() = Prefix("10.0.0.1", 32);
             *m.mutable_dst_prefix() = Prefix("::1", 128);
         }),
         "different address families"},
        {with([](auto& m) {
             m.set_protocol(lcp::LivetraceMatchMsg::ICMP);
             m.set_dst_port(7);
         }),
         "ports with protocol icmp"},
        {with([](auto& m) { m.set_protocol(static_cast<lcp::LivetraceMatchMsg::Protocol>(9)); }),
         "protocol 9 unknown"},
    };
    for (const Case& c : cases) {
        std::string expr, error;
        std::vector<std::string> notes;
        EXPECT_FALSE(LivetraceFilter::BuildExpression(c.match, &expr, &notes, &error)) << c.error;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
    Bytes code;
    std::string error;
    EXPECT_FALSE(filter_.Compile("src host", &code, &error));
    EXPECT_FALSE(error.empty());
    LivetraceFilter uninitialized;
    EXPECT_FALSE(uninitialized.Compile("tcp", &code, &error));
}

}  // namespace
}  // namespace CfgAgent::livetrace
