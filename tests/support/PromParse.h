#pragma once
// The Prometheus client library's own parser as the judge of an exposition: tests/support/
// PromParse.py run by Debian's python3 (package python3-prometheus-client, which
// scripts/install-deps.sh installs). Beside the parse it refuses what the lenient parser lets
// through: untyped families, a family split or named twice, HELP or TYPE repeated, invalid names,
// a sample twice.
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace CfgAgent::test {

struct PromParse {
    enum class Status { kParsed, kRefused, kMissing };
    Status status = Status::kRefused;
    // [{"name", "type", "help", "samples": [{"name", "labels", "value"}]}] when parsed.
    nlohmann::json families;
    std::string error;
};
PromParse ParsePrometheus(const std::string& text);
// True under CI (CI set in the environment), where the parser must be there.
bool UnderCi();

// The family of that name (null when there is none).
nlohmann::json PromFamily(const nlohmann::json& families, const std::string& name);
// Its samples (an empty array when there is no such family).
nlohmann::json PromSamples(const nlohmann::json& families, const std::string& name);

}  // namespace CfgAgent::test

// Parses `text` into `out` (nlohmann::json); refused text fails the test. Without the library
// the test is skipped, said clearly, except under CI, where it fails.
#define OZY_PROM_PARSE_OR_SKIP(text, out)                                                      \
    do {                                                                                       \
        ::CfgAgent::test::PromParse prom_ = ::CfgAgent::test::ParsePrometheus(text);           \
        if (prom_.status == ::CfgAgent::test::PromParse::Status::kMissing) {                   \
            if (::CfgAgent::test::UnderCi())                                                   \
                FAIL() << "the Prometheus parser must be installed under CI: " << prom_.error; \
            GTEST_SKIP() << "SKIPPED: no Prometheus parser (apt-get install "                  \
                            "python3-prometheus-client): "                                     \
                         << prom_.error;                                                       \
        }                                                                                      \
        ASSERT_EQ(prom_.status, ::CfgAgent::test::PromParse::Status::kParsed)                  \
            << prom_.error << "\n--- exposition ---\n"                                         \
            << (text);                                                                         \
        (out) = prom_.families;                                                                \
    } while (0)
