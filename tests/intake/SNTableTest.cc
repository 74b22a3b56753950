// The SmartNIC table: backing entries, the vdb index and the full-sync sweep.
#include <gtest/gtest.h>

#include "intake/SNTable.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {
namespace {

SNTable::Backing Entry(uint16_t vdb, const std::string& active = "sn-a",
                       const std::string& standby = "") {
    SNTable::Backing b;
    b.vdb = vdb;
    b.activeSn = active;
    b.standbySn = standby;
    b.currentActiveSn = active;
    return b;
}

TEST(SNTableTest, AddUpdateAndRemoveKeepTheVdbIndex) {
    LogCapture logs;
    SNTable t;
    SNTable::Change c = t.Update("hs-1", Entry(2));
    EXPECT_TRUE(c.added);
    EXPECT_FALSE(c.vdbChanged());
    EXPECT_TRUE(t.Update("hs-2", Entry(2)).added);
    EXPECT_EQ(t.HostSwitchCount(2), 2u);
    // Same vdb, other SmartNICs.
    c = t.Update("hs-1", Entry(2, "sn-b", "sn-c"));
    EXPECT_FALSE(c.added);
    EXPECT_FALSE(c.vdbChanged());
    EXPECT_TRUE(
        logs.Contains("smartnicTable: The active dpu config is changed from sn-a to sn-b."));
    EXPECT_TRUE(logs.Contains("smartnicTable: The standby dpu config is changed from  to sn-c."));
    // Moved to vdb 3.
    c = t.Update("hs-1", Entry(3));
    EXPECT_TRUE(c.vdbChanged());
    EXPECT_EQ(c.oldVdb, 2);
    EXPECT_EQ(t.HostSwitchesOf(2), std::set<std::string>{"hs-2"});
    EXPECT_EQ(t.HostSwitchesOf(3), std::set<std::string>{"hs-1"});
    EXPECT_EQ(t.Remove("hs-2"), std::optional<uint16_t>(2));
    EXPECT_EQ(t.HostSwitchCount(2), 0u);
    EXPECT_EQ(t.Remove("hs-2"), std::nullopt);
    EXPECT_TRUE(logs.Contains("smartnicTable: Failed to find host switch id hs-2 in deleting"));
    EXPECT_EQ(t.Size(), 1u);
    EXPECT_EQ(t.Find("hs-1")->vdb, 3);
}

TEST(SNTableTest, SweepRemovesWhatTheFullSyncDidNotConfirm) {
    SNTable t;
    t.SetVersion(1);
    t.Update("hs-1", Entry(2));
    t.Update("hs-2", Entry(3));
    t.Update("hs-3", Entry(3));
    t.SetVersion(2);
    EXPECT_TRUE(t.Restamp("hs-1"));
    t.Update("hs-3", Entry(3));  // resent: stamped too
    EXPECT_FALSE(t.Restamp("hs-9"));
    std::vector<SNTable::Removed> gone = t.Sweep();
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(gone[0].hostSwitch, "hs-2");
    EXPECT_EQ(gone[0].vdb, 3);
    EXPECT_EQ(t.HostSwitchesOf(3), std::set<std::string>{"hs-3"});
    EXPECT_TRUE(t.Sweep().empty());
}

TEST(SNTableTest, DumpListsEveryEntryWithItsVdb) {
    SNTable t;
    t.SetVersion(4);
    t.Update("hs-1", Entry(7, "sn-a", "sn-b"));
    const std::vector<std::string> lines = t.Dump();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "smartnicTable: Got hostswitch mapping table size 1, backingTable_ size 1");
    EXPECT_EQ(lines[1],
              "smartnicTable: Got hostswitch hs-1, active sn-a, standy sn-b, current active sn-a, "
              "vdb 7, version 4");
}

}  // namespace
}  // namespace CfgAgent::test
