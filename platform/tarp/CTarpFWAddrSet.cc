#include "platform/tarp/CTarpFWAddrSet.h"

#include "platform/tarp/TarpNames.h"
#include "platform/tarp/TarpWire.h"

namespace TarpFirewall {

CTarpFWAddrSet::CTarpFWAddrSet(std::string name) : name_(std::move(name)) {
    detail::CheckName(name_, ozy::tarp::kMaxContainerName, "address set");
}

}  // namespace TarpFirewall
