// The memory section on jemalloc (the agent's allocator when the system has it; this program is
// linked with it as the agent is): the statistics follow allocations and frees, and freed pages are
// handed back on request.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "runtime/MemoryAccounts.h"

extern "C" int mallctl(const char* name, void* oldp, size_t* oldlenp, void* newp, size_t newlen)
    __attribute__((weak));

namespace {

TEST(JemallocAccountsTest, StatisticsFollowAllocationsAndFreedPagesGoBack) {
    ASSERT_NE(mallctl, nullptr) << "not running on jemalloc";
    // Its settings are the program's own, not glibc's.
    EXPECT_FALSE(ozy::TuneAllocator(2, 128 * 1024));
    constexpr size_t kBlocks = 64 * 1024;
    constexpr size_t kBytes = 200;
    ozy::AllocatorStats s0 = ozy::ReadAllocatorStats();
    // Many small blocks (the shape of cached state), written so that their pages are resident.
    auto blocks = std::make_unique<std::vector<std::unique_ptr<char[]>>>();
    for (size_t i = 0; i < kBlocks; ++i) {
        blocks->emplace_back(new char[kBytes]);
        std::fill_n(blocks->back().get(), kBytes, static_cast<char>(i));
    }
    ozy::AllocatorStats s1 = ozy::ReadAllocatorStats();
    EXPECT_GE(s1.inUse, s0.inUse + kBlocks * kBytes) << s0.inUse << " " << s1.inUse;
    EXPECT_GE(s1.held, s1.inUse);
    EXPECT_EQ(s1.freeHeld, s1.held - s1.inUse);
    blocks.reset();
    ozy::AllocatorStats s2 = ozy::ReadAllocatorStats();
    EXPECT_LE(s2.inUse + kBlocks * kBytes, s1.inUse) << s1.inUse << " " << s2.inUse;
    EXPECT_TRUE(ozy::ReleaseFreedMemory());
    ozy::AllocatorStats s3 = ozy::ReadAllocatorStats();
    // Most of the freed blocks' pages were still resident, and are not after the release.
    EXPECT_LE(s3.held + kBlocks * kBytes / 2, s2.held) << s2.held << " " << s3.held;
    EXPECT_GE(s3.held, s3.inUse);
}

}  // namespace
