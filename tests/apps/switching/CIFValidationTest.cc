// A container interface's VIF message, binding MAC and child port id: what passes and what is
// refused with which line.
#include "apps/switching/CIFValidation.h"

#include <gtest/gtest.h>

#include <ostream>

#include "tests/support/LogCapture.h"

namespace CfgAgent {
namespace {

constexpr const char* kVmPort = "5b000000-0000-4000-8000-0000000000a1";

struct VifCase {
    const char* name;
    const char* hostVif;
    std::optional<uint32_t> vlan;
    const char* refused;  // nullptr when accepted
};

void PrintTo(const VifCase& c, std::ostream* os) {
    *os << c.name;
}

class CifVifTest : public ::testing::TestWithParam<VifCase> {};

TEST_P(CifVifTest, HostVifAndVlan) {
    const VifCase& c = GetParam();
    test::LogCapture logs(kLogInfo);
    EXPECT_EQ(ValidateCifVif(c.hostVif, c.vlan), c.refused == nullptr);
    if (c.refused)
        EXPECT_TRUE(logs.ContainsWithCode(c.refused, "LCP00514")) << logs.Dump();
    else
        EXPECT_EQ(logs.Entries().size(), 0u) << logs.Dump();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CifVifTest,
    ::testing::Values(VifCase{"Vlan1", "vif-1", 1u, nullptr},
                      VifCase{"Vlan10", "vif-1", 10u, nullptr},
                      VifCase{"Vlan4094", "vif-1", 4094u, nullptr},
                      VifCase{"Vlan0", "vif-1", 0u, "Invalid CIF vlan ID 0"},
                      VifCase{"Vlan4095", "vif-1", 4095u, "Invalid CIF vlan ID 4095"},
                      VifCase{"Vlan4096", "vif-1", 4096u, "Invalid CIF vlan ID 4096"},
                      VifCase{"Vlan4097", "vif-1", 4097u, "Invalid CIF vlan ID 4097"},
                      VifCase{"NoVlan", "vif-1", std::nullopt,
                              "No vlan ID provided in CIF VIF message"},
                      VifCase{"NoHostVif", "", 10u, "No host VIF ID provided in CIF VIF message"}),
    [](const ::testing::TestParamInfo<VifCase>& i) { return std::string(i.param.name); });

struct MacCase {
    const char* name;
    std::vector<std::optional<uint64_t>> macs;
    std::optional<uint64_t> mac;  // accepted and returned
    const char* refused;
};

void PrintTo(const MacCase& c, std::ostream* os) {
    *os << c.name;
}

class CifMacTest : public ::testing::TestWithParam<MacCase> {};

TEST_P(CifMacTest, FirstMacMustBeUnicast) {
    const MacCase& c = GetParam();
    test::LogCapture logs(kLogInfo);
    uint64_t mac = 0;
    EXPECT_EQ(ValidateCifMac(c.macs, &mac), c.mac.has_value());
    if (c.mac)
        EXPECT_EQ(mac, *c.mac);
    else
        EXPECT_TRUE(logs.ContainsWithCode(c.refused, "LCP00514")) << logs.Dump();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CifMacTest,
    ::testing::Values(
        MacCase{"Unicast", {0x020000000001ull}, 0x020000000001ull, nullptr},
        MacCase{
            "AfterABindingWithout", {std::nullopt, 0x0a0000000002ull}, 0x0a0000000002ull, nullptr},
        MacCase{"Multicast",
                {0x01005e000001ull},
                std::nullopt,
                "Invalid unicast MAC provided in address binding message"},
        MacCase{"Broadcast",
                {0xffffffffffffull},
                std::nullopt,
                "Invalid unicast MAC provided in address binding message"},
        MacCase{"AllZero",
                {0ull},
                std::nullopt,
                "Invalid unicast MAC provided in address binding message"},
        MacCase{"Above48Bits",
                {0x1020000000001ull},
                std::nullopt,
                "Invalid unicast MAC provided in address binding message"},
        MacCase{"NoMac",
                {std::nullopt},
                std::nullopt,
                "No valid MAC provided in address binding message"},
        MacCase{"NoBinding", {}, std::nullopt, "No valid MAC provided in address binding message"}),
    [](const ::testing::TestParamInfo<MacCase>& i) { return std::string(i.param.name); });

struct ChildCase {
    const char* name;
    std::string id;
    std::optional<uint32_t> index;  // accepted
    std::string refused;
};

void PrintTo(const ChildCase& c, std::ostream* os) {
    *os << c.name;
}

class ChildPortIdTest : public ::testing::TestWithParam<ChildCase> {};

TEST_P(ChildPortIdTest, UuidThenIndex) {
    const ChildCase& c = GetParam();
    test::LogCapture logs(kLogInfo);
    std::optional<ChildPortId> got = ParseChildPortId(c.id);
    ASSERT_EQ(got.has_value(), c.index.has_value()) << logs.Dump();
    if (got) {
        EXPECT_EQ(got->vmPortId, kVmPort);
        EXPECT_EQ(got->index, *c.index);
    } else {
        EXPECT_TRUE(logs.ContainsWithCode(c.refused, "LCP00514")) << logs.Dump();
    }
}

const std::string kPort = kVmPort;

INSTANTIATE_TEST_SUITE_P(
    Cases, ChildPortIdTest,
    ::testing::Values(ChildCase{"Index0", kPort + "_0", 0u, ""},
                      ChildCase{"Index7", kPort + "_7", 7u, ""},
                      ChildCase{"Largest", kPort + "_4294967295", 4294967295u, ""},
                      ChildCase{"TooLarge", kPort + "_4294967296", std::nullopt,
                                "has invalid suffix 4294967296"},
                      ChildCase{"TwentyDigits", kPort + "_12345678901234567890", std::nullopt,
                                "has invalid suffix 12345678901234567890"},
                      ChildCase{"Letter", kPort + "_1a", std::nullopt,
                                "Child segment port " + kPort + "_1a has invalid suffix 1a"},
                      ChildCase{"Sign", kPort + "_-1", std::nullopt, "has invalid suffix -1"},
                      ChildCase{"EmptySuffix", kPort + "_", std::nullopt, "has invalid suffix"},
                      ChildCase{"NoSeparator", kPort, std::nullopt, "has invalid suffix"},
                      ChildCase{"NotAUuid", "vm-port_1", std::nullopt,
                                "Child segment port vm-port_1 has invalid prefix vm-port"},
                      ChildCase{"UuidWithoutDashes", "5b0000000000400080000000000000a1xxxx_1",
                                std::nullopt, "has invalid prefix"},
                      ChildCase{"Empty", "", std::nullopt, "has invalid prefix"}),
    [](const ::testing::TestParamInfo<ChildCase>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace CfgAgent
