// The switch-security host side driven directly: solicitations on command, the agent's replies
// kept by VIF, and malformed replies refused.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "dataplane/SwsecProtocol.h"
#include "tests/dataplane/ByteVec.h"
#include "tests/support/LogCapture.h"
#include "tests/tools/dpemu/RecordingChannel.h"
#include "tools/ozy-dpemu/SwsecFamily.h"

namespace ozy::dpemu {
namespace {

using namespace CfgAgent::test;
namespace swsec = CfgAgent::swsec;

class Commands : public CommandTable {
  public:
    void Add(const std::string& name, const std::string&, int, int, CommandFn fn) override {
        fns[name] = std::move(fn);
    }
    std::map<std::string, CommandFn> fns;
};

class SwsecFamilyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        family.Attach(&channel);
        family.RegisterCommands(commands);
    }
    CommandResult Solicit(const std::string& vif) {
        return commands.fns.at("dpemu/swsec-solicit")({vif});
    }
    void Receive(const Bytes& msg, uint64_t conn = 2) {
        family.OnMessage(conn, msg.data(), msg.size());
    }

    LogCapture log{CfgAgent::kLogDebug};
    test::RecordingChannel channel{"swsec_krnlink", {}};
    Commands commands;
    SwsecFamily family;
};

TEST_F(SwsecFamilyTest, SolicitationGoesToTheNewestConnection) {
    EXPECT_FALSE(Solicit("vif-1").ok) << "no agent connected";
    channel.conns = {1, 2};
    family.OnConnect(1);
    family.OnConnect(2);
    CommandResult r = Solicit("vif-1");
    EXPECT_TRUE(r.ok) << r.text;
    ASSERT_EQ(channel.sent[2].size(), 1u);
    EXPECT_EQ(channel.sent[2][0], swsec::BuildBindingSolicitation("vif-1"));
    EXPECT_FALSE(Solicit(std::string(48, 'v')).ok);
    EXPECT_EQ(family.Dump()["solicitations"], 1);
}

TEST_F(SwsecFamilyTest, RepliesAreKeptByVifAndMalformedOnesRefused) {
    swsec::BindingEntry e;
    e.ipv4 = true;
    e.address = {10, 0, 0, 5};
    e.mac = {0, 0x50, 0x56, 0xaa, 0xbb, 1};
    Receive(swsec::BuildVmToolsBindings("vif-1", {e}));
    Receive(swsec::BuildVmToolsBindings("vif-2", {}));
    nlohmann::json d = family.Dump();
    EXPECT_EQ(d["replies"], 2);
    ASSERT_EQ(d["bindings"]["vif-1"].size(), 1u);
    EXPECT_EQ(d["bindings"]["vif-1"][0]["ip"], "10.0.0.5");
    EXPECT_EQ(d["bindings"]["vif-1"][0]["mac"], "00:50:56:aa:bb:01");
    EXPECT_TRUE(d["bindings"]["vif-2"].empty());
    // A later reply replaces the earlier one.
    Receive(swsec::BuildVmToolsBindings("vif-1", {}));
    EXPECT_TRUE(family.Dump()["bindings"]["vif-1"].empty());

    // Three entries announced, one present; another type; a head cut short.
    CfgAgent::DpMsg lying = swsec::BuildVmToolsBindings("vif-3", {e});
    lying[53] = 3;
    Receive(lying);
    Receive(H("00 01 00 04"));
    Receive(Cat({H("00 02 00 10"), Zeros(12)}));
    d = family.Dump();
    EXPECT_EQ(d["stats"]["errors"], 3);
    EXPECT_EQ(d["errors"].size(), 3u);
    EXPECT_FALSE(d["bindings"].contains("vif-3"));
    EXPECT_EQ(d["replies"], 3);
}

}  // namespace
}  // namespace ozy::dpemu
