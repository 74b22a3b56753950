#include "intake/Rtf.h"

#include <algorithm>

#include "intake/CfgTypes.h"
#include "intake/DumpText.h"
#include "intake/ICairndbClient.h"
#include "intake/ReportRequests.h"
#include "proto/UuidText.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_monitor.pb.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/Logger.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

// The object operation of a report's op message; INVALID when it does not parse.
template <class OpMsg>
PBOpType OperationOf(const pb::MonitorUpdateMsg& update) {
    OpMsg op;
    if (!op.ParseFromString(update.op_msg()) || !op.has_op())
        return PBOpType::INVALID;
    return static_cast<PBOpType>(op.op().op());
}

const char* OperationName(PBOpType op) {
    switch (op) {
        case PBOpType::SET:
            return "SET";
        case PBOpType::UPDATE:
            return "UPDATE";
        case PBOpType::CLEAR:
            return "CLEAR";
        default:
            return "INVALID";
    }
}

std::string VdbsText(const std::set<uint16_t>& vdbs) {
    if (vdbs.empty())
        return "N/A";
    std::string out;
    for (uint16_t v : vdbs) {
        if (!out.empty())
            out += ' ';
        out += std::to_string(v);
    }
    return out;
}

// The schema name of a type, "UNKNOWN" for a value outside the schema (a peer's input).
const char* TypeText(uint32_t type) {
    const char* name = ObjectTypeName(type);
    return name != nullptr ? name : "UNKNOWN";
}

std::string Named(const char* name, uint32_t id) {
    return std::string(name) + "(" + std::to_string(id) + ")";
}

}  // namespace

const char* Rtf::VerticalName(uint32_t vertical) {
    switch (vertical) {
        case kVerticalDfw:
            return "VERTICAL_ID_DFW";
        case kVerticalL3:
            return "VERTICAL_ID_L3";
        case kVerticalIds:
            return "VERTICAL_ID_IDS";
        default:
            return "VERTICAL_ID_UNKNOW";
    }
}

const char* Rtf::ComponentName(uint32_t component) {
    return component == 1 ? "COMPONENT_ID_DFW_CFGAGENT" : "COMPONENT_ID_UNKNOWN";
}

Rtf::Rtf(ICairndbClient* writer) : writer_(writer) {}

Rtf::~Rtf() = default;

// ---- participants -------------------------------------------------------------------------------

void Rtf::SetHostVerticals(const std::set<uint32_t>& verticals) {
    Lock lock(mutex_);
    hostVerticals_ = verticals;
    for (uint32_t v : verticals) {
        CFG_INFO("RTF: vertical %1 runs on the host", VerticalName(v));
        verticals_.insert(v);
    }
}

void Rtf::AddVdbId(uint16_t vdb) {
    Lock lock(mutex_);
    if (vdb <= kHostVdb)
        return;
    if (!vdbs_.insert(vdb).second)
        return;
    // The vdb receives the barrier objects with the rest of the globals at its binding, and now
    // holds configuration the pending barriers cover (a host switch moved to it, or bound in the
    // transaction that brought the barrier): they wait for its report too.
    for (auto& [barrier, vdbs] : receivedBarrierMap_)
        vdbs.insert(vdb);
    CFG_INFO("RTF: Adding vdbId %1 to %2 pending barriers", vdb, receivedBarrierMap_.size());
}

void Rtf::DeleteVdbId(uint16_t vdb) {
    Lock lock(mutex_);
    CFG_INFO("RTF: Deleting vdbId %1", vdb);
    if (vdb <= kHostVdb)
        return;
    vdbs_.erase(vdb);
    for (auto& [barrier, vdbs] : receivedBarrierMap_)
        vdbs.erase(vdb);
    for (auto it = processedBarrierMap_.begin(); it != processedBarrierMap_.end();) {
        if (receivedBarrierMap_.count(it->first) == 0) {
            CFG_ERROR("RTF: DeleteVdbId: cannot find barrierNum %1 in _receivedBarrierMap",
                      it->first);
            it = processedBarrierMap_.erase(it);
            continue;
        }
        ++it;
    }
    DropMarks(vdb);
    Requests out;
    CompleteAll(true, &out);
    std::set<uint32_t> touched;
    DropErrors(vdb, "RTF: DeleteVdbId: Clear runtime error reported by component %1, vdbId %2",
               &touched);
    for (uint32_t component : touched)
        WriteStatus(component, &out);
    Write(&out);
}

