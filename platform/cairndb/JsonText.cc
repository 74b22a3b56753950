#include "platform/cairndb/JsonText.h"

#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace ozy::cairndb {

namespace {

// True when dump() writes every character of `s` as it stands: printable ASCII but the quote and
// the backslash (DEL included: dump() escapes only control characters without ensure_ascii).
// Eight characters at a time: a word with any character below 0x20, at or above 0x80, or equal to
// the quote or the backslash fails.
bool Verbatim(const std::string& s) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    auto hasZero = [](uint64_t w) { return ((w - kOnes) & ~w & kHigh) != 0; };
    size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        uint64_t w;
        std::memcpy(&w, s.data() + i, sizeof(w));
        if ((w & kHigh) != 0 || ((w - 0x20 * kOnes) & kHigh) != 0 || hasZero(w ^ ('"' * kOnes)) ||
            hasZero(w ^ ('\\' * kOnes)))
            return false;
    }
    for (; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\')
            return false;
    }
    return true;
}

// The characters of the strings and keys of `value` (a lower bound of its text's length).
size_t StringBytes(const nlohmann::json& value) {
    size_t n = 0;
    if (value.is_object()) {
        for (auto it = value.begin(); it != value.end(); ++it)
            n += it.key().size() + 3 + StringBytes(it.value());
    } else if (value.is_array()) {
        for (const auto& v : value)
            n += 1 + StringBytes(v);
    } else if (value.is_string()) {
        n += value.get_ref<const std::string&>().size() + 2;
    }
    return n;
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

// Writes the text of a document into `out`; a stand-in (a binary value) goes to `splice`, when
// given, else is written as dump() writes it.
template <typename Splice>
void Append(const nlohmann::json& value, std::string* out, Splice&& splice) {
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
                Append(it.value(), out, splice);
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
                Append(v, out, splice);
            }
            out->push_back(']');
            return;
        }
        case nlohmann::json::value_t::string:
            AppendString(value.get_ref<const std::string&>(), out);
            return;
        case nlohmann::json::value_t::binary:
            if (splice(value))
                return;
            *out += value.dump();
            return;
        default:
            *out += value.dump();
            return;
    }
}

}  // namespace

void AppendJsonText(const nlohmann::json& value, std::string* out) {
    Append(value, out, [](const nlohmann::json&) { return false; });
}

nlohmann::json SplicedString(size_t index) {
    return nlohmann::json::binary({}, static_cast<std::uint64_t>(index));
}

std::vector<std::shared_ptr<const std::string>> JsonPieces(const nlohmann::json& value,
                                                           const SplicedTexts& texts) {
    std::vector<std::shared_ptr<const std::string>> pieces;
    std::string out;
    out.reserve(StringBytes(value) + 64);
    Append(value, &out, [&](const nlohmann::json& v) {
        const auto& bin = v.get_binary();
        if (!bin.has_subtype() || !bin.empty())
            return false;
        const std::shared_ptr<const std::string>& text = texts.at(bin.subtype());
        if (text == nullptr)
            throw std::out_of_range("spliced string without a text");
        if (text->size() < kSharedTextBytes || !Verbatim(*text)) {
            AppendString(*text, &out);
            return true;
        }
        out.push_back('"');
        pieces.push_back(std::make_shared<const std::string>(std::move(out)));
        pieces.push_back(text);
        out.assign(1, '"');
        return true;
    });
    pieces.push_back(std::make_shared<const std::string>(std::move(out)));
    return pieces;
}

std::string JsonText(const nlohmann::json& value) {
    std::string out;
    // One buffer for a request whose text is mostly a few long strings.
    out.reserve(StringBytes(value) + 64);
    AppendJsonText(value, &out);
    return out;
}

}  // namespace ozy::cairndb
