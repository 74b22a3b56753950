#include "platform/LibraryLogLevels.h"

namespace ozy::metrics {
std::atomic<int> library_log_level{4};
}
namespace ozy::net {
std::atomic<int> library_log_level{4};
}
namespace ozy::rpc {
std::atomic<int> library_log_level{4};
}
namespace ozy::upm {
std::atomic<int> library_log_level{4};
}
namespace ozy::wft {
std::atomic<int> library_log_level{4};
}
namespace ozy::sha {
std::atomic<int> library_log_level{4};
}
