#pragma once
// The IDS engine's sockets, as the emulator plays them: the command socket
// ("/var/run/ozy-idps/ozy-idps-command.socket" under the host root), framed and handed to
// IdpsEngine, and the monitor socket beside it, which only accepts (the agent learns of a restart
// when its monitor connection closes). Control commands:
//   dpemu/ids-restart                 both sockets' connections closed, tables reset, listening
//   again dpemu/ids-stop, dpemu/ids-start   the engine goes away (sockets removed) and comes back
//   fresh dpemu/ids-fail TYPE [N]           the next N (1) requests of TYPE get error replies
//   dpemu/ids-reply TYPE FAULT        the next reply to TYPE:
//   wrong-type|garbage|truncated|huge|stall dpemu/ids-version JSON|default    the text of the
//   version replies
// "dpemu/dump idps" shows the tables, the connections and the last errors. TYPE is a request
// type's name (TLV_GET_RULES) or number. Loop thread only.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/ozy-dpemu/Handlers.h"
#include "tools/ozy-dpemu/IdpsEngine.h"

namespace ozy::dpemu {

class EventLoop;
class StreamServer;

class IdpsService {
  public:
    explicit IdpsService(EventLoop& loop);
    ~IdpsService();

    // Listens on both sockets; false (logged) when one cannot be created.
    bool Start();
    void RegisterCommands(CommandTable& table);
    nlohmann::json Dump() const;

  private:
    void OnFrame(uint64_t conn, const uint8_t* frame, size_t size);
    int Listen();
    CommandResult Restart(const std::vector<std::string>& args);
    CommandResult Fail(const std::vector<std::string>& args);
    CommandResult Reply(const std::vector<std::string>& args);

    IdpsEngine engine_;
    std::unique_ptr<StreamServer> command_;
    std::unique_ptr<StreamServer> monitor_;
    std::map<uint64_t, IdpsEngine::Session> sessions_;
    uint64_t restarts_ = 0;
};

}  // namespace ozy::dpemu
