// vekping's command line: the option table, the usage and help texts.
//
// Options -h host, -d connection string, -t port, -u user, -p password take a
// value, either attached to the letter ("-t8888") or as the next argument;
// -e takes none; long forms --host, --connection, --port, --user, --password,
// --time, and --help and --version (parsed with getopt_long). Arguments that
// do not begin with '-' are ignored. Parsing stops at the first usage error.
#ifndef KYVEK_TOOLS_PING_OPTIONS_H
#define KYVEK_TOOLS_PING_OPTIONS_H

#include <cstdio>
#include <optional>
#include <string>

namespace vekping {

inline constexpr const char* kDefaultPort = "8888";

struct Options {
  std::optional<std::string> host;
  std::optional<std::string> connection;
  std::optional<std::string> port;
  std::optional<std::string> user;
  std::optional<std::string> password;
  bool timed = false;
  // Where the password sits in the argument vector (argument index and the
  // offset of its first byte), so that the caller can blank it; index 0: none.
  int password_arg = 0;
  std::size_t password_offset = 0;
};

enum class Action { kCheck, kHelp, kVersion };

struct ParseResult {
  bool ok = false;
  Action action = Action::kCheck;  // --help and --version end the parsing
  Options options;
  std::string error;  // the usage message line when !ok
  int exit_code = 1;  // when !ok: 1 something missing, 2 an unknown option
};

ParseResult parse_options(int argc, const char* const* argv);

// The usage line and the help text.
void print_usage(std::FILE* out);

}  // namespace vekping

#endif
