#include "platform/unixctl/UnixctlCompat.h"

#include <algorithm>
#include <mutex>
#include <set>

#include "platform/unixctl/UnixctlClient.h"
#include "runtime/Logger.h"

namespace ozy::unixctl {

struct unixctl_server {
    std::unique_ptr<Server> server;
};

struct jsonrpc {
    Client client;
};

namespace {

struct CompatCommand {
    std::string name;
    std::string usage;
    int minArgs;
    int maxArgs;
    unixctl_cb_func* cb;
    void* aux;
};

// The process-wide command table and the servers it is installed on.
struct Registry {
    std::mutex mutex;
    std::vector<CompatCommand> commands;
    std::set<unixctl_server*> servers;
};

Registry& TheRegistry() {
    static Registry* registry = new Registry;  // never destroyed: used until process exit
    return *registry;
}

void Install(Server& server, const CompatCommand& c) {
    unixctl_cb_func* cb = c.cb;
    void* aux = c.aux;
    std::string name = c.name;
    server.RegisterCommand(c.name, c.usage, c.minArgs, c.maxArgs,
                           [cb, aux, name](Connection& conn, const std::vector<std::string>& args) {
                               std::vector<const char*> argv;
                               argv.reserve(args.size() + 2);
                               argv.push_back(name.c_str());
                               for (const std::string& a : args) {
                                   argv.push_back(a.c_str());
                               }
                               argv.push_back(nullptr);
                               cb(&conn, static_cast<int>(args.size() + 1), argv.data(), aux);
                           });
}

thread_local std::vector<unixctl_server*> t_waiting;

}  // namespace

int unixctl_server_create(const char* path, unixctl_server** serverp) {
    *serverp = nullptr;
    std::unique_ptr<Server> server;
    int err = Server::Create(path != nullptr ? path : "", &server);
    if (err != 0) {
        return err;
    }
    auto* handle = new unixctl_server{std::move(server)};
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (const CompatCommand& c : r.commands) {
        Install(*handle->server, c);
    }
    r.servers.insert(handle);
    *serverp = handle;
    return 0;
}

void unixctl_command_register(const char* name, const char* usage, int min_args, int max_args,
                              unixctl_cb_func* cb, void* aux) {
    if (name == nullptr || cb == nullptr) {
        CFG_WARN("unixctl: command registration without a name or callback ignored");
        return;
    }
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto same = std::find_if(r.commands.begin(), r.commands.end(),
                             [name](const CompatCommand& c) { return c.name == name; });
    if (same != r.commands.end()) {
        if (same->cb != cb) {
            CFG_WARN("unixctl: command \"%1\" is already registered with another callback", name);
        }
        return;
    }
    r.commands.push_back(
        CompatCommand{name, usage != nullptr ? usage : "", min_args, max_args, cb, aux});
    for (unixctl_server* s : r.servers) {
        Install(*s->server, r.commands.back());
    }
}

void unixctl_command_reply(unixctl_conn* conn, const char* result) {
    conn->Reply(result != nullptr ? result : "");
}

void unixctl_command_reply_error(unixctl_conn* conn, const char* error) {
    conn->ReplyError(error != nullptr ? error : "");
}

void unixctl_server_run(unixctl_server* server) {
    if (server != nullptr) {
        server->server->Run();
    }
}

void unixctl_server_wait(unixctl_server* server) {
    if (server != nullptr &&
        std::find(t_waiting.begin(), t_waiting.end(), server) == t_waiting.end()) {
        t_waiting.push_back(server);
    }
}

void poll_block() {
    if (t_waiting.empty()) {
        return;
    }
    unixctl_server* server = t_waiting.front();
    t_waiting.clear();
    server->server->Wait(-1);
}

void unixctl_server_destroy(unixctl_server* server) {
    if (server == nullptr) {
        return;
    }
    {
        Registry& r = TheRegistry();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.servers.erase(server);
    }
    t_waiting.erase(std::remove(t_waiting.begin(), t_waiting.end(), server), t_waiting.end());
    delete server;
}

Server* unixctl_server_get(unixctl_server* server) {
    return server != nullptr ? server->server.get() : nullptr;
}

int unixctl_client_create(const char* path, jsonrpc** client) {
    *client = nullptr;
    auto handle = std::make_unique<jsonrpc>();
    int err = handle->client.Connect(path != nullptr ? path : "");
    if (err != 0) {
        return err;
    }
    *client = handle.release();
    return 0;
}

void jsonrpc_close(jsonrpc* client) {
    delete client;
}

}  // namespace ozy::unixctl
