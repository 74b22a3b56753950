#pragma once
// Waiting for a condition instead of sleeping: polls a predicate until it holds or the deadline
// passes. The deadline is generous (tests run under sanitizers on small machines); a test fails
// only when the condition never holds.
#include <chrono>
#include <functional>

namespace CfgAgent::test {

constexpr std::chrono::seconds kDefaultAwait{30};

bool AwaitTrue(const std::function<bool()>& predicate,
               std::chrono::milliseconds timeout = kDefaultAwait,
               std::chrono::milliseconds poll = std::chrono::milliseconds(5));

}  // namespace CfgAgent::test
