// The "ipfix" port property value and the firewall ruleset, checked against bytes and text written
// from their layouts; the collector checks and the defaults of a port's configuration.
#include <gtest/gtest.h>

#include <optional>

#include "dataplane/KcpPropertyTable.h"
#include "proto/cairndb_ipfix.pb.h"
#include "services/ipfix/IpfixFirewall.h"
#include "services/ipfix/IpfixPortConfig.h"
#include "tests/dataplane/ByteVec.h"
#include "tests/support/LogLines.h"

namespace CfgAgent::test {
namespace {

namespace pb = orvane::ozy::cairndb;

pb::IpfixCollectorMsg V4(uint32_t address, uint32_t port) {
    pb::IpfixCollectorMsg c;
    c.mutable_ip()->set_ipv4(address);
    c.set_port(port);
    return c;
}

pb::IpfixCollectorMsg V6(std::string address, uint32_t port) {
    pb::IpfixCollectorMsg c;
    c.mutable_ip()->set_ipv6(std::move(address));
    c.set_port(port);
    return c;
}

const std::string kFd00_1 = std::string("\xfd\x00", 2) + std::string(13, '\0') + "\x01";

TEST(IpfixPortConfigTest, ValueIsTheHeadThenOneEntryPerCollector) {
    pb::IpfixCollectorProfileMsg profile;
    *profile.add_collectors() = V4(0x0a010203, 4739);
    *profile.add_collectors() = V6(kFd00_1, 2055);
    std::vector<IpfixCollector> collectors;
    std::string why;
    ASSERT_TRUE(ReadIpfixCollectors(profile, &collectors, &why)) << why;
    EXPECT_EQ(collectors[0].AddressText(), "10.1.2.3");
    EXPECT_EQ(collectors[1].AddressText(), "fd00::1");

    pb::IpfixSwitchProfileMsg sp;
    sp.set_observation_domain_id(7);
    sp.set_sampling_location(2);
    sp.mutable_config()->set_sampling_probability(4096);
    sp.mutable_config()->set_active_timeout(60);
    sp.mutable_config()->set_idle_timeout(15);
    IpfixPortConfig c;
    ASSERT_TRUE(BuildIpfixOzyPortPropUpdateData("p", sp, collectors, &c, &why)) << why;
    // domain, sampling location, probability, active and idle timeouts; then per collector the
    // kind byte (1 IPv4, 0 IPv6), 16 address bytes and the UDP port.
    EXPECT_EQ(c.Encode(), H("00 00 00 07  02  00 00 10 00  00 00 00 3c  00 00 00 0f"
                            "01 0a 01 02 03 00 00 00 00 00 00 00 00 00 00 00 00  12 83"
                            "00 fd 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01  08 07"));
    std::string problem;
    EXPECT_TRUE(kcp::ValidateKcpPropertyValue(*kcp::FindKcpProperty(kcp::kPropIpfix),
                                              c.Encode().size(), &problem))
        << problem;
}

TEST(IpfixPortConfigTest, CollectorsWithoutAddressOrWithABadPortRefuseTheProfile) {
    struct Case {
        pb::IpfixCollectorMsg collector;
        const char* why;
    } cases[] = {
        {V4(0x7f000001, 0), "collector 1 has UDP port 0"},
        {V4(0x7f000001, 65536), "collector 1 has UDP port 65536"},
        {V6(std::string(15, '\1'), 4739), "collector 1 has no IPv4 or 16-byte IPv6 address"},
        {pb::IpfixCollectorMsg(), "collector 1 has no IPv4 or 16-byte IPv6 address"},
    };
    for (const Case& c : cases) {
        pb::IpfixCollectorProfileMsg profile;
        *profile.add_collectors() = V4(0x7f000001, 65535);  // the highest port is fine
        *profile.add_collectors() = c.collector;
        std::vector<IpfixCollector> out;
        std::string why;
        EXPECT_FALSE(ReadIpfixCollectors(profile, &out, &why)) << c.why;
        EXPECT_EQ(why, c.why);
    }
    pb::IpfixCollectorProfileMsg noPort;
    noPort.add_collectors()->mutable_ip()->set_ipv4(1);
    std::vector<IpfixCollector> out;
    std::string why;
    EXPECT_FALSE(ReadIpfixCollectors(noPort, &out, &why));
    EXPECT_EQ(why, "collector 0 has UDP port none");
}

TEST(IpfixPortConfigTest, MissingOrUnknownSettingsTakeTheDefaults) {
    LogCapture log(kLogDebug);
    std::vector<IpfixCollector> one(1);
    one[0].port = 4739;
    struct Case {
        bool domain;
        std::optional<uint32_t> location;
        uint32_t wantDomain;
        uint8_t wantLocation;
    } cases[] = {{false, std::nullopt, 0, 1}, {true, 3, 9, 3}, {true, 7, 9, 1}, {true, 0, 9, 1}};
    for (const Case& c : cases) {
        pb::IpfixSwitchProfileMsg sp;
        if (c.domain)
            sp.set_observation_domain_id(9);
        if (c.location)
            sp.set_sampling_location(*c.location);
        IpfixPortConfig out;
        std::string why;
        ASSERT_TRUE(BuildIpfixOzyPortPropUpdateData("p", sp, one, &out, &why));
        EXPECT_EQ(out.observationDomainId, c.wantDomain);
        EXPECT_EQ(out.samplingLocation, c.wantLocation);
    }
    EXPECT_EQ(log.Count("GeneratePortIpfixConfig: assign default domain ID"), 1u);
    EXPECT_EQ(log.Count("Ipfix: unknown sampling location, using default"), 2u);
}

TEST(IpfixPortConfigTest, CollectorsBeyondThePropertyLengthAreRefused) {
    const auto* desc = kcp::FindKcpProperty(kcp::kPropIpfix);
    std::vector<IpfixCollector> many(IpfixPortConfig::kMaxCollectors);
    for (size_t i = 0; i < many.size(); ++i)
        many[i].port = static_cast<uint16_t>(i + 1);
    IpfixPortConfig c;
    std::string why;
    ASSERT_TRUE(BuildIpfixOzyPortPropUpdateData("p", {}, many, &c, &why));
    // The largest accepted value still makes a property element.
    EXPECT_FALSE(kcp::MakeKcpProperty(desc->key, c.Encode()).empty());
    EXPECT_LE(c.Encode().size() + 4, 0xffffu);
    many.emplace_back();
    EXPECT_FALSE(BuildIpfixOzyPortPropUpdateData("p", {}, many, &c, &why));
    EXPECT_EQ(why, std::to_string(many.size()) + " collectors, at most " +
                       std::to_string(IpfixPortConfig::kMaxCollectors) + " fit the property");
}

TEST(IpfixFirewallTest, RulesetHasOneRuleForEachPortInOrder) {
    EXPECT_EQ(IpfixFirewall::RulesetXml({4739, 2055}),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<ConfigRoot>\n"
              "  <service id=\"0301\">\n"
              "    <id>ipfix</id>\n"
              "    <enabled>false</enabled>\n"
              "    <required>false</required>\n"
              "    <rule id=\"0000\">\n"
              "      <direction>outbound</direction>\n"
              "      <protocol>udp</protocol>\n"
              "      <porttype>dst</porttype>\n"
              "      <port>2055</port>\n"
              "    </rule>\n"
              "    <rule id=\"0001\">\n"
              "      <direction>outbound</direction>\n"
              "      <protocol>udp</protocol>\n"
              "      <porttype>dst</porttype>\n"
              "      <port>4739</port>\n"
              "    </rule>\n"
              "  </service>\n"
              "</ConfigRoot>\n");
}

}  // namespace
}  // namespace CfgAgent::test
