// A stand-in for the setup library's two dialogs, for the driver's tests: it
// answers as KYVEK_FAKE_DIALOG says at call time ("cancel", "fail", else
// confirm) and fills what a user would have typed.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kysupp.h"

namespace {
std::string answer() {
  const char* a = std::getenv("KYVEK_FAKE_DIALOG");
  return a ? a : "confirm";
}
int result() {
  std::string a = answer();
  return a == "cancel" ? 0 : a == "fail" ? -5 : 1;
}
}  // namespace

extern "C" __attribute__((visibility("default"))) int vek_prompt_logon(int32_t, char* user, char* password,
                                                                       int32_t size) {
  int r = result();
  if (r > 0) {
    std::snprintf(user, static_cast<size_t>(size), "%s", "dialog-user");
    std::snprintf(password, static_cast<size_t>(size), "%s", "dialog;pw");
  }
  return r;
}

extern "C" __attribute__((visibility("default"))) int vek_complete_info(void*, con_str* list, uint32_t* mask,
                                                                        mem_handle* pool) {
  int r = result();
  if (r > 0) {
    const char* sp = std::getenv("KYVEK_FAKE_SERVERPORT");
    append_pair(list, "SERVERPORT", sp ? sp : "", pool);
    append_pair(list, "TARGETDSN", "from-dialog", pool);
    *mask |= 0x80080;
  }
  return r;
}