// ---- the database's barriers --------------------------------------------------------------------

void Rtf::UpdateCairndbBarrier(const std::string& body, const std::set<uint16_t>& vdbs) {
    pb::BarrierMsg msg;
    if (!msg.ParseFromString(body) || !msg.has_barrier_id()) {
        CFG_ERROR_CODE("LCP00028", "RTF: Bad cairndb barrier");
        return;
    }
    Lock lock(mutex_);
    const uint64_t barrier = msg.barrier_id();
    VdbSet forwarded;
    for (uint16_t v : vdbs) {
        if (v > kHostVdb)
            forwarded.insert(v);
    }
    CFG_INFO("RTF: Updating cairndb barrier: %1 to %2 vdbs", barrier, forwarded.size());
    // What the Demux forwarded to is bound, whatever order the binding reached us in.
    vdbs_.insert(forwarded.begin(), forwarded.end());
    receivedBarrierMap_[barrier] = forwarded;
    // Marks reported before the barrier came (again, after a full sync of vdb 1) count for it.
    auto& processed = processedBarrierMap_[barrier];
    processed.clear();
    for (const auto& [key, mark] : marks_) {
        const auto& [vertical, participant] = key;
        if (mark >= barrier && Required(forwarded, vertical).count(participant) != 0)
            processed[vertical].insert(participant);
    }
    Evict();
    Requests out;
    CompleteAll(false, &out);
    EraseCompleted();
    Write(&out);
}

void Rtf::Evict() {
    while (receivedBarrierMap_.size() > kMaxReceivedBarriers) {
        const uint64_t least = receivedBarrierMap_.begin()->first;
        CFG_WARN(
            "RTF: The size of _receivedBarrierMap %1 reaches the max %2, least barrier number %3",
            receivedBarrierMap_.size() - 1, kMaxReceivedBarriers, least);
        receivedBarrierMap_.erase(least);
        processedBarrierMap_.erase(least);
    }
}

// ---- the vdbs' reports --------------------------------------------------------------------------

void Rtf::UpdateFromVdb(uint16_t vdb, const pb::MonitorUpdateMsg& update) {
    VdbBarrier(vdb, false, {&update});
}

void Rtf::VdbBarrier(uint16_t vdb, bool fullSync,
                     const std::vector<const pb::MonitorUpdateMsg*>& updates) {
    Lock lock(mutex_);
    if (vdbs_.count(vdb) == 0) {
        CFG_ERROR_CODE("LCP00028", "RTF: Refused %1 reports of vdbId %2: not a bound SmartNIC vdb",
                       updates.size(), vdb);
        return;
    }
    std::set<uint32_t> touched;
    if (fullSync) {
        CFG_INFO("RTF: Flushing all vdb reported ProcessedBarrierMsg and RuntimeErrorMsg");
        CFG_INFO("RTF: Flushing the marks and errors of vdbId %1 for its full sync", vdb);
        DropMarks(vdb);
        DropErrors(vdb, "RTF: Clear runtime error reported by component %1, vdbId %2", &touched);
    }
    Requests out;
    for (const pb::MonitorUpdateMsg* update : updates) {
        if (update != nullptr)
            ApplyVdbUpdate(vdb, *update, &out, &touched);
    }
    for (uint32_t component : touched)
        WriteStatus(component, &out);
    Write(&out);
}

