#pragma once
// A temporary directory (a private host root, a database directory) removed on destruction unless
// OZY_KEEP_TEST_DIRS is set, which helps when a failing integration test needs a post-mortem.
#include <string>

namespace CfgAgent::test {

class TempDir {
  public:
    explicit TempDir(const std::string& prefix = "ozy-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // Absolute path of `relative` inside the directory; parent directories are created.
    std::string Make(const std::string& relative) const;
    void WriteFile(const std::string& relative, const std::string& content) const;

  private:
    std::string path_;
};

std::string ReadFile(const std::string& path);

}  // namespace CfgAgent::test
