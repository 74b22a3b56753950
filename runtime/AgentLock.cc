#include "runtime/AgentLock.h"

#include <boost/thread/thread.hpp>

namespace CfgAgent {

namespace {
unsigned DefaultIoThreads() {
    unsigned n = boost::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}
unsigned g_ioThreads = DefaultIoThreads();
unsigned g_workThreads = 32;
}  // namespace

boost::recursive_mutex& GlobalAgentLock() {
    static boost::recursive_mutex* lock = new boost::recursive_mutex();
    return *lock;
}

void SetThreadCounts(unsigned ioThreads, unsigned workThreads) {
    AgentLockGuard guard(GlobalAgentLock());
    g_ioThreads = ioThreads;
    g_workThreads = workThreads;
}

ThreadCounts DefaultThreadCounts() {
    return ThreadCounts{DefaultIoThreads(), 32};
}

ThreadCounts GetThreadCounts() {
    AgentLockGuard guard(GlobalAgentLock());
    return ThreadCounts{g_ioThreads, g_workThreads};
}

}  // namespace CfgAgent
