#include "tests/support/CliCases.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include <nlohmann/json.hpp>

namespace CfgAgent::test {

using ::testing::HasSubstr;

namespace {
std::vector<std::string> Args(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> args;
    for (std::string a; in >> a;)
        args.push_back(a);
    return args;
}
}  // namespace

void ExpectCli(const CliRunner& run, const std::vector<CliCase>& cases) {
    for (const CliCase& c : cases) {
        SCOPED_TRACE(c.args);
        RunResult r = run(Args(c.args));
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

void ExpectJsonAt(const nlohmann::json& doc, const std::string& checks) {
    using nlohmann::json;
    std::istringstream in(checks);
    for (std::string check; std::getline(in, check, '|');) {
        size_t eq = check.find('=');
        bool size = eq != std::string::npos && eq > 0 && check[eq - 1] == '#';
        std::string ptr = check.substr(0, eq == std::string::npos ? check.size() - 1 : eq - size);
        json::json_pointer at(ptr);
        if (!doc.contains(at)) {
            ADD_FAILURE() << "no " << ptr << " in " << doc.dump();
            continue;
        }
        if (eq == std::string::npos)
            continue;  // "POINTER?": present
        std::string text = check.substr(eq + 1);
        json want = json::parse(text, nullptr, false);
        if (want.is_discarded())
            want = text;
        if (size)
            EXPECT_EQ(json(doc[at].size()), want) << ptr << " in " << doc.dump();
        else
            EXPECT_EQ(doc[at], want) << ptr << " in " << doc.dump();
    }
}

void ExpectCliJson(const CliRunner& run, const std::vector<CliJsonCase>& cases) {
    for (const CliJsonCase& c : cases) {
        SCOPED_TRACE(c.args);
        RunResult r = run(Args(c.args));
        EXPECT_EQ(r.status, 0) << r.output;
        nlohmann::json doc = nlohmann::json::parse(r.output, nullptr, false);
        EXPECT_FALSE(doc.is_discarded()) << r.output;
        if (!doc.is_discarded())
            ExpectJsonAt(doc, c.checks);
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
