#pragma once
// The global agent lock: one process-wide recursive mutex that serialises application handlers,
// state-cache queries, database callbacks and CLI handlers over shared state. Created on first use
// and never destroyed. Code running under it must not wait for a work item that needs it.
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/recursive_mutex.hpp>

namespace CfgAgent {

boost::recursive_mutex& GlobalAgentLock();

using AgentLockGuard = boost::lock_guard<boost::recursive_mutex>;

// Thread counts of the work group, guarded by the global agent lock.
struct ThreadCounts {
    unsigned ioThreads;
    unsigned workThreads;
};
void SetThreadCounts(unsigned ioThreads, unsigned workThreads);
ThreadCounts GetThreadCounts();
// What the counts are when nothing sets them: one io thread per hardware thread, 32 work threads.
ThreadCounts DefaultThreadCounts();

}  // namespace CfgAgent
