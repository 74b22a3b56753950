#include "platform/cairndb/JsonText.h"

#include <nlohmann/json.hpp>

namespace ozy::cairndb {

namespace {

// True when dump() writes every character of `s` as it stands: printable ASCII but the quote and
// the backslash (DEL included: dump() escapes only control characters without ensure_ascii).
bool Verbatim(const std::string& s) {
    for (unsigned char c : s) {
        if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\')
            return false;
    }
    return true;
}

void AppendString(const std::string& s, std::string* out) {
    if (!Verbatim(s)) {
        *out += nlohmann::json(s).dump();
        return;
    }
    out->push_back('"');
    out->append(s);
    out->push_back('"');
}

}  // namespace

void AppendJsonText(const nlohmann::json& value, std::string* out) {
    switch (value.type()) {
        case nlohmann::json::value_t::object: {
            out->push_back('{');
            bool first = true;
            for (auto it = value.begin(); it != value.end(); ++it) {
                if (!first)
                    out->push_back(',');
                first = false;
                AppendString(it.key(), out);
                out->push_back(':');
                AppendJsonText(it.value(), out);
            }
            out->push_back('}');
            return;
        }
        case nlohmann::json::value_t::array: {
            out->push_back('[');
            bool first = true;
            for (const auto& v : value) {
                if (!first)
                    out->push_back(',');
                first = false;
                AppendJsonText(v, out);
            }
            out->push_back(']');
            return;
        }
        case nlohmann::json::value_t::string:
            AppendString(value.get_ref<const std::string&>(), out);
            return;
        default:
            *out += value.dump();
            return;
    }
}

std::string JsonText(const nlohmann::json& value) {
    std::string out;
    AppendJsonText(value, &out);
    return out;
}

}  // namespace ozy::cairndb
