// Realization reports written by the database client itself: a vertical's processed barrier and a
// component's runtime status. Each is one object per vertical (component) in the main vdb, so a
// later report replaces the earlier one. Until the main vdb is known (a SmartNIC before its
// backing arrives) the latest report of each vertical and component is kept and written when the
// vdb becomes known. On a SmartNIC host with its coordinator, the reports go to realization
// tracking instead, which merges them with the SmartNICs' and writes the result. Reports are queued
// for the writer under reportMutex_, so a kept report never overtakes a later one.
#include "intake/CairndbClient.h"
#include "intake/ISmartNicCoordinator.h"
#include "intake/ReportRequests.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/AgentSettings.h"
#include "runtime/Logger.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

bool CairndbClient::reportProcessedBarrier(const pb::ProcessedBarrierMsg& report) {
    // On a SmartNIC host the host is one participant of realization tracking, which writes.
    if (persona_ == kPersonaSmartnicHost && coordinator_ != nullptr)
        return coordinator_->ReportLocalProcessedBarrier(report);
    if (!report.has_vertical_id() || !report.has_barrier_id()) {
        CFG_ERROR_CODE("LCP00028",
                       "CairndbClient: Refused ProcessedBarrierMsg has_vertical_id: %1, "
                       "has_barrier_num: %2",
                       report.has_vertical_id(), report.has_barrier_id());
        return false;
    }
    pb::ProcessedBarrierMsg msg = report;
    *msg.mutable_id() = ReportObjectId(msg.vertical_id());
    std::string body = msg.SerializeAsString();
    std::lock_guard<std::mutex> lock(reportMutex_);
    const uint16_t vdb = mainVdbId();
    if (vdb == 0) {
        CFG_INFO(
            "CairndbClient: Get processed barrier update when main vdb is %1, caching for "
            "verticalId %2, barrierNum %3.",
            vdb, msg.vertical_id(), msg.barrier_id());
        cachedBarriers_[msg.vertical_id()] = std::move(body);
        return true;
    }
    cachedBarriers_.erase(msg.vertical_id());
    CFG_INFO(
        "CairndbClient: Update processed barrier update with main vdb[%1], verticalId[%2], "
        "barrierNum[%3].",
        vdb, msg.vertical_id(), msg.barrier_id());
    write({PutReportRequest(vdb, ObjectType::PROCESSED_BARRIER, body)});
    return true;
}

bool CairndbClient::reportRuntimeStatus(const pb::RuntimeStatusMsg& report) {
    if (persona_ == kPersonaSmartnicHost && coordinator_ != nullptr)
        return coordinator_->ReportLocalRuntimeStatus(report);
    if (!report.has_component_id()) {
        CFG_ERROR_CODE("LCP00028", "CairndbClient: Refused RuntimeStatusMsg has_component_id: %1",
                       report.has_component_id());
        return false;
    }
    pb::RuntimeStatusMsg msg = report;
    *msg.mutable_id() = ReportObjectId(msg.component_id());
    std::string body = msg.SerializeAsString();
    std::lock_guard<std::mutex> lock(reportMutex_);
    const uint16_t vdb = mainVdbId();
    if (vdb == 0) {
        CFG_INFO(
            "CairndbClient: Get runtime status update when main vdb is %1, caching for "
            "componentId %2, error size %3.",
            vdb, msg.component_id(), msg.errors_size());
        cachedStatus_[msg.component_id()] = std::move(body);
        return true;
    }
    cachedStatus_.erase(msg.component_id());
    CFG_INFO(
        "CairndbClient: Update runtime status with main vdb[%1], componentId [%2], error size "
        "[%3].",
        vdb, msg.component_id(), msg.errors_size());
    write({PutReportRequest(vdb, ObjectType::RUNTIME_STATUS, body)});
    return true;
}

size_t CairndbClient::CachedReportCount() const {
    std::lock_guard<std::mutex> lock(reportMutex_);
    return cachedBarriers_.size() + cachedStatus_.size();
}

void CairndbClient::FlushCachedReports() {
    std::lock_guard<std::mutex> lock(reportMutex_);
    const uint16_t vdb = mainVdbId();
    if (vdb == 0)
        return;
    std::map<uint32_t, std::string> barriers;
    std::map<uint32_t, std::string> status;
    barriers.swap(cachedBarriers_);
    status.swap(cachedStatus_);
    std::vector<pb::ModifyRequestMsg> requests;
    for (const auto& [vertical, body] : barriers) {
        pb::ProcessedBarrierMsg msg;
        msg.ParseFromString(body);
        CFG_INFO(
            "CairndbClient: Update processed barrier update with main vdb[%1], verticalId[%2], "
            "barrierNum[%3].",
            vdb, vertical, msg.barrier_id());
        requests.push_back(PutReportRequest(vdb, ObjectType::PROCESSED_BARRIER, body));
    }
    for (const auto& [component, body] : status) {
        pb::RuntimeStatusMsg msg;
        msg.ParseFromString(body);
        CFG_INFO(
            "CairndbClient: Update runtime status with main vdb[%1], componentId [%2], error size "
            "[%3].",
            vdb, component, msg.errors_size());
        requests.push_back(PutReportRequest(vdb, ObjectType::RUNTIME_STATUS, body));
    }
    if (!requests.empty())
        write(requests);
}

}  // namespace CfgAgent
