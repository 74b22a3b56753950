#pragma once
// ozy::monitoring::EventSourceAPI: one event source of the host's monitoring service, through which
// a component raises and clears its alarms ("cfgAgent_l2", "cfgAgent_dfw", "cfgAgent_si").
//
// An alarm is an event type (a number of the monitoring service), an entity (the object it is
// about: a logical port, a filter, the transport node) and a context: string fields in the order
// given, rendered as one line of JSON by a JSON library (quotes, backslashes and control
// characters escaped), so whatever the texts hold the context stays valid JSON. Every raise and
// clear is logged as a structured record (s2comp = the component, entId = the entity, tags
// "eventType" and "alarmState") and recorded in AlarmTable::Instance(), which counts it in the
// metrics registry and shows it on the CLI.
//
// Create, then Start; raising before Start or after Stop is refused (false, logged). Raise, Clear
// and DeleteEntity may be called from any thread.
#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ozy::monitoring {

class AlarmTable;

class EventSourceAPI {
  public:
    // Ordered string fields of an alarm's context.
    using Context = std::vector<std::pair<std::string, std::string>>;

    // `source` names the event source, `component` the part of the agent that reports through it.
    // `table` defaults to AlarmTable::Instance().
    EventSourceAPI(std::string source, std::string component, AlarmTable* table = nullptr);
    ~EventSourceAPI();
    EventSourceAPI(const EventSourceAPI&) = delete;
    EventSourceAPI& operator=(const EventSourceAPI&) = delete;

    // False for an empty source name.
    bool Start();
    // Clears nothing: raised alarms stay raised as on the host, where the monitoring service
    // outlives the agent's components.
    void Stop();
    bool running() const { return running_.load(); }

    bool Raise(uint32_t eventType, const std::string& entity, const Context& context);
    // False when the alarm was not raised (logged at debug) or the source does not run.
    bool Clear(uint32_t eventType, const std::string& entity, const Context& context = {});
    // The entity is gone: every alarm of this source about it is cleared. The number cleared.
    size_t DeleteEntity(const std::string& entity);

    const std::string& source() const { return source_; }
    const std::string& component() const { return component_; }

    // The context as one line of JSON, fields in the given order.
    static std::string ContextJson(const Context& context);

  private:
    bool Usable(const char* operation) const;

    std::string source_;
    std::string component_;
    AlarmTable* table_;
    std::atomic<bool> running_{false};
};

}  // namespace ozy::monitoring
