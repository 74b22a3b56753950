// Realization reports written by the database client itself: a vertical's processed barrier and a
// component's runtime status. Each is one object per vertical (component) in the main vdb, so a
// later report replaces the earlier one. Until the main vdb is known (a SmartNIC before its
// backing arrives) the latest report of each vertical and component is kept and written when the
// vdb becomes known. Reports are queued for the writer under reportMutex_, so a kept report never
// overtakes a later one.
#include "intake/CairndbClient.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/Logger.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {

// The object of a vertical or component: its number in the low half of the identifier.
pb::UuidMsg ReportId(uint32_t number) {
    pb::UuidMsg id;
    id.set_left(0);
    id.set_right(number);
    return id;
}

pb::ModifyRequestMsg PutReport(uint16_t vdb, ObjectType type, const std::string& body) {
    pb::ModifyRequestMsg m;
    m.set_vdb(vdb);
    pb::TypedObjectMsg* obj = m.mutable_put()->mutable_object();
    obj->set_object_type(static_cast<pb::ObjectType>(type));
    obj->set_body(body);
    return m;
}

}  // namespace

bool CairndbClient::reportProcessedBarrier(const pb::ProcessedBarrierMsg& report) {
    if (!report.has_vertical_id() || !report.has_barrier_id()) {
        CFG_ERROR_CODE("LCP00028",
                       "CairndbClient: Refused ProcessedBarrierMsg has_vertical_id: %1, "
                       "has_barrier_num: %2",
                       report.has_vertical_id(), report.has_barrier_id());
        return false;
    }
    pb::ProcessedBarrierMsg msg = report;
    *msg.mutable_id() = ReportId(msg.vertical_id());
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
    write({PutReport(vdb, ObjectType::PROCESSED_BARRIER, body)});
    return true;
}

bool CairndbClient::reportRuntimeStatus(const pb::RuntimeStatusMsg& report) {
    if (!report.has_component_id()) {
        CFG_ERROR_CODE("LCP00028", "CairndbClient: Refused RuntimeStatusMsg has_component_id: %1",
                       report.has_component_id());
        return false;
    }
    pb::RuntimeStatusMsg msg = report;
    *msg.mutable_id() = ReportId(msg.component_id());
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
    write({PutReport(vdb, ObjectType::RUNTIME_STATUS, body)});
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
        requests.push_back(PutReport(vdb, ObjectType::PROCESSED_BARRIER, body));
    }
    for (const auto& [component, body] : status) {
        pb::RuntimeStatusMsg msg;
        msg.ParseFromString(body);
        CFG_INFO(
            "CairndbClient: Update runtime status with main vdb[%1], componentId [%2], error size "
            "[%3].",
            vdb, component, msg.errors_size());
        requests.push_back(PutReport(vdb, ObjectType::RUNTIME_STATUS, body));
    }
    if (!requests.empty())
        write(requests);
}

}  // namespace CfgAgent
