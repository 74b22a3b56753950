// The Open vSwitch-style functions, used the way the CLI server's loop uses them.
#include "platform/unixctl/UnixctlCompat.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/unixctl/UnixctlClient.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace ozy::unixctl {
namespace {

using CfgAgent::test::LogCapture;
using CfgAgent::test::TempDir;

struct Aux {
    std::atomic<int> calls{0};
    std::string prefix;
};

void EchoArgv(unixctl_conn* conn, int argc, const char* argv[], void* aux) {
    auto* a = static_cast<Aux*>(aux);
    ++a->calls;
    std::string text = a->prefix;
    for (int i = 0; i < argc; ++i)
        text += std::string(i ? " " : "") + argv[i];
    EXPECT_EQ(argv[argc], nullptr);
    unixctl_command_reply(conn, text.c_str());
}

void Refuse(unixctl_conn* conn, int, const char*[], void*) {
    unixctl_command_reply_error(conn, "Query Service Path fail");
}

// The loop of a CLI server thread: run, then wait while the running flag is set.
void ServeUntilStopped(unixctl_server* server, std::atomic<bool>* running) {
    for (;;) {
        unixctl_server_run(server);
        if (!running->load())
            break;
        unixctl_server_wait(server);
        poll_block();
    }
}

TEST(UnixctlCompatTest, CommandsRegisteredBeforeAndAfterCreationAreServedUntilTheWakeUpClient) {
    LogCapture log;
    TempDir dir("ozy-unixctl");
    std::string path = dir.path() + "/cli";
    static Aux aux;  // registered process-wide: must outlive every server
    aux.prefix = "got: ";
    const int callsBefore = aux.calls.load();
    unixctl_command_register("compat/echo", "ARG", 1, 2, EchoArgv, &aux);
    unixctl_command_register("compat/echo", "ARG", 1, 2, EchoArgv, &aux);  // same: ignored
    unixctl_command_register("compat/echo", "", 0, 0, Refuse, nullptr);    // other: refused
    EXPECT_TRUE(log.Contains(
        "unixctl: command \"compat/echo\" is already registered with another callback"));

    unixctl_server* server = nullptr;
    ASSERT_EQ(unixctl_server_create(path.c_str(), &server), 0);
    ASSERT_NE(server, nullptr);
    unixctl_command_register("compat/refuse", "", 0, 0, Refuse, nullptr);

    std::atomic<bool> running{true};
    std::thread loop(ServeUntilStopped, server, &running);

    Client c;
    ASSERT_EQ(c.Connect(path), 0);
    Reply r;
    ASSERT_EQ(c.Transact("compat/echo", {"a", "b"}, &r), 0);
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r.text, "got: compat/echo a b\n");
    ASSERT_EQ(c.Transact("compat/refuse", {}, &r), 0);
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.text, "Query Service Path fail\n");
    ASSERT_EQ(c.Transact("compat/echo", {"a", "b", "c"}, &r), 0);
    EXPECT_EQ(r.text, "\"compat/echo\" command takes at most 2 arguments\n");
    ASSERT_EQ(c.Transact("list-commands", {}, &r), 0);
    EXPECT_NE(r.text.find("\n  compat/echo             ARG\n"), std::string::npos) << r.text;
    EXPECT_NE(r.text.find("\n  compat/refuse           \n"), std::string::npos) << r.text;
    EXPECT_EQ(aux.calls.load(), callsBefore + 1);

    // Stop: clear the flag, then wake the loop by connecting and closing at once.
    running.store(false);
    jsonrpc* wake = nullptr;
    ASSERT_EQ(unixctl_client_create(path.c_str(), &wake), 0);
    jsonrpc_close(wake);
    loop.join();
    unixctl_server_destroy(server);
    struct stat st;
    EXPECT_NE(::stat(path.c_str(), &st), 0);

    jsonrpc* none = nullptr;
    EXPECT_NE(unixctl_client_create(path.c_str(), &none), 0);
    EXPECT_EQ(none, nullptr);
    // Null handles are accepted as the library accepts them.
    unixctl_server_run(nullptr);
    unixctl_server_destroy(nullptr);
}

TEST(UnixctlCompatTest, CreationFailureLeavesNoServer) {
    unixctl_server* server = reinterpret_cast<unixctl_server*>(1);
    std::string longPath = "/tmp/" + std::string(200, 'x');
    EXPECT_EQ(unixctl_server_create(longPath.c_str(), &server), ENAMETOOLONG);
    EXPECT_EQ(server, nullptr);
}

}  // namespace
}  // namespace ozy::unixctl
