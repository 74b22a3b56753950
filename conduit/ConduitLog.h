#pragma once
// Records of the container-interface bus: at its own level ("config.log.conduit") and named
// "ozy-conduit" in their structured data.
#include "runtime/Logger.h"

namespace ozy::Conduit {

template <typename... Args>
void ConduitLog(int level, std::string_view format, const Args&... args) {
    if (level > CfgAgent::g_conduitLogLevel.load(std::memory_order_relaxed))
        return;
    CfgAgent::Logger rec(level, format);
    (rec.arg(args), ...);
    rec.s2comp("ozy-conduit");
    rec.emit();
}

}  // namespace ozy::Conduit
