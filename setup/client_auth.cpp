// Logon over an RPC link. See client_auth.h.
#include "client_auth.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "remote_stubs.h"
#include "scramble.h"
#include "trace.h"

namespace kyvek::setup {

int client_authenticate(RpcHandle* h, const char* user, const char* password, char* error, size_t error_size,
                        int32_t* faze2) {
  char info[101] = {};
  int32_t length = 100;
  bool has_faze2 = remote_server_get_info(h, 3, &length, info) == 0 && std::strcmp(info, SERVER_HAS_FAZE2) == 0;
  if (faze2) *faze2 = has_faze2 ? 1 : 0;
  static const char kOn[] = "1";
  remote_server_set_attribute(h, SERVER_ATTR_USE_FAZE2, static_cast<int32_t>(sizeof kOn), kOn);
  if (user && std::strcmp(user, "28000") == 0) return 0;

  const char* plain = password ? password : "";
  size_t n = std::strlen(plain);
  std::vector<char> scrambled(2 * n + 1, '\0');
  std::memcpy(scrambled.data(), plain, n);
  scramble_string(scrambled.data(), has_faze2 ? KY_SCRAMBLE_FAZE2_SCRAMBLE : KY_SCRAMBLE_SCRAMBLE);
  int32_t rc = remote_authenticate(h, user ? user : "", scrambled.data());
  explicit_bzero(scrambled.data(), scrambled.size());
  if (rc != 0) {
    // The driver's words for a refused logon.
    const bool wrong = rc == 1326 || rc == 1317;
    if (error && error_size > 0)
      std::snprintf(error, error_size, "logon failed for user %s: %s (%ld)", user ? user : "",
                    wrong ? "wrong user name or password" : "refused by the server; the server's log says why",
                    static_cast<long>(rc));
    SETUP_TRACE("logon failed (%ld)\n", static_cast<long>(rc));
    return -1;
  }
  return 0;
}

}  // namespace kyvek::setup
