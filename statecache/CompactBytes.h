#pragma once
// An owned byte string in 24 bytes that keeps up to 23 bytes inline.
//
// The state-cache stores hold millions of small serialized values (ids of 18 bytes, L2 entries of
// 10-30 bytes); std::string keeps only 15 bytes inline in 32. This type halves the per-value cost
// of the common case. It is a value type: copyable, movable (a moved-from value is empty).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>

namespace CfgAgent::sc {

class CompactBytes {
  public:
    static constexpr size_t kInlineCapacity = 23;

    CompactBytes() noexcept { setInlineSize(0); }
    explicit CompactBytes(std::string_view v) { init(v); }
    CompactBytes(const CompactBytes& o) { init(o.view()); }
    CompactBytes(CompactBytes&& o) noexcept {
        std::memcpy(raw_, o.raw_, sizeof(raw_));
        o.setInlineSize(0);
    }
    CompactBytes& operator=(const CompactBytes& o) {
        if (this != &o) {
            CompactBytes copy(o);
            swap(copy);
        }
        return *this;
    }
    CompactBytes& operator=(CompactBytes&& o) noexcept {
        if (this != &o) {
            release();
            std::memcpy(raw_, o.raw_, sizeof(raw_));
            o.setInlineSize(0);
        }
        return *this;
    }
    ~CompactBytes() { release(); }

    // Safe when `v` points into this object's own bytes.
    void assign(std::string_view v) {
        CompactBytes fresh(v);
        swap(fresh);
    }

    bool isHeap() const { return static_cast<unsigned char>(raw_[kTag]) == kHeapTag; }
    size_t size() const {
        if (!isHeap())
            return static_cast<unsigned char>(raw_[kTag]);
        uint64_t size;
        std::memcpy(&size, raw_ + 8, sizeof(size));
        return size;
    }
    bool empty() const { return size() == 0; }
    const char* data() const {
        if (!isHeap())
            return raw_;
        const char* p;
        std::memcpy(&p, raw_, sizeof(p));
        return p;
    }
    std::string_view view() const { return std::string_view(data(), size()); }
    std::string str() const { return std::string(view()); }
    // Bytes allocated outside the object (0 when inline).
    size_t heapBytes() const { return isHeap() ? size() : 0; }

    void swap(CompactBytes& o) noexcept {
        char tmp[sizeof(raw_)];
        std::memcpy(tmp, raw_, sizeof(raw_));
        std::memcpy(raw_, o.raw_, sizeof(raw_));
        std::memcpy(o.raw_, tmp, sizeof(raw_));
    }

    friend bool operator==(const CompactBytes& a, const CompactBytes& b) {
        return a.view() == b.view();
    }
    friend bool operator!=(const CompactBytes& a, const CompactBytes& b) { return !(a == b); }
    friend bool operator<(const CompactBytes& a, const CompactBytes& b) {
        return a.view() < b.view();
    }

  private:
    static constexpr size_t kTag = 23;
    static constexpr unsigned char kHeapTag = 0xFF;

    void setInlineSize(size_t n) noexcept { raw_[kTag] = static_cast<char>(n); }
    // Fills an object that holds nothing (constructed, or just released).
    void init(std::string_view v) {
        if (v.size() <= kInlineCapacity) {
            if (!v.empty())
                std::memcpy(raw_, v.data(), v.size());
            setInlineSize(v.size());
            return;
        }
        char* p = new char[v.size()];
        std::memcpy(p, v.data(), v.size());
        uint64_t size = v.size();
        std::memcpy(raw_, &p, sizeof(p));
        std::memcpy(raw_ + 8, &size, sizeof(size));
        raw_[kTag] = static_cast<char>(kHeapTag);
    }
    void release() noexcept {
        if (isHeap()) {
            char* p;
            std::memcpy(&p, raw_, sizeof(p));
            delete[] p;
            setInlineSize(0);
        }
    }

    char raw_[24];
};

static_assert(sizeof(CompactBytes) == 24, "CompactBytes must stay 24 bytes");

struct CompactBytesHash {
    size_t operator()(const CompactBytes& b) const noexcept {
        return std::hash<std::string_view>()(b.view());
    }
};

}  // namespace CfgAgent::sc
