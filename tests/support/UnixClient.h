#pragma once
// A blocking Unix-domain stream client for tests of local servers: connect to a path, write bytes,
// read exactly n bytes or await the peer's close, each bounded by a timeout instead of hanging.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace CfgAgent::test {

class UnixClient {
  public:
    UnixClient() = default;
    ~UnixClient();
    UnixClient(const UnixClient&) = delete;
    UnixClient& operator=(const UnixClient&) = delete;

    bool Connect(const std::string& path);
    bool Write(const std::vector<uint8_t>& bytes);
    // Exactly `n` bytes; false on timeout, error or end of stream.
    bool Read(size_t n, std::vector<uint8_t>* out, int timeoutMs = 30000);
    // True when the peer closed the stream within `timeoutMs` (pending input is discarded).
    bool WaitClosed(int timeoutMs = 30000);
    void Close();
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
};

}  // namespace CfgAgent::test
