#pragma once
// How ConfigApp obtains its DVS property conversion engine. The engine sends its KCP messages
// through `configApp` and reads the desired state from `stateCache`; both outlive it (ConfigApp
// owns the engine and stops it before it goes).
#include <memory>

#include "apps/switching/IDVSPropConvertor.h"

namespace CfgAgent {

class IConfigApp;
class StateCache;

std::unique_ptr<IDVSPropConvertor> MakeDVSPropConvertor(IConfigApp* configApp,
                                                        StateCache* stateCache);

struct DVSPropConvertorOptions;
// The same with timers on another io context or other devices (tests).
std::unique_ptr<IDVSPropConvertor> MakeDVSPropConvertor(IConfigApp* configApp,
                                                        StateCache* stateCache,
                                                        const DVSPropConvertorOptions& options);

}  // namespace CfgAgent
