// The audit pages (the trail in pages of 16384 bytes widened to whole lines,
// and the list of audit files) and the graph of an audit file drawn by
// vek_plot (from the installation directory Path when it lies there, else
// from the server's private program directory). Only an existing audit file
// of LogDir can be named; the plotter runs with posix_spawn, in its own
// process group, for at most 20 seconds, and writes its PNG into a private
// temporary directory.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>
#include <tuple>
#include <climits>

#include "pages.h"

extern char** environ;

#ifndef KYVEK_LIBEXEC_DIR
#define KYVEK_LIBEXEC_DIR "/usr/libexec/kyvek"
#endif

namespace kyvek::http {

namespace {

// The plotter: <Path>/vek_plot when it is there (a layout that keeps it with
// the templates), else the installed one.
std::string plotter_path() {
  std::string in_path = std::string(state().settings.Path) + "/vek_plot";
  if (::access(in_path.c_str(), X_OK) == 0) return in_path;
  return std::string(KYVEK_LIBEXEC_DIR) + "/vek_plot";
}

constexpr int64_t kAuditPage = 16384;
constexpr int kPlotWaitMs = 20000;

// "_<digits and '_'>" of an earlier audit file; "" for the current one.
bool valid_date(std::string_view d) {
  return d.size() > 1 && d.size() <= 32 && d[0] == '_' && d.find_first_not_of("0123456789_") == std::string_view::npos;
}

// Orders audit file dates (day_month_year) by their numbers, newest first.
std::tuple<long, long, long> date_key(const std::string& name) {
  long d = 0, m = 0, y = 0;
  std::sscanf(name.c_str(), "kyvek_access_%ld_%ld_%ld.log", &d, &m, &y);
  return {y, m, d};
}

// The links of one audit file: its trail and its two graphs.
std::string audit_file_links(const std::string& name, const std::string& date) {
  std::string stem = name.substr(0, name.size() - 4);
  std::string out = format_text("<a href=\"audit.html?page=0&date=%s\">%s</a>\r\n", date.c_str(),
                                (date == "0" ? name : stem).c_str());
  out += format_text(
      "<a href=\"graph.html?audit=%s&unit=hours\"><img border=\"0\" alt=\"graph_ch\" src=\"/graph_ch.gif\"></a>",
      name.c_str());
  out += format_text(
      "<a href=\"graph.html?audit=%s&unit=minutes\"><img border=\"0\" alt=\"graph_cm\" "
      "src=\"/graph_cm.gif\"></a><br>\r\n",
      name.c_str());
  return out;
}

bool earlier_audit_name(const std::string& n) {
  return n.size() > 17 && n.rfind("kyvek_access_", 0) == 0 && n.ends_with(".log") &&
         valid_date(std::string_view(n).substr(12, n.size() - 16));
}

std::string audit_list() {
  std::string out = audit_file_links("kyvek_access.log", "0");
  std::vector<std::string> names;
  std::string dir = log_file_path("");
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (earlier_audit_name(n)) names.push_back(n);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return date_key(a) > date_key(b); });
  for (const auto& n : names) out += audit_file_links(n, n.substr(12, n.size() - 16));
  return out + "<p>\r\n";
}

// The audit file and unit a graph request names. False (status 404) unless
// the file is an existing audit file of LogDir: "kyvek_access.log" or
// "kyvek_access_<date>.log".
bool graph_request(http_request& r, std::string* audit, std::string* unit, std::string* path) {
  *audit = "kyvek_access.log";
  *unit = "hours";
  if (r.query) {
    form_fields fields;
    if (split_form_fields(*r.query, fields) != 0) {
      r.status = 404;
      return false;
    }
    for (const auto& f : fields) {
      if (f.name == "audit") *audit = f.value;
      if (f.name == "unit" && (f.value == "hours" || f.value == "minutes")) *unit = f.value;
    }
  }
  *path = log_file_path(audit->c_str());
  struct stat st {};
  if ((*audit == "kyvek_access.log" || earlier_audit_name(*audit)) && ::lstat(path->c_str(), &st) == 0 &&
      S_ISREG(st.st_mode))
    return true;
  r.status = 404;
  return false;
}

