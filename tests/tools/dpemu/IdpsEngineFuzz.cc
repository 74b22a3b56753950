// Fuzz target: any bytes as the agent's side of the IDS engine's command socket. The first byte
// says whether the version exchange is already done; the rest is cut into frames by the sizer.
// Every reply must itself be a well-formed frame of type 0, 1 or the request's own type.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/ids/IdsEngineProtocol.h"
#include "runtime/Logger.h"
#include "tools/ozy-dpemu/IdpsEngine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CfgAgent::g_agentLogLevel = CfgAgent::kLogOff;
    if (size < 1) {
        return 0;
    }
    static ozy::dpemu::IdpsEngine engine("/nonexistent-idps-conf");
    ozy::dpemu::IdpsEngine::Session session;
    session.versionDone = (data[0] & 1) != 0;
    size_t pos = 1;
    while (pos < size) {
        std::string error;
        long n = ozy::dpemu::IdpsFrameSize(data + pos, size - pos, &error);
        if (n <= 0) {
            break;
        }
        uint32_t type = ozy::ids::DecodeFrameHeader(data + pos).type;
        std::vector<uint8_t> reply = engine.OnFrame(session, data + pos, static_cast<size_t>(n));
        pos += static_cast<size_t>(n);
        if (reply.size() < ozy::ids::kFrameHeaderSize) {
            std::abort();
        }
        ozy::ids::FrameHeader h = ozy::ids::DecodeFrameHeader(reply.data());
        if (h.length != reply.size() - ozy::ids::kFrameHeaderSize ||
            (h.type != type && h.type != ozy::ids::kTlvError)) {
            std::abort();
        }
    }
    return 0;
}