void Rtf::ApplyVdbUpdate(uint16_t vdb, const pb::MonitorUpdateMsg& update, Requests* out,
                         std::set<uint32_t>* touched) {
    const auto type = static_cast<ObjectType>(update.object_type());
    if (type == ObjectType::PROCESSED_BARRIER) {
        const PBOpType op = OperationOf<pb::ProcessedBarrierOpMsg>(update);
        if (op == PBOpType::CLEAR) {
            // A removed report takes back nothing that was realized.
            CFG_DEBUG("RTF: Update PROCESSED_BARRIER (Operation %1) with vdb %2 ignored",
                      OperationName(op), vdb);
            return;
        }
        pb::ProcessedBarrierMsg msg;
        if ((op != PBOpType::SET && op != PBOpType::UPDATE) ||
            !msg.ParseFromString(update.object_body())) {
            CFG_ERROR_CODE("LCP00028",
                           "RTF: Received bad PROCESSED_BARRIER (Operation %1) from vdbId %2",
                           static_cast<uint32_t>(op), vdb);
            return;
        }
        CFG_INFO("RTF: Update PROCESSED_BARRIER (Operation %1): vertical id %2 with vdb %3",
                 OperationName(op), VerticalName(msg.vertical_id()), vdb);
        if (!msg.has_vertical_id() || !msg.has_barrier_id()) {
            CFG_ERROR_CODE("LCP00028",
                           "RTF: Received error ProcessedBarrierMsg from vdbId %1 has_vertical_id: "
                           "%2, has_barrier_num: %3",
                           vdb, msg.has_vertical_id(), msg.has_barrier_id());
            return;
        }
        ProcessedBarrier(vdb, msg.vertical_id(), msg.barrier_id(), out);
        return;
    }
    if (type == ObjectType::RUNTIME_STATUS) {
        const PBOpType op = OperationOf<pb::RuntimeStatusOpMsg>(update);
        const bool clear = op == PBOpType::CLEAR;
        pb::RuntimeStatusMsg msg;
        if ((!clear && op != PBOpType::SET && op != PBOpType::UPDATE) ||
            !msg.ParseFromString(clear ? update.old_object_body() : update.object_body())) {
            CFG_ERROR_CODE("LCP00028",
                           "RTF: Received bad RUNTIME_STATUS (Operation %1) from vdbId %2",
                           static_cast<uint32_t>(op), vdb);
            return;
        }
        CFG_INFO("RTF: Update RUNTIME_STATUS (Operation %1): %2 with vdb %3, error size %4",
                 OperationName(op), ComponentName(msg.component_id()), vdb,
                 clear ? 0 : msg.errors_size());
        if (!msg.has_component_id()) {
            CFG_ERROR_CODE(
                "LCP00028",
                "RTF: Received error ProcessedBarrierMsg from vdbId %1 has_component_id: "
                "%2",
                vdb, msg.has_component_id());
            return;
        }
        if (!Track(&components_, msg.component_id(), "component", vdb))
            return;
        if (clear) {
            if (runtimeErrorMap_.erase({msg.component_id(), vdb}) != 0)
                touched->insert(msg.component_id());
            return;
        }
        StoreErrors(msg.component_id(), vdb, msg);
        touched->insert(msg.component_id());
        return;
    }
    CFG_ERROR_CODE("LCP00028", "RTF: Received object type %1 from vdbId %2, not a report",
                   TypeText(static_cast<uint32_t>(type)), vdb);
}

bool Rtf::ProcessedBarrier(uint16_t vdb, uint32_t vertical, uint64_t barrier, Requests* out) {
    if (!Track(&verticals_, vertical, "vertical", vdb))
        return false;
    uint64_t& mark = marks_[{vertical, vdb}];
    mark = std::max(mark, barrier);
    auto found = receivedBarrierMap_.find(barrier);
    if (found == receivedBarrierMap_.end()) {
        CFG_INFO("RTF: Cannot find barrierNum %1 in _receivedBarrierMap", barrier);
    } else if (Required(found->second, vertical).count(vdb) == 0) {
        CFG_INFO("RTF: vdbId %1 is not contained in _receivedBarrierMap!", vdb);
    }
    // The report covers every pending barrier up to its number that waits for this participant.
    auto done = written_.find(vertical);
    for (auto it = receivedBarrierMap_.begin();
         it != receivedBarrierMap_.end() && it->first <= barrier; ++it) {
        if (done != written_.end() && it->first <= done->second)
            continue;
        if (Required(it->second, vertical).count(vdb) == 0)
            continue;
        if (processedBarrierMap_[it->first][vertical].insert(vdb).second) {
            if (it->first == barrier) {
                CFG_INFO("RTF: BarrierNum %1 verticalId %2 vdbId %3 processed", it->first,
                         VerticalName(vertical), vdb);
            } else {
                CFG_DEBUG("RTF: BarrierNum %1 verticalId %2 vdbId %3 processed", it->first,
                          VerticalName(vertical), vdb);
            }
        }
    }
    Complete(vertical, false, out);
    EraseCompleted();
    return true;
}

