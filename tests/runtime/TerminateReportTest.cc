#include <gtest/gtest.h>

#include <exception>
#include <stdexcept>
#include <thread>

#include "runtime/TerminateReport.h"

namespace CfgAgent {
namespace {

// Each case ends a forked child through std::terminate and reads what it wrote on standard error.
// Exceptions are thrown where nothing catches them: the death test's own statement would.
struct TerminateCase {
    const char* name;
    void (*end)();
    const char* firstLine;  // regular expression
};

void ThrowInThread() {
    std::thread([] { throw std::out_of_range("basic_string::substr: __pos (which is 1)"); }).join();
}

void ThrowNonStdType() {
    std::thread([] { throw 42; }).join();
}

void CallTerminate() {
    std::terminate();
}

void ThrowRuntimeError() {
    throw std::runtime_error("escaped a noexcept function");
}

void ThrowThroughNoexcept() {
    struct Wrapper {
        static void Run() noexcept { ThrowRuntimeError(); }
    };
    Wrapper::Run();
}

const TerminateCase kCases[] = {
    {"an exception no thread catches", &ThrowInThread,
     "Terminating: uncaught exception std::out_of_range: basic_string::substr: __pos \\(which is "
     "1\\)\n"},
    {"a type that is not a std::exception", &ThrowNonStdType,
     "Terminating: uncaught exception int\n"},
    {"a direct call", &CallTerminate,
     "Terminating: std::terminate called without an active exception\n"},
    {"an exception leaving a noexcept function", &ThrowThroughNoexcept,
     "Terminating: uncaught exception std::runtime_error: escaped a noexcept function\n"},
};

TEST(TerminateReportTest, NamesTheExceptionThenWritesTheStackAndAborts) {
    for (const TerminateCase& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(
            {
                InstallTerminateReport();
                c.end();
            },
            ::testing::KilledBySignal(SIGABRT),
            std::string(c.firstLine) + "Stack at the throw:\n[^\n]+\n");
    }
}

}  // namespace
}  // namespace CfgAgent
