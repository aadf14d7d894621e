// Restart registration: always "not available" (see restart_registration.h).
#include "restart_registration.h"

extern "C" int restart_registration(int argc, char** argv, uint32_t restart_flags) {
  (void)argc;
  (void)argv;
  (void)restart_flags;
  return 0;
}
