#pragma once
// Estimates of the bytes a container really holds on the heap, used by the state-cache size
// reports. They follow the node layouts of libstdc++ and the chunk sizes of glibc's malloc (a
// request of n bytes takes max(32, round_up(n + 8, 16)) bytes); the benchmark checks the estimate
// against the allocator's own statistics.
#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace CfgAgent::sc {

constexpr size_t HeapChunk(size_t n) {
    if (n == 0)
        return 0;
    size_t c = (n + 8 + 15) & ~static_cast<size_t>(15);
    return c < 32 ? 32 : c;
}

// Nodes of unordered_map: next pointer plus the value (hashes are not cached: every hash used in
// the stores is noexcept), plus one bucket pointer per bucket.
template <typename K, typename V, typename H, typename E, typename A>
size_t ContainerBytes(const std::unordered_map<K, V, H, E, A>& m) {
    using Node = typename std::unordered_map<K, V, H, E, A>::value_type;
    size_t buckets = m.bucket_count() > 1 ? HeapChunk(m.bucket_count() * sizeof(void*)) : 0;
    return buckets + m.size() * HeapChunk(sizeof(void*) + sizeof(Node));
}

// Red-black tree nodes: colour, parent, left, right (32 bytes) plus the value.
template <typename K, typename V, typename C, typename A>
size_t ContainerBytes(const std::map<K, V, C, A>& m) {
    using Node = typename std::map<K, V, C, A>::value_type;
    return m.size() * HeapChunk(32 + sizeof(Node));
}

template <typename K, typename C, typename A>
size_t ContainerBytes(const std::set<K, C, A>& s) {
    return s.size() * HeapChunk(32 + sizeof(K));
}

// A string's own heap block (libstdc++ keeps 15 characters inline).
inline size_t StringBytes(const std::string& s) {
    return s.capacity() > 15 ? HeapChunk(s.capacity() + 1) : 0;
}

// A set or map whose keys are strings: nodes and key blocks.
template <typename C>
size_t StringSetBytes(const C& s) {
    size_t n = ContainerBytes(s);
    for (const std::string& k : s)
        n += StringBytes(k);
    return n;
}
template <typename C>
size_t StringMapBytes(const C& m) {
    size_t n = ContainerBytes(m);
    for (const auto& [k, v] : m)
        n += StringBytes(k) + StringBytes(v);
    return n;
}

template <typename T, typename A>
size_t ContainerBytes(const std::vector<T, A>& v) {
    return HeapChunk(v.capacity() * sizeof(T));
}

}  // namespace CfgAgent::sc
