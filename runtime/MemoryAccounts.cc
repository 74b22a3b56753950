#include "runtime/MemoryAccounts.h"

#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include <map>
#include <mutex>

#include <nlohmann/json.hpp>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OZY_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define OZY_ASAN 1
#endif

#ifdef OZY_ASAN
// The sanitizer allocator's statistics (GCC ships no header for them).
extern "C" {
size_t __sanitizer_get_current_allocated_bytes();
size_t __sanitizer_get_heap_size();
void __sanitizer_purge_allocator();
}
#endif

#ifndef OZY_ASAN
// jemalloc's control interface, present when the program runs on jemalloc (the agent links it when
// the system has it); null on glibc's allocator.
extern "C" int mallctl(const char* name, void* oldp, size_t* oldlenp, void* newp, size_t newlen)
    __attribute__((weak));
#endif

namespace ozy {

namespace {

#ifndef OZY_ASAN
// jemalloc's arena index meaning every arena.
constexpr const char* kPurgeAllArenas = "arena.4096.purge";

size_t JemallocStat(const char* name) {
    size_t value = 0;
    size_t len = sizeof(value);
    return mallctl(name, &value, &len, nullptr, 0) == 0 ? value : 0;
}
#endif

struct Registry {
    std::mutex mutex;
    MemoryAccounts::Id next = 1;
    std::map<MemoryAccounts::Id, std::pair<std::string, std::function<size_t()>>> accounts;
};

Registry& Accounts() {
    static Registry* r = new Registry;  // alive until exit, whatever the destruction order
    return *r;
}

}  // namespace

AllocatorStats ReadAllocatorStats() {
    AllocatorStats s;
#ifdef OZY_ASAN
    s.inUse = __sanitizer_get_current_allocated_bytes();
    s.held = __sanitizer_get_heap_size();
    s.freeHeld = s.held > s.inUse ? s.held - s.inUse : 0;
#else
    if (mallctl != nullptr) {
        // The statistics are a snapshot taken when the epoch advances.
        uint64_t epoch = 1;
        size_t len = sizeof(epoch);
        mallctl("epoch", &epoch, &len, &epoch, len);
        s.inUse = JemallocStat("stats.allocated");
        // Resident: in use, the allocator's own, and freed pages not yet given back.
        s.held = std::max(JemallocStat("stats.resident"), s.inUse);
        s.freeHeld = s.held - s.inUse;
        return s;
    }
#endif
#if defined(__GLIBC__) && !defined(OZY_ASAN)
    struct mallinfo2 m = mallinfo2();
    s.inUse = m.uordblks + m.hblkhd;
    s.held = m.arena + m.hblkhd;
    s.freeHeld = m.fordblks;
#endif
    return s;
}

bool TuneAllocator(int arenas, size_t mapBytes) {
#if defined(__GLIBC__) && !defined(OZY_ASAN)
    if (mallctl != nullptr)
        return false;  // jemalloc: the program's malloc_conf sets it up
    if (std::getenv("MALLOC_ARENA_MAX") != nullptr ||
        std::getenv("MALLOC_MMAP_THRESHOLD_") != nullptr ||
        std::getenv("GLIBC_TUNABLES") != nullptr)
        return false;
    bool ok = mallopt(M_ARENA_MAX, arenas) == 1;
    ok = mallopt(M_MMAP_THRESHOLD, static_cast<int>(mapBytes)) == 1 && ok;
    return ok;
#else
    (void)arenas;
    (void)mapBytes;
    return false;
#endif
}

bool ReleaseFreedMemory() {
#ifdef OZY_ASAN
    __sanitizer_purge_allocator();
    return true;
#else
    if (mallctl != nullptr)
        return mallctl(kPurgeAllArenas, nullptr, nullptr, nullptr, 0) == 0;
#if defined(__GLIBC__)
    return malloc_trim(0) != 0;
#else
    return false;
#endif
#endif
}

MemoryAccounts::Id MemoryAccounts::Register(std::string name, std::function<size_t()> bytes) {
    Registry& r = Accounts();
    std::lock_guard<std::mutex> lock(r.mutex);
    Id id = r.next++;
    r.accounts.emplace(id, std::make_pair(std::move(name), std::move(bytes)));
    return id;
}

void MemoryAccounts::Unregister(Id id) {
    Registry& r = Accounts();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.accounts.erase(id);
}

std::vector<std::pair<std::string, size_t>> MemoryAccounts::Snapshot() {
    std::vector<std::pair<std::string, std::function<size_t()>>> copy;
    {
        Registry& r = Accounts();
        std::lock_guard<std::mutex> lock(r.mutex);
        for (const auto& [id, account] : r.accounts)
            copy.push_back(account);
    }
    std::vector<std::pair<std::string, size_t>> out;
    out.reserve(copy.size());
    for (const auto& [name, fn] : copy)
        out.emplace_back(name, fn ? fn() : 0);
    return out;
}

std::string MemoryAccounts::ReportJson(const std::vector<std::pair<std::string, size_t>>& first) {
    AllocatorStats a = ReadAllocatorStats();
    nlohmann::ordered_json j;
    j["allocator"] = {{"in_use", a.inUse}, {"held", a.held}, {"free_held", a.freeHeld}};
    nlohmann::ordered_json accounts = nlohmann::ordered_json::array();
    for (const auto& [name, bytes] : first)
        accounts.push_back({{"name", name}, {"bytes", bytes}});
    for (const auto& [name, bytes] : Snapshot())
        accounts.push_back({{"name", name}, {"bytes", bytes}});
    j["components"] = std::move(accounts);
    return j.dump();
}

}  // namespace ozy
