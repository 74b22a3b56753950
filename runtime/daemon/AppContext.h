#pragma once
// What application factories receive: the shared infrastructure created before the applications,
// and the launcher, through which a factory finds the applications it depends on.
namespace ozy {
class AsioOzyProvider;
}

namespace CfgAgent {

class AppLauncher;
class CairndbClient;
class ICfgUdsLink;
class MsgDispatcher;
class StateCache;

struct AppContext {
    ozy::AsioOzyProvider* provider = nullptr;
    AppLauncher* launcher = nullptr;
    StateCache* stateCache = nullptr;
    MsgDispatcher* dispatcher = nullptr;
    CairndbClient* cairndb = nullptr;
    // The operations-agent link: applications register their handlers while they start.
    ICfgUdsLink* opsLink = nullptr;
};

}  // namespace CfgAgent
