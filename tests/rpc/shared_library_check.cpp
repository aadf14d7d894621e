// The shared library as its users get it: the C header, the 25 exported names and
// nothing else (the hash table inside stays hidden).
#include <dlfcn.h>

#include <gtest/gtest.h>

extern "C" int kyrpc_c_smoke(void);

namespace {

TEST(SharedLibrary, CallableFromC) { EXPECT_EQ(kyrpc_c_smoke(), 0); }

TEST(SharedLibrary, ExportsOnlyItsInterface) {
  void* lib = ::dlopen("libkyrpc.so", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(lib, nullptr) << ::dlerror();
  for (const char* name : {"RPCAllocHandle",
                           "RPCCollect",
                           "RPCConnect",
                           "RPCDisconnect",
                           "RPCEnumerateTransports",
                           "RPCExec",
                           "RPCExport",
                           "RPCFreeHandle",
                           "RPCFuncExists",
                           "RPCGetInfo",
                           "RPCGetPrivatePtr",
                           "RPCInitialise",
                           "RPCIsConnected",
                           "RPCLastRPC",
                           "RPCPermitTracing",
                           "RPCPost",
                           "RPCQueue",
                           "RPCRegisterPrivatePtr",
                           "RPCRegisterTerminateFn",
                           "RPCReportError",
                           "RPCRun",
                           "RPCSetError",
                           "RPCSetLowLTransportOpts",
                           "RPCSetTransportOpts",
                           "RPCTerminate",
                           "SetTracing",
                           "WSAErrorToText",
                           "__RPCextractarg",
                           "__RPCsetarg"})
    EXPECT_NE(::dlsym(lib, name), nullptr) << name;
  for (const char* hidden : {"ky_make_hash_table", "ky_find_hash_item", "ky_add_hash_item"})
    EXPECT_EQ(::dlsym(lib, hidden), nullptr) << hidden;
  ::dlclose(lib);
}

}  // namespace
