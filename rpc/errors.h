// Error codes and their texts, the failure that unwinds a call or reply, and the
// Winsock error texts with the errno mapping that every transport uses.
#ifndef KYRPC_ERRORS_H
#define KYRPC_ERRORS_H

#include <string>

namespace kyrpc {

// Thrown inside the library only (marshalling, handshake); caught by the exported
// function that runs the exchange and turned into the handle's error code.
struct RpcFailure {
  int code;
};

[[noreturn]] inline void fail(int code) { throw RpcFailure{code}; }

// Text of an error code from the table, or null for the codes that report the
// transport's message instead (7, 8, 9, 999); "RPC-NOMSG..." for unknown codes.
const char* error_table_text(int code, bool* from_transport);

// Winsock number of an errno value (10000 + the BSD number and friends).
int wsa_from_errno(int err);
// Winsock number of the current errno.
int wsa_last_error();

}  // namespace kyrpc

#endif
