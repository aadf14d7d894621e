// The server's trace log captured in a private directory: started afresh with
// the bits a test asks for, read back as text, and its exit lines counted.
// Header-only: for tests that link the server's handlers (trace_log).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "trace_log.h"

namespace kytest {

class TraceCapture {
 public:
  TraceCapture() {
    char tmpl[] = "/tmp/kyvek-trace-XXXXXX";
    EXPECT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    log_ = dir_ + "/kyvekserver.log";
  }
  ~TraceCapture() {
    trace_log_reset_for_tests();
    std::filesystem::remove_all(dir_);
  }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  // Starts a fresh log with the given bits (after the handles exist: an
  // environment allocation reloads the mask from the settings).
  void start(uint32_t mask) {
    close_log();
    std::filesystem::remove(log_);
    set_log_file(log_.c_str());
    set_trace_mask(mask);
  }
  // Stops tracing and returns what the log holds.
  std::string stop() {
    set_trace_mask(0);
    close_log();
    std::ifstream in(log_);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  const std::string& path() const { return log_; }

 private:
  std::string dir_, log_;
};

// The exit lines of a handler in a log: every line holding "-name()=" (after
// the line's thread prefix), without its newline.
inline std::vector<std::string> exit_lines(const std::string& log, const std::string& name) {
  std::vector<std::string> found;
  std::istringstream in(log);
  const std::string mark = "-" + name + "()=";
  for (std::string line; std::getline(in, line);) {
    const size_t at = line.find(mark);
    if (at != std::string::npos) found.push_back(line.substr(at));
  }
  return found;
}

}  // namespace kytest
