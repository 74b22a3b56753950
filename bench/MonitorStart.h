#pragma once
// A benchmark's own passive monitor of one object type of vdb 1, started and awaited until the
// database's current contents have arrived.
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/cairndb/CairnDbClient.h"
#include "proto/cairndb_monitor.pb.h"

namespace ozy::bench {

// Registers `onUpdate` for `type` on `client`, starts it and waits up to `timeout` for the first
// barrier; false when the monitor is refused or the contents do not arrive in time.
inline bool StartMonitor(ozy::cairndb::CairnDbClient& client, uint32_t monitorId,
                         orvane::ozy::cairndb::ObjectType type,
                         ozy::cairndb::MonitorUpdateCallback onUpdate,
                         std::chrono::seconds timeout) {
    auto first = std::make_shared<std::promise<void>>();
    auto once = std::make_shared<std::once_flag>();
    client.RegisterMonitorCallbacks(monitorId, 1, std::move(onUpdate), [first, once] {
        std::call_once(*once, [&] { first->set_value(); });
    });
    orvane::ozy::cairndb::MonitorStatementMsg st;
    st.mutable_statement()->set_object_type(type);
    if (!client.ConfigureMonitor({st}, {}, monitorId, 1))
        return false;
    client.StartAsync();
    return first->get_future().wait_for(timeout) == std::future_status::ready;
}

}  // namespace ozy::bench
