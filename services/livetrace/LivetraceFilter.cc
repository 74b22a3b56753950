#include "services/livetrace/LivetraceFilter.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <tuple>

#include "dataplane/DpFraming.h"
#include "proto/lcp.pb.h"

namespace CfgAgent::livetrace {

namespace lcp = orvane::ozy::lcp;
namespace pb = orvane::ozy::cairndb;

namespace {

constexpr int kSnapLength = 262144;

struct Prefix {
    bool present = false;
    bool v6 = false;
    std::string text;  // "10.0.0.0/8" or "10.0.0.1"
};

// One side's prefix; false with the reason.
bool ReadPrefix(const pb::IpPrefixMsg& p, const char* side, Prefix* out,
                std::vector<std::string>* notes, std::string* error) {
    uint8_t bytes[16] = {};
    size_t size;
    const pb::IpAddressMsg& a = p.address();
    if (a.address_case() == pb::IpAddressMsg::kIpv4) {
        StoreBe32(bytes, a.ipv4());
        size = 4;
    } else if (a.address_case() == pb::IpAddressMsg::kIpv6) {
        if (a.ipv6().size() != 16) {
            *error = "protocol type unknown at IpPrefixMsg";
            return false;
        }
        std::copy(a.ipv6().begin(), a.ipv6().end(), bytes);
        size = 16;
    } else {
        *error = "can't find ipv4 or ipv6 field at IpPrefixMsg";
        return false;
    }
    uint32_t length = p.prefix_length();
    if (length == 0) {
        *error = "can't find prefix_length field at IpPrefixMsg";
        return false;
    }
    if (length > size * 8) {
        *error =
            std::string(side) + " prefix length " + std::to_string(length) + " beyond the address";
        return false;
    }
    char before[INET6_ADDRSTRLEN];
    inet_ntop(size == 4 ? AF_INET : AF_INET6, bytes, before, sizeof before);
    bool cleared = false;
    for (size_t bit = length; bit < size * 8; ++bit) {
        uint8_t mask = static_cast<uint8_t>(0x80 >> (bit % 8));
        cleared = cleared || (bytes[bit / 8] & mask) != 0;
        bytes[bit / 8] &= static_cast<uint8_t>(~mask);
    }
    char text[INET6_ADDRSTRLEN];
    inet_ntop(size == 4 ? AF_INET : AF_INET6, bytes, text, sizeof text);
    if (cleared)
        notes->push_back(std::string(side) + " prefix " + before + "/" + std::to_string(length) +
                         " has host bits set; using " + text + "/" + std::to_string(length));
    out->present = true;
    out->v6 = size == 16;
    out->text = length == size * 8 ? std::string(text) : text + ("/" + std::to_string(length));
    return true;
}

}  // namespace

LivetraceFilter::~LivetraceFilter() {
    if (handle_ != nullptr)
        pcap_close(handle_);
}

bool LivetraceFilter::Init() {
    if (handle_ == nullptr)
        handle_ = pcap_open_dead(DLT_EN10MB, kSnapLength);
    return handle_ != nullptr;
}

bool LivetraceFilter::BuildExpression(const lcp::LivetraceMatchMsg& m, std::string* expr,
                                      std::vector<std::string>* notes, std::string* error) {
    Prefix src, dst;
    if (m.has_src_prefix() && !ReadPrefix(m.src_prefix(), "source", &src, notes, error))
        return false;
    if (m.has_dst_prefix() && !ReadPrefix(m.dst_prefix(), "destination", &dst, notes, error))
        return false;
    if (src.present && dst.present && src.v6 != dst.v6) {
        *error = "source and destination prefixes of different address families";
        return false;
    }
    bool v6 = src.v6 || dst.v6;
    std::vector<std::string> words;
    switch (m.protocol()) {
        case lcp::LivetraceMatchMsg::ANY:
            break;
        case lcp::LivetraceMatchMsg::TCP:
            words.push_back("tcp");
            break;
        case lcp::LivetraceMatchMsg::UDP:
            words.push_back("udp");
            break;
        case lcp::LivetraceMatchMsg::ICMP:
            words.push_back(v6 ? "icmp6" : "icmp");
            break;
        default:
            *error = "protocol " + std::to_string(m.protocol()) + " unknown";
            return false;
    }
    if ((m.has_src_port() || m.has_dst_port()) && m.protocol() == lcp::LivetraceMatchMsg::ICMP) {
        *error = "ports with protocol icmp";
        return false;
    }
    if (v6 && words.empty() && !m.has_src_port() && !m.has_dst_port())
        words.push_back("ip6");
    auto slash = [](const Prefix& p) { return p.text.find('/') != std::string::npos; };
    if (src.present)
        words.push_back((slash(src) ? "src net " : "src host ") + src.text);
    if (dst.present)
        words.push_back((slash(dst) ? "dst net " : "dst host ") + dst.text);
    for (const auto& [has, port, word] :
         {std::tuple{m.has_src_port(), m.src_port(), "src port "},
          std::tuple{m.has_dst_port(), m.dst_port(), "dst port "}}) {
        if (!has)
            continue;
        if (port > 65535) {
            *error = std::string(word) + std::to_string(port) + " beyond 65535";
            return false;
        }
        words.push_back(word + std::to_string(port));
    }
    expr->clear();
    for (const std::string& w : words)
        *expr += (expr->empty() ? "" : " and ") + w;
    return true;
}

bool LivetraceFilter::Compile(const std::string& expr, std::vector<uint8_t>* byteCode,
                              std::string* error) {
    byteCode->clear();
    if (handle_ == nullptr) {
        *error = "filter library not initialized";
        return false;
    }
    bpf_program program{};
    if (pcap_compile(handle_, &program, expr.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
        *error = pcap_geterr(handle_);
        return false;
    }
    byteCode->resize(static_cast<size_t>(program.bf_len) * 8);
    for (u_int i = 0; i < program.bf_len; ++i) {
        const bpf_insn& in = program.bf_insns[i];
        uint8_t* p = byteCode->data() + i * 8;
        StoreBe16(p, in.code);
        p[2] = in.jt;
        p[3] = in.jf;
        StoreBe32(p + 4, in.k);
    }
    pcap_freecode(&program);
    return true;
}

}  // namespace CfgAgent::livetrace
