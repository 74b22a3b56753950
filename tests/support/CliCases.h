#pragma once
// Tables of command-line exchanges: a command's arguments, the exit status it gives and what its
// output must say. Shared by the tests that drive a command line (ovs-appctl against the CLI
// server alone, the whole agent or the emulator; cairnctl).
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

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

namespace CfgAgent::test {

// Checks of a JSON document, separated by '|': "POINTER=VALUE" (VALUE read as JSON when it parses,
// as a string otherwise), "POINTER#=N" (the size of what POINTER names), "POINTER?" (present).
// POINTER is a JSON pointer ("/a/0/b"); an empty one names the document.
void ExpectJsonAt(const nlohmann::json& doc, const std::string& checks);

struct CliJsonCase {
    std::string args;    // separated by spaces
    std::string checks;  // as ExpectJsonAt takes them
};
// Runs each command, which must succeed with JSON, and checks its reply.
void ExpectCliJson(const CliRunner& run, const std::vector<CliJsonCase>& cases);

}  // namespace CfgAgent::test
