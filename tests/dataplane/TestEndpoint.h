#pragma once
// The dataplane's end of a kernel link, for link tests: a listening Unix stream
// socket at an endpoint path under the test's host root, with blocking helpers
// that time out instead of hanging.
#include <string>
#include <vector>

#include "dataplane/DpFraming.h"

namespace CfgAgent::test {

class TestEndpoint {
  public:
    explicit TestEndpoint(const std::string& name);
    ~TestEndpoint();
    TestEndpoint(const TestEndpoint&) = delete;
    TestEndpoint& operator=(const TestEndpoint&) = delete;

    // The next connection, or -1 after `timeoutMs`.
    int Accept(int timeoutMs = 30000);
    // Exactly `n` bytes; false on timeout, error or end of stream.
    bool Read(int fd, size_t n, std::vector<uint8_t>* out, int timeoutMs = 30000);
    // The next framed message (header, then the rest); empty on timeout, error or
    // end of stream.
    DpMsg Next(int fd, int timeoutMs = 30000);
    // True when the peer closed the stream within `timeoutMs`.
    bool WaitClosed(int fd, int timeoutMs = 30000);
    void Write(int fd, const std::vector<uint8_t>& bytes);
    void CloseListener();

  private:
    std::string path_;
    int listenFd_ = -1;
};

}  // namespace CfgAgent::test
