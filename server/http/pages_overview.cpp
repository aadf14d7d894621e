// The overview pages (index, hosts, information), the statistics table and
// the server service's state.
#include <sys/stat.h>

#include <cstring>

#include "http_internal.h"
#include "listener.h"
#include "pages.h"
#include "server_utils.h"
#include "service/service.h"
#include "settings.h"

namespace kyvek::http {

namespace {

constexpr size_t kHostsCut = 62976;

const char* plural(unsigned long n) { return n == 1 ? "" : "s"; }

// Local date text as the C library writes it, without its line end.
std::string local_date(int64_t when) {
  if (when == 0) return "None";
  time_t t = static_cast<time_t>(when);
  char buf[64];
  struct tm tm {};
  if (!::localtime_r(&t, &tm) || std::strftime(buf, sizeof buf, "%a %b %e %H:%M:%S %Y", &tm) == 0) return "None";
  return buf;
}

std::string rate_text(unsigned long rate) { return rate >= 1 ? std::to_string(rate) : "<1"; }

bool audit_file_exists() {
  struct stat st {};
  return ::stat(log_file_path("kyvek_access.log").c_str(), &st) == 0;
}

}  // namespace

int template_page(const uri_entry& row, http_request& r, char* out, size_t* length, const entity_list& entities) {
  std::string text;
  if (load_template(row.templ, text, r) != 0) return -1;
  if (!text.empty()) text.pop_back();
  *length = 0;
  expand_template(text, entities, r, out, length);
  return 0;
}

int authorise_if_all(http_request& r, char* out, size_t* length) {
  // Without an administrator the views are open to whoever may reach them.
  if (!(state().settings.Flags & HTTPAuthAll) || admin_disabled()) return 1;
  return authorise_request(r, out, length);
}

int get_service_state(std::string* text) {
  static const char* const names[] = {"Stopped",          "Start Pending", "Stop Pending", "Running",
                                      "Continue Pending", "Pause Pending", "Paused"};
  ky_service_status status{};
  pid_t pid = 0;
  if (ky_service_query(SERVER_SERVICE_NAME, &status, &pid) != 0) return -1;
  uint32_t s = status.current_state;
  if (text) *text = (s >= 1 && s <= 7) ? names[s - 1] : "Unknown";
  return static_cast<int>(s);
}

int control_service(uint32_t code) { return ky_service_control(SERVER_SERVICE_NAME, code); }

std::string statistics_table(const server_stats_t* b, uint32_t flags, time_t now) {
  if (!b) return "<p>No Statistics available<p>";
  std::string t;
  unsigned long up = b->start_time > 0 && now > b->start_time ? static_cast<unsigned long>(now - b->start_time) : 0;
  unsigned long days = up / 86400, hours = up % 86400 / 3600, minutes = up % 3600 / 60, seconds = up % 60;
  unsigned long total_minutes = days * 1440 + hours * 60 + minutes;
  unsigned long rate = total_minutes ? b->total_connections / total_minutes : 0;
  t += "<table width=\"60%\">\r\n<tr><th>Statistic</th><th>Value</th></tr>\r\n";
  if (b->start_time != 0)
    t +=
        format_text("<tr><td>Server up time</td><td>%lu day%s, %lu hour%s, %lu minute%s and %lu second%s</td></tr>\r\n",
                    days, plural(days), hours, plural(hours), minutes, plural(minutes), seconds, plural(seconds));
  if (flags & ShowProcessTime)
    t += format_text("<tr><td>Server CPU time (s)</td><td>u=%2.2f k=%2.2f</td></tr>\r\n", b->user_cpu_seconds,
                     b->kernel_cpu_seconds);
  t += format_text("<tr><td>Total Connections</td><td>%lu</td></tr>\r\n",
                   static_cast<unsigned long>(b->total_connections));
  t += format_text("<tr><td>Total Threads/Processes</td><td>%lu</td></tr>\r\n",
                   static_cast<unsigned long>(b->workers_started));
  t += format_text("<tr><td>Active Threads/Processes</td><td>%lu</td></tr>\r\n",
                   static_cast<unsigned long>(b->active_workers));
  t += format_text("<tr><td>Peak concurrent Threads/Processes</td><td>%lu</td></tr>\r\n",
                   static_cast<unsigned long>(b->peak_workers));
  t += "<tr><td>Connections/minute</td><td>" + html_escape(rate_text(rate)) + "</td></tr>\r\n";
  t += "<tr><td>Last Connection time</td><td>" + local_date(b->last_connect_time) + "</td></tr>\r\n";
  t += "<tr><td>Last Disconnect time</td><td>" + local_date(b->last_disconnect_time) + "</td></tr>\r\n";
  t += format_text("<tr><td><a href=\"hosts.html\">Number of different client hosts</a></td><td>%lu</td></tr>\r\n",
                   static_cast<unsigned long>(std::min<uint32_t>(b->host_count, SERVER_STATS_MAX_HOSTS)));
  if (audit_file_exists())
    t += "<tr><td><a href=\"audit.html?page=0&amp;date=0\">Audit File</a></td><td>&nbsp;</td></tr>\r\n";
  else
    t += "<tr><td>No audit file exists<img src=\"note.gif\" alt=\"note\"></td><td>&nbsp;</td></tr>\r\n";
  t += "</table>\r\n";
  t += "<p><table>\r\n<tr><th>DSN</th><th>Connections</th><th>Total Time (s)</th><th>Connections/minute</th>"
       "<th>Average Time per connection (s)</th></tr>\r\n";
  for (const auto& d : b->dsns) {
    char name[sizeof d.name + 1];
    stats_copy_text(d.name, sizeof d.name, name, sizeof name);
    uint32_t count = d.connections;
    if (!name[0] || count == 0) continue;
    unsigned long dsn_rate = total_minutes ? count / total_minutes : count;
    t += format_text("<tr><td>%s</td><td>%lu</td><td>%lu</td><td>%s</td><td>%.2f</td></tr>\r\n",
                     html_escape(name).c_str(), static_cast<unsigned long>(count),
                     static_cast<unsigned long>(d.total_seconds), html_escape(rate_text(dsn_rate)).c_str(),
                     static_cast<double>(d.total_seconds) / count);
  }
  if (!b->dsns[0].name[0]) t += "<tr><td colspan=\"3\">No DSNs registered<img src=\"note.gif\" alt=\"note\"></td></tr>";
  t += "</table>\r\n";
  char warning[sizeof b->last_event_text + 1];
  stats_copy_text(b->last_event_text, sizeof b->last_event_text, warning, sizeof warning);
  if (warning[0]) {
    char when[256] = "";
    time_t wt = static_cast<time_t>(b->last_event_time);
    format_date_text(when, sizeof when, &wt, nullptr, 0);
    t += "<p><table><tr><th>Time</th><th>Last Warning</th></tr>\r\n";
    t += format_text("<tr><td>%s</td><td><font color=\"red\">%s</font></td></table><p>\r\n", html_escape(when).c_str(),
                     html_escape(warning).c_str());
  }
  return t;
}

int uri_index(const uri_entry& row, http_request& r, char* out, size_t* length) {
  if (authorise_if_all(r, out, length) == 0) return 0;
  std::string state_text;
  if (get_service_state(&state_text) < 0) state_text = "Unknown";
  std::string table = "<a href=\"/service_control.html\">VEK ODBC Server Service (x64)</a> : " + state_text + "<p>";
  table += statistics_table(state().block, state().settings.Flags, ::time(nullptr));
  return template_page(row, r, out, length, {{"&vek_table;", table}});
}

int uri_hosts(const uri_entry& row, http_request& r, char* out, size_t* length) {
  if (authorise_if_all(r, out, length) == 0) return 0;
  const server_stats_t* b = state().block;
  std::string table;
  if (!b) {
    table = "<p>No Statistics available<p>";
  } else if (b->host_count == 0) {
    table = "No Clients have attached yet<img src=\"note.gif\" alt=\"note\">\r\n";
  } else {
    table = "<table>\r\n<tr><th>IP Address</th><th>FQDN</th><th>Connections</th></tr>\r\n";
    uint32_t n = std::min<uint32_t>(b->host_count, SERVER_STATS_MAX_HOSTS);
    for (uint32_t i = 0; i < n && table.size() < kHostsCut; ++i) {
      const server_stats_host_t& h = b->hosts[i];
      char address[sizeof h.address + 1], name[sizeof h.name + 1];
      stats_copy_text(h.address, sizeof h.address, address, sizeof address);
      stats_copy_text(h.name, sizeof h.name, name, sizeof name);
      table += format_text("<tr><td>%s</td><td>%s</td><td>%lu</td></tr>\r\n", html_escape(address).c_str(),
                           html_escape(name).c_str(), static_cast<unsigned long>(h.connections));
    }
    table += "</table>\r\n";
  }
  return template_page(row, r, out, length, {{"&vek_table;", table}});
}

int uri_information(const uri_entry& row, http_request& r, char* out, size_t* length) {
  return template_page(row, r, out, length, {{"&vek_list1;", "<ul></ul>"}});
}

}  // namespace kyvek::http
