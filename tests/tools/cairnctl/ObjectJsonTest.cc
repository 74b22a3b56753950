// Objects as people write them: IPv4/IPv6 addresses and MACs as text in, text out; the schema's
// own forms (numbers, {"ipv4": N}) still accepted; malformed texts refused with the field named.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "proto/cairndb_switching.pb.h"
#include "proto/cairndb_system.pb.h"
#include "tools/cairnctl/ObjectJson.h"

namespace ozy::cairnctl {
namespace {

namespace pb = orvane::ozy::cairndb;
using nlohmann::json;

TEST(ObjectJsonTest, AddressesAndMacsAsTextInAndOut) {
    pb::DaVifMsg vif;
    std::string error;
    json in = json::parse(R"({
        "id": "00000000-0000-0000-0000-0000000000a1",
        "bindings": [
          {"ip": "10.0.0.5", "mac": "00:50:56:aa:bb:01"},
          {"ip": "fd00::1", "mac": "FF:ff:00:00:00:02"},
          {"ip": {"ipv4": 167772166}, "mac": "345040224259"}]})");
    ASSERT_TRUE(ObjectFromJson(in, &vif, &error)) << error;
    ASSERT_EQ(vif.bindings_size(), 3);
    EXPECT_EQ(vif.bindings(0).ip().ipv4(), 0x0a000005u);
    EXPECT_EQ(vif.bindings(0).mac(), 0x005056aabb01u);
    const std::string v6 = vif.bindings(1).ip().ipv6();
    ASSERT_EQ(v6.size(), 16u);
    EXPECT_EQ(static_cast<unsigned char>(v6[0]), 0xfd);
    EXPECT_EQ(static_cast<unsigned char>(v6[15]), 0x01);
    EXPECT_EQ(vif.bindings(1).mac(), 0xffff00000002u);
    EXPECT_EQ(vif.bindings(2).ip().ipv4(), 167772166u);
    EXPECT_EQ(vif.bindings(2).mac(), 345040224259u);

    json out = ObjectToJson(vif);
    EXPECT_EQ(out["bindings"][0]["ip"], "10.0.0.5");
    EXPECT_EQ(out["bindings"][0]["mac"], "00:50:56:aa:bb:01");
    EXPECT_EQ(out["bindings"][1]["ip"], "fd00::1");
    EXPECT_EQ(out["bindings"][1]["mac"], "ff:ff:00:00:00:02");
    EXPECT_EQ(out["bindings"][2]["ip"], "10.0.0.6");
    EXPECT_EQ(out["bindings"][2]["mac"], "00:50:56:00:00:03");

    // Printed text reads back as the same object.
    pb::DaVifMsg again;
    ASSERT_TRUE(ObjectFromJson(out, &again, &error)) << error;
    EXPECT_EQ(again.SerializeAsString(), vif.SerializeAsString());

    // Repeated MACs and a MAC named by its role.
    pb::VifStateMsg state;
    ASSERT_TRUE(
        ObjectFromJson(json{{"macs", {"02:00:00:00:00:01", "02:00:00:00:00:02"}}}, &state, &error))
        << error;
    EXPECT_EQ(state.macs(1), 0x020000000002u);
    EXPECT_EQ(ObjectToJson(state)["macs"][1], "02:00:00:00:00:02");
    pb::GlobalConfigMsg global;
    ASSERT_TRUE(ObjectFromJson(json{{"vdr_mac", "02:50:56:56:44:52"}}, &global, &error)) << error;
    EXPECT_EQ(ObjectToJson(global)["vdr_mac"], "02:50:56:56:44:52");
}

TEST(ObjectJsonTest, MalformedAddressesAndMacsAreRefused) {
    struct Case {
        const char* json;
        const char* error;
    };
    const Case cases[] = {
        {R"({"bindings": [{"ip": "10.0.0.256"}]})", "bindings: ip: \"10.0.0.256\" is not an IPv4"},
        {R"({"bindings": [{"ip": "fd00:::1"}]})", "is not an IPv4 or IPv6 address"},
        {R"({"bindings": [{"ip": "host.example"}]})", "is not an IPv4 or IPv6 address"},
        {R"({"bindings": [{"mac": "00:50:56:aa:bb"}]})",
         "bindings: mac: \"00:50:56:aa:bb\" is not a MAC"},
        {R"({"bindings": [{"mac": "00:50:56:aa:bb:01:02"}]})", "is not a MAC address"},
        {R"({"bindings": [{"mac": "00-50-56:aa:bb:01"}]})", "is not a MAC address"},
        {R"({"bindings": [{"mac": "0g:50:56:aa:bb:01"}]})", "is not a MAC address"},
        // Six fields and the right separators, one of them a single digit.
        {R"({"bindings": [{"mac": "00:50:56:aa:bb:1"}]})", "is not a MAC address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        pb::DaVifMsg vif;
        std::string error;
        EXPECT_FALSE(ObjectFromJson(json::parse(c.json), &vif, &error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace ozy::cairnctl
