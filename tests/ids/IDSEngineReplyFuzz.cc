// Fuzz target: any bytes as what the IDS engine sends back to one request of the type the first
// byte picks, followed by the end of the stream. Whatever arrives, the request ends (success only
// with a reply frame of the request's type), and nothing is allocated beyond the reply cap.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ids/IDSEngine.h"
#include "platform/ids/IdsEngineProtocol.h"
#include "runtime/Logger.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 60000) {
        return 0;  // the socket buffer takes the whole reply without a reader on the other end
    }
    CfgAgent::g_idsLogLevel = CfgAgent::kLogOff;
    static const uint32_t kTypes[] = {2, 3, 4, 5, 6, 7, 8, 11, 12, 13, 14, 15, 16};
    uint32_t type = kTypes[data[0] % (sizeof kTypes / sizeof kTypes[0])];
    int cmd[2];
    int mon[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, cmd) != 0 ||
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, mon) != 0) {
        std::abort();
    }
    if (::write(cmd[1], data + 1, size - 1) != static_cast<ssize_t>(size - 1)) {
        std::abort();
    }
    ::shutdown(cmd[1], SHUT_WR);
    CfgAgent::IDSEngine::Settings settings;
    settings.requestTimeout = std::chrono::milliseconds(50);
    ozy::RefPtr<CfgAgent::IDSEngine> engine(new CfgAgent::IDSEngine(settings, nullptr));
    engine->adoptConnection(cmd[0], mon[0]);
    std::string reply;
    CfgAgent::IDSEngine::Result r = engine->SendRecvTlv(type, "", &reply);
    if (r == CfgAgent::IDSEngine::Result::kOk) {
        ozy::ids::FrameHeader h = ozy::ids::DecodeFrameHeader(data + 1);
        if (size - 1 < ozy::ids::kFrameHeaderSize || h.type != type || h.length != reply.size()) {
            std::abort();
        }
    }
    // Every typed decoder on the same bytes.
    orvane::ozy::lcp::idps::GetRulesResponseMsg rules;
    (void)rules.ParseFromString(reply);
    engine = nullptr;
    ::close(cmd[1]);
    ::close(mon[1]);
    return 0;
}
