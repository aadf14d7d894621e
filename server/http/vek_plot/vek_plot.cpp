// vek_plot: draws the connections of an audit file per hour or per minute as
// a PNG with gnuplot.
//
//   vek_plot <audit file> hours|minutes <png file>
//
// Audit lines begin with their date ("Thu, 10 Dec 2026 17:18:13 UTC ...");
// lines without one are skipped. Every interval from the first line's to the
// last line's is drawn, the empty ones as zero, each bar over its own
// interval; the y axis leaves room above the tallest bar. gnuplot runs with
// its script as an argument (no shell), its messages go nowhere; the data and
// the script are private temporary files.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <string>

extern char** environ;

namespace {

// Seconds since 1970 of a line's date (the trail writes UTC), or -1.
int64_t line_time(const std::string& line) {
  struct tm tm {};
  if (::strptime(line.c_str(), "%a, %d %b %Y %H:%M:%S", &tm) == nullptr) return -1;
  return static_cast<int64_t>(::timegm(&tm));
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

// A step between x labels, in intervals, that leaves at most `most` labels.
int64_t label_step(int64_t intervals, bool minutes, int most) {
  static const int64_t minute_steps[] = {1, 2, 5, 10, 15, 30, 60, 120, 180, 360, 720, 1440, 2880, 10080};
  static const int64_t hour_steps[] = {1, 2, 3, 6, 12, 24, 48, 96, 168, 336, 720};
  const int64_t* steps = minutes ? minute_steps : hour_steps;
  size_t n = minutes ? std::size(minute_steps) : std::size(hour_steps);
  for (size_t i = 0; i < n; ++i)
    if (intervals / steps[i] + 1 <= most) return steps[i];
  int64_t last = steps[n - 1];
  return (intervals / most / last + 1) * last;
}

// The y axis's top: room above the tallest bar, whole numbers.
long y_top(unsigned long tallest) {
  unsigned long room = std::max(1ul, (tallest + 9) / 10);
  return static_cast<long>(tallest + room);
}

// Runs gnuplot on the script; its exit code, or 1. Waits only through
// interrupted calls: once the child is gone (or was never ours) it stops.
int run_gnuplot(std::string& script_path) {
  char gnuplot[] = "gnuplot";
  char* args[] = {gnuplot, script_path.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, "gnuplot", &actions, nullptr, args, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    std::fprintf(stderr, "vek_plot: cannot run gnuplot (%s)\n", std::strerror(rc));
    return 1;
  }
  int st = 0;
  pid_t got;
  while ((got = ::waitpid(pid, &st, 0)) < 0 && errno == EINTR) {
  }
  if (got != pid) return 1;
  if (WIFEXITED(st) && WEXITSTATUS(st) == 0) return 0;
  std::fprintf(stderr, "vek_plot: gnuplot failed (status %d)\n", st);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // A parent that ignores SIGCHLD would hand that on, and gnuplot's end could
  // then not be waited for.
  std::signal(SIGCHLD, SIG_DFL);
  if (argc != 4) {
    std::fprintf(stderr, "usage: vek_plot audit_file hours|minutes png_file\n");
    return 2;
  }
  const bool minutes = std::strcmp(argv[2], "minutes") == 0;
  const int64_t interval = minutes ? 60 : 3600;
  std::ifstream in(argv[1]);
  if (!in) {
    std::fprintf(stderr, "vek_plot: cannot read %s\n", argv[1]);
    return 1;
  }
  std::map<int64_t, unsigned long> buckets;
  std::string line;
  while (std::getline(in, line)) {
    int64_t t = line_time(line);
    if (t >= 0) ++buckets[t / interval * interval];
  }
  if (buckets.empty()) buckets[static_cast<int64_t>(::time(nullptr)) / interval * interval] = 0;
  const std::string png = argv[3];
  if (png.find_first_of("\"\n\\") != std::string::npos) return 1;

  const int64_t first = buckets.begin()->first, last = buckets.rbegin()->first;
  const int64_t intervals = (last - first) / interval + 1;
  // Each bar stands over its own interval; the intervals without a line are
  // zero rather than left out (gnuplot would otherwise widen its neighbours).
  std::string data;
  unsigned long tallest = 0;
  for (int64_t t = first; t <= last; t += interval) {
    auto it = buckets.find(t);
    unsigned long count = it == buckets.end() ? 0 : it->second;
    tallest = std::max(tallest, count);
    data += std::to_string(t + interval / 2) + " " + std::to_string(count) + "\n";
  }
  std::string data_path = temp_file("data", data);
  if (data_path.empty()) return 1;

  const bool many_days = last + interval - first > 86400;
  const char* format = minutes ? (many_days ? "%d/%m\\n%H:%M" : "%H:%M") : "%d/%m\\n%H:00";
  const int64_t step = label_step(intervals, minutes, minutes && !many_days ? 12 : 8) * interval;
  // A few intervals only are not drawn as bars the width of the picture.
  const int64_t pad = intervals < 6 ? (6 - intervals) / 2 * interval + interval / 2 : 0;
  const int64_t label_start = (first - pad + step - 1) / step * step;
  const long top = y_top(tallest);
  char axes[512];
  std::snprintf(axes, sizeof axes,
                "set xrange [%lld:%lld]\nset xtics %lld,%lld\nset mxtics 1\n"
                "set yrange [0:%ld]\n%s",
                static_cast<long long>(first - pad), static_cast<long long>(last + interval + pad),
                static_cast<long long>(label_start), static_cast<long long>(step), top,
                top <= 12 ? "set ytics 1\n" : "set ytics\n");
  std::string script = "set terminal png size 800,400 font \",10\"\n"
                       "set output \"" + png + "\"\n"
                       "set xdata time\nset timefmt \"%s\"\n"
                       "set format x \"" + format + "\"\n" + axes +
                       "set lmargin 8\nset rmargin 6\nset bmargin 4\n"
                       "set grid ytics\nset border 3\nset tics nomirror\n"
                       "set xlabel \"Time (UTC)\"\nset ylabel \"Connections\"\n"
                       "set style fill solid 0.6\nset boxwidth " + std::to_string(interval * 9 / 10) + " absolute\n"
                       "set title \"Connections per " + std::string(minutes ? "minute" : "hour") + "\"\n"
                       "plot \"" + data_path + "\" using 1:2 with boxes lc rgb \"#1f4e79\" notitle\n";
  std::string script_path = temp_file("script", script);
  int status = script_path.empty() ? 1 : run_gnuplot(script_path);
  ::unlink(data_path.c_str());
  if (!script_path.empty()) ::unlink(script_path.c_str());
  return status;
}
