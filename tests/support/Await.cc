#include "tests/support/Await.h"

#include <thread>

namespace CfgAgent::test {

bool AwaitTrue(const std::function<bool()>& predicate, std::chrono::milliseconds timeout,
               std::chrono::milliseconds poll) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (predicate())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(poll);
    }
}

}  // namespace CfgAgent::test
