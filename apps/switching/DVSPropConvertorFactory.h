#pragma once
// How ConfigApp gets its DVS property conversion engine without seeing its implementation.
#include <memory>

#include "apps/switching/IDVSPropConvertor.h"

namespace CfgAgent {

class IConfigApp;
class StateCache;
struct DVSPropConvertorOptions;

// The engine sends through `sender` and reads the desired state of `cache`'s configuration table;
// both must outlive it. Timers run on the process io context, devices are the sockets under the
// host root.
std::unique_ptr<IDVSPropConvertor> MakeDVSPropConvertor(IConfigApp* sender, StateCache* cache);
// The same with other timers or devices (tests).
std::unique_ptr<IDVSPropConvertor> MakeDVSPropConvertor(IConfigApp* sender, StateCache* cache,
                                                        const DVSPropConvertorOptions& options);

}  // namespace CfgAgent
