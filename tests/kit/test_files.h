// Temporary directories, files and the trace log for the client unit tests.
#pragma once

#include <string>
#include <vector>

namespace kytest {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
std::vector<std::string> read_lines(const std::string& path);
void write_file(const std::string& path, const std::string& text);
// The text of a trace line after its "<thread id>: " prefix.
std::string without_prefix(const std::string& line);

// Builds a German locale (decimal comma) under dir, points LOCPATH at it and
// switches the process to it; false when it cannot be built.
bool switch_to_decimal_comma_locale(const TempDir& dir);

// Points the trace log at a fresh file of dir (mask and options cleared).
std::string fresh_trace_log(const TempDir& dir);

}  // namespace kytest
