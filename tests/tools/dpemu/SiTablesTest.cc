// The emulator's service-insertion side: the firewall device's SI tables (strict, whole or
// nothing), the spf and ovl2 devices, and the si family's injections. Requests are written by hand
// from platform/device/SiIoctls.h.
#include <gtest/gtest.h>

#include <cerrno>

#include <nlohmann/json.hpp>

#include "tests/dataplane/ByteVec.h"
#include "tests/tools/dpemu/RecordingChannel.h"
#include "tools/ozy-dpemu/SiDevices.h"
#include "tools/ozy-dpemu/SiFamily.h"
#include "tools/ozy-dpemu/SiTables.h"
#include "tools/ozy-dpemu/TarpFamily.h"

namespace ozy::dpemu {
namespace {

using CfgAgent::test::Bytes;
using CfgAgent::test::Cat;
using CfgAgent::test::Field;
using CfgAgent::test::H;
using CfgAgent::test::Zeros;

// u32 command, u32 count, u32 entry size.
Bytes Header(uint32_t command, uint32_t count, uint32_t size) {
    return Cat({H("000000"),
                {uint8_t(command)},
                H("0000"),
                {uint8_t(count >> 8), uint8_t(count)},
                H("0000"),
                {uint8_t(size >> 8), uint8_t(size)}});
}

const Bytes kNshA = H("00000a0b ff 00 020000000001 00000000");
const Bytes kNshB = H("00000a0c fe 00 020000000002 00000000");
const char* kChain = "11111111-2222-3333-4444-55555555aaaa";
Bytes ChainEntry() {
    return Cat({Field(kChain, 37), H("01 0005 01 00"),
                H("00000102 00000a0b ff 020000000001 00 00000a0c fe 020000000002"), Zeros(9),
                Zeros(6 * 36)});
}

IoctlResult Call(SiTables& t, const Bytes& b) {
    return t.Ioctl(b.data(), b.size());
}

TEST(SiTablesTest, ProgrammedEntriesFillTheTables) {
    SiTables t;
    EXPECT_EQ(Call(t, Cat({Header(3, 2, 16), kNshA, kNshB})).status, 0u);
    EXPECT_EQ(Call(t, Cat({Header(26, 1, 294), ChainEntry()})).status, 0u);
    EXPECT_EQ(Call(t, Cat({Header(10, 1, 6), H("00000a0b 01 00")})).status, 0u);
    nlohmann::json d = t.Dump();
    EXPECT_EQ(d["nsh"]["2571/255"], "02:00:00:00:00:01");
    EXPECT_EQ(d["nsh"]["2572/254"], "02:00:00:00:00:02");
    EXPECT_EQ(d["chains"][kChain]["chain_id"], 5);
    EXPECT_EQ(d["chains"][kChain]["slots"][0]["path_id"], 258);
    EXPECT_EQ(d["chains"][kChain]["slots"][0]["reverse"]["mac"], "02:00:00:00:00:02");
    EXPECT_EQ(d["failed_spis"], nlohmann::json::array({2571}));

    // Unfail, delete (the delete form of a chain is its uuid alone), delete again: counted.
    EXPECT_EQ(Call(t, Cat({Header(10, 1, 6), H("00000a0b 02 00")})).status, 0u);
    EXPECT_EQ(Call(t, Cat({Header(5, 1, 16), kNshA})).status, 0u);
    Bytes del = Cat({Field(kChain, 37), Zeros(294 - 37)});
    EXPECT_EQ(Call(t, Cat({Header(4, 1, 294), del})).status, 0u);
    EXPECT_EQ(Call(t, Cat({Header(4, 1, 294), del})).status, 0u);
    d = t.Dump();
    EXPECT_TRUE(d["failed_spis"].empty());
    EXPECT_EQ(d["nsh"].size(), 1u);
    EXPECT_TRUE(d["chains"].empty());
    EXPECT_EQ(d["stats"]["absent_deletes"], 1);
}

TEST(SiTablesTest, StatusFollowsTheInjection) {
    SiTables t;
    IoctlResult r = Call(t, Header(11, 0, 0));
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.payload, H("00000000"));
    t.SetDown(true);
    EXPECT_EQ(Call(t, Header(11, 0, 0)).payload, H("00000001"));
    EXPECT_EQ(Call(t, Cat({Header(11, 0, 0), H("00")})).status, unsigned(EINVAL));
}

// Nothing of a refused request is applied, not even its good entries.
TEST(SiTablesTest, MalformedRequestsAreRefusedWhole) {
    Bytes badNsh = kNshB;
    badNsh[5] = 1;
    Bytes chainNotDelete = ChainEntry();
    const struct {
        const char* what;
        Bytes request;
        uint32_t status;
    } cases[] = {
        {"no header", H("00000003 0000"), EINVAL},
        {"trailing byte", Cat({Header(3, 1, 16), kNshA, H("00")}), EINVAL},
        {"count larger than the bytes", Cat({Header(3, 2, 16), kNshA}), EINVAL},
        {"entry size of another command", Cat({Header(3, 1, 6), H("00000a0b 01 00")}), EINVAL},
        {"second entry malformed", Cat({Header(3, 2, 16), kNshA, badNsh}), EINVAL},
        {"chain delete with slots", Cat({Header(4, 1, 294), chainNotDelete}), EINVAL},
        {"unknown command", Cat({Header(99, 1, 16), kNshA}), ENOTTY},
    };
    SiTables t;
    for (const auto& c : cases) {
        EXPECT_EQ(Call(t, c.request).status, c.status) << c.what;
    }
    nlohmann::json d = t.Dump();
    EXPECT_TRUE(d["nsh"].empty());
    EXPECT_TRUE(d["chains"].empty());
    EXPECT_EQ(d["stats"]["refused"], 7);
    EXPECT_EQ(d["errors"].size(), 7u);
}

TEST(SiDevicesTest, OverlayTableAndPlatformStatus) {
    Ovl2Device ovl2;
    Bytes entry = Cat({Field("dvs-1", 40), H("00001389 020000000003 0000")});
    Bytes add = Cat({H("00000001"), entry});
    EXPECT_EQ(ovl2.Ioctl(0x4F320001, add.data(), add.size()).status, 0u);
    EXPECT_EQ(ovl2.Ioctl(0x4F320001, add.data(), add.size()).status, 0u);
    nlohmann::json d = ovl2.Dump();
    ASSERT_EQ(d["entries"].size(), 1u);
    EXPECT_EQ(d["entries"][0]["mac"], "02:00:00:00:00:03");
    EXPECT_EQ(d["entries"][0]["adds"], 2);
    Bytes twoClaimed = Cat({H("00000002"), entry});
    EXPECT_EQ(ovl2.Ioctl(0x4F320002, twoClaimed.data(), twoClaimed.size()).status,
              unsigned(EINVAL));
    EXPECT_EQ(ovl2.Ioctl(0x4F320009, add.data(), add.size()).status, unsigned(ENOTTY));
    EXPECT_EQ(ovl2.Ioctl(0x4F320002, add.data(), add.size()).status, 0u);
    EXPECT_TRUE(ovl2.Dump()["entries"].empty());

    SpfDevice spf;
    test::CommandRecorder commands;
    spf.RegisterCommands(commands);
    EXPECT_EQ(spf.Ioctl(8195, nullptr, 0).payload, H("00000000"));
    EXPECT_TRUE(commands.Run("dpemu/spf-status", {"bad"}).ok);
    EXPECT_EQ(spf.Ioctl(8195, nullptr, 0).payload, H("00000001"));
    EXPECT_EQ(spf.Ioctl(8195, add.data(), 1).status, unsigned(EINVAL));
    EXPECT_EQ(spf.Ioctl(8196, nullptr, 0).status, unsigned(ENOTTY));
}

TEST(SiFamilyTest, InjectionsReachTheAgentAndTheStatus) {
    TarpFamily tarp;
    SiFamily si;
    test::RecordingChannel channel("ozy_tarp_si_krnlink", {4});
    si.Attach(&channel);
    si.FindPeers([&](const std::string& name) -> FamilyHandler* {
        return name == "filter" ? &tarp : nullptr;
    });
    test::CommandRecorder commands;
    si.RegisterCommands(commands);

    ASSERT_TRUE(commands.Run("dpemu/si-endpoint", {"vif-7"}).ok);
    ASSERT_EQ(channel.sent[4].size(), 1u);
    EXPECT_EQ(channel.sent[4][0], Cat({H("0001 002c"), Field("vif-7", 40)}));
    EXPECT_FALSE(commands.Run("dpemu/si-endpoint", {std::string(40, 'v')}).ok);
    ASSERT_TRUE(commands.Run("dpemu/si-raw", {"0005 0004"}).ok);
    EXPECT_EQ(channel.sent[4][1], H("0005 0004"));

    EXPECT_FALSE(commands.Run("dpemu/si-status", {"sideways"}).ok);
    ASSERT_TRUE(commands.Run("dpemu/si-status", {"down"}).ok);
    EXPECT_TRUE(tarp.State().Si().Down());
    EXPECT_EQ(si.Dump()["status"], "down");

    CommandResult summary = commands.Run("dpemu/si-summary", {});
    ASSERT_TRUE(summary.ok);
    EXPECT_EQ(nlohmann::json::parse(summary.text),
              (nlohmann::json{{"chains", 0}, {"slots", 0}, {"nsh", 0}, {"failed_spis", 0}}));

    Bytes unexpected = H("0009 0004");
    si.OnMessage(4, unexpected.data(), unexpected.size());
    EXPECT_EQ(si.Dump()["link_errors"].size(), 1u);
}

}  // namespace
}  // namespace ozy::dpemu