void Rtf::StoreErrors(uint32_t component, uint16_t vdb, const pb::RuntimeStatusMsg& status) {
    CFG_INFO("RTF: RealizationErrorMsg form componentId %1 vdbId %2", ComponentName(component),
             vdb);
    Errors& e = runtimeErrorMap_[{component, vdb}];
    e.hasBarrier = status.has_barrier_id();
    e.barrier = status.barrier_id();
    e.list.assign(status.errors().begin(), status.errors().end());
}

bool Rtf::Track(std::set<uint32_t>* ids, uint32_t id, const char* what, uint16_t vdb) {
    if (ids->count(id) != 0)
        return true;
    if (ids->size() >= kMaxIds) {
        CFG_ERROR_CODE("LCP00028", "RTF: Refused report of %1 %2 from vdbId %3: %4 are tracked",
                       what, id, vdb, ids->size());
        return false;
    }
    ids->insert(id);
    return true;
}

void Rtf::DropMarks(uint16_t vdb) {
    for (auto it = marks_.begin(); it != marks_.end();)
        it = it->first.second == vdb ? marks_.erase(it) : std::next(it);
    for (auto& [barrier, verticals] : processedBarrierMap_) {
        for (auto& [vertical, vdbs] : verticals)
            vdbs.erase(vdb);
    }
}

void Rtf::DropErrors(uint16_t vdb, const char* how, std::set<uint32_t>* touched) {
    for (auto it = runtimeErrorMap_.begin(); it != runtimeErrorMap_.end();) {
        if (it->first.second != vdb) {
            ++it;
            continue;
        }
        CFG_INFO(how, ComponentName(it->first.first), vdb);
        touched->insert(it->first.first);
        it = runtimeErrorMap_.erase(it);
    }
}

// ---- the host's own verticals -------------------------------------------------------------------

bool Rtf::HandleLocalProcessedBarrierMsg(const pb::ProcessedBarrierMsg& report) {
    Lock lock(mutex_);
    CFG_INFO("RTF: HandleLocalProcessedBarrierMsg: vertical id %1 with barrierNum %2",
             VerticalName(report.vertical_id()), report.barrier_id());
    if (!report.has_vertical_id() || !report.has_barrier_id()) {
        CFG_ERROR_CODE("LCP00028",
                       "RTF: Received error ProcessedBarrierMsg from vdbId %1 has_vertical_id: %2, "
                       "has_barrier_num: %3",
                       kHostVdb, report.has_vertical_id(), report.has_barrier_id());
        return false;
    }
    const uint32_t vertical = report.vertical_id();
    if (hostVerticals_.count(vertical) == 0 && Track(&verticals_, vertical, "vertical", kHostVdb)) {
        // A vertical that reports from the host runs there: the host takes part in its barriers
        // from now on (this report covers the pending ones up to its number).
        CFG_INFO("RTF: vertical %1 runs on the host", VerticalName(vertical));
        hostVerticals_.insert(vertical);
    }
    Requests out;
    const bool taken = ProcessedBarrier(kHostVdb, vertical, report.barrier_id(), &out);
    Write(&out);
    return taken;
}

bool Rtf::HandleLocalRuntimeStatusMsg(const pb::RuntimeStatusMsg& report) {
    Lock lock(mutex_);
    CFG_INFO("RTF: HandleLocalRuntimeStatusMsg: component id %1 with error size %2",
             ComponentName(report.component_id()), report.errors_size());
    if (!report.has_component_id()) {
        CFG_ERROR_CODE("LCP00028",
                       "RTF: Received error ProcessedBarrierMsg from vdbId %1 has_component_id: %2",
                       kHostVdb, report.has_component_id());
        return false;
    }
    if (!Track(&components_, report.component_id(), "component", kHostVdb))
        return false;
    StoreErrors(report.component_id(), kHostVdb, report);
    Requests out;
    WriteStatus(report.component_id(), &out);
    Write(&out);
    return true;
}

