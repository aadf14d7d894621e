// vekping: checks from the command line that a kyvekserver answers, either by
// the RPC link alone (-h) or through a full ODBC connection (-d).
//
// Exit status: 0 the check passed (or --help, --version), 1 the command line
// lacks something, 2 the check failed or an option is not known.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "odbc_ping.h"
#include "options.h"
#include "restart_registration.h"
#include "rpc_ping.h"

static_assert(sizeof(void*) == 8, "vekping is a 64-bit program");

namespace {

constexpr int kExitPassed = 0;
constexpr int kExitUsage = 1;
constexpr int kExitFailed = 2;
constexpr int kExitUnknownOption = 2;  // as getopt_long programs do
constexpr uint32_t kRestartFlags =
    KY_RESTART_NO_CRASH | KY_RESTART_NO_HANG | KY_RESTART_NO_PATCH | KY_RESTART_NO_REBOOT;

struct Millis {
  long seconds;
  long millis;
};

// Monotonic, so that a clock change during the check cannot give a negative
// or absurd time.
Millis now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return {static_cast<long>(ts.tv_sec), static_cast<long>(ts.tv_nsec / 1000000)};
}

// The password given on the command line stays visible to other users (in the
// process list) only until the options are read.
void blank_password_argument(char** argv, const vekping::Options& o) {
  if (o.password_arg <= 0) return;
  char* value = argv[o.password_arg] + o.password_offset;
  std::memset(value, 'x', std::strlen(value));
}

}  // namespace

int main(int argc, char** argv) {
  restart_registration(argc, argv, kRestartFlags);
  vekping::ParseResult parsed = vekping::parse_options(argc, argv);
  blank_password_argument(argv, parsed.options);
  if (parsed.action == vekping::Action::kHelp) {
    vekping::print_usage(stdout);
    return kExitPassed;
  }
  if (parsed.action == vekping::Action::kVersion) {
    std::printf("vekping %s\n", KYVEK_VERSION_TEXT);
    return kExitPassed;
  }
  if (!parsed.ok) {
    std::fputs(parsed.error.c_str(), stderr);
    vekping::print_usage(stderr);
    return parsed.exit_code == 2 ? kExitUnknownOption : kExitUsage;
  }
  const vekping::Options& o = parsed.options;

  Millis start{};
  if (o.timed) start = now();
  if (o.connection) {
    SQLRETURN rc = vekping::odbc_ping(*o.connection, o.user, o.password);
    if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) return kExitFailed;
  } else {
    int rc = vekping::rpc_ping(o.host->c_str(), o.port ? o.port->c_str() : nullptr, o.user ? o.user->c_str() : nullptr,
                               o.password ? o.password->c_str() : nullptr);
    if (rc < 0) return kExitFailed;
  }
  if (o.timed) {
    Millis end = now();
    long seconds = end.seconds - start.seconds;
    long millis = end.millis - start.millis;
    if (millis < 0) {
      --seconds;
      millis += 1000;
    }
    std::printf("Time for execution: %ld.%03lds\n", seconds, millis);
  }
  return kExitPassed;
}
