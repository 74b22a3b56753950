// Fuzz target: any bytes handed to the operations-agent link as one received message (the frame
// checks, the payload parse and the dispatch by type). Nothing may crash or leak.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/udslink/CfgUdsLink.h"
#include "net/StreamConnection.h"
#include "proto/lcp.pb.h"
#include "runtime/Logger.h"

namespace {

class NullConnection : public Common::StreamConnection {
  public:
    uint32_t ConnectionId() const override { return 1; }
    void Start() override {}
    bool Write(std::vector<uint8_t>) override { return true; }
    void Stop() override {}
    std::string RemoteEndpoint() const override { return {}; }
    size_t AvailableBytes() const override { return 0; }
    std::string Description() const override { return "fuzz:"; }
    size_t HeaderSize() const override { return 6; }
    size_t PayloadSizeFromHeader(const uint8_t*) const override { return 0; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CfgAgent::CfgUdsLink* link = [] {
        CfgAgent::Logger::setLevel(CfgAgent::kLogOff);
        auto* l = new CfgAgent::CfgUdsLink("/fuzz/ozya_link");
        for (const char* type :
             {"orvane.ozy.lcp.TraceflowRequestMsg", "orvane.ozy.lcp.LivetraceMsg"}) {
            l->RegisterHandler(type, [](const orvane::ozy::lcp::LcpDpMsg& m) {
                orvane::ozy::lcp::LivetraceMsg lt;
                (void)m.payload().UnpackTo(&lt);
            });
        }
        return l;
    }();
    NullConnection conn;
    link->OnMessageReceived(conn, data, size);
    return 0;
}
