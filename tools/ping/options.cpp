// vekping's command line. See options.h.
#include "options.h"

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
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg == nullptr || arg[0] != '-') continue;
    char letter = arg[1];
    if (letter == '\0') {
      r.error = format_message("Invalid option %s\n", arg);
      return r;
    }
    if (letter == 'e') {
      o.timed = true;
      continue;
    }
    std::optional<std::string>* slot = slot_of(o, letter);
    if (slot == nullptr) {
      r.error = format_message("Option %c not recognised\n", letter);
      return r;
    }
    int value_arg = i;
    std::size_t offset = 2;
    if (arg[2] == '\0') {
      if (i + 1 >= argc || argv[i + 1] == nullptr) {
        r.error = format_message("Missing option value for -%c\n", letter);
        return r;
      }
      value_arg = ++i;
      offset = 0;
    }
    *slot = std::string(argv[value_arg] + offset);
    if (letter == 'p') {
      o.password_arg = value_arg;
      o.password_offset = offset;
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
      "vekping [-h host | -d ODBC_connection_string] {-t port}\n"
      "        {-u osuser -p ospassword} {-e}\n",
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
      "-e Show time to complete the requested operation\n\n",
      out);
}

}  // namespace vekping
