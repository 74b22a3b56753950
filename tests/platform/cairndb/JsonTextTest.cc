// The compact JSON text the client sends: character for character what nlohmann's dump() writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/cairndb/JsonText.h"

namespace CfgAgent::test {
namespace {

using nlohmann::json;
using ozy::cairndb::AppendJsonText;
using ozy::cairndb::JsonPieces;
using ozy::cairndb::JsonText;
using ozy::cairndb::kSharedTextBytes;
using ozy::cairndb::SplicedString;
using ozy::cairndb::SplicedTexts;

struct TextCase {
    const char* name;
    json value;
    const char* text;  // written from the JSON grammar, not by a serializer
};

TEST(JsonTextTest, WritesWhatDumpWrites) {
    std::vector<TextCase> cases = {
        {"null, booleans, numbers",
         json::array({nullptr, true, false, -3, 18446744073709551615u, 0.5}),
         "[null,true,false,-3,18446744073709551615,0.5]"},
        {"object keys sorted", json{{"b", 1}, {"a", json::object()}, {"c", json::array()}},
         R"({"a":{},"b":1,"c":[]})"},
        {"a base64 column", json{{"body", "AAEC/+9az09=="}}, R"({"body":"AAEC/+9az09=="})"},
        {"quote and backslash", json("a\"b\\c"), R"("a\"b\\c")"},
        {"control characters", json(std::string("\n\t\x01\x1f", 4)), R"("\n\t\u0001\u001f")"},
        {"DEL as it stands", json("x\x7fy"), "\"x\x7fy\""},
        {"UTF-8 as it stands", json("caf\xc3\xa9"), "\"caf\xc3\xa9\""},
        {"escaped key", json{{"k\"", "v"}}, R"({"k\"":"v"})"},
        {"nested transaction",
         json::array({"cairndb", {{"op", "wait"}, {"rows", json::array({{{"op", ""}}})}}}),
         R"(["cairndb",{"op":"wait","rows":[{"op":""}]}])"},
        {"empty string", json(""), R"("")"},
    };
    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(JsonText(c.value), c.text);
        EXPECT_EQ(JsonText(c.value), c.value.dump());
        std::string out = "x";
        AppendJsonText(c.value, &out);
        EXPECT_EQ(out, std::string("x") + c.text);
    }
}

// Random documents of every kind of value, strings drawn from all bytes below 0x80 and some
// UTF-8: the same text as dump().
TEST(JsonTextTest, RandomDocumentsMatchDump) {
    std::mt19937 rng(7);
    const std::vector<std::string> pieces = {"a",  "Z",    "/",    "+",        "=", "\"", "\\",
                                             "\n", "\x01", "\x7f", "\xc3\xa9", " ", "{",  "]"};
    auto randomString = [&] {
        std::string s;
        for (int n = rng() % 12; n > 0; --n)
            s += pieces[rng() % pieces.size()];
        return s;
    };
    std::function<json(int)> randomValue = [&](int depth) -> json {
        switch (depth > 3 ? rng() % 5 : rng() % 7) {
            case 0:
                return nullptr;
            case 1:
                return rng() % 2 == 0;
            case 2:
                return static_cast<int64_t>(rng()) - (1LL << 31);
            case 3:
                return static_cast<double>(rng()) / 7.0;
            case 4:
                return randomString();
            case 5: {
                json a = json::array();
                for (int n = rng() % 4; n > 0; --n)
                    a.push_back(randomValue(depth + 1));
                return a;
            }
            default: {
                json o = json::object();
                for (int n = rng() % 4; n > 0; --n)
                    o[randomString()] = randomValue(depth + 1);
                return o;
            }
        }
    };
    for (int i = 0; i < 500; ++i) {
        json v = randomValue(0);
        ASSERT_EQ(JsonText(v), v.dump()) << i;
    }
}

