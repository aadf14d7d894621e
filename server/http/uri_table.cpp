// The dispatch table: every path the administration server answers, compared
// exactly and case-sensitively with the request's path (without its query).
#include "http_internal.h"
#include "pages.h"

namespace kyvek::http {

namespace {

std::vector<uri_entry> build_table() {
  std::vector<uri_entry> t;
  for (const char* p : {"/btn_pause.gif", "/btn_continue.gif"}) t.push_back({p, uri_file, nullptr, URI_GIF});
  t.push_back({"/styles.css", uri_file, nullptr, URI_CSS});
  t.push_back({"/favicon.ico", uri_file, nullptr, URI_ICON});
  for (const char* p : {"/btn_add.gif",
                        "/btn_add_sm.gif",
                        "/btn_change.gif",
                        "/btn_configuration.gif",
                        "/btn_configuration_sel.gif",
                        "/btn_datasources.gif",
                        "/btn_datasources_sel.gif",
                        "/btn_end.gif",
                        "/btn_export.gif",
                        "/btn_information.gif",
                        "/btn_information_sel.gif",
                        "/btn_next.gif",
                        "/btn_previous.gif",
                        "/view_running.gif",
                        "/view_paused.gif",
                        "/btn_security.gif",
                        "/btn_security_sel.gif",
                        "/btn_start.gif",
                        "/btn_statistics.gif",
                        "/btn_statistics_sel.gif",
                        "/btn_submit.gif",
                        "/hidden_eye.gif",
                        "/kyronde_link.gif",
                        "/side_nav.gif",
                        "/tl_background.gif",
                        "/tl_header.gif",
                        "/tick_sm.gif",
                        "/cross_sm.gif",
                        "/help.gif",
                        "/help2.gif",
                        "/ani_alert.gif",
                        "/note.gif",
                        "/splitter.gif",
                        "/graph_cm.gif",
                        "/graph_ch.gif"})
    t.push_back({p, uri_file, nullptr, URI_GIF});
  struct Page {
    const char* path;
    uri_fn fn;
    const char* templ;
    uint32_t flags;
  };
  const Page pages[] = {
      {"/index.html", uri_index, "index.html", URI_NOCACHE},
      {"/", uri_index, "index.html", URI_NOCACHE},
      {"/configuration.html", uri_configuration, "configuration.html", URI_NOCACHE},
      {"/data_sources.html", uri_data_sources, "data_sources.html", URI_NOCACHE},
      {"/hosts.html", uri_hosts, "hosts.html", URI_NOCACHE},
      {"/config_change_f.html", uri_config_change_f, "config_change_f.html", URI_NOCACHE | URI_ADMIN},
      {"/information.html", uri_information, "information.html", URI_NOCACHE},
      {"/config_change_s.cgi", uri_config_change_s, "config_change_s.cgi", URI_NOCACHE | URI_ADMIN | URI_CHANGE},
      {"/access_change_s.cgi", uri_access_change_s, "access_change_s.cgi", URI_NOCACHE | URI_ADMIN | URI_CHANGE},
      {"/access_control.html", uri_access_control, "access_control.html", URI_NOCACHE},
      {"/access_remove_s.cgi", uri_access_remove_s, "access_remove_s.cgi", URI_NOCACHE | URI_ADMIN | URI_CHANGE},
      {"/dsn.html", uri_dsn, "dsn.html", URI_NOCACHE | URI_ADMIN},
      {"/dsnaccess_change_s.html", uri_dsnaccess_change_s, "dsnaccess_change_s.html", URI_NOCACHE | URI_ADMIN | URI_CHANGE},
      {"/dsnaccess_remove_s.html", uri_dsnaccess_remove_s, "dsnaccess_remove_s.html", URI_NOCACHE | URI_ADMIN | URI_CHANGE},
      {"/internal.html", uri_internal, nullptr, URI_NOCACHE | URI_ADMIN},
      {"/audit.html", uri_audit, "audit.html", URI_NOCACHE | URI_ADMIN},
      {"/graph.png", uri_graph, "graph.png", URI_NOCACHE | URI_PNG | URI_ADMIN},
      {"/graph.html", uri_graph_page, "graph.html", URI_NOCACHE | URI_ADMIN},
      {"/op_config.html", uri_op_config, "op_config.html", URI_NOCACHE | URI_ADMIN | URI_CHANGE},
      {"/service_control.html", uri_service_control, "service_control.html", URI_NOCACHE},
      {"/service_change.html", uri_service_change, "service_change.html", URI_NOCACHE | URI_ADMIN | URI_CHANGE},
  };
  for (const Page& p : pages) t.push_back({p.path, p.fn, p.templ, p.flags});
  return t;
}

}  // namespace

const std::vector<uri_entry>& uri_table() {
  static const std::vector<uri_entry> table = build_table();
  return table;
}

}  // namespace kyvek::http
