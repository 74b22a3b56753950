#include "tools/ozy-dpemu/RecordingFamily.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "runtime/Logger.h"

namespace ozy::dpemu {

std::string HexText(const uint8_t* data, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    s.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        s.push_back(kDigits[data[i] >> 4]);
        s.push_back(kDigits[data[i] & 15]);
    }
    return s;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* out) {
    out->clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':')
            continue;
        int d = HexDigit(c);
        if (d < 0)
            return false;
        if (high < 0) {
            high = d;
        } else {
            out->push_back(static_cast<uint8_t>(high * 16 + d));
            high = -1;
        }
    }
    return high < 0 && !out->empty();
}

void RecordingFamily::OnConnect(uint64_t conn) {
    ++connects_;
    CFG_INFO("ozy-dpemu: %1: agent connected (connection %2)", name_, conn);
}

void RecordingFamily::OnDisconnect(uint64_t conn) {
    CFG_INFO("ozy-dpemu: %1: agent disconnected (connection %2)", name_, conn);
}

void RecordingFamily::OnMessage(uint64_t conn, const uint8_t* msg, size_t size) {
    ++messages_;
    uint16_t type = CfgAgent::DpMsgType(msg);
    TypeStats& t = byType_[type];
    ++t.count;
    t.last.push_back(HexText(msg, std::min<size_t>(size, 256)));
    if (t.last.size() > kKeptPerType)
        t.last.pop_front();
    CFG_DEBUG("ozy-dpemu: %1: connection %2 sent message type %3, %4 bytes", name_, conn, type,
              size);
}

nlohmann::json RecordingFamily::Dump() const {
    nlohmann::json types = nlohmann::json::object();
    for (const auto& [type, t] : byType_) {
        types[std::to_string(type)] = {{"count", t.count}, {"last", t.last}};
    }
    return {{"family", name_},
            {"endpoint", channel_ != nullptr ? channel_->Endpoint() : std::string()},
            {"connections", channel_ != nullptr ? channel_->Connections().size() : 0},
            {"connects", connects_},
            {"messages", messages_},
            {"message_types", types}};
}

}  // namespace ozy::dpemu
