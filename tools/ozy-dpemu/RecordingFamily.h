#pragma once
// The stand-in host side of a family that has no handler of its own yet: accepts the agent's
// connection, counts messages per type and keeps the last few of each (hex) for the dump.
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "tools/ozy-dpemu/Handlers.h"

namespace ozy::dpemu {

class RecordingFamily : public FamilyHandler {
  public:
    static constexpr size_t kKeptPerType = 8;

    explicit RecordingFamily(std::string name) : name_(std::move(name)) {}
    void OnConnect(uint64_t conn) override;
    void OnDisconnect(uint64_t conn) override;
    void OnMessage(uint64_t conn, const uint8_t* msg, size_t size) override;
    nlohmann::json Dump() const override;

  private:
    struct TypeStats {
        uint64_t count = 0;
        std::deque<std::string> last;
    };
    std::string name_;
    uint64_t connects_ = 0;
    uint64_t messages_ = 0;
    std::map<uint16_t, TypeStats> byType_;
};

std::string HexText(const uint8_t* data, size_t size);
// The value of one hexadecimal digit (either case); -1 for anything else.
int HexDigit(char c);
// Hex digits, spaces and colons ignored, into bytes; false for anything else, an odd digit
// count or no byte at all.
bool ParseHex(const std::string& text, std::vector<uint8_t>* out);

}  // namespace ozy::dpemu
