#include "services/lb/LbApp.h"

#include <cstring>

#include <boost/property_tree/ptree.hpp>

#include "intake/MsgDispatcher.h"
#include "platform/tarp/TarpFw.h"
#include "runtime/Logger.h"
#include "statecache/IStateCacheConfigTable.h"

namespace CfgAgent {

namespace {

int DeviceSend(uint8_t* buf, size_t size) {
    FW_IoctlReq req;
    req.buf = buf;
    req.size = static_cast<uint32_t>(size);
    return FW_Ioctl(ozy::device::kFwIoctlLbConfig, &req);
}

}  // namespace

LbApp::LbApp(LbAppOptions options)
    : options_(std::move(options)), cache_([this](const std::string& lsp) { return IsVif(lsp); }) {
    if (!options_.send)
        options_.send = DeviceSend;
}

LbApp::~LbApp() {
    Stop();
}

bool LbApp::IsVif(const std::string& lsp) const {
    if (options_.configTable == nullptr)
        return true;
    std::string vif;
    return options_.configTable->GetVifIdByLsp(lsp, &vif) && !vif.empty();
}

bool LbApp::Start(const boost::property_tree::ptree&) {
    CFG_INFO("LB: starting");
    if (options_.configTable != nullptr && !observing_) {
        observing_ = options_.configTable->RegisterDesiredStateObserver(
            ObjectType::LOG_SWITCH_PORT_CONFIG, this);
    }
    if (options_.dispatcher != nullptr && !registered_) {
        options_.dispatcher->RegisterComponent(ComponentType::LB, this);
        registered_ = true;
    }
    return true;
}

void LbApp::Stop() {
    if (registered_ && options_.dispatcher != nullptr)
        options_.dispatcher->UnregisterComponent(this);
    registered_ = false;
    if (observing_ && options_.configTable != nullptr)
        options_.configTable->UnregisterDesiredStateObserver(ObjectType::LOG_SWITCH_PORT_CONFIG,
                                                             this);
    observing_ = false;
}

void LbApp::UpdateDesiredState(const std::vector<CairnDBUpdateMsg>& updates, bool fullSync) {
    std::lock_guard<std::mutex> lock(mutex_);
    CFG_INFO("LB: Start to update LbMsgCache, fullSync: %1, msgs size: %2", fullSync,
             updates.size());
    if (fullSync)
        cache_.Clear();
    for (const CairnDBUpdateMsg& u : updates)
        cache_.Handle(u);
    WriteAndSend(fullSync);
}

void LbApp::ProcessConfigDesiredStateUpdate(const CairnDBUpdateList& updates, bool fullSync) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const CairnDBUpdateMsg& u : updates) {
        if (u.objType == ObjectType::LOG_SWITCH_PORT_CONFIG)
            cache_.LspChanged(u.id, u.op);
    }
    // A full sync of the table comes with the load balancer's own, which sends everything.
    if (!fullSync && cache_.PendingCount() != 0)
        WriteAndSend(false);
}

void LbApp::WriteAndSend(bool full) {
    if (fullOwed_) {
        CFG_INFO("LB: Send full config update - previous update error");
        full = true;
    }
    if (!full && cache_.PendingCount() == 0)
        return;
    LbMsgCache::BuildResult b = cache_.Build(full);
    if (!b.ok) {
        CFG_ERROR_CODE("LCP01803", "LB: Failed to update LB config: %1", b.error);
        fullOwed_ = true;
        return;
    }
    // A delta without entries has nothing to say; a full update clears the device even empty.
    if (b.entries == 0 && !full) {
        CFG_INFO("LB: Aborted LB config update to kernel - 0 entries");
        cache_.ClearPending();
        return;
    }
    const int rc = options_.send(b.buf, b.size);
    if (rc != 0) {
        CFG_ERROR_CODE("LCP01803", "LB: Failed to update LB config: %1", std::strerror(rc));
        fullOwed_ = true;
        return;
    }
    ++sent_;
    CFG_INFO(
        "LB: Sent LB config update to kernel, full sync %1, buf len %2, data len %3, "
        "entries %4",
        full, b.size, b.size, b.entries);
    fullOwed_ = false;
    cache_.ClearPending();
}

}  // namespace CfgAgent
