#pragma once
// The platform provider: the agent's run loop and its access to the io context, the RPC factory
// and the metrics registry.
//
// Construction blocks SIGTERM and SIGINT in the calling thread, so every thread created afterwards
// inherits the mask and only Run() receives them. Run() blocks until one of those signals arrives
// or RequestStop() is called, then returns so that shutdown runs in order. Construct it on the main
// thread before any other thread exists.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

namespace boost::asio {
class io_context;
}

namespace ozy {

namespace metrics {
class Registry;
}
namespace rpc {
class RpcFactory;
}

struct ProviderOptions {
    uint8_t flags = 0;
    void* reserved = nullptr;
};

class AsioOzyProvider {
  public:
    AsioOzyProvider(const ProviderOptions& options, const boost::property_tree::ptree& config,
                    const std::string& name);
    ~AsioOzyProvider();
    AsioOzyProvider(const AsioOzyProvider&) = delete;
    AsioOzyProvider& operator=(const AsioOzyProvider&) = delete;

    rpc::RpcFactory& rpc();
    metrics::Registry& metrics();
    boost::asio::io_context& io();
    const boost::property_tree::ptree& config() const;

    // Runs the provider's loop on the calling thread; returns the signal that ended it, or 0 when
    // RequestStop() did.
    int Run(int mode);
    // Makes Run() return; callable from any thread and before Run().
    void RequestStop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ozy
