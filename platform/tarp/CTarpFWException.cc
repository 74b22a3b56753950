#include "platform/tarp/CTarpFWException.h"

#include "platform/tarp/TarpNames.h"
#include "platform/tarp/TarpWire.h"

namespace TarpFirewall {

CInvalidAttrKey::CInvalidAttrKey(const std::string& key)
    : CTarpFWException("invalid attribute key \"" + key + "\"", ozy::tarp::kStatusInvalidConfig) {}

CInvalidAttrValue::CInvalidAttrValue(const std::string& key, const std::string& value)
    : CTarpFWException("invalid value \"" + value + "\" for attribute key " + key,
                       ozy::tarp::kStatusInvalidConfig) {}

namespace detail {

void Refuse(const std::string& message) {
    throw CTarpFWException(message, ozy::tarp::kStatusInvalidConfig);
}

void CheckName(const std::string& name, size_t max, const char* what) {
    if (name.empty())
        Refuse(std::string("empty ") + what + " name");
    if (name.size() > max) {
        Refuse(std::string(what) + " name \"" + name + "\" has " + std::to_string(name.size()) +
               " characters, at most " + std::to_string(max) + " fit");
    }
}

void CheckText(const std::string& text, size_t max, const char* what) {
    if (text.size() > max) {
        Refuse(std::string(what) + " of " + std::to_string(text.size()) + " bytes, at most " +
               std::to_string(max));
    }
}

}  // namespace detail
}  // namespace TarpFirewall
