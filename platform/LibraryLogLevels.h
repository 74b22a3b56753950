#pragma once
// Log levels of the libraries linked into the agent. Start-up sets them from the configuration
// file and the CLI can change them; each library compares its own statements against its level.
// (The database client library keeps its own, ozy::cairndb::library_log_level.)
#include <atomic>

namespace ozy::metrics {
extern std::atomic<int> library_log_level;
}
namespace ozy::net {
extern std::atomic<int> library_log_level;
}
namespace ozy::rpc {
extern std::atomic<int> library_log_level;
}
namespace ozy::upm {
extern std::atomic<int> library_log_level;
}
namespace ozy::wft {
extern std::atomic<int> library_log_level;
}
namespace ozy::sha {
extern std::atomic<int> library_log_level;
}
