// Fuzz target: any bytes as the body of a traceflow observation (the length field is set to the
// input's size so that the walker sees all of it).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "services/traceflow/TraceflowObservation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4 || size > 0xFFFF)
        return 0;
    std::vector<uint8_t> msg(data, data + size);
    msg[2] = static_cast<uint8_t>(size >> 8);
    msg[3] = static_cast<uint8_t>(size);
    CfgAgent::traceflow::Observation o;
    std::string error;
    if (CfgAgent::traceflow::DecodeObservation(msg.data(), msg.size(), &o, &error)) {
        volatile size_t keep = o.uplink.size() + o.dvport.size() + o.vif.size() + o.localIp.size();
        (void)keep;
    }
    return 0;
}
