#pragma once
// The Open vSwitch unixctl functions, with the library's contracts, on top of Server and Client.
// Code written in the library's terms (the CLI server's loop) uses these; new code may use the
// classes directly.
//
// As in the library, commands are registered process-wide: unixctl_command_register() adds a
// command to every server created by unixctl_server_create(), before or after it. Registering a
// name again with the same callback does nothing; with another callback it is refused with a log
// line (the library asserts). The callback gets argv[0] = command name, then the arguments.
//
// Differences from the library, by design: a callback must reply before it returns (see
// UnixctlServer.h; a missing reply becomes an error reply); poll_block() waits for the servers
// passed to unixctl_server_wait() on the same thread since the last poll_block(), and only for
// the first of them when there are several (one server per thread is what the callers need);
// without any it returns at once.
#include "platform/unixctl/UnixctlServer.h"

namespace ozy::unixctl {

struct unixctl_server;
struct jsonrpc;
using unixctl_conn = Connection;
using unixctl_cb_func = void(unixctl_conn* conn, int argc, const char* argv[], void* aux);

// 0 and `*serverp`, or an errno value with `*serverp` null.
int unixctl_server_create(const char* path, unixctl_server** serverp);
void unixctl_command_register(const char* name, const char* usage, int min_args, int max_args,
                              unixctl_cb_func* cb, void* aux);
void unixctl_command_reply(unixctl_conn* conn, const char* result);
void unixctl_command_reply_error(unixctl_conn* conn, const char* error);
void unixctl_server_run(unixctl_server* server);
void unixctl_server_wait(unixctl_server* server);
void poll_block();
void unixctl_server_destroy(unixctl_server* server);
// The Server behind a handle (for Wake() and for tests).
Server* unixctl_server_get(unixctl_server* server);

// Connects to the server at `path`: 0 and `*client`, or an errno value with `*client` null.
int unixctl_client_create(const char* path, jsonrpc** client);
void jsonrpc_close(jsonrpc* client);

}  // namespace ozy::unixctl
