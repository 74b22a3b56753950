// The span configuration against the emulator's firewall device in process: the include table is
// one write of the default entry (never a reset first), the exclude table is written from the
// exclusion list in the driver's 23-byte entries only when it differs, what the device returns is
// read within its bounds, and the VM list printed by the host script is checked line by line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "dfw/DfwLog.h"
#include "dfw/DfwSpanConfig.h"
#include "platform/tarp/TarpTestSeam.h"
#include "platform/tarp/TarpWire.h"
#include "tests/platform/tarp/InProcessTarp.h"
#include "tests/support/TempDir.h"
#include "tools/ozy-dpemu/TarpFamily.h"
#include "tools/ozy-dpemu/TarpState.h"

namespace CfgAgent {
namespace {

namespace w = ozy::tarp;
using Bytes = std::vector<uint8_t>;

const char* const kVnic1 = "d7000000-0000-4000-8000-000000000001";
const char* const kVnic2 = "d7000000-0000-4000-8000-000000000002";

// A DVF request as the driver reads it: u32 command, then the buffer.
struct DvfCall {
    uint32_t command;
    Bytes buffer;
};

class DfwSpanConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = g_dfwLogLevel;
        g_dfwLogLevel = kLogFatal;
        TarpFirewall::detail::SetDeviceOpenerForTest(&dev_);
        dev_.inject = [this](uint32_t command, const uint8_t* p,
                             size_t n) -> std::optional<uint32_t> {
            if (command != w::kCmdDvfIoctl || n < 4)
                return std::nullopt;
            uint32_t sub = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
            calls_.push_back({sub, Bytes(p + 4, p + n)});
            if (failWith_ != 0 && sub == failCommand_)
                return failWith_;
            if (reply_ && sub == replyCommand_) {
                dev_.injectedPayload = *reply_;
                return 0u;
            }
            return std::nullopt;
        };
    }
    void TearDown() override {
        TarpFirewall::detail::SetDeviceOpenerForTest(nullptr);
        g_dfwLogLevel = saved_;
    }

    nlohmann::json Tables(const char* agent = w::kAgentFirewall) {
        return dev_.state->Dump()["tables"].value(agent, nlohmann::json::object());
    }
    size_t Calls(uint32_t sub) const {
        size_t n = 0;
        for (const DvfCall& c : calls_)
            n += c.command == sub;
        return n;
    }

    int saved_ = 0;
    ozy::tarp::test::InProcessTarp dev_;
    std::vector<DvfCall> calls_;
    uint32_t failCommand_ = 0, failWith_ = 0;
    uint32_t replyCommand_ = 0;
    std::optional<Bytes> reply_;
};

// The 44-byte header of "orvane-sfw" for `table` with `count` entries.
Bytes Header(uint8_t table, uint8_t count) {
    Bytes h(44, 0);
    std::memcpy(h.data(), "orvane-sfw", 10);
    h[32] = table;
    h[39] = count;
    return h;
}

TEST_F(DfwSpanConfigTest, TheIncludeTableIsOneWriteOfTheDefaultEntryOrNothing) {
    DfwSpanConfig span(w::kAgentFirewall);
    ASSERT_TRUE(span.SetEnabled(true));
    Bytes want = Header(1, 1);
    const uint8_t entry[23] = {2, 23};  // default entry: all-zero vnic, no flags
    want.insert(want.end(), entry, entry + 23);
    ASSERT_EQ(calls_.size(), 1u);
    EXPECT_EQ(calls_[0].command, 1u);
    EXPECT_EQ(calls_[0].buffer, want);
    EXPECT_EQ(Tables()["include"], nlohmann::json({"default"}));

    ASSERT_TRUE(span.SetEnabled(false));
    EXPECT_EQ(calls_.back().buffer, Header(1, 0));
    EXPECT_EQ(Tables()["include"], nlohmann::json::array());
    EXPECT_EQ(Calls(w::kDvfResetTable), 0u) << "never reset then written";

    failCommand_ = w::kDvfWriteTable;
    failWith_ = w::kStatusNoMemory;
    EXPECT_FALSE(span.SetEnabled(true));
}

