#include "apps/switching/L2AlarmReporter.h"

#include "dataplane/VxlanWalk.h"
#include "platform/monitoring/EventSourceAPI.h"
#include "runtime/AgentSettings.h"
#include "runtime/Logger.h"

namespace CfgAgent {

using namespace vxlan;
using Context = ozy::monitoring::EventSourceAPI::Context;

namespace {

constexpr size_t kKrnPrefixSize = 3;  // "vmk"
constexpr size_t kKrnMaxDigits = 4;

bool KnownKind(uint8_t kind) {
    return kind == kAlarmFault || kind == kAlarmHaActive || kind == kAlarmAutoRecovery;
}

bool KnownState(uint8_t state) {
    return state == kTepUp || state == kTepDown || state == kTepDegraded;
}

}  // namespace

L2AlarmReporter::L2AlarmReporter(ozy::monitoring::AlarmTable* table) : table_(table) {}

L2AlarmReporter::~L2AlarmReporter() = default;

bool L2AlarmReporter::Start() {
    source_ = std::make_unique<ozy::monitoring::EventSourceAPI>(kSource, kComponent, table_);
    if (!source_->Start()) {
        CFG_ERROR("L2App: %1: Failed to create alarm event source.", kComponent);
        CFG_ERROR("%1: Failed to start L2 alarm.", kComponent);
        source_.reset();
        return false;
    }
    CFG_INFO("L2 AlarmReporter started successfully.");
    return true;
}

void L2AlarmReporter::Stop() {
    if (source_)
        source_->Stop();
}

bool L2AlarmReporter::ValidKrnName(const std::string& name) {
    if (name.size() <= kKrnPrefixSize || name.size() > kKrnPrefixSize + kKrnMaxDigits ||
        name.compare(0, kKrnPrefixSize, "vmk") != 0) {
        return false;
    }
    for (size_t i = kKrnPrefixSize; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return false;
    }
    return true;
}

std::string L2AlarmReporter::FaultReason(uint8_t reasons) {
    std::string out;
    auto add = [&out](const std::string& words) { out += out.empty() ? words : "; " + words; };
    if ((reasons & kReasonBfdDown) != 0)
        add("BFD tunnels from TEP are down");
    const bool noV4 = (reasons & kReasonNoIpv4) != 0;
    const bool noV6 = (reasons & kReasonNoIpv6) != 0;
    if (noV4 || noV6) {
        const char* family = noV4 && noV6 ? "all IP" : (noV4 ? "v4" : "v6");
        add(std::string("TEP does not have an ") + family + " address");
    }
    return out;
}

void L2AlarmReporter::HandleVxlanTEPAlarm(const uint8_t* msg, size_t length) {
    MsgView view;
    TepAlarm m;
    if (!ViewMessage(msg, length, &view) || view.type != kMsgTepAlarm || !ParseTepAlarm(view, &m)) {
        CFG_ERROR_CODE("LCP00407", "L2AlarmReporter: %1: invalid TEP alarm message length %2",
                       kComponent, length);
        return;
    }
    CFG_INFO("L2AlarmReporter: %1: received new Alarm message", kComponent);
    // The name was read within its 16 bytes (no terminator needed), then checked for its form.
    if (!ValidKrnName(m.nicName)) {
        CFG_ERROR_CODE("LCP00407", "L2AlarmReporter: krnName: %1 not in expected fromat",
                       m.nicName);
        return;
    }
    if (!KnownKind(m.kind) || !KnownState(m.state)) {
        CFG_ERROR_CODE("LCP00407",
                       "L2AlarmReporter: %1: unknown TEP alarm kind %2 or state %3 of %4",
                       kComponent, m.kind, m.state, m.nicName);
        return;
    }
    Alarm a{m.nicName, m.switchName, m.kind, m.state, m.reasons};
    if (!transportNode_.empty()) {
        Report(a);
        return;
    }
    auto key = std::make_pair(a.nic, a.kind);
    if (pending_.count(key) == 0 && pending_.size() >= kMaxPending) {
        if (!pendingOverflowLogged_) {
            CFG_ERROR_CODE("LCP00407", "L2AlarmReporter: %1: %2 pending alarms; more are dropped",
                           kComponent, pending_.size());
        }
        pendingOverflowLogged_ = true;
        return;
    }
    CFG_INFO("L2AlarmReporter: %1: Save pending alarm", kComponent);
    pending_[key] = std::move(a);
}

void L2AlarmReporter::Report(const Alarm& a) {
    if (!source_) {
        CFG_WARN("L2AlarmReporter: %1: alarm of %2 not raised: no event source", kComponent, a.nic);
        return;
    }
    const std::string entity = a.hostSwitch + "/" + a.nic;
    const std::string state = TepStateName(a.state);
    if (a.kind == kAlarmFault) {
        // reportTEPKrnnicFaultAlarm; a TEP reported up clears it.
        if (a.state == kTepUp) {
            source_->Clear(kEventTepKrnnicFault, entity);
            return;
        }
        source_->Raise(kEventTepKrnnicFault, entity,
                       Context{{"transport_node_id", transportNode_},
                               {"vtep_name", a.nic},
                               {"vtep_state", state},
                               {"dvs_name", a.hostSwitch},
                               {"dpu_id", dpuId_},
                               {"vtep_fault_reason", FaultReason(a.reasons)}});
        return;
    }
    // reportTEPHAKrnnicHAActiveAlarm, reportTEPHAKrnnicAutoRecoveryAlarm.
    source_->Raise(a.kind == kAlarmHaActive ? kEventTepHaActive : kEventTepAutoRecovery, entity,
                   Context{{"transport_node_id", transportNode_},
                           {"vtep_name", a.nic},
                           {"vtep_state", state},
                           {"dpu_id", dpuId_},
                           {"dvs_name", a.hostSwitch}});
}

void L2AlarmReporter::reportPendingAlarms() {
    auto pending = std::move(pending_);
    ClearPending();
    for (const auto& [key, alarm] : pending)
        Report(alarm);
}

void L2AlarmReporter::SetTransportNode(const std::string& id) {
    if (id == transportNode_)
        return;
    transportNode_ = id;
    CFG_INFO("L2AlarmReporter: %1: transport node \"%2\"", kComponent, id);
    if (!id.empty() && !pending_.empty())
        reportPendingAlarms();
}

void L2AlarmReporter::SetBacking(const std::string& activeSn) {
    if (AgentSettings::Persona() != kPersonaSmartnic) {
        CFG_INFO("L2AlarmReporter: %1: skip SN backing info. Not on a DPU", kComponent);
        return;
    }
    CFG_INFO("L2AlarmReporter: %1: received SN backing info", kComponent);
    CFG_DEBUG("L2AlarmReporter: %1: active SmartNIC \"%2\"", kComponent, activeSn);
    dpuId_ = activeSn;
}

void L2AlarmReporter::ClearPending() {
    pending_.clear();
    pendingOverflowLogged_ = false;
}

}  // namespace CfgAgent
