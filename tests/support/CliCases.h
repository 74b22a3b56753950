#pragma once
// Tables of command-line exchanges: a command's arguments, the exit status it gives and what its
// output must say. Shared by the tests that drive a command line (ovs-appctl against the CLI
// server alone, the whole agent or the emulator; cairnctl).
#include <functional>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace CfgAgent::test {

constexpr int kFails = -1;  // any exit status but 0

struct CliCase {
    std::string args;  // separated by spaces
    int status;        // or kFails
    // Texts separated by '|': each one the output holds; one that starts with '=' is the whole
    // output, one that starts with '!' is absent from it.
    std::string says;
};

using CliRunner = std::function<RunResult(const std::vector<std::string>&)>;

// Runs the cases in order; each failure names the command.
void ExpectCli(const CliRunner& run, const std::vector<CliCase>& cases);

// ovs-appctl against the socket at `path`.
CliRunner AppctlOn(const std::string& path);

}  // namespace CfgAgent::test
