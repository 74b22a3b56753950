#pragma once
// Several expected log lines checked in one assertion: each is a text that some captured message
// contains, optionally with the error code that message must carry. A failure names every line
// that is missing and shows what was logged.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/LogCapture.h"

namespace CfgAgent::test {

struct LogLine {
    LogLine(const char* t) : text(t) {}
    LogLine(std::string t, std::string c = {}) : text(std::move(t)), code(std::move(c)) {}
    std::string text;
    std::string code;
};

// Any range of LogLine (an initializer list in place, or a case table's vector).
template <class Lines>
::testing::AssertionResult LoggedAll(const LogCapture& log, const Lines& lines) {
    std::string missing;
    for (const LogLine& l : lines) {
        if (!(l.code.empty() ? log.Contains(l.text) : log.ContainsWithCode(l.text, l.code)))
            missing += "\n  missing: \"" + l.text + (l.code.empty() ? "\"" : "\" [" + l.code + "]");
    }
    if (missing.empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << missing << "\nlogged:\n" << log.Dump();
}

inline ::testing::AssertionResult Logged(const LogCapture& log,
                                         std::initializer_list<LogLine> lines) {
    return LoggedAll(log, lines);
}

inline ::testing::AssertionResult Logged(const LogCapture& log, const std::vector<LogLine>& lines) {
    return LoggedAll(log, lines);
}

}  // namespace CfgAgent::test
