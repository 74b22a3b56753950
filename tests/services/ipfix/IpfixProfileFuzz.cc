// Fuzz target: any bytes as a switch profile and a collector profile (the first byte says where
// the input splits); whatever the agent accepts makes an "ipfix" value that fits the property.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "dataplane/KcpPropertyTable.h"
#include "proto/cairndb_switching.pb.h"
#include "runtime/Logger.h"
#include "services/ipfix/IpfixPortConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    CfgAgent::g_agentLogLevel = CfgAgent::kLogOff;
    size_t split = 1 + data[0] % size;
    orvane::ozy::cairndb::ProfileMsg sp;
    orvane::ozy::cairndb::ProfileMsg cp;
    if (!sp.ParseFromArray(data + 1, static_cast<int>(split - 1)) ||
        !cp.ParseFromArray(data + split, static_cast<int>(size - split)))
        return 0;
    std::vector<CfgAgent::IpfixCollector> collectors;
    std::string why;
    if (!CfgAgent::ReadIpfixCollectors(cp.ipfix_collector_profile(), &collectors, &why))
        return 0;
    for (const auto& c : collectors) {
        if (c.port == 0)
            std::abort();
    }
    CfgAgent::IpfixPortConfig config;
    if (!CfgAgent::BuildIpfixOzyPortPropUpdateData("p", sp.ipfix_switch_profile(), collectors,
                                                   &config, &why))
        return 0;
    std::vector<uint8_t> value = config.Encode();
    if (value.size() != 17 + 19 * collectors.size() || config.samplingLocation < 1 ||
        config.samplingLocation > 3 ||
        CfgAgent::kcp::MakeKcpProperty(CfgAgent::kcp::kPropIpfix, value).empty())
        std::abort();
    return 0;
}