// A long base64-like string with one character that needs escaping (or is not ASCII) at every
// position: escaped as dump() escapes it, wherever it stands.
TEST(JsonTextTest, OneCharacterToEscapeIsFoundAnywhereInALongString) {
    const std::string plain = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=~ ";
    EXPECT_EQ(JsonText(json(plain)), "\"" + plain + "\"");
    const std::vector<std::pair<std::string, bool>> odd = {{"\"", true},   {"\\", true},
                                                           {"\n", true},   {"\x1f", true},
                                                           {"\x01", true}, {"\xc3\xa9", false}};
    for (const auto& [bad, escaped] : odd) {
        for (size_t at = 0; at <= plain.size(); ++at) {
            std::string s = plain.substr(0, at) + bad + plain.substr(at);
            ASSERT_EQ(JsonText(json(s)), json(s).dump()) << at;
            ASSERT_EQ(JsonText(json(s)) == "\"" + s + "\"", !escaped) << at;
        }
    }
}

TEST(JsonTextTest, InvalidUtf8ThrowsAsDumpDoes) {
    json v = {{"body", std::string("ok\xff")}};
    EXPECT_THROW(v.dump(), json::type_error);
    EXPECT_THROW(JsonText(v), json::type_error);
}

std::string Joined(const std::vector<std::shared_ptr<const std::string>>& pieces) {
    std::string text;
    for (const auto& p : pieces)
        text += *p;
    return text;
}

// A document whose strings stand in for texts: its pieces together are the text of the document
// with the strings in place; long texts that need no escaping are sent as they are (the very
// strings), others are copied and escaped as dump() escapes them.
TEST(JsonTextTest, SplicedStringsAreWrittenInPlace) {
    const std::string base64(kSharedTextBytes + 5, 'Q');
    const std::string exact(kSharedTextBytes, 'w');
    const std::string shortText = "AAEC/+9az09==";
    std::string escaped = base64;
    escaped[kSharedTextBytes] = '"';
    struct Case {
        const char* name;
        std::vector<std::string> texts;
        std::vector<bool> shared;  // which of the texts are pieces of their own
    };
    const std::vector<Case> cases = {
        {"one long text", {base64}, {true}},
        {"a text of exactly the bound", {exact}, {true}},
        {"a short text is copied", {shortText}, {false}},
        {"a long text to escape is copied", {escaped}, {false}},
        {"long texts side by side", {base64, exact}, {true, true}},
        {"mixed", {shortText, base64, escaped, exact}, {false, true, false, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SplicedTexts texts;
        json doc = json::array({"cairndb"});
        json plain = doc;
        for (size_t i = 0; i < c.texts.size(); ++i) {
            texts.push_back(std::make_shared<const std::string>(c.texts[i]));
            doc.push_back({{"row", {{"body", SplicedString(i)}, {"n", i}}}});
            plain.push_back({{"row", {{"body", c.texts[i]}, {"n", i}}}});
        }
        const auto pieces = JsonPieces(doc, texts);
        EXPECT_EQ(Joined(pieces), JsonText(plain));
        EXPECT_EQ(Joined(pieces), plain.dump());
        for (size_t i = 0; i < texts.size(); ++i) {
            const bool shared = std::find(pieces.begin(), pieces.end(), texts[i]) != pieces.end();
            EXPECT_EQ(shared, c.shared[i]) << i;
        }
    }
}

TEST(JsonTextTest, SplicedStringsWithoutTheirTextAreRefused) {
    SplicedTexts texts = {std::make_shared<const std::string>("x"), nullptr};
    EXPECT_EQ(Joined(JsonPieces(json::array({SplicedString(0)}), texts)), R"(["x"])");
    EXPECT_THROW(JsonPieces(json::array({SplicedString(2)}), texts), std::out_of_range);
    EXPECT_THROW(JsonPieces(json::array({SplicedString(1)}), texts), std::out_of_range);
    // Other binary values are written as dump() writes them.
    json other = json::binary({1, 2}, 3);
    EXPECT_EQ(Joined(JsonPieces(other, texts)), other.dump());
    EXPECT_EQ(JsonText(other), other.dump());
}

}  // namespace
}  // namespace CfgAgent::test
