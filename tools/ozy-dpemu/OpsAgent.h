#pragma once
// The host's operations agent, as the emulator plays it: a client of the agent's link socket
// ("/var/run/orvane/ozy-agent/ozya_link" under the host root) that reconnects whenever the agent
// is gone, sends LcpDpMsg frames on command and keeps what the agent sends back.
//
// Frames are read strictly from the layout (cli/udslink/LcpFrameLayout.h): a 6-byte header with
// no fragment or reserved bit, type 1, a total length from 6 to 16 MiB; anything else closes the
// connection with the reason. Payloads are decoded by their type name into JSON for the dump.
//
// Commands: dpemu/opsagent-send TYPE JSON (protobuf JSON of the payload TYPE, e.g.
// orvane.ozy.lcp.TraceflowRequestMsg), dpemu/opsagent-raw HEX (bytes as they are),
// dpemu/opsagent-drop; "dpemu/dump opsagent" shows the connection and the messages received.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/ozy-dpemu/Handlers.h"

namespace ozy::dpemu {

class EventLoop;
class StreamClient;

class OpsAgent {
  public:
    static constexpr size_t kKeptMessages = 256;
    static constexpr size_t kKeptErrors = 32;

    explicit OpsAgent(EventLoop& loop);
    ~OpsAgent();

    bool Start();
    void RegisterCommands(CommandTable& table);
    nlohmann::json Dump() const;

    // One frame from the agent (the sizer has checked its header).
    void OnFrame(const uint8_t* frame, size_t size);

  private:
    CommandResult SendPayload(const std::vector<std::string>& args);
    CommandResult SendRaw(const std::vector<std::string>& args);
    CommandResult DropLink(const std::vector<std::string>& args);
    void Error(const std::string& text);

    std::unique_ptr<StreamClient> client_;
    uint64_t framesIn_ = 0;
    uint64_t framesOut_ = 0;
    std::map<std::string, uint64_t> byType_;
    std::deque<nlohmann::json> messages_;
    std::deque<std::string> errors_;
};

// The strict sizer of the operations-agent link's frames.
long LcpFrameSize(const uint8_t* data, size_t size, std::string* error);

}  // namespace ozy::dpemu