std::string navigation(int64_t page, int64_t size, const std::string& d) {
  std::string out;
  if ((page + 1) * kAuditPage < size)
    out +=
        format_text("<a href=\"/audit.html?page=%ld&date=%s\"><img src=\"btn_next.gif\" alt=\"next\" border=\"0\"></a>",
                    static_cast<long>(page + 1), d.c_str());
  if (page > 0) {
    out += format_text(
        "<a href=\"/audit.html?page=%ld&date=%s\"><img src=\"btn_previous.gif\" alt=\"previous\" "
        "border=\"0\"></a>&nbsp;",
        static_cast<long>(page - 1), d.c_str());
    out += format_text(
        "<a href=\"/audit.html?page=0&date=%s\"><img src=\"btn_start.gif\" alt=\"start\" border=\"0\"></a>&nbsp;",
        d.c_str());
  }
  if (page < size / kAuditPage)
    out += format_text(
        "<a href=\"/audit.html?page=%ld&date=%s\"><img src=\"btn_end.gif\" alt=\"end\" border=\"0\"></a>&nbsp;",
        static_cast<long>(size / kAuditPage), d.c_str());
  return out;
}

}  // namespace

int uri_audit(const uri_entry& row, http_request& r, char* out, size_t* length) {
  http_trace("uri_audit()\n");
  std::string templ;
  if (load_template(row.templ, templ, r) != 0) return -1;
  if (!r.query)
    return format_error_page(format_text("Expected some get data - none found (location=%d)", 5783), out, length);
  form_fields fields;
  if (split_form_fields(*r.query, fields) != 0) return report_internal_error(2, "split_form_fields", 0, out, length);
  int64_t page = 0;
  std::string link_date = "0", file_date;
  for (const auto& f : fields) {
    std::string v = html_escape(f.value), n = html_escape(f.name);
    if (f.name.rfind("page", 0) == 0) {
      char* end = nullptr;
      errno = 0;
      long long x = std::strtoll(f.value.c_str(), &end, 0);
      // Negative pages and pages past any file are refused before any arithmetic.
      if (f.value.empty() || *end || errno || x < 0 || x >= INT32_MAX)
        return format_error_page(format_text("Value: %s for %s is invalid", v.c_str(), n.c_str()), out, length);
      page = x;
    } else if (f.name.rfind("date", 0) == 0) {
      if (f.value.size() > 32 || (f.value != "0" && !valid_date(f.value)))
        return format_error_page(format_text("Value: %s for %s is invalid", v.c_str(), n.c_str()), out, length);
      if (f.value != "0") link_date = file_date = f.value;
    } else {
      return format_error_page(format_text("Invalid request - expected get data with \"page\" and received %s",
                                           html_escape(decoded_query(r)).c_str()),
                               out, length);
    }
  }
  std::string path = log_file_path(("kyvek_access" + file_date + ".log").c_str());
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    int e = errno;
    if (fd >= 0) ::close(fd);
    return format_error_page(format_text("Failed to open %s - %s\n", html_escape(path).c_str(), std::strerror(e)), out,
                             length);
  }
  int64_t size = st.st_size;
  if (page * kAuditPage > size) {
    ::close(fd);
    return format_error_page(
        format_text("Invalid page number %ld - the audit file is only %ld bytes long and pages are %ld "
                    "bytes in length\r\n",
                    static_cast<long>(page), static_cast<long>(size), static_cast<long>(kAuditPage)),
        out, length);
  }
  // The page: from the first whole line at or after its offset, whole lines
  // until a little over 16384 bytes.
  std::string text;
  int64_t offset = page * kAuditPage;
  int64_t start = std::max<int64_t>(0, offset - 1);
  std::string chunk(static_cast<size_t>(kAuditPage) + 2048, '\0');
  ssize_t got = ::pread(fd, chunk.data(), chunk.size(), start);
  ::close(fd);
  chunk.resize(got > 0 ? static_cast<size_t>(got) : 0);
  size_t pos = 0;
  if (offset > 0) {
    size_t nl = chunk.find('\n');
    pos = nl == std::string::npos ? chunk.size() : nl + 1;
  }
  size_t shown = 0;
  std::string lines;
  while (pos < chunk.size() && shown <= static_cast<size_t>(kAuditPage)) {
    size_t nl = chunk.find('\n', pos);
    size_t end = nl == std::string::npos ? chunk.size() : nl + 1;
    std::string line = chunk.substr(pos, end - pos);
    shown += line.size();
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    lines += html_escape(line) + "<br>\r\n";
    pos = end;
  }
  std::string nav = navigation(page, size, link_date);
  std::string table =
      (page == 0 ? audit_list() : std::string()) + nav + "<p><font size=\"-1\">" + lines + "</font><p><p>" + nav;
  if (!templ.empty()) templ.pop_back();
  *length = 0;
  expand_template(templ, {{"&vek_table;", table}}, r, out, length);
  return 0;
}

