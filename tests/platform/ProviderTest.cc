#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <boost/property_tree/ptree.hpp>
#include <thread>

#include "platform/AsioOzyProvider.h"

namespace ozy {
namespace {

TEST(AsioOzyProviderTest, RequestStopEndsRunFromAnotherThread) {
    AsioOzyProvider provider(ProviderOptions(), boost::property_tree::ptree(), "");
    std::thread t([&] { provider.RequestStop(); });
    EXPECT_EQ(provider.Run(1), 0);
    t.join();
}

TEST(AsioOzyProviderTest, SigtermAndSigintEndRun) {
    AsioOzyProvider provider(ProviderOptions(), boost::property_tree::ptree(), "");
    // Directed at this thread, which the provider has blocked the signal in: it stays pending
    // until Run() reads it.
    pthread_kill(pthread_self(), SIGTERM);
    EXPECT_EQ(provider.Run(1), SIGTERM);
    pthread_kill(pthread_self(), SIGINT);
    EXPECT_EQ(provider.Run(1), SIGINT);
}

}  // namespace
}  // namespace ozy
