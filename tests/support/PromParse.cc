#include "tests/support/PromParse.h"

#include <unistd.h>

#include <cstdlib>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestEnv.h"

namespace CfgAgent::test {

namespace {
// Debian's interpreter, where the Debian package installs the library (a python3 found first on
// PATH, such as a version manager's, does not see it).
constexpr const char* kPython = "/usr/bin/python3";
}  // namespace

bool UnderCi() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && *ci != '\0' && std::string(ci) != "false";
}

PromParse ParsePrometheus(const std::string& text) {
    PromParse out;
    if (::access(kPython, X_OK) != 0) {
        out.status = PromParse::Status::kMissing;
        out.error = std::string(kPython) + " is not installed";
        return out;
    }
    TempDir dir("ozy-prom");
    dir.WriteFile("exposition.txt", text);
    RunResult r = RunProgram(
        kPython, {SourceDir() + "/tests/support/PromParse.py", dir.path() + "/exposition.txt"}, {},
        std::chrono::seconds(60), true);
    if (r.status == 3) {
        out.status = PromParse::Status::kMissing;
        out.error = r.error;
        return out;
    }
    if (r.status != 0) {
        out.error = "refused (" + std::to_string(r.status) + "): " + r.error;
        return out;
    }
    out.families = nlohmann::json::parse(r.output, nullptr, false);
    if (out.families.is_discarded() || !out.families.is_array()) {
        out.error = "unreadable parser output: " + r.output;
        return out;
    }
    out.status = PromParse::Status::kParsed;
    return out;
}

nlohmann::json PromFamily(const nlohmann::json& families, const std::string& name) {
    for (const nlohmann::json& f : families) {
        if (f.value("name", "") == name)
            return f;
    }
    return nullptr;
}

nlohmann::json PromSamples(const nlohmann::json& families, const std::string& name) {
    nlohmann::json f = PromFamily(families, name);
    return f.is_object() && f.contains("samples") ? f["samples"] : nlohmann::json::array();
}

}  // namespace CfgAgent::test
