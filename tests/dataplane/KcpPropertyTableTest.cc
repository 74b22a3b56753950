#include <gtest/gtest.h>

#include <map>
#include <set>

#include "dataplane/KcpPropertyTable.h"
#include "tests/dataplane/ByteVec.h"

namespace CfgAgent {
namespace {

using test::H;
using namespace kcp;

TEST(KcpPropertyTableTest, KeysAndNamesAreUniqueAndLayoutsAreSound) {
    std::set<uint16_t> keys;
    std::set<std::string> names;
    for (const PropertyDesc& d : KcpProperties()) {
        EXPECT_TRUE(keys.insert(d.key).second) << d.name;
        EXPECT_TRUE(names.insert(d.name).second) << d.name;
        EXPECT_NE(d.scopes, 0) << d.name;
        EXPECT_EQ(FindKcpProperty(d.key), &d);
        EXPECT_EQ(FindKcpPropertyByName(d.name), &d);
        // A text field is only ever the last head field, and never with entries.
        for (size_t i = 0; i < d.head.size(); ++i) {
            if (d.head[i].type == FieldType::kText) {
                EXPECT_EQ(i + 1, d.head.size()) << d.name;
                EXPECT_EQ(d.entriesName, nullptr) << d.name;
            }
        }
        if (d.entriesName != nullptr) {
            EXPECT_GT(EntryWireSize(d), 0u) << d.name;
        }
        std::set<std::string> fields;
        for (const auto& f : d.head)
            EXPECT_TRUE(fields.insert(f.name).second) << d.name;
    }
    EXPECT_EQ(FindKcpProperty(0), nullptr);
    EXPECT_EQ(FindKcpPropertyByName("no such"), nullptr);
}

std::map<std::string, std::string> Decode(uint16_t key, const test::Bytes& v) {
    std::map<std::string, std::string> out;
    const PropertyDesc* d = FindKcpProperty(key);
    EXPECT_NE(d, nullptr);
    bool ok = VisitKcpPropertyFields(
        *d, v.data(), v.size(), [&](int entry, const FieldDesc& f, const uint8_t* p, size_t n) {
            out[std::to_string(entry) + "." + f.name] = KcpFieldText(f, p, n);
        });
    if (!ok)
        out["invalid"] = "1";
    return out;
}

TEST(KcpPropertyTableTest, ValuesDecodeIntoNamedFields) {
    EXPECT_EQ(Decode(kPropVni, H("00 00 13 88"))["-1.vni"], "5000");

    auto trunk = Decode(kPropVlanTrunk, H("00 0a 00 14 00 64 00 c8"));
    EXPECT_EQ(trunk["0.start"], "10");
    EXPECT_EQ(trunk["1.end"], "200");

    EXPECT_EQ(Decode(kPropLspId, H("00112233445566778899aabbccddeeff"))["-1.lsp_id"],
              "00112233-4455-6677-8899-aabbccddeeff");

    auto sg = Decode(
        kPropSpoofGuard,
        H("01  00 20 01 0d b8 00 00 00 00 00 00 00 00 00 00 00 01  40  00 50 56 00 00 01  00 07"));
    EXPECT_EQ(sg["-1.enabled"], "true");
    EXPECT_EQ(sg["0.address"], "2001:db8::1");
    EXPECT_EQ(sg["0.prefix_length"], "64");
    EXPECT_EQ(sg["0.mac"], "00:50:56:00:00:01");
    EXPECT_EQ(sg["0.vlan"], "7");

    EXPECT_EQ(Decode(kPropVmTagset + 3, H("61 62 63 00"))["-1.value"], "abc");
    EXPECT_EQ(FindKcpProperty(kPropVmTagset + 3)->name, std::string("vm_tagset3"));

    auto ip = Decode(kPropIpfix, H("00 00 00 01 02 00 00 00 10 00 00 00 3c 00 00 00 0f"
                                   "01 0a 01 02 03 00 00 00 00 00 00 00 00 00 00 00 00 12 83"));
    EXPECT_EQ(ip["0.address"], "10.1.2.3");
    EXPECT_EQ(ip["0.port"], "4739");

    // Named values print their names; values without one print as numbers.
    EXPECT_EQ(Decode(kPropBlock, H("01"))["-1.state"], "BLOCK");
    EXPECT_EQ(Decode(kPropBlock, H("00"))["-1.state"], "UNBLOCK");
    EXPECT_EQ(Decode(kPropBlock, H("07"))["-1.state"], "7");
    auto shaper = Decode(kPropQosShapers, H("00 01 00 00 00 0a 00 00 00 14 00 00 10 00"
                                            "03 01 00 00 00 0a 00 00 00 14 00 00 10 00"));
    EXPECT_EQ(shaper["0.type"], "0");
    EXPECT_EQ(shaper["1.type"], "EGRESS");
}

TEST(KcpPropertyTableTest, ValuesThatDoNotFitAreRefused) {
    for (auto [key, value] : {std::pair<uint16_t, const char*>{kPropVni, "00 00 13"},
                              {kPropVni, "00 00 13 88 00"},
                              {kPropVlanTrunk, "00 0a 00"},
                              {kPropSpoofGuard, ""}})
        EXPECT_EQ(Decode(key, H(value))["invalid"], "1") << key << " " << value;
    std::string why;
    EXPECT_FALSE(ValidateKcpPropertyValue(*FindKcpProperty(kPropMacManagement), 3, &why));
    EXPECT_NE(why.find("shorter than its 8-byte head"), std::string::npos) << why;
    EXPECT_TRUE(ValidateKcpPropertyValue(*FindKcpProperty(kPropVlanTrunk), 0));
    EXPECT_TRUE(ValidateKcpPropertyValue(*FindKcpProperty(kPropPolicyRoute), 0));
}

}  // namespace
}  // namespace CfgAgent