TEST_F(DfwSpanConfigTest, ExclusionsAreWrittenAsVnicEntriesOnlyWhenTheTableDiffers) {
    DfwSpanConfig span(w::kAgentFirewall);
    bool written = false;
    // Upper case and a bad id: the bad one is left out, the other written in the driver's form.
    ASSERT_TRUE(span.SyncExclusions({"D7000000-0000-4000-8000-000000000001", "vif-9"}, {"vif-1"},
                                    true, &written));
    EXPECT_TRUE(written);
    Bytes want = Header(2, 1);
    const uint8_t entry[23] = {1, 23, 0xd7, 0, 0, 0, 0, 0, 0x40, 0, 0x80, 0,
                               0, 0,  0,    0, 0, 1, 0, 0, 0,    0, 0};
    want.insert(want.end(), entry, entry + 23);
    ASSERT_FALSE(calls_.empty());
    EXPECT_EQ(calls_.back().command, 1u);
    EXPECT_EQ(calls_.back().buffer, want);
    EXPECT_EQ(Tables()["exclude"], nlohmann::json({kVnic1}));
    EXPECT_EQ(span.Exclude(), std::vector<std::string>({kVnic1}));

    const struct {
        const char* what;
        std::vector<std::string> list;
        bool writes;
        nlohmann::json table;
    } steps[] = {
        {"the same list: read, not written", {kVnic1}, false, {kVnic1}},
        {"one more", {kVnic2, kVnic1}, true, {kVnic1, kVnic2}},
        {"one less", {kVnic2}, true, {kVnic2}},
        {"none", {}, true, nlohmann::json::array()},
        {"none again", {}, false, nlohmann::json::array()},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.what);
        const size_t writes = Calls(w::kDvfWriteTable);
        ASSERT_TRUE(span.SyncExclusions(s.list, {}, false, &written));
        EXPECT_EQ(written, s.writes);
        EXPECT_EQ(Calls(w::kDvfWriteTable) - writes, s.writes ? 1u : 0u);
        EXPECT_EQ(Tables()["exclude"], s.table);
    }
    std::vector<std::string> tooMany(DfwSpanConfig::kMaxExcluded + 1, kVnic1);
    EXPECT_FALSE(span.WriteExclude(tooMany));
    failCommand_ = w::kDvfWriteTable;
    failWith_ = 42;
    EXPECT_FALSE(span.SyncExclusions({kVnic1}, {}, false, &written));
    EXPECT_FALSE(written);
}

TEST_F(DfwSpanConfigTest, WhatTheDeviceReturnsIsReadWithinItsBounds) {
    DfwSpanConfig span(w::kAgentFirewall);
    std::string why;
    // The size the device claims.
    const struct {
        const char* what;
        uint8_t total[4];  // big-endian
        bool ok;
    } sizes[] = {{"ten million", {0x00, 0x98, 0x96, 0x80}, false},
                 {"one over the cap", {0x00, 0x00, 0x10, 0x01}, false}};
    for (const auto& s : sizes) {
        SCOPED_TRACE(s.what);
        Bytes r = Header(2, 0);
        std::memcpy(r.data() + 40, s.total, 4);
        replyCommand_ = w::kDvfExcludeSize;
        reply_ = r;
        std::vector<std::string> got;
        EXPECT_EQ(span.ReadExclude(&got), s.ok);
        EXPECT_EQ(Calls(w::kDvfReadExclude), 0u) << "no read of what cannot be held";
    }
    // The device says 3 are there; its reply holds a good entry, one of a bad length, one of a
    // bad type, and claims 9 returned.
    ASSERT_TRUE(span.WriteExclude({kVnic1, kVnic2, "d7000000-0000-4000-8000-000000000003"}));
    reply_.reset();
    Bytes r = Header(2, 9);
    r[43] = 3;
    const uint8_t good[23] = {1, 23, 0xd7, 0, 0, 0, 0, 0, 0x40, 0, 0x80, 0, 0, 0, 0, 0, 0, 2};
    const uint8_t badLength[23] = {1, 22, 0xd7};
    const uint8_t badType[23] = {9, 23, 0xd7};
    for (const uint8_t* e : {good, badLength, badType})
        r.insert(r.end(), e, e + 23);
    replyCommand_ = w::kDvfReadExclude;
    reply_ = r;
    std::vector<std::string> got;
    ASSERT_TRUE(span.ReadExclude(&got));
    EXPECT_EQ(got, std::vector<std::string>({kVnic2}));
}

