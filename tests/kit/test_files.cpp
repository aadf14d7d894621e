#include "test_files.h"

#include <stdlib.h>

#include <clocale>
#include <cstdio>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "trace_log.h"

namespace kytest {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "kyvek-client-XXXXXX").string();
  path_ = ::mkdtemp(tmpl.data()) ? tmpl : std::string();
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::string without_prefix(const std::string& line) {
  auto p = line.find(": ");
  return p == std::string::npos ? line : line.substr(p + 2);
}

bool switch_to_decimal_comma_locale(const TempDir& dir) {
  std::string cmd = "localedef -i de_DE -f UTF-8 '" + dir.file("de_DE.UTF-8") + "' >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) return false;
  ::setenv("LOCPATH", dir.path().c_str(), 1);
  bool ok = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
  char buf[8];
  std::snprintf(buf, sizeof buf, "%.1f", 1.5);
  return ok && buf[1] == ',';
}

std::string fresh_trace_log(const TempDir& dir) {
  trace_log_reset_for_tests();
  std::string path = dir.file("trace.log");
  std::filesystem::remove(path);
  set_log_file(path.c_str());
  return path;
}

}  // namespace kytest
