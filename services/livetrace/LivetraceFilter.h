#pragma once
// The packet filter of a live-trace session: the request's match fields become a filter
// expression, which libpcap compiles into classic BPF for Ethernet frames.
//
// Only typed values reach the expression: addresses are printed by inet_ntop from their bytes,
// prefix lengths are checked against the family (host bits beyond the prefix are cleared, with a
// note for the log), ports must be at most 65535 and the protocol comes from its enum ("icmp"
// becomes "icmp6" with IPv6 addresses). No text of the request is ever pasted into it.
// Compile holds libpcap's dead handle; it is not thread-safe (LivetraceApp calls it under its
// lock).
#include <cstdint>
#include <string>
#include <vector>

struct pcap;

namespace orvane::ozy::lcp {
class LivetraceMatchMsg;
}

namespace CfgAgent::livetrace {

class LivetraceFilter {
  public:
    LivetraceFilter() = default;
    ~LivetraceFilter();
    LivetraceFilter(const LivetraceFilter&) = delete;
    LivetraceFilter& operator=(const LivetraceFilter&) = delete;

    // Opens the compiler's handle (Ethernet); false when libpcap cannot.
    bool Init();

    // The expression for `match` ("" matches everything). False with the reason (the text of the
    // log line, without its prefix) in `error`; `notes` receives what was corrected.
    static bool BuildExpression(const orvane::ozy::lcp::LivetraceMatchMsg& match, std::string* expr,
                                std::vector<std::string>* notes, std::string* error);

    // Compiles `expr` into instructions of 8 bytes each (code, jt, jf, k; big-endian). False with
    // libpcap's message in `error` when it does not parse; true with an empty result when the
    // compiler gave no instructions.
    bool Compile(const std::string& expr, std::vector<uint8_t>* byteCode, std::string* error);

  private:
    struct pcap* handle_ = nullptr;
};

}  // namespace CfgAgent::livetrace
