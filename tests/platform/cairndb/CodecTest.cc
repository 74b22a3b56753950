// Endpoint texts, base64 and the splitting of the JSON-RPC byte stream.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/cairndb/Base64.h"
#include "platform/cairndb/CairnDbClientInterface.h"
#include "platform/cairndb/Endpoint.h"

namespace {

using ozy::net::Endpoint;

TEST(EndpointTest, ParsesSingleAndListedRemotes) {
    Endpoint e("tcp://127.0.0.1:2480");
    ASSERT_TRUE(e.valid());
    ASSERT_EQ(e.remotes().size(), 1u);
    EXPECT_EQ(e.remotes()[0].host, "127.0.0.1");
    EXPECT_EQ(e.remotes()[0].port, 2480);
    EXPECT_EQ(e.ToString(), "tcp://127.0.0.1:2480");

    Endpoint list("tcp://10.0.0.1:2480, tcp:db2:6641,tcp://[::1]:7000");
    ASSERT_EQ(list.remotes().size(), 3u);
    EXPECT_EQ(list.remotes()[1].host, "db2");
    EXPECT_EQ(list.remotes()[1].port, 6641);
    EXPECT_EQ(list.remotes()[2].host, "::1");
    EXPECT_EQ(list.ToString(), "tcp://10.0.0.1:2480,tcp://db2:6641,tcp://[::1]:7000");
}

TEST(EndpointTest, RejectsMalformedTexts) {
    std::string error;
    for (const char* bad :
         {"", "127.0.0.1:2480", "udp://1.2.3.4:1", "tcp://host", "tcp://:80", "tcp://h:0",
          "tcp://h:65536", "tcp://h:8x", "tcp://::1:80", "tcp://[::1:80", "tcp://a:1,"}) {
        EXPECT_FALSE(Endpoint::Parse(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
        EXPECT_FALSE(Endpoint(bad).valid()) << bad;
    }
}

TEST(EndpointTest, EnvironmentOverridesThePersonaDefault) {
    unsetenv("OZY_CAIRNDB_ENDPOINT");
    EXPECT_EQ(ozy::cairndb::CairndbEndpointText("tcp://127.0.0.1:2480"), "tcp://127.0.0.1:2480");
    setenv("OZY_CAIRNDB_ENDPOINT", "tcp://127.0.0.1:9999", 1);
    EXPECT_EQ(ozy::cairndb::CairndbEndpointText("tcp://127.0.0.1:2480"), "tcp://127.0.0.1:9999");
    setenv("OZY_CAIRNDB_ENDPOINT", "", 1);
    EXPECT_EQ(ozy::cairndb::CairndbEndpointText("tcp://x:1"), "tcp://x:1");
    unsetenv("OZY_CAIRNDB_ENDPOINT");
}

TEST(Base64Test, RoundTripsAndRejects) {
    using ozy::cairndb::Base64Decode;
    using ozy::cairndb::Base64Encode;
    EXPECT_EQ(Base64Encode(""), "");
    EXPECT_EQ(Base64Encode("f"), "Zg==");
    EXPECT_EQ(Base64Encode("fo"), "Zm8=");
    EXPECT_EQ(Base64Encode("foo"), "Zm9v");
    // The remaining vectors of RFC 4648, section 10, and the alphabet's last letters.
    EXPECT_EQ(Base64Encode("foob"), "Zm9vYg==");
    EXPECT_EQ(Base64Encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(Base64Encode(std::string("\xfb\xff\xbf\x00", 4)), "+/+/AA==");
    EXPECT_EQ(Base64Encode(std::string("\x00\x10\x83\x10\x51\x87", 6)), "ABCDEFGH");
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    std::string out;
    ASSERT_TRUE(Base64Decode(Base64Encode(all), &out));
    EXPECT_EQ(out, all);
    for (const char* bad : {"Zg=", "Z===", "Zm9v!A==", "Zg==Zg==", "=Zg=", "Zm=v"}) {
        EXPECT_FALSE(Base64Decode(bad, &out)) << bad;
    }
}

// A grown value's encoding from that of its start: the start's text up to its last whole group,
// then the rest encoded; a text of the wrong length is not taken.
TEST(Base64Test, AGrownValueIsEncodedFromItsStartsText) {
    using ozy::cairndb::Base64Encode;
    using ozy::cairndb::Base64EncodeGrown;
    const std::string bytes = "foobarbazqux!";
    for (size_t from = 0; from <= bytes.size(); ++from) {
        for (size_t to = from; to <= bytes.size(); ++to) {
            const std::string grown = bytes.substr(0, to);
            EXPECT_EQ(Base64EncodeGrown(Base64Encode(bytes.substr(0, from)), from, grown),
                      Base64Encode(grown))
                << from << " " << to;
        }
    }
    // Four characters are three bytes' text, not four's: the value is encoded anew.
    EXPECT_EQ(Base64EncodeGrown("AAAA", 4, "foobar"), "Zm9vYmFy");
    EXPECT_EQ(Base64EncodeGrown("AAAA", 3, "foobar"), "AAAAYmFy");
    EXPECT_EQ(Base64EncodeGrown("Zm9v", 7, "foobar"), "Zm9vYmFy");
}

}  // namespace
