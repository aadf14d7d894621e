// The service control pages (state of the server service, pause and
// continue) and the thread page.
#include <cstring>
#include <vector>

#include "pages.h"
#include "service/service.h"
#include "settings.h"
#include "thread_table.h"
#include "worker_list.h"

namespace kyvek::http {

namespace {

std::string local_date_text(int64_t when) {
  time_t t = static_cast<time_t>(when);
  char buf[64];
  struct tm tm {};
  if (!::localtime_r(&t, &tm) || std::strftime(buf, sizeof buf, "%a %b %e %H:%M:%S %Y", &tm) == 0) return "&nbsp;";
  return buf;
}

}  // namespace

int uri_service_control(const uri_entry& row, http_request& r, char* out, size_t* length) {
  if (authorise_if_all(r, out, length) == 0) return 0;
  std::string text;
  int s = get_service_state(&text);
  if (s < 0) text = "Unknown";
  std::string table =
      "<table>\r\n<tr><th>Service</th><th>State</th><th>Operation</th></tr><tr><td>VEK ODBC Server "
      "Service</td><td>" +
      text + "</td>";
  // Pause and continue are posted, with the form token.
  auto button = [](const char* action) {
    return format_text(
        "<td><form action=\"/service_change.html\" method=post>%s<input type=\"hidden\" name=\"action\" "
        "value=\"%s\"><input type=\"image\" alt=\"%s\" src=\"btn_%s.gif\" border=\"0\"></form></td></tr>",
        form_token_field().c_str(), action, action, action);
  };
  if (s == KY_SERVICE_RUNNING)
    table += button("pause");
  else if (s == KY_SERVICE_PAUSED)
    table += button("continue");
  else
    table += "<td>&nbsp;</td></tr>";
  table += "</table>";
  return template_page(row, r, out, length, {{"&vek_table;", table}});
}

int uri_service_change(const uri_entry& row, http_request& r, char* out, size_t* length) {
  std::string templ;
  if (load_template(row.templ, templ, r) != 0) return -1;
  if (!r.query)
    return format_error_page(format_text("Expected some get data - none found (location %d)", 6908), out, length);
  form_fields fields;
  if (split_form_fields(*r.query, fields) != 0) return report_internal_error(2, "split_form_fields", 0, out, length);
  std::string shown = html_escape(decoded_query(r));
  if (fields.empty() || fields[0].name.rfind("action", 0) != 0)
    return format_error_page(
        format_text("Invalid request - expected get data with \"action\" and received %s", shown.c_str()), out, length);
  const std::string& value = fields[0].value;
  const char* word = nullptr;
  uint32_t code = 0;
  if (value.rfind("pause", 0) == 0) {
    word = "pause";
    code = KY_SERVICE_CONTROL_PAUSE;
  } else if (value.rfind("continue", 0) == 0) {
    word = "continue";
    code = KY_SERVICE_CONTROL_CONTINUE;
  } else {
    return format_error_page(format_text("Invalid request = expected get data with \"action=\" \"continue\" or "
                                         "\"pause\" and got %s",
                                         shown.c_str()),
                             out, length);
  }
  // The outcome is shown: a failed request is not reported as done.
  std::string text = control_service(code) == 0 ? format_text("Service %s\r\n", word)
                                                : format_text(
                                                      "Service %s failed: the server service could not be "
                                                      "reached\r\n",
                                                      word);
  if (!templ.empty()) templ.pop_back();
  *length = 0;
  expand_template(templ, {{"&vek_text;", text}}, r, out, length);
  return 0;
}

// The listener's workers, read from the list it shares with the other
// processes: this process serves pages and has no workers of its own.
int uri_internal(const uri_entry&, http_request& r, char* out, size_t* length) {
  *length = 0;
  std::vector<worker_info_t> workers(WORKER_LIST_SLOTS);
  int n = worker_list_read(workers.data(), workers.size());
  if (n < 0) {
    append_output(r, out, length, "<p>Empty thread list: no listener is running</p>\r\n");
    return 0;
  }
  if (n == 0) {
    append_output(r, out, length, "<p>Empty thread list</p>\r\n");
    return 0;
  }
  append_output(r, out, length,
                "<table border=1><tr><th>kind</th><th>id</th><th>client address</th><th>user</th><th>dsn</th>"
                "<th>since</th></tr>\r\n");
  for (int i = 0; i < n; ++i) {
    const worker_info_t& w = workers[static_cast<size_t>(i)];
    append_output(r, out, length,
                  format_text("<tr><td>%s</td><td>%u</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td></tr>\r\n",
                              w.kind == THREAD_KIND_PROCESS ? "process" : "thread", w.id,
                              html_escape(w.client_address).c_str(), html_escape(w.user).c_str(),
                              html_escape(w.dsn).c_str(), local_date_text(w.start_time).c_str()));
  }
  append_output(r, out, length, "</table>\r\n");
  const server_stats_t* b = state().block;
  uint32_t active = b ? __atomic_load_n(&b->active_workers, __ATOMIC_RELAXED) : 0;
  if (active > static_cast<uint32_t>(n) && n == WORKER_LIST_SLOTS)
    append_output(r, out, length,
                  format_text("<p>%lu more workers run than the list holds</p>\r\n",
                              static_cast<unsigned long>(active - static_cast<uint32_t>(n))));
  return 0;
}

}  // namespace kyvek::http
