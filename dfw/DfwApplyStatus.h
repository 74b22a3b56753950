#pragma once
// What a firewall library status means for an apply: whether the device holds the configuration,
// and the realization code RUNTIME_STATUS carries when it does not.
#include <cstdint>

#include "platform/tarp/TarpWire.h"

namespace CfgAgent {

// Success, or a configuration the device held already.
inline bool DfwApplied(int status) {
    return status == 0 || static_cast<uint32_t>(status) == ozy::tarp::kStatusNoChange;
}

// The realization code of a failed apply: 8 (no memory) is 1, 65 (invalid configuration) 1100,
// 19 (no such filter) 1101, anything else 1102.
inline uint32_t DfwRealizationCode(int status) {
    switch (status) {
        case 8:
            return 1;
        case 65:
            return 1100;
        case 19:
            return 1101;
        default:
            return 1102;
    }
}

}  // namespace CfgAgent
