// Temporary bodies of the exported interface; replaced unit by unit.
#include "kyrpc.h"

#include <cstdarg>

extern "C" {
RpcHandle* RPCAllocHandle(void) { return nullptr; }
int RPCInitialise(RpcHandle*, int, int) { return 1; }
int RPCEnumerateTransports(RpcHandle*, int, const char**, const char**) { return 1; }
int RPCSetTransportOpts(RpcHandle*, int, const char*, const char*, const char*, const char*,
                        const char*, const char*, const char*) { return 1; }
int RPCSetLowLTransportOpts(RpcHandle*, int, ...) { return 1; }
int SetTracing(RpcHandle*, const char*) { return 1; }
int RPCConnect(RpcHandle*, int, int, const char*) { return 1; }
int RPCDisconnect(RpcHandle*) { return 1; }
int RPCTerminate(RpcHandle*) { return 1; }
int RPCFreeHandle(RpcHandle*) { return 1; }
int RPCExport(RpcHandle*, const FunctionDescriptor*) { return 1; }
int RPCRun(RpcHandle*) { return 1; }
int RPCExec(RpcHandle*, const char*, ...) { return 1; }
int RPCFuncExists(RpcHandle*, const char*) { return 0; }
int RPCGetInfo(RpcHandle*, int, char*, size_t) { return -1; }
void* RPCGetPrivatePtr(RpcHandle*) { return nullptr; }
int RPCRegisterPrivatePtr(RpcHandle*, void*, int) { return 1; }
int RPCRegisterTerminateFn(RpcHandle*, void (*)(void*), void*) { return 1; }
int RPCSetError(RpcHandle*, void (*)(int, void*), void*) { return 1; }
int RPCIsConnected(RpcHandle*) { return 0; }
int RPCLastRPC(RpcHandle*, const char**) { return -1; }
int RPCReportError(RpcHandle*, const char** text) {
  if (text) *text = "RPC-NOMSG, No message available";
  return -1;
}
const char* WSAErrorToText(int) { return "error"; }
void* __RPCextractarg(ArgumentDescriptor**) { return nullptr; }
ArgumentDescriptor** __RPCsetarg(ArgumentDescriptor** cursor, intptr_t) { return cursor; }
}
