#include "services/si/SIAlarmReporter.h"

#include "platform/device/SiIoctls.h"
#include "platform/monitoring/EventSourceAPI.h"
#include "runtime/Logger.h"
#include "services/si/ISIDataplane.h"

namespace CfgAgent::si {

using Context = ozy::monitoring::EventSourceAPI::Context;

SIAlarmReporter::SIAlarmReporter(ISIDataplane& dataplane,
                                 std::function<std::string()> transportNode,
                                 ozy::monitoring::AlarmTable* table)
    : dataplane_(dataplane), transportNode_(std::move(transportNode)), table_(table) {}

SIAlarmReporter::~SIAlarmReporter() = default;

bool SIAlarmReporter::Start() {
    source_ = std::make_unique<ozy::monitoring::EventSourceAPI>(kSource, kComponent, table_);
    if (!source_->Start()) {
        CFG_ERROR("SIApp: %1: Failed to create alarm event source.", kComponent);
        CFG_ERROR("%1: Failed to start SI alarm.", kComponent);
        source_.reset();
        return false;
    }
    CFG_INFO("SI AlarmReporter started successfully.");
    return true;
}

void SIAlarmReporter::Stop() {
    if (source_)
        source_->Stop();
}

void SIAlarmReporter::Poll() {
    uint32_t si = ozy::device::kSiStatusUp;
    uint32_t spf = ozy::device::kSpfStatusOk;
    const int siRc = dataplane_.SiStatus(&si);
    const int spfRc = dataplane_.SpfStatus(&spf);
    CFG_DEBUG("SIApp: Result from si alarm ioctl: %1, spf alarm ioctl: %2, %3", siRc, spfRc, spf);
    if (siRc != 0 || spfRc != 0 || !source_)
        return;
    std::string reason;
    if (si != ozy::device::kSiStatusUp)
        reason = kReasonSiDown;
    if (spf != ozy::device::kSpfStatusOk)
        reason += std::string(reason.empty() ? "" : "; ") + kReasonSpf;
    const std::string node = transportNode_ ? transportNode_() : std::string();
    if (reason.empty()) {
        if (!raisedReason_.empty() && source_->Clear(kEventInfraDown, kEntity))
            CFG_INFO("SIApp: service insertion alarm cleared");
        raisedReason_.clear();
        return;
    }
    if (reason == raisedReason_ && node == raisedNode_)
        return;
    if (source_->Raise(kEventInfraDown, kEntity,
                       Context{{"transport_node_id", node}, {"failure_reason", reason}})) {
        CFG_WARN("SIApp: service insertion alarm raised: %1", reason);
        raisedReason_ = reason;
        raisedNode_ = node;
    }
}

}  // namespace CfgAgent::si