TEST_F(DfwSpanConfigTest, VmListLinesAreCheckedOneByOne) {
    const struct {
        const char* what;
        std::string output;
        std::vector<DfwSpanConfig::Vm> vms;
    } cases[] = {
        {"two VMs, blank lines, CRLF and upper case",
         "d7000000-0000-4000-8000-0000000000AA 17\r\n\n  "
         "d7000000-0000-4000-8000-0000000000bb\t4294967295\n",
         {{"d7000000-0000-4000-8000-0000000000aa", 17},
          {"d7000000-0000-4000-8000-0000000000bb", 4294967295u}}},
        {"world ids that are not 1 to 2^32-1",
         "d7000000-0000-4000-8000-000000000001 0\nd7000000-0000-4000-8000-000000000001 4294967296\n"
         "d7000000-0000-4000-8000-000000000001 12a\nd7000000-0000-4000-8000-000000000001 -1\n"
         "d7000000-0000-4000-8000-000000000001 99999999999\n",
         {}},
        {"VM ids not in uuid form",
         "d7000000-0000-4000-8000-00000000000 1\nd7000000x0000-4000-8000-000000000001 1\n"
         "g7000000-0000-4000-8000-000000000001 1\n",
         {}},
        {"one field, three fields",
         "d7000000-0000-4000-8000-000000000001\nd7000000-0000-4000-8000-000000000001 1 2\n"
         "d7000000-0000-4000-8000-000000000002 2",
         {{"d7000000-0000-4000-8000-000000000002", 2}}},
        {"an overlong line is skipped whole",
         std::string(200, 'a') + " 1\nd7000000-0000-4000-8000-000000000003 3\n",
         {{"d7000000-0000-4000-8000-000000000003", 3}}},
        {"binary bytes", std::string("\0\xff\x01 1\n", 6), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(DfwSpanConfig::ParseVmList(c.output), c.vms);
    }
    std::string many;
    for (int i = 0; i < 5000; ++i)
        many += "d7000000-0000-4000-8000-000000000001 1\n";
    EXPECT_EQ(DfwSpanConfig::ParseVmList(many).size(), DfwSpanConfig::kMaxVms);
}

TEST_F(DfwSpanConfigTest, ARevalidationNamesTheAgentTheVmAndItsWorld) {
    DfwSpanConfig span(w::kAgentServiceInsertion);
    ASSERT_EQ(span.RevalidateAll(
                  {{"d7000000-0000-4000-8000-0000000000aa", 0x01020304}, {"not a uuid", 5}}),
              1u);
    Bytes want(52, 0);
    std::memcpy(want.data(), "orvane-si", 9);
    const uint8_t vm[16] = {0xd7, 0, 0, 0, 0, 0, 0x40, 0, 0x80, 0, 0, 0, 0, 0, 0, 0xaa};
    std::memcpy(want.data() + 32, vm, 16);
    want[48] = 1, want[49] = 2, want[50] = 3, want[51] = 4;
    ASSERT_EQ(calls_.size(), 1u);
    EXPECT_EQ(calls_[0].command, 7u);
    EXPECT_EQ(calls_[0].buffer, want);
    nlohmann::json r = dev_.state->Dump()["revalidations"];
    EXPECT_EQ(r["total"], 1);
    EXPECT_EQ(r["last"][0]["vm"], "d7000000-0000-4000-8000-0000000000aa");
    EXPECT_EQ(r["last"][0]["world_id"], 0x01020304);
    failCommand_ = 7;
    failWith_ = w::kStatusInvalidConfig;
    EXPECT_FALSE(span.Revalidate({"d7000000-0000-4000-8000-0000000000aa", 1}));
}

TEST(DfwVmListTest, TheEmulatorsScriptListsTheVmsTheAgentReads) {
    test::TempDir root("ozy-vmlist");
    ::setenv("OZY_HOST_ROOT", root.path().c_str(), 1);
    const int saved = g_dfwLogLevel;
    g_dfwLogLevel = kLogFatal;
    std::vector<DfwSpanConfig::Vm> vms = {{"x", 1}};
    EXPECT_TRUE(DfwSpanConfig::ListVms(&vms)) << "no script: no VM";
    EXPECT_TRUE(vms.empty());
    ozy::dpemu::TarpFamily emu;
    const struct {
        std::vector<std::string> command;
        bool ok;
    } steps[] = {
        {{"dpemu/vm-add", "d8000000-0000-4000-8000-000000000002", "7"}, true},
        {{"dpemu/vm-add", "d8000000-0000-4000-8000-000000000001", "42"}, true},
        {{"dpemu/vm-add", "d8000000-0000-4000-8000-000000000003", "0"}, false},
        {{"dpemu/vm-add", "d8000000;rm -rf /", "1"}, false},
        {{"dpemu/vm-del", "d8000000-0000-4000-8000-000000000002"}, true},
        {{"dpemu/vm-del", "d8000000-0000-4000-8000-000000000002"}, false},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.command[0] + " " + s.command[1]);
        std::vector<std::string> args(s.command.begin() + 1, s.command.end());
        auto r = s.command[0] == "dpemu/vm-add" ? emu.VmAdd(args) : emu.VmDel(args);
        EXPECT_EQ(r.ok, s.ok) << r.text;
    }
    ASSERT_TRUE(DfwSpanConfig::ListVms(&vms));
    EXPECT_EQ(vms, (std::vector<DfwSpanConfig::Vm>{{"d8000000-0000-4000-8000-000000000001", 42}}));
    ::unsetenv("OZY_HOST_ROOT");
    g_dfwLogLevel = saved;
}

}  // namespace
}  // namespace CfgAgent
