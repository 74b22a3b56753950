#include "runtime/daemon/ConduitService.h"

#include <boost/property_tree/ptree.hpp>

#include "platform/AsioOzyProvider.h"
#include "runtime/Logger.h"

namespace CfgAgent {

int ConduitService::Init(ozy::AsioOzyProvider& provider) {
    const auto& config = provider.config();
    auto port = config.get_optional<std::string>("conduit.serverPort");
    if (port) {
        int p = -1;
        try {
            size_t used = 0;
            p = std::stoi(*port, &used);
            if (used != port->size())
                p = -1;
        } catch (const std::exception&) {
            p = -1;
        }
        if (p < 1 || p > 65535) {
            CFG_LOG_AT(g_conduitLogLevel, kLogError, {}, "conduit: invalid serverPort %1", *port);
            return 1;
        }
        serverPort_ = p;
    }
    return 0;
}

}  // namespace CfgAgent
