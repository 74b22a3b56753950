#include "platform/monitoring/EventSourceAPI.h"

#include <chrono>

#include <nlohmann/json.hpp>

#include "platform/monitoring/AlarmTable.h"
#include "runtime/Logger.h"

namespace ozy::monitoring {

namespace {

// A structured-data parameter value: '"', '\' and ']' escaped, as syslog's structured data
// requires, so that an entity text can never end the element early.
std::string SdValue(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '"' || c == '\\' || c == ']')
            out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

int64_t NowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void LogAlarm(int level, const char* state, const std::string& component, uint32_t eventType,
              const std::string& source, const std::string& entity, const std::string& context) {
    if (!CfgAgent::Logger::enabled(level))
        return;
    CfgAgent::Logger rec(level, "Alarm %1: source %2 event type %3 entity %4 context %5");
    rec.arg(state).arg(source).arg(eventType).arg(entity).arg(context);
    rec.s2comp(SdValue(component)).entId(SdValue(entity));
    rec.addTag("eventType:" + std::to_string(eventType));
    rec.addTag(std::string("alarmState:") + state);
    rec.emit();
}

}  // namespace

EventSourceAPI::EventSourceAPI(std::string source, std::string component, AlarmTable* table)
    : source_(std::move(source)),
      component_(std::move(component)),
      table_(table != nullptr ? table : &AlarmTable::Instance()) {}

EventSourceAPI::~EventSourceAPI() {
    Stop();
}

bool EventSourceAPI::Start() {
    if (source_.empty()) {
        CFG_ERROR("EventSource: an event source needs a name (component %1)", component_);
        return false;
    }
    running_.store(true);
    CFG_DEBUG("EventSource: %1 started for %2", source_, component_);
    return true;
}

void EventSourceAPI::Stop() {
    running_.store(false);
}

bool EventSourceAPI::Usable(const char* operation) const {
    if (running_.load())
        return true;
    CFG_ERROR("EventSource: %1 of %2 refused: the event source does not run", operation, source_);
    return false;
}

std::string EventSourceAPI::ContextJson(const Context& context) {
    nlohmann::ordered_json obj = nlohmann::ordered_json::object();
    for (const auto& [key, value] : context)
        obj[key] = value;
    // Invalid UTF-8 is replaced rather than thrown on: the texts come from the outside.
    return obj.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool EventSourceAPI::Raise(uint32_t eventType, const std::string& entity, const Context& context) {
    if (!Usable("raise"))
        return false;
    AlarmRecord alarm;
    alarm.source = source_;
    alarm.component = component_;
    alarm.eventType = eventType;
    alarm.entity = entity;
    alarm.context = ContextJson(context);
    alarm.raisedAt = NowSeconds();
    LogAlarm(CfgAgent::kLogWarn, "RAISED", component_, eventType, source_, entity, alarm.context);
    table_->Raise(alarm);
    return true;
}

bool EventSourceAPI::Clear(uint32_t eventType, const std::string& entity, const Context& context) {
    if (!Usable("clear"))
        return false;
    if (!table_->Clear(source_, eventType, entity)) {
        CFG_DEBUG("EventSource: %1 event type %2 entity %3 is not raised", source_, eventType,
                  entity);
        return false;
    }
    LogAlarm(CfgAgent::kLogInfo, "CLEARED", component_, eventType, source_, entity,
             ContextJson(context));
    return true;
}

size_t EventSourceAPI::DeleteEntity(const std::string& entity) {
    if (!Usable("delete entity"))
        return 0;
    size_t n = table_->ClearEntity(source_, entity);
    if (n > 0) {
        CFG_INFO("EventSource: %1 entity %2 deleted, %3 alarm(s) cleared", source_, entity, n);
    }
    return n;
}

}  // namespace ozy::monitoring
