// The setup library's dialogs, loaded only when a dialog is needed, so that a
// driver on a machine without the setup library (or without a display) still
// connects whenever no dialog is asked for.
#include <dlfcn.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "driver.h"
#include "kysupp.h"
#include "trace.h"

namespace kyvek::driver {

namespace {

using CompleteInfoFn = int (*)(void* hwnd, con_str* list, uint32_t* mask, mem_handle* pool);
using PromptLogonFn = int (*)(int32_t kind, char* user, char* password, int32_t size);

struct SetupLibrary {
  void* handle = nullptr;
  CompleteInfoFn complete_info = nullptr;
  PromptLogonFn prompt_logon = nullptr;
};

const SetupLibrary& setup_library() {
  static SetupLibrary lib;
  static std::once_flag once;
  std::call_once(once, [] {
    // KYVEK_SETUP_LIBRARY names the library outright (tests); otherwise the
    // one beside the driver, then the loader's search path.
    std::vector<std::string> candidates;
    if (const char* forced = std::getenv("KYVEK_SETUP_LIBRARY"); forced && *forced) {
      candidates.push_back(forced);
    } else {
      Dl_info info{};
      if (dladdr(reinterpret_cast<void*>(&setup_library), &info) && info.dli_fname) {
        std::string self = info.dli_fname;
        size_t slash = self.rfind('/');
        if (slash != std::string::npos) candidates.push_back(self.substr(0, slash + 1) + "libkyvekset.so");
      }
      candidates.push_back("libkyvekset.so");
    }
    for (const std::string& c : candidates) {
      lib.handle = dlopen(c.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (lib.handle) break;
    }
    if (!lib.handle) {
      TRACE(kTraceConnect, "\tSetup library not available: %s\n", dlerror());
      return;
    }
    lib.complete_info = reinterpret_cast<CompleteInfoFn>(dlsym(lib.handle, "vek_complete_info"));
    lib.prompt_logon = reinterpret_cast<PromptLogonFn>(dlsym(lib.handle, "vek_prompt_logon"));
  });
  return lib;
}

}  // namespace

int dialog_complete_info(void* hwnd, AttrList& list, uint32_t* mask) {
  const SetupLibrary& lib = setup_library();
  if (!lib.complete_info) return -1;
  mem_handle* pool = ky_mem_alloc_handle(nullptr);
  if (!pool) return -2;
  con_str cs;
  init_con_str(&cs);
  for (const auto& p : list.pairs()) append_pair(&cs, p.first.c_str(), p.second.c_str(), pool);
  int r = lib.complete_info(hwnd, &cs, mask, pool);
  if (r > 0) {
    list.clear();
    if (cs.list) {
      for (ListNode* n = ListFirst(cs.list); n; n = ListNext(n)) {
        auto* p = static_cast<pair*>(ListData(n));
        if (p && p->key) list.set(p->key, p->value ? p->value : "");
      }
    }
  }
  ky_mem_release_handle(pool);
  return r == -1 ? -2 : r;  // -1 is kept for "no library"
}

int dialog_prompt_logon(int kind, char* user, char* password, int size) {
  const SetupLibrary& lib = setup_library();
  if (!lib.prompt_logon) return -1;
  int r = lib.prompt_logon(kind, user, password, size);
  return r == -1 ? -2 : r;  // -1 is kept for "no library"
}

}  // namespace kyvek::driver
