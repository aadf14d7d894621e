/* The public header compiles as C and its operations link from C against the
 * shared library. */
#include "kyrpc.h"

#include <string.h>

int kyrpc_c_smoke(void) {
  RpcHandle* h = RPCAllocHandle();
  const char* name = 0;
  const char* description = 0;
  const char* text = 0;
  int failures = 0;
  if (h == 0) return 100;
  failures += RPCEnumerateTransports(h, 0, &name, &description) != 1; /* before initialising */
  failures += RPCInitialise(h, RPC_MODE_CLIENT, 0) != 0;
  failures += RPCEnumerateTransports(h, RPC_TRANSPORT_WINSOCK, &name, &description) != 0;
  failures += strcmp(name, RPC_TRANSPORT_NAME_WINSOCK) != 0;
  failures += RPCSetTransportOpts(h, RPC_TRANSPORT_BSD, "127.0.0.1", "1", 0, 0, 0, 0, 0) != 0;
  failures += RPCSetLowLTransportOpts(h, 1, RPC_LOWL_ATTEMPTS, "1") != 0;
  failures += RPCReportError(h, &text) != 0;
  failures += strcmp(WSAErrorToText(10061), "Connection refused") != 0;
  failures += RPCIsConnected(h) != 0;
  failures += RPCTerminate(h) != 0;
  failures += RPCFreeHandle(h) != 0;
  return failures;
}
