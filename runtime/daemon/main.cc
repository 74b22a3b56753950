#include "runtime/daemon/Agent.h"

#if defined(__SANITIZE_ADDRESS__)
#include <cstdlib>
#include <new>

// AddressSanitizer's own operator new ends the process with its report when memory runs out,
// whatever the options say, so the sanitized build would never reach the agent's reaction to
// std::bad_alloc. The agent's operator new does what the C++ library's does: malloc (which the
// sanitizer still checks, and which returns null when allocator_may_return_null is set), the new
// handler, then std::bad_alloc. Every form that pairs with free() is replaced; the aligned forms
// stay the sanitizer's, which pairs them among themselves.
void* operator new(std::size_t size) {
    for (;;) {
        if (void* p = std::malloc(size == 0 ? 1 : size))
            return p;
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr)
            throw std::bad_alloc();
        handler();
    }
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return operator new(size, std::nothrow);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
#endif

#ifdef OZY_JEMALLOC
// jemalloc's settings (MALLOC_CONF in the environment adds to them): two arenas, as with glibc, so
// that what one thread frees the others reuse; freed pages go back to the system after a second
// (dirty_decay_ms) instead of ten, and at once after a burst (ozy::ReleaseFreedMemory).
extern "C" {
extern const char* malloc_conf;
const char* malloc_conf = "narenas:2,dirty_decay_ms:1000,muzzy_decay_ms:0";
}
#endif

int main(int argc, char** argv) {
    return CfgAgent::AgentMain(argc, argv);
}
