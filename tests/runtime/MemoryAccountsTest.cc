// The memory section: registered accounts come and go, the allocator's own statistics follow a
// large allocation, and freed pages can be handed back.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include <nlohmann/json.hpp>

#include "runtime/MemoryAccounts.h"

namespace {

size_t AccountBytes(const nlohmann::json& report, const std::string& name, int* seen) {
    size_t bytes = 0;
    *seen = 0;
    for (const auto& a : report["components"]) {
        if (a["name"] == name) {
            ++*seen;
            bytes = a["bytes"].get<size_t>();
        }
    }
    return bytes;
}

TEST(MemoryAccountsTest, TheReportListsRegisteredAccountsUntilTheyGo) {
    size_t held = 1234;
    ozy::MemoryAccounts::Id a = ozy::MemoryAccounts::Register("test account", [&] { return held; });
    ozy::MemoryAccounts::Id b = ozy::MemoryAccounts::Register("other account", [] { return 7; });
    EXPECT_NE(a, b);
    int seen = 0;
    nlohmann::json j = nlohmann::json::parse(ozy::MemoryAccounts::ReportJson());
    EXPECT_EQ(AccountBytes(j, "test account", &seen), 1234u);
    EXPECT_EQ(seen, 1) << j;
    held = 99;  // read when the report is made
    j = nlohmann::json::parse(ozy::MemoryAccounts::ReportJson());
    EXPECT_EQ(AccountBytes(j, "test account", &seen), 99u);
    ozy::MemoryAccounts::Unregister(a);
    j = nlohmann::json::parse(ozy::MemoryAccounts::ReportJson());
    AccountBytes(j, "test account", &seen);
    EXPECT_EQ(seen, 0) << j;
    EXPECT_EQ(AccountBytes(j, "other account", &seen), 7u);
    EXPECT_EQ(seen, 1) << j;
    ozy::MemoryAccounts::Unregister(b);
    EXPECT_TRUE(j["allocator"].contains("held")) << j;
}

// The daemon's allocator settings: a block of the mapping size or more is mapped on its own every
// time and unmapped when freed, also after a larger one was freed (glibc's own threshold would have
// risen to that block's size and served the next smaller one from an arena, where its pages stay).
TEST(MemoryAccountsTest, TunedAllocatorMapsLargeBlocksEveryTime) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator has no such settings";
#endif
    ASSERT_TRUE(ozy::TuneAllocator(2, 128 * 1024));
    static char* volatile keep = nullptr;  // the blocks are used: not elided
    for (size_t bytes : {size_t{8} << 20, size_t{1} << 20, size_t{256} << 10}) {
        const size_t before = mallinfo2().hblkhd;
        keep = static_cast<char*>(std::malloc(bytes));
        ASSERT_NE(keep, nullptr);
        keep[bytes - 1] = 1;
        EXPECT_GE(mallinfo2().hblkhd, before + bytes) << bytes;
        std::free(keep);
        keep = nullptr;
        EXPECT_LT(mallinfo2().hblkhd, before + bytes) << bytes;
    }
}

TEST(MemoryAccountsTest, TheAllocatorStatisticsFollowAllocationsAndTrimming) {
    ozy::AllocatorStats s0 = ozy::ReadAllocatorStats();
    // Many small blocks (the shape of cached state), not one mapped block.
    auto blocks = std::make_unique<std::vector<std::unique_ptr<char[]>>>();
    for (int i = 0; i < 64 * 1024; ++i)
        blocks->emplace_back(new char[200]);
    ozy::AllocatorStats s1 = ozy::ReadAllocatorStats();
    EXPECT_GE(s1.inUse, s0.inUse + 64 * 1024 * 200) << s0.inUse << " " << s1.inUse;
    EXPECT_GE(s1.held, s1.inUse);
    blocks.reset();
    ozy::AllocatorStats s2 = ozy::ReadAllocatorStats();
    EXPECT_LE(s2.inUse + 64 * 1024 * 200, s1.inUse) << s1.inUse << " " << s2.inUse;
    ozy::ReleaseFreedMemory();
    ozy::AllocatorStats s3 = ozy::ReadAllocatorStats();
    EXPECT_LE(s3.held, s2.held);
}

}  // namespace
