#pragma once
// The container-interface bus service, as far as start-up needs it: constructed, initialised with
// the platform provider from the "config.conduit" subtree (0 on success), released at shutdown.
// Its channels and RPC server are not part of this build; initialisation validates the settings
// the rest of the agent relies on (the server port).
#include <string>

namespace ozy {
class AsioOzyProvider;
}

namespace CfgAgent {

class ConduitService {
  public:
    // 0 on success; non-zero (and a log line) when "config.conduit" holds unusable settings.
    int Init(ozy::AsioOzyProvider& provider);
    int serverPort() const { return serverPort_; }

  private:
    int serverPort_ = 0;
};

}  // namespace CfgAgent
