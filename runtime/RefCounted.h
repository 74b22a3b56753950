#pragma once
// Intrusive atomic reference counting.
//
// ozy::IRefCountable is the interface; ozy::RefCounted<T, Base> implements it over a 32-bit atomic
// counter kept in the object. A new object starts at 0 and is taken by its first ozy::RefPtr.
// RefCounter<T> is the same contract as a plain, non-virtual base.
#include <atomic>
#include <cstdint>
#include <utility>

#include <boost/smart_ptr/intrusive_ptr.hpp>

namespace ozy {

class IRefCountable {
  public:
    virtual ~IRefCountable() = default;
    virtual void AddRef() const = 0;
    virtual void Release() const = 0;
};

template <typename T, typename Base = IRefCountable>
class RefCounted : public Base {
  public:
    template <typename... Args>
    explicit RefCounted(Args&&... args) : Base(std::forward<Args>(args)...) {}

    void AddRef() const override { count_.fetch_add(1, std::memory_order_relaxed); }
    void Release() const override {
        // acq_rel rather than release plus an acquire fence: the same ordering, and visible to
        // ThreadSanitizer, which does not model fences.
        if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete this;
        }
    }
    uint32_t refCount() const { return count_.load(std::memory_order_relaxed); }

  private:
    mutable std::atomic<uint32_t> count_{0};
};

inline void intrusive_ptr_add_ref(const IRefCountable* p) {
    p->AddRef();
}
inline void intrusive_ptr_release(const IRefCountable* p) {
    p->Release();
}

// A counted reference.
template <typename T>
using RefPtr = boost::intrusive_ptr<T>;

template <typename T, typename... Args>
RefPtr<T> MakeRef(Args&&... args) {
    return RefPtr<T>(new T(std::forward<Args>(args)...));
}

}  // namespace ozy

namespace CfgAgent {

// Non-virtual counted base: T must derive from RefCounter<T>.
template <typename T>
class RefCounter {
  public:
    RefCounter() = default;
    RefCounter(const RefCounter&) = delete;
    RefCounter& operator=(const RefCounter&) = delete;

    friend void intrusive_ptr_add_ref(const T* p) {
        static_cast<const RefCounter*>(p)->count_.fetch_add(1, std::memory_order_relaxed);
    }
    friend void intrusive_ptr_release(const T* p) {
        if (static_cast<const RefCounter*>(p)->count_.fetch_sub(1, std::memory_order_acq_rel) ==
            1) {
            delete p;
        }
    }

  protected:
    ~RefCounter() = default;

  private:
    mutable std::atomic<uint32_t> count_{0};
};

}  // namespace CfgAgent
