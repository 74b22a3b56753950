#pragma once
// The exceptions of the firewall library's builders. Every refusal of a builder (a name longer
// than its field, a port range whose start is above its end, a prefix or ICMP value out of range, a
// rule without action, an attribute the library cannot use) is one of these; none is thrown by the
// FW_ calls, which return statuses.
#include <cstdint>
#include <exception>
#include <string>

namespace TarpFirewall {

class CTarpFWException : public std::exception {
  public:
    CTarpFWException(std::string message, uint32_t retcode)
        : message_(std::move(message)), retcode_(retcode) {}
    const char* what() const noexcept override { return message_.c_str(); }
    // The status the refusal stands for (ozy::tarp::kStatus*; builders give kStatusInvalidConfig).
    uint32_t retcode() const noexcept { return retcode_; }

  private:
    std::string message_;
    uint32_t retcode_;
};

// An attribute key name that str2attrkey does not know; what() names the key.
class CInvalidAttrKey : public CTarpFWException {
  public:
    explicit CInvalidAttrKey(const std::string& key);
};

// An attribute value the library cannot use for its key; what() names both.
class CInvalidAttrValue : public CTarpFWException {
  public:
    CInvalidAttrValue(const std::string& key, const std::string& value);
};

}  // namespace TarpFirewall
