#include "platform/AsioOzyProvider.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <boost/property_tree/ptree.hpp>

#include "platform/rpc/RpcServer.h"
#include "runtime/IoContexts.h"
#include "runtime/Logger.h"
#include "runtime/Metrics.h"

namespace ozy {

struct AsioOzyProvider::Impl {
    boost::property_tree::ptree config;
    std::string name;
    rpc::RpcFactory rpc;
    metrics::Registry metrics;
    int stopFd = -1;
    int signalFd = -1;
};

AsioOzyProvider::AsioOzyProvider(const ProviderOptions& /*options*/,
                                 const boost::property_tree::ptree& config, const std::string& name)
    : impl_(std::make_unique<Impl>()) {
    impl_->config = config;
    impl_->name = name;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    impl_->signalFd = signalfd(-1, &set, SFD_CLOEXEC);
    impl_->stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

AsioOzyProvider::~AsioOzyProvider() {
    if (impl_->signalFd >= 0)
        close(impl_->signalFd);
    if (impl_->stopFd >= 0)
        close(impl_->stopFd);
}

rpc::RpcFactory& AsioOzyProvider::rpc() {
    return impl_->rpc;
}
metrics::Registry& AsioOzyProvider::metrics() {
    return impl_->metrics;
}
boost::asio::io_context& AsioOzyProvider::io() {
    return CfgAgent::IoContext();
}
const boost::property_tree::ptree& AsioOzyProvider::config() const {
    return impl_->config;
}

int AsioOzyProvider::Run(int /*mode*/) {
    pollfd fds[2] = {{impl_->signalFd, POLLIN, 0}, {impl_->stopFd, POLLIN, 0}};
    for (;;) {
        int n = poll(fds, 2, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            CFG_ERROR("Platform run loop failed: %1", strerror(errno));
            return -1;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info;
            if (read(impl_->signalFd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
                int sig = static_cast<int>(info.ssi_signo);
                CFG_INFO("Received signal %1 (%2), stopping", sig, strsignal(sig));
                return sig;
            }
        }
        if (fds[1].revents & POLLIN) {
            uint64_t v;
            (void)!read(impl_->stopFd, &v, sizeof(v));
            return 0;
        }
    }
}

void AsioOzyProvider::RequestStop() {
    uint64_t one = 1;
    (void)!write(impl_->stopFd, &one, sizeof(one));
}

}  // namespace ozy