// The graph inside a page: its title, the picture, the other unit and the
// way back to the trail it was drawn from.
int uri_graph_page(const uri_entry& row, http_request& r, char* out, size_t* length) {
  http_trace("uri_graph_page()\n");
  std::string audit, unit, path;
  if (!graph_request(r, &audit, &unit, &path)) return -1;
  const bool hours = unit == "hours";
  const std::string date = audit == "kyvek_access.log" ? "0" : audit.substr(12, audit.size() - 16);
  std::string table = format_text("<h1>Connections per %s</h1>\r\n<p>%s</p>\r\n", hours ? "hour" : "minute",
                                  audit.c_str());
  table += format_text(
      "<p><img src=\"graph.png?audit=%s&amp;unit=%s\" width=\"800\" height=\"400\" "
      "alt=\"Connections per %s in %s\"></p>\r\n",
      audit.c_str(), unit.c_str(), hours ? "hour" : "minute", audit.c_str());
  table += format_text(
      "<p><a href=\"graph.html?audit=%s&amp;unit=%s\">Per %s</a> | "
      "<a href=\"audit.html?page=0&amp;date=%s\">Back to the audit trail</a></p>\r\n",
      audit.c_str(), hours ? "minutes" : "hours", hours ? "minute" : "hour", date.c_str());
  return template_page(row, r, out, length, {{"&vek_table;", table}});
}

int uri_graph(const uri_entry&, http_request& r, char* out, size_t* length) {
  http_trace("uri_graph\n");
  std::string audit, unit, audit_path;
  if (!graph_request(r, &audit, &unit, &audit_path)) return -1;
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/kyvek_graph_XXXXXX";
  if (!::mkdtemp(dir.data())) {
    r.status = 500;
    return -1;
  }
  std::string png = dir + "/graph.png";
  std::string program = plotter_path();
  std::vector<std::string> args = {program, audit_path, unit, png};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, program.c_str(), nullptr, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  auto cleanup = [&] {
    ::unlink(png.c_str());
    ::rmdir(dir.c_str());
  };
  if (rc != 0) {
    http_trace("Failed to start vek_plot, posix_spawn() returns %d\n", rc);
    cleanup();
    r.status = 500;
    return -1;
  }
  int status = 0;
  bool ended = false;
  for (int waited = 0; waited < kPlotWaitMs && !ended; waited += 100) {
    ended = ::waitpid(pid, &status, WNOHANG) == pid;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!ended) {
    // A plotter that does not finish is ended with its children.
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    http_trace("vek_plot did not finish\n");
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    http_trace("child failed with %d\n", status);
  }
  int fd = ::open(png.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    cleanup();
    r.status = ended ? 500 : 404;
    return -1;
  }
  size_t capacity = kPageCapacity - 1;
  ssize_t n = 0, total = 0;
  while (static_cast<size_t>(total) < capacity &&
         (n = ::read(fd, out + total, capacity - static_cast<size_t>(total))) > 0)
    total += n;
  char extra;
  bool too_big = static_cast<size_t>(total) >= capacity && ::read(fd, &extra, 1) > 0;
  ::close(fd);
  cleanup();
  if (total <= 0) {
    send_error_message(&r, r.socket, "Failed to read data from the generated graph");
    return -1;
  }
  if (too_big) {
    send_error_message(&r, r.socket, "Generated graph too big");
    return -1;
  }
  *length = static_cast<size_t>(total);
  return 0;
}

}  // namespace kyvek::http
