// Logon to a server over an RPC link, as the connection test and the servers
// dialog do it: learn the scrambling variant, ask for the second one, then
// send the user and the scrambled password. The user "28000" skips the logon.
#ifndef KYVEK_SETUP_CLIENT_AUTH_H
#define KYVEK_SETUP_CLIENT_AUTH_H

#include <cstddef>
#include <cstdint>

struct RpcHandle;

namespace kyvek::setup {

// 0 logged on (or logon skipped); -1 refused, with "Authentication failure
// (error number %ld)" in error (error_size bytes). *faze2, when given, tells
// whether the server offers the second scrambling variant.
int client_authenticate(RpcHandle* h, const char* user, const char* password, char* error, size_t error_size,
                        int32_t* faze2);

}  // namespace kyvek::setup

#endif
