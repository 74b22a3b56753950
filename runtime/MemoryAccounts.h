#pragma once
// Where the agent's memory goes: components that hold much (the database client's replicas)
// register a named account that reports the bytes they hold; the CLI's memory section
// ("cfgagent/cache/memory") lists them after the state-cache tables and beside the allocator's own
// statistics, so that the part no account explains is visible too.
//
// Thread-safe. An account's function is called from the CLI thread with no lock of the registry
// held; it takes whatever lock its component needs and must not call back into the registry.
// Unregister before the component goes away.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace ozy {

struct AllocatorStats {
    size_t inUse = 0;     // bytes handed out to the program and not freed
    size_t held = 0;      // bytes the allocator holds from the system (in use or free)
    size_t freeHeld = 0;  // free bytes the allocator keeps (part of `held`)
};

// The allocator's own statistics (glibc: mallinfo2; jemalloc, when the program runs on it: its
// allocated and resident bytes; under AddressSanitizer its allocator's).
AllocatorStats ReadAllocatorStats();
// Hands free pages back to the system (glibc: malloc_trim; jemalloc: every arena's purge); true
// when the allocator says it released something (jemalloc: that the purge ran).
bool ReleaseFreedMemory();
// Sets the allocator up for a long-running daemon whose large transient buffers (a full sync's
// batch, a monitor reply) come and go: at most `arenas` arenas, so that what one thread frees the
// others reuse instead of each thread's arena keeping its own peak, and blocks of `mapBytes` or
// more mapped on their own and unmapped when freed (glibc otherwise raises that threshold to the
// largest such block freed, up to 32 MiB, and serves later ones from an arena, where their pages
// stay). Call before the threads start. Settings the environment gives (MALLOC_ARENA_MAX,
// MALLOC_MMAP_THRESHOLD_, GLIBC_TUNABLES) are left as they are. False when nothing was set (the
// environment's settings, or an allocator without them: jemalloc, whose settings are the program's
// malloc_conf, and the sanitizers').
bool TuneAllocator(int arenas, size_t mapBytes);

class MemoryAccounts {
  public:
    using Id = uint64_t;
    // `bytes` returns what the component holds now (its own structures, without shared bodies).
    static Id Register(std::string name, std::function<size_t()> bytes);
    static void Unregister(Id id);
    // (name, bytes) of every account, in registration order.
    static std::vector<std::pair<std::string, size_t>> Snapshot();
    // The memory section as JSON text: {"allocator": {"in_use", "held", "free_held"},
    // "components": [{"name", "bytes"}, ...]}; `first` (components the caller counted itself)
    // are listed before the accounts.
    static std::string ReportJson(const std::vector<std::pair<std::string, size_t>>& first = {});
};

}  // namespace ozy
