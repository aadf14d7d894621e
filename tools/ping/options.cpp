// vekping's command line. See options.h.
#include "options.h"

#include <getopt.h>

#include <cstring>

namespace vekping {

namespace {

std::string format_message(const char* format, const char* text) {
  char buf[256];
  std::snprintf(buf, sizeof buf, format, text);
  return buf;
}

std::string format_message(const char* format, char letter) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, letter);
  return buf;
}

std::optional<std::string>* slot_of(Options& o, char letter) {
  switch (letter) {
    case 'h': return &o.host;
    case 'd': return &o.connection;
    case 't': return &o.port;
    case 'u': return &o.user;
    case 'p': return &o.password;
    default: return nullptr;
  }
}

}  // namespace

ParseResult parse_options(int argc, const char* const* argv) {
  ParseResult r;
  Options& o = r.options;
  static const option kLong[] = {{"help", no_argument, nullptr, 'H'},
                                 {"version", no_argument, nullptr, 'V'},
                                 {"host", required_argument, nullptr, 'h'},
                                 {"connection", required_argument, nullptr, 'd'},
                                 {"port", required_argument, nullptr, 't'},
                                 {"user", required_argument, nullptr, 'u'},
                                 {"password", required_argument, nullptr, 'p'},
                                 {"time", no_argument, nullptr, 'e'},
                                 {nullptr, 0, nullptr, 0}};
  // "-": arguments that are not options come back in place (and are ignored),
  // so argv is never reordered and the password's place stays known.
  // ":": a missing value is told apart from an unknown option.
  auto* args = const_cast<char* const*>(argv);
  optind = 0;
  opterr = 0;
  for (;;) {
    int index = -1;
    int c = ::getopt_long(argc, args, "-:h:d:t:u:p:e", kLong, &index);
    if (c == -1) break;
    const char* current = argv[optind - 1];
    switch (c) {
      case 1:
        if (std::strcmp(optarg, "-") == 0) {
          r.error = format_message("Invalid option %s\n", optarg);
          return r;
        }
        continue;
      case 'H': r.action = Action::kHelp; return r;
      case 'V': r.action = Action::kVersion; return r;
      case 'e': o.timed = true; continue;
      case ':':
        r.error = optopt ? format_message("Missing option value for -%c\n", char(optopt))
                         : format_message("Missing option value for %s\n", current);
        return r;
      case '?':
        r.error = optopt ? format_message("Option %c not recognised\n", char(optopt))
                         : format_message("Option %s not recognised\n", current);
        r.exit_code = 2;
        return r;
      default: break;
    }
    std::optional<std::string>* slot = slot_of(o, char(c));
    if (slot == nullptr) continue;
    *slot = std::string(optarg);
    if (c == 'p') {
      // The value is the argument itself, or follows the letter in it.
      const char* holder = argv[optind - 1];
      o.password_arg = optind - 1;
      o.password_offset = size_t(optarg - holder);
      if (optarg < holder || o.password_offset > std::strlen(holder)) {
        o.password_arg = optind - 2;
        o.password_offset = 0;
      }
    }
  }
  if (!o.host && !o.connection) {
    r.error = "No host or connection specified\n";
    return r;
  }
  r.ok = true;
  return r;
}

void print_usage(std::FILE* out) {
  std::fputs(
      "Usage: vekping [-h host | -d ODBC_connection_string] [-t port]\n"
      "               [-u osuser -p ospassword] [-e]\n"
      "       vekping --help | --version\n",
      out);
  std::fputs(
      "\n-h host\n"
      "   The name or IP address of the machine where the VEK Server is.\n"
      "-d ODBC_connection_string\n"
      "   The ODBC connection string is that defined by ODBC.\n"
      "   i.e. a list of semi-colon separated attribute=value pairs.\n"
      "   e.g. DSN=test;UID=lusk;PWD=drelka;\n"
      "   \n"
      "   If you specify -u and/or -p as well as -d\n"
      "   \"LogonUser=xxx;LogonAuth=yyy;\" will be added to the end of the\n"
      "   connection string where xxx and yyy are the values specified for\n"
      "   -u and -p.\n"
      "-t port\n"
      "   The port on which the VEK Server is listening\n"
      "-u osuser\n"
      "   A valid username on the \"host\" operating system\n"
      "-p ospassword\n"
      "   A password for the user specified with -u\n"
      "-e Show time to complete the requested operation\n"
      "--help     Print this help and exit\n"
      "--version  Print the version and exit\n"
      "\n"
      "Exit status: 0 the check passed, 1 the command line lacks something,\n"
      "2 the check failed or an option is not known.\n\n",
      out);
}

}  // namespace vekping
