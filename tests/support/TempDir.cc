#include "tests/support/TempDir.h"

#include <stdlib.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace CfgAgent::test {

TempDir::TempDir(const std::string& prefix) {
    const char* base = getenv("TMPDIR");
    std::string templ =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + templ);
    }
    path_ = templ;
}

TempDir::~TempDir() {
    if (getenv("OZY_KEEP_TEST_DIRS") != nullptr)
        return;
    boost::system::error_code ec;
    boost::filesystem::remove_all(path_, ec);
}

std::string TempDir::Make(const std::string& relative) const {
    std::string full = path_ + "/" + relative;
    boost::filesystem::create_directories(boost::filesystem::path(full).parent_path());
    return full;
}

void TempDir::WriteFile(const std::string& relative, const std::string& content) const {
    std::ofstream out(Make(relative), std::ios::binary | std::ios::trunc);
    out << content;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace CfgAgent::test
