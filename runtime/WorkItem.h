#pragma once
// Units of work for the WorkGroup.
//
// WorkItemImpl<T> binds a member function of a counted target; most components post exactly one
// long-running item (their loop), which must return when the component stops.
#include <chrono>
#include <memory>

#include "runtime/RefCounted.h"

namespace CfgAgent {

class WorkItem {
  public:
    WorkItem() = default;
    WorkItem(const WorkItem&) = delete;
    WorkItem& operator=(const WorkItem&) = delete;
    virtual ~WorkItem() = default;
    virtual void Run() = 0;
    // Name used in diagnostics (an item that does not end at shutdown is named in the log).
    virtual const char* Name() const { return "work item"; }

    std::chrono::steady_clock::time_point enqueueTime;
};

using WorkItemPtr = std::shared_ptr<WorkItem>;

template <typename T>
class WorkItemImpl : public WorkItem {
  public:
    using MemberFn = void (T::*)();

    WorkItemImpl(MemberFn fn, ozy::RefPtr<T> target, const char* name = "work item")
        : fn_(fn), target_(std::move(target)), name_(name) {}

    void Run() override { ((*target_).*fn_)(); }
    const char* Name() const override { return name_; }

  private:
    MemberFn fn_;
    ozy::RefPtr<T> target_;
    const char* name_;
};

template <typename T>
WorkItemPtr MakeWorkItem(void (T::*fn)(), T* target, const char* name) {
    return std::make_shared<WorkItemImpl<T>>(fn, ozy::RefPtr<T>(target), name);
}

}  // namespace CfgAgent
