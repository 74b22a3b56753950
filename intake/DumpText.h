#pragma once
// The text of a log-style line ("%1" placeholders) for dumps that the CLI returns and the debug
// log repeats.
#include <string>
#include <string_view>

#include "runtime/Logger.h"

namespace CfgAgent {

template <typename... Args>
std::string DumpText(std::string_view format, const Args&... args) {
    Logger record(kLogDebug, format);
    (record.arg(args), ...);
    return record.formattedMessage();
}

}  // namespace CfgAgent
