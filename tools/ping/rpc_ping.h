// vekping's RPC mode: opens the RPC link to a server, reports its version and
// name, agrees on the scrambling variant and, given both a user and a
// password, logs on. Progress goes to standard output, failures to standard
// error. Single-threaded.
#ifndef KYVEK_TOOLS_PING_RPC_PING_H
#define KYVEK_TOOLS_PING_RPC_PING_H

namespace vekping {

// 0 when the server answered (and accepted the logon, when one was tried);
// -1 otherwise. port null means "8888"; user or password null: no logon.
// The link is closed and the handle freed on every path.
int rpc_ping(const char* host, const char* port, const char* user, const char* password);

}  // namespace vekping

#endif