// ---- completion ---------------------------------------------------------------------------------

Rtf::VdbSet Rtf::Required(const VdbSet& forwarded, uint32_t vertical) const {
    if (hostVerticals_.count(vertical) == 0)
        return forwarded;
    VdbSet out = forwarded;
    out.insert(kHostVdb);
    return out;
}

void Rtf::Complete(uint32_t vertical, bool byDelete, Requests* out) {
    const auto done = written_.find(vertical);
    // Pending barriers complete in order: the written number is the last of the run of barriers,
    // from the lowest pending one, that every participant has realized.
    bool completed = false;
    uint64_t last = 0;
    for (const auto& [barrier, forwarded] : receivedBarrierMap_) {
        if (done != written_.end() && barrier <= done->second)
            continue;
        if (!Covered(barrier, vertical, Required(forwarded, vertical)))
            break;
        if (byDelete) {
            CFG_INFO("RTF: DeleteVdbId: all vdbs for barrierNum %1 verticalId %2 are processed",
                     barrier, VerticalName(vertical));
        } else {
            CFG_INFO("RTF: All vdbs for barrierNum %1 verticalId %2 are processed", barrier,
                     VerticalName(vertical));
        }
        completed = true;
        last = barrier;
    }
    if (!completed)
        return;
    written_[vertical] = last;
    for (auto& [barrier, verticals] : processedBarrierMap_) {
        if (barrier > last)
            break;
        verticals.erase(vertical);
    }
    pb::ProcessedBarrierMsg msg;
    *msg.mutable_id() = ReportObjectId(vertical);
    msg.set_barrier_id(last);
    msg.set_vertical_id(vertical);
    CFG_INFO("RTF: Write PROCESSED_BARRIER vertical id %1 barrierNum %2 to vdb %3",
             VerticalName(vertical), last, kHostVdb);
    out->push_back(
        PutReportRequest(kHostVdb, ObjectType::PROCESSED_BARRIER, msg.SerializeAsString()));
}

bool Rtf::Covered(uint64_t barrier, uint32_t vertical, const VdbSet& required) const {
    if (required.empty())
        return true;
    const auto p = processedBarrierMap_.find(barrier);
    if (p == processedBarrierMap_.end())
        return false;
    const auto have = p->second.find(vertical);
    return have != p->second.end() && std::includes(have->second.begin(), have->second.end(),
                                                    required.begin(), required.end());
}

void Rtf::CompleteAll(bool byDelete, Requests* out) {
    for (uint32_t vertical : verticals_)
        Complete(vertical, byDelete, out);
    EraseCompleted();
}

void Rtf::EraseCompleted() {
    if (verticals_.empty())
        return;
    // Completion is in order per vertical, so the barriers every vertical has completed are the
    // lowest ones.
    while (!receivedBarrierMap_.empty()) {
        const uint64_t barrier = receivedBarrierMap_.begin()->first;
        for (uint32_t vertical : verticals_) {
            auto w = written_.find(vertical);
            if (w == written_.end() || w->second < barrier)
                return;
        }
        CFG_INFO("RTF: All verticalIds for barrierNum %1 are processed", barrier);
        CFG_INFO("RTF: Erase barrierNum %1 from _receivedBarrierMap", barrier);
        receivedBarrierMap_.erase(barrier);
        processedBarrierMap_.erase(barrier);
    }
}

// ---- writes -------------------------------------------------------------------------------------

