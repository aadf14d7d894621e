// DSN enumeration: a reader of the odbc.ini text format.
#include "enumerate_dsns.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "attr_list.h"

namespace {

using kyvek::driver::iequals;

std::string ini_path(uint32_t flags) {
  if (flags & 0x1) {
    const char* sys = std::getenv("ODBCSYSINI");
    return std::string(sys && *sys ? sys : "/etc") + "/odbc.ini";
  }
  if (const char* user = std::getenv("ODBCINI"); user && *user) return user;
  const char* home = std::getenv("HOME");
  return home && *home ? std::string(home) + "/.odbc.ini" : std::string();
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

char** field(vek_dsn_entry* e, const std::string& key) {
  struct Row {
    const char* key;
    char* vek_dsn_entry::*member;
  };
  static constexpr Row kRows[] = {
      {"Description", &vek_dsn_entry::description},
      {"SERVER", &vek_dsn_entry::server},
      {"PORT", &vek_dsn_entry::port},
      {"TRANSPORT", &vek_dsn_entry::transport},
      {"TARGETUSER", &vek_dsn_entry::target_user},
      {"TARGETAUTH", &vek_dsn_entry::target_auth},
      {"TARGETDSN", &vek_dsn_entry::target_dsn},
      {"LOGONUSER", &vek_dsn_entry::logon_user},
      {"LOGONAUTH", &vek_dsn_entry::logon_auth},
      {"BLOCKFETCHSIZE", &vek_dsn_entry::block_fetch_size},
  };
  for (const Row& r : kRows)
    if (iequals(key, r.key)) return &(e->*r.member);
  return nullptr;
}

void free_entry(vek_dsn_entry* e) {
  for (char* vek_dsn_entry::*m :
       {&vek_dsn_entry::name, &vek_dsn_entry::description, &vek_dsn_entry::server, &vek_dsn_entry::port,
        &vek_dsn_entry::transport, &vek_dsn_entry::target_user, &vek_dsn_entry::target_auth, &vek_dsn_entry::target_dsn,
        &vek_dsn_entry::logon_user, &vek_dsn_entry::logon_auth, &vek_dsn_entry::block_fetch_size})
    std::free(e->*m);
  std::free(e);
}

void append(vek_dsn_list* list, vek_dsn_entry* e) {
  if (!e) return;
  if (list->last)
    list->last->next = e;
  else
    list->first = e;
  list->last = e;
}

vek_dsn_list* choose_ini_dsn(vek_dsn_list* list, uint32_t flags) {
  std::string path = ini_path(flags);
  if (path.empty()) {
    std::fputs("choose_ini_dsn() could not locate a readable ini file\n", stderr);
    return nullptr;
  }
  FILE* f = std::fopen(path.c_str(), "re");
  if (!f) {
    std::perror("Failed to open odbc.ini for read access\n");
    return nullptr;
  }
  char buf[1024];
  int line_no = 0;
  vek_dsn_entry* open = nullptr;
  while (std::fgets(buf, sizeof buf, f)) {
    ++line_no;
    size_t n = std::strlen(buf);
    if (n == 0) continue;
    if (buf[n - 1] != '\n' && !std::feof(f)) {
      // Over-long line: report it and skip its remainder.
      std::fprintf(stderr, "Line %d too long to handle\n", line_no);
      int c;
      while ((c = std::fgetc(f)) != EOF && c != '\n') {
      }
      continue;
    }
    std::string line = trim(std::string(buf, buf[n - 1] == '\n' ? n - 1 : n));
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      append(list, open);
      open = nullptr;
      size_t close = line.find(']');
      if (close == std::string::npos) continue;
      open = static_cast<vek_dsn_entry*>(std::calloc(1, sizeof(vek_dsn_entry)));
      if (open) open->name = strdup(line.substr(1, close - 1).c_str());
      continue;
    }
    if (!open) continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (char** slot = field(open, trim(line.substr(0, eq)))) {
      std::free(*slot);  // a repeated key keeps the last value
      *slot = strdup(trim(line.substr(eq + 1)).c_str());
    }
  }
  append(list, open);
  std::fclose(f);
  return list;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) vek_dsn_list* enumerate_dsns(vek_dsn_list* list, uint32_t flags) {
  if (list) {
    vek_dsn_entry* e = list->first;
    while (e) {
      vek_dsn_entry* next = e->next;
      free_entry(e);
      e = next;
    }
    std::free(list);
    return nullptr;
  }
  auto* fresh = static_cast<vek_dsn_list*>(std::calloc(1, sizeof(vek_dsn_list)));
  if (!fresh) {
    std::fputs("Failed to allocate memory for list\n", stderr);
    return nullptr;
  }
  if (!choose_ini_dsn(fresh, flags)) {
    std::free(fresh);
    return nullptr;
  }
  return fresh;
}
