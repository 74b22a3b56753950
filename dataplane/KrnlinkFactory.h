#pragma once
// How applications create their kernel links: the real DataplaneKrnlink by default,
// a fake in unit tests. The link is created stopped; its owner starts it and stops it before
// letting go of it.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "dataplane/DataplaneLink.h"

namespace CfgAgent {

using LinkReceiveHandler = std::function<void(const uint8_t* msg, size_t length)>;
using LinkStatusHandler = std::function<void(DataplaneLink* link, int status)>;

using KrnlinkFactory = std::function<ozy::RefPtr<DataplaneLink>(
    const std::string& name, LinkReceiveHandler receive, LinkStatusHandler status, int bufferSize)>;

// Creates DataplaneKrnlink instances on the system's kernel-link sockets.
KrnlinkFactory SystemKrnlinkFactory();

}  // namespace CfgAgent
