#include "tests/support/CliCases.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

namespace CfgAgent::test {

using ::testing::HasSubstr;

void ExpectCli(const CliRunner& run, const std::vector<CliCase>& cases) {
    for (const CliCase& c : cases) {
        SCOPED_TRACE(c.args);
        std::istringstream in(c.args);
        std::vector<std::string> args;
        for (std::string a; in >> a;)
            args.push_back(a);
        RunResult r = run(args);
        EXPECT_TRUE(c.status == kFails ? r.status != 0 : r.status == c.status)
            << "exit status " << r.status << ": " << r.output;
        if (!c.says.empty() && c.says[0] == '=') {
            EXPECT_EQ(r.output, c.says.substr(1));
            continue;
        }
        std::istringstream says(c.says);
        for (std::string text; std::getline(says, text, '|');) {
            if (!text.empty() && text[0] == '!') {
                EXPECT_THAT(r.output, ::testing::Not(HasSubstr(text.substr(1))));
            } else if (!text.empty()) {
                EXPECT_THAT(r.output, HasSubstr(text));
            }
        }
    }
}

CliRunner AppctlOn(const std::string& path) {
    return [path](const std::vector<std::string>& args) {
        std::vector<std::string> full = {"-t", path};
        full.insert(full.end(), args.begin(), args.end());
        return RunProgram("/usr/bin/ovs-appctl", full);
    };
}

}  // namespace CfgAgent::test