void Rtf::WriteStatus(uint32_t component, Requests* out) const {
    pb::RuntimeStatusMsg merged;
    *merged.mutable_id() = ReportObjectId(component);
    merged.set_component_id(component);
    bool hasBarrier = false;
    uint64_t barrier = 0;
    // Every participant's errors, the host's first; the status holds as of the oldest barrier
    // any participant reported it at.
    for (auto it = runtimeErrorMap_.lower_bound({component, 0});
         it != runtimeErrorMap_.end() && it->first.first == component; ++it) {
        for (const pb::RealizationErrorMsg& e : it->second.list)
            *merged.add_errors() = e;
        if (it->second.hasBarrier && (!hasBarrier || it->second.barrier < barrier)) {
            hasBarrier = true;
            barrier = it->second.barrier;
        }
    }
    if (hasBarrier)
        merged.set_barrier_id(barrier);
    CFG_INFO("RTF: Write RUNTIME_STATUS component id %1 with error size %2 to vdb %3",
             ComponentName(component), merged.errors_size(), kHostVdb);
    out->push_back(
        PutReportRequest(kHostVdb, ObjectType::RUNTIME_STATUS, merged.SerializeAsString()));
}

void Rtf::Write(Requests* requests) {
    if (requests->empty() || writer_ == nullptr)
        return;
    writer_->write(*requests);
    requests->clear();
}

// ---- inspection ---------------------------------------------------------------------------------

Rtf::Info Rtf::GetInfo() const {
    Lock lock(mutex_);
    Info info;
    info.received = receivedBarrierMap_;
    for (const auto& [barrier, verticals] : processedBarrierMap_) {
        for (const auto& [vertical, vdbs] : verticals) {
            if (!vdbs.empty())
                info.processed[barrier][vertical] = vdbs;
        }
    }
    for (const auto& [key, e] : runtimeErrorMap_)
        info.errors[key] = e.list.size();
    info.written = written_;
    info.vdbs = vdbs_;
    info.hostVerticals = hostVerticals_;
    return info;
}

std::string Rtf::Dump() const {
    Lock lock(mutex_);
    const Info info = GetInfo();
    std::string out = DumpText(
        "RTF: Get RTF table receivedBarrierMapSize %1, processedBarrierMapSize %2, "
        "runtimeErrorMapSize %3.",
        info.received.size(), info.processed.size(), runtimeErrorMap_.size());
    out += '\n';
    out += "ReceivedBarrierMap\n";
    if (info.received.empty())
        out += "  N/A\n";
    for (const auto& [barrier, vdbs] : info.received)
        out += "  barrierNum " + std::to_string(barrier) + ": vdbs " + VdbsText(vdbs) + "\n";
    out += "ProcessedBarrierMap\n";
    if (info.processed.empty())
        out += "  N/A\n";
    for (const auto& [barrier, verticals] : info.processed) {
        for (const auto& [vertical, vdbs] : verticals) {
            out += "  barrierNum " + std::to_string(barrier) + " " +
                   Named(VerticalName(vertical), vertical) + ": vdbs " + VdbsText(vdbs) + "\n";
        }
    }
    out += "RuntimeErrorMap\n";
    if (runtimeErrorMap_.empty())
        out += "  N/A\n";
    for (const auto& [key, e] : runtimeErrorMap_) {
        out += "  " + Named(ComponentName(key.first), key.first) + " vdbId " +
               std::to_string(key.second) + ": " + std::to_string(e.list.size()) + " errors\n";
        for (const pb::RealizationErrorMsg& err : e.list) {
            out += "    " + std::string(TypeText(err.object_type())) + " " +
                   ozy::cairndb::UuidText(err.object_id().left(), err.object_id().right()) +
                   " code " + std::to_string(err.error_code()) + ": " + err.error_message() + "\n";
        }
    }
    out += "ProcessedBarrierWritten\n";
    if (written_.empty())
        out += "  N/A\n";
    for (const auto& [vertical, barrier] : written_)
        out +=
            "  " + Named(VerticalName(vertical), vertical) + ": " + std::to_string(barrier) + "\n";
    out += "HostVerticals:";
    if (hostVerticals_.empty())
        out += " N/A";
    for (uint32_t v : hostVerticals_)
        out += " " + Named(VerticalName(v), v);
    out += "\nVdbs: " + VdbsText(vdbs_) + "\n";
    return out;
}

}  // namespace CfgAgent
