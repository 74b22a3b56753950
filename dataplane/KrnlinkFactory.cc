#include "dataplane/KrnlinkFactory.h"

#include "dataplane/DataplaneKrnlink.h"

namespace CfgAgent {

KrnlinkFactory SystemKrnlinkFactory() {
    return [](const std::string& name, LinkReceiveHandler receive, LinkStatusHandler status,
              int bufferSize) {
        return ozy::RefPtr<DataplaneLink>(
            new DataplaneKrnlink(name, std::move(receive), std::move(status), nullptr, bufferSize));
    };
}

}  // namespace CfgAgent
