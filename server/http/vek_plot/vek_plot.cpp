// vek_plot: draws the connections of an audit file per hour or per minute as
// a PNG with gnuplot.
//
//   vek_plot <audit file> hours|minutes <png file>
//
// Audit lines begin with their date ("Thu, 10 Dec 2026 17:18:13 UTC ...");
// lines without one are skipped. gnuplot runs with its script as an argument
// (no shell); the data and the script are private temporary files.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <string>

extern char** environ;

namespace {

bool parse_date(const std::string& line, struct tm* tm) {
  std::memset(tm, 0, sizeof *tm);
  const char* end = ::strptime(line.c_str(), "%a, %d %b %Y %H:%M:%S", tm);
  return end != nullptr;
}

std::string temp_file(const char* tag, const std::string& text) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/vek_plot_" + tag + "_XXXXXX";
  int fd = ::mkstemp(path.data());
  if (fd < 0) return "";
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  if (!ok) {
    ::unlink(path.c_str());
    return "";
  }
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: vek_plot audit_file hours|minutes png_file\n");
    return 2;
  }
  bool minutes = std::strcmp(argv[2], "minutes") == 0;
  std::ifstream in(argv[1]);
  if (!in) {
    std::fprintf(stderr, "vek_plot: cannot read %s\n", argv[1]);
    return 1;
  }
  std::map<std::string, unsigned long> buckets;
  std::string line;
  while (std::getline(in, line)) {
    struct tm tm;
    if (!parse_date(line, &tm)) continue;
    char key[64];
    std::snprintf(key, sizeof key, "%04d-%02d-%02d_%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                  minutes ? tm.tm_min : 0);
    ++buckets[key];
  }
  std::string data;
  for (const auto& [key, count] : buckets) data += key + " " + std::to_string(count) + "\n";
  if (data.empty()) {
    char key[32];
    time_t now = ::time(nullptr);
    struct tm tm;
    ::localtime_r(&now, &tm);
    std::strftime(key, sizeof key, "%Y-%m-%d_%H:00", &tm);
    data = std::string(key) + " 0\n";
  }
  std::string data_path = temp_file("data", data);
  if (data_path.empty()) return 1;
  std::string png = argv[3];
  for (char c : png)
    if (c == '"' || c == '\n' || c == '\\') {
      ::unlink(data_path.c_str());
      return 1;
    }
  std::string script =
      "set terminal png size 800,400\n"
      "set output \"" +
      png +
      "\"\n"
      "set xdata time\nset timefmt \"%Y-%m-%d_%H:%M\"\n"
      "set format x \"" +
      std::string(minutes ? "%H:%M" : "%d/%m %H:00") +
      "\"\n"
      "set xtics rotate by -45\nset yrange [0:*]\nset grid ytics\n"
      "set style fill solid 0.6\nset boxwidth 0.8 relative\n"
      "set title \"Connections per " +
      std::string(minutes ? "minute" : "hour") +
      "\"\n"
      "plot \"" +
      data_path + "\" using 1:2 with boxes lc rgb \"#1f4e79\" notitle\n";
  std::string script_path = temp_file("script", script);
  if (script_path.empty()) {
    ::unlink(data_path.c_str());
    return 1;
  }
  char gnuplot[] = "gnuplot";
  char* args[] = {gnuplot, script_path.data(), nullptr};
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, "gnuplot", nullptr, nullptr, args, environ);
  int status = 1;
  if (rc == 0) {
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0) {
    }
    status = WIFEXITED(st) ? WEXITSTATUS(st) : 1;
  } else {
    std::fprintf(stderr, "vek_plot: cannot run gnuplot (%s)\n", std::strerror(rc));
  }
  ::unlink(data_path.c_str());
  ::unlink(script_path.c_str());
  return status;
}
