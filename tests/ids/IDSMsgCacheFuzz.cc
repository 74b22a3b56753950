// Fuzz target: any bytes as a batch of database records for the IDS message cache. The input is
// cut into records: one byte picks the object type, one the operation and the full-sync flag of
// the batch, two give the length of the body that follows. Whatever the bodies hold, the cache
// keeps only IDS rules with action 21 or 24, and every take hands the loop a consistent update.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ids/IDSMsgCache.h"
#include "runtime/Logger.h"

namespace {

const CfgAgent::ObjectType kTypes[] = {
    CfgAgent::ObjectType::RULE,
    CfgAgent::ObjectType::RULE_SECTION,
    CfgAgent::ObjectType::CONTEXT_PROFILE,
    CfgAgent::ObjectType::SECURITY_FEATURE_TOGGLE,
    CfgAgent::ObjectType::FLEET_CLUSTER_HOST_CONFIG,
    CfgAgent::ObjectType::GLOBAL_CONFIG,
    CfgAgent::ObjectType::BARRIER,
    CfgAgent::ObjectType::IDS_THRESHOLD_CONFIG,
};

std::string ConfDir() {
    char tmpl[] = "/tmp/ids-cache-fuzz-XXXXXX";
    const char* dir = ::mkdtemp(tmpl);
    return dir != nullptr ? dir : "/tmp";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace CfgAgent;
    g_idsLogLevel = kLogOff;
    static const std::string conf = ConfDir();
    auto cache = ozy::MakeRef<IDSMsgCache>();
    IDSMsgCache::Paths paths;
    paths.confDir = conf;
    paths.ruleFile = conf + "/bundles/system/rules/ozy-idps.rules";
    paths.maxInflatedBytes = 1 << 20;
    if (!cache->Initialize(paths))
        std::abort();
    std::vector<CairnDBUpdateMsg> batch;
    bool full = false;
    for (size_t pos = 0; pos + 4 <= size;) {
        CairnDBUpdateMsg u;
        u.objType = kTypes[data[pos] % (sizeof kTypes / sizeof kTypes[0])];
        u.op = (data[pos + 1] & 1) != 0 ? Operation::OPERATION_DELETE : Operation::OPERATION_UPDATE;
        full = full || (data[pos + 1] & 2) != 0;
        size_t len = static_cast<size_t>(data[pos + 2]) | static_cast<size_t>(data[pos + 3]) << 8;
        pos += 4;
        len = len < size - pos ? len : size - pos;
        u.data.assign(reinterpret_cast<const char*>(data + pos), len);
        u.id = std::string("\x08\x01\x10", 3) + static_cast<char>(len & 0x7f);
        pos += len;
        batch.push_back(std::move(u));
    }
    cache->UpdateDesiredState(batch, full);
    for (const auto& [id, action] : cache->Rules()) {
        if (action != IDSMsgCache::kActionDetect && action != IDSMsgCache::kActionPrevent)
            std::abort();
    }
    IDSMsgCache::Changes c = cache->TakeFlags();
    if ((c.flags & IDSMsgCache::kFullSync) != 0 && !c.rules.full())
        std::abort();
    if (c.rules.full() && static_cast<size_t>(c.rules.rules_size()) != cache->Rules().size())
        std::abort();
    return 0;
}
