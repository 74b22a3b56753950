#pragma once
// A database endpoint: "tcp://HOST:PORT" (also the OVSDB form "tcp:HOST:PORT"), or a
// comma-separated list of them for a clustered server; the client tries them in turn.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ozy::net {

class Endpoint {
  public:
    struct Remote {
        std::string host;  // name or address, without IPv6 brackets
        uint16_t port = 0;
        bool operator==(const Remote& o) const { return host == o.host && port == o.port; }
    };

    Endpoint() = default;
    // Parses `url`; valid() tells whether it parsed.
    explicit Endpoint(std::string_view url);
    // Nothing (and the reason in `error`) for a malformed text.
    static std::optional<Endpoint> Parse(std::string_view url, std::string* error = nullptr);

    bool valid() const { return !remotes_.empty(); }
    const std::vector<Remote>& remotes() const { return remotes_; }
    // "tcp://127.0.0.1:2480" (comma-separated for several remotes).
    std::string ToString() const;

  private:
    std::vector<Remote> remotes_;
};

}  // namespace ozy::net
