#include "runtime/TerminateReport.h"

#include <cxxabi.h>
#include <execinfo.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <typeinfo>

namespace CfgAgent {
namespace {

constexpr int kStackFrames = 64;

std::atomic<bool> g_reporting{false};

void WriteAll(const char* text, size_t length) {
    for (size_t done = 0; done < length;) {
        const ssize_t w = ::write(STDERR_FILENO, text + done, length - done);
        if (w <= 0)
            return;
        done += static_cast<size_t>(w);
    }
}

// The first line: the exception's type (demangled when that works) and, for a std::exception, its
// text. Built on the stack; only the demangler allocates.
void DescribeCurrentException(char* line, size_t size) {
    const std::type_info* type = abi::__cxa_current_exception_type();
    if (type == nullptr) {
        snprintf(line, size, "Terminating: std::terminate called without an active exception\n");
        return;
    }
    const char* what = nullptr;
    try {
        std::rethrow_exception(std::current_exception());
    } catch (const std::exception& e) {
        what = e.what();
    } catch (...) {
    }
    int status = 0;
    char* demangled = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
    const char* name = status == 0 && demangled != nullptr ? demangled : type->name();
    if (what != nullptr)
        snprintf(line, size, "Terminating: uncaught exception %s: %s\n", name, what);
    else
        snprintf(line, size, "Terminating: uncaught exception %s\n", name);
    std::free(demangled);
}

[[noreturn]] void ReportAndAbort() {
    // A second thread that ends here waits: the first one's report is written whole, then its
    // abort ends the process.
    if (g_reporting.exchange(true)) {
        for (;;)
            ::pause();
    }
    fflush(stdout);  // the log lines written before the end come first
    char line[1024];
    DescribeCurrentException(line, sizeof(line));
    WriteAll(line, strlen(line));
    ::syslog(LOG_ERR, "%s", line);
    void* frames[kStackFrames];
    const int depth = ::backtrace(frames, kStackFrames);
    static const char kStack[] = "Stack at the throw:\n";
    WriteAll(kStack, sizeof(kStack) - 1);
    ::backtrace_symbols_fd(frames, depth, STDERR_FILENO);
    std::abort();
}

}  // namespace

void InstallTerminateReport() {
    // The unwinder's library is loaded now, not in the handler where memory may be short.
    void* frame = nullptr;
    ::backtrace(&frame, 1);
    std::set_terminate(&ReportAndAbort);
}

}  // namespace CfgAgent
