// The access-rule pages: the listener's AllowList and DenyList, and the
// per-DSN rules DSNACL<n> ("dsn,allow items,deny items", items joined by '|').
#include <cstdlib>
#include <cstring>
#include <map>
#include <strings.h>

#include "access_list.h"
#include "text_parsers.h"
#include "config_store.h"
#include "http_odbc.h"
#include "pages.h"

namespace kyvek::http {

namespace {

constexpr size_t kListCapacity = 4096;
constexpr const char* kSuccess = "Access Update Successful\r\n";

int finish(const std::string& templ_in, http_request& r, char* out, size_t* length) {
  std::string text = kSuccess;
  if (!signal_config_changed()) text += "<p>The rules are stored; the server has not read them yet.\r\n";
  std::string templ = templ_in;
  if (!templ.empty()) templ.pop_back();
  *length = 0;
  expand_template(templ, {{"&vek_text;", text}}, r, out, length);
  return 0;
}

int error_page(const std::string& message, char* out, size_t* length) {
  return format_error_page(message, out, length);
}

// Items may not break the stored rule form ("dsn,item|item,item|item") nor
// the address lists they become.
bool rule_text_ok(std::string_view text) {
  return !text.empty() && text.find_first_of(",| \t") == std::string_view::npos;
}

// A DSN name is the rule's first field: only the separators are refused (and
// control characters, which no data source name has); blanks are part of
// names such as "my db".
bool dsn_name_ok(std::string_view text) {
  for (char c : text)
    if (c == ',' || c == '|' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  return !text.empty();
}

std::string list_links(const std::string& list, const char* word) {
  std::string out;
  size_t pos = 0;
  while (pos < list.size()) {
    size_t start = list.find_first_not_of(' ', pos);
    if (start == std::string::npos) break;
    size_t end = list.find(' ', start);
    if (end == std::string::npos) end = list.size();
    std::string item = list.substr(start, end - start);
    out += remove_button("remove_address", word, item) + "<br>";
    pos = end;
  }
  return out.empty() ? "&nbsp;" : out;
}

std::string rule_column(const dsnacl_node& n, const std::string& items, const char* word) {
  std::string out = "<td>";
  if (items.empty()) out += "&nbsp;";
  size_t pos = 0;
  while (!items.empty() && pos <= items.size()) {
    size_t bar = items.find('|', pos);
    std::string item = items.substr(pos, bar == std::string::npos ? std::string::npos : bar - pos);
    if (!item.empty())
      out += remove_button("remove_rule", format_text("%s%u", word, n.number), item) + "<br>";
    if (bar == std::string::npos) break;
    pos = bar + 1;
  }
  out += format_text(
      "<br><input type=\"text\" size=\"32\" name=\"%s%u\" value=\"\" align=\"bottom\"><input type=\"image\" "
      "alt=\"add\" src=\"/btn_add_sm.gif\" align=\"bottom\" border=\"0\"><br></td>",
      word, n.number);
  return out;
}

// The rule number of "allow<N>" / "deny<N>": a decimal N naming a stored rule.
bool rule_number(std::string_view digits, uint32_t count, uint32_t* n) {
  if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string_view::npos)
    return false;
  *n = static_cast<uint32_t>(std::strtoul(std::string(digits).c_str(), nullptr, 10));
  return *n >= 1 && *n <= count;
}

std::string rule_value(const dsnacl_node& n) { return n.dsn + "," + n.allow + "," + n.deny; }

}  // namespace

int uri_access_control(const uri_entry& row, http_request& r, char* out, size_t* length) {
  http_trace("uri_access_control()\n");
  if (authorise_if_all(r, out, length) == 0) return 0;
  std::string allow = read_setting("AllowList", "", kListCapacity);
  std::string deny = read_setting("DenyList", "", kListCapacity);
  std::vector<dsnacl_node> rules;
  read_dsnacl_list(rules);
  std::string form =
      remove_form("remove_rule", "/dsnaccess_remove_s.html") +
      "<center><form action=\"dsnaccess_change_s.html\" method=post>" + form_token_field() +
      "<table border=\"1\"><tr><th "
      "align=\"center\" colspan=\"3\">DSN Access Control&nbsp;<a href=\"#dsn_acl\"><img src=\"/help2.gif\" "
      "alt=\"help\" border=\"0\"></a></th></tr><tr><td class=\"header\" align=\"left\">DSN</td><td "
      "class=\"header\" align=\"left\">Allowed Access</td><td class=\"header\" align=\"left\">Denied "
      "Access</td></tr>";
  for (const auto& n : rules) {
    form += "<tr><td align=\"top\">" + remove_button("remove_rule", "dsn", n.dsn) + "</td>";
    form += rule_column(n, n.allow, "allow") + rule_column(n, n.deny, "deny") + "</tr>\r\n";
  }
  form += "<tr><td>";
  auto sources = veks_system_data_sources();
  if (!sources.empty()) {
    form += "<select name=\"dsn\"><option></option>";
    for (const auto& [name, desc] : sources) {
      bool ruled = false;
      for (const auto& n : rules) ruled = ruled || n.dsn == name;
      if (!ruled) form += "<option>" + html_escape(name) + "</option>";
    }
    form += "</select>";
  }
  form +=
      "&nbsp;</td><td>&nbsp;</td><td><input type=\"image\" alt=\"add\" src=\"/btn_submit.gif\" align=\"bottom\" "
      "border=\"0\"></td></tr><tr><td><input type=\"text\" size=\"15\" name=\"dsn\" value=\"\"><input "
      "type=\"image\" alt=\"add\" src=\"/btn_add_sm.gif\" align=\"bottom\" border=\"0\"></td><td>&nbsp;</td><td>"
      "&nbsp;</td></tr></table></form></center>";
  return template_page(row, r, out, length,
                       {{"&vek_entry1;", remove_form("remove_address", "/access_remove_s.cgi") + list_links(allow, "allow")},
                        {"&vek_entry2;", list_links(deny, "deny")},
                        {"&vek_entry3;", form}});
}

int uri_access_change_s(const uri_entry& row, http_request& r, char* out, size_t* length) {
  http_trace("uri_access_change_s()\n");
  if (r.method != METHOD_POST) {
    r.status = 405;
    return -1;
  }
  std::string templ;
  if (load_template(row.templ, templ, r) != 0) return -1;
  std::string body;
  if (read_posted_data(r, body) != 0) return -1;
  form_fields fields;
  if (split_form_fields(body, fields) != 0) return report_internal_error(2, "split_form_fields", 0, out, length);
  std::string lists[2] = {read_setting("AllowList", "", kListCapacity), read_setting("DenyList", "", kListCapacity)};
  bool changed[2] = {false, false};
  for (const auto& f : fields) {
    http_trace("Doing \"%s\" = \"%s\"\n", f.name.c_str(), f.value.c_str());
    int which = f.name == "allow" ? 0 : f.name == "deny" ? 1 : -1;
    if (which < 0)
      return error_page(
          format_text("Internal Error: Invalid Form Field name: %s (location %d)", html_escape(f.name).c_str(), 4568),
          out, length);
    if (f.value.empty()) continue;
    const char* stop = nullptr;
    if (parse_ip_and_mask(f.value.c_str(), 1, &stop) != 0) {
      std::string text = stop ? format_text("Invalid address %s for %s - invalid chr at \"%s\"",
                                            html_escape(f.value).c_str(), f.name.c_str(), html_escape(stop).c_str())
                              : format_text("Invalid address %s for %s", html_escape(f.value).c_str(), f.name.c_str());
      send_error_page(r, 422, out, length, "Invalid IP", text.c_str());
      return 0;
    }
    std::string& list = lists[which];
    if (f.value.size() + list.size() + 2 > kListCapacity)
      return error_page(format_text("Failed to add item %s to list - list full", html_escape(f.value).c_str()), out,
                        length);
    if (ip_exists_in_list(list, f.value) == 1) {
      std::string text = format_text("Item %s not added to list - already exists", html_escape(f.value).c_str());
      send_error_page(r, 422, out, length, "ACL Modification Error", text.c_str());
      return 0;
    }
    list += " " + f.value;
    changed[which] = true;
  }
  std::vector<std::pair<std::string, std::string>> writes;
  if (changed[0]) writes.push_back({"AllowList", lists[0]});
  if (changed[1]) writes.push_back({"DenyList", lists[1]});
  std::string error;
  if (!writes.empty() && write_settings(writes, &error) != 0)
    return report_internal_error(3, error.c_str(), 0, out, length);
  return finish(templ, r, out, length);
}

int uri_access_remove_s(const uri_entry& row, http_request& r, char* out, size_t* length) {
  http_trace("uri_access_remove_s()\n");
  std::string templ;
  if (load_template(row.templ, templ, r) != 0) return -1;
  if (!r.query) return error_page(format_text("Expected some get data - none found (location %d)", 4733), out, length);
  std::string shown = html_escape(decoded_query(r));
  const char* name = r.query->rfind("allow", 0) == 0  ? "AllowList"
                     : r.query->rfind("deny", 0) == 0 ? "DenyList"
                                                      : nullptr;
  if (!name)
    return error_page(
        format_text("Invalid request - expected get data with \"allow\" or \"deny\" and received %s", shown.c_str()),
        out, length);
  form_fields fields;
  if (r.query->find('=') == std::string::npos || split_form_fields(*r.query, fields) != 0 || fields.empty())
    return error_page(format_text("Missing get data value in \"%s\"", shown.c_str()), out, length);
  std::string list = read_setting(name, "", kListCapacity);
  if (remove_list_word(list, fields[0].value)) {
    std::string error;
    if (write_settings({{name, list}}, &error) != 0) return report_internal_error(3, error.c_str(), 0, out, length);
  }
  return finish(templ, r, out, length);
}

int uri_dsnaccess_change_s(const uri_entry& row, http_request& r, char* out, size_t* length) {
  http_trace("uri_dsnaccess_change_s()\n");
  if (r.method != METHOD_POST) {
    r.status = 405;
    return -1;
  }
  std::string templ;
  if (load_template(row.templ, templ, r) != 0) return -1;
  std::string body;
  if (read_posted_data(r, body) != 0) return -1;
  form_fields fields;
  if (split_form_fields(body, fields) != 0) return report_internal_error(2, "split_form_fields", 0, out, length);
  std::vector<dsnacl_node> rules;
  uint32_t count = read_dsnacl_list(rules);
  std::string count_text = read_setting("DSNACL", "0", 40);
  char* end = nullptr;
  unsigned long stored = std::strtoul(count_text.c_str(), &end, 0);
  if (*end != '\0' || stored > kMaxDsnRules) stored = 0;
  count = static_cast<uint32_t>(stored);
  // Rule values by number, changed in memory and written together.
  std::map<uint32_t, dsnacl_node> changed;
  auto rule = [&](uint32_t n) -> dsnacl_node* {
    auto it = changed.find(n);
    if (it != changed.end()) return &it->second;
    std::string value = read_setting(("DSNACL" + std::to_string(n)).c_str(), "", 1024);
    if (value.find(',') == std::string::npos) return nullptr;
    dsnacl_node node = split_dsnacl(value);
    node.number = n;
    return &(changed[n] = node);
  };
  for (const auto& f : fields) {
    http_trace("Doing \"%s\" = \"%s\"\n", f.name.c_str(), f.value.c_str());
    const std::string v = html_escape(f.value);
    if (f.name == "dsn") {
      if (f.value.empty()) continue;
      if (!dsn_name_ok(f.value)) return error_page(format_text("Invalid DSN name \"%s\"", v.c_str()), out, length);
      bool exists = false;
      for (const auto& n : rules) exists = exists || n.dsn == f.value;
      for (const auto& [n, node] : changed) exists = exists || node.dsn == f.value;
      if (exists) return error_page(format_text("DSN \"%s\" already specified", v.c_str()), out, length);
      ++count;
      dsnacl_node node;
      node.number = count;
      node.dsn = f.value;
      changed[count] = node;
      continue;
    }
    bool allow = f.name.rfind("allow", 0) == 0 && f.name.size() > 5;
    bool deny = f.name.rfind("deny", 0) == 0 && f.name.size() > 4;
    uint32_t n = 0;
    if (!(allow || deny) || !rule_number(std::string_view(f.name).substr(allow ? 5 : 4), count, &n))
      return error_page(format_text("Internal Error: Invalid Form Field name: %s", html_escape(f.name).c_str()), out,
                        length);
    if (f.value.empty()) continue;
    if (!rule_text_ok(f.value)) return error_page(format_text("Invalid item \"%s\"", v.c_str()), out, length);
    dsnacl_node* node = rule(n);
    if (!node) return error_page(format_text("DSN rule %u is not stored", n), out, length);
    std::string& items = allow ? node->allow : node->deny;
    if (items.size() + f.value.size() + 1 > 1000) return error_page("The rule is full", out, length);
    items += (items.empty() ? "" : "|") + f.value;
  }
  std::vector<std::pair<std::string, std::string>> writes;
  if (count != stored) writes.push_back({"DSNACL", std::to_string(count)});
  for (const auto& [n, node] : changed) writes.push_back({"DSNACL" + std::to_string(n), rule_value(node)});
  std::string error;
  if (!writes.empty() && write_settings(writes, &error) != 0)
    return report_internal_error(3, error.c_str(), 0, out, length);
  return finish(templ, r, out, length);
}

int uri_dsnaccess_remove_s(const uri_entry& row, http_request& r, char* out, size_t* length) {
  http_trace("uri_dsnaccess_remove_s()\n");
  std::string templ;
  if (load_template(row.templ, templ, r) != 0) return -1;
  if (!r.query) return error_page(format_text("Expected some get data - none found (location %d)", 5178), out, length);
  std::string shown = html_escape(decoded_query(r));
  const std::string& q = *r.query;
  if (q.rfind("dsn", 0) != 0 && q.rfind("allow", 0) != 0 && q.rfind("deny", 0) != 0)
    return error_page(
        format_text("Invalid request - expected get data with \"dsn\",\"allow\" or \"deny\" and received %s",
                    shown.c_str()),
        out, length);
  form_fields fields;
  if (q.find('=') == std::string::npos || split_form_fields(q, fields) != 0 || fields.empty())
    return error_page(format_text("Missing get data value in \"%s\"", shown.c_str()), out, length);
  const form_field& f = fields[0];
  std::vector<dsnacl_node> rules;
  uint32_t count = read_dsnacl_list(rules);
  std::vector<std::pair<std::string, std::string>> writes;
  if (f.name == "dsn") {
    http_trace("\tRemoving DSN : %s\n", f.value.c_str());
    bool found = false;
    uint32_t i = 1;
    for (const auto& n : rules) {
      if (!found && strcasecmp(n.dsn.c_str(), f.value.c_str()) == 0) {
        found = true;
        continue;
      }
      writes.push_back({"DSNACL" + std::to_string(i++), rule_value(n)});
    }
    // Nothing matched: the count stays as it is.
    if (!found) return error_page(format_text("No rule for DSN %s", html_escape(f.value).c_str()), out, length);
    writes.insert(writes.begin(), {"DSNACL", std::to_string(count - 1)});
  } else {
    bool allow = f.name.rfind("allow", 0) == 0;
    uint32_t n = 0;
    if (!rule_number(std::string_view(f.name).substr(allow ? 5 : 4), count, &n))
      return error_page(
          format_text("Invalid request - expected get data with \"dsn\",\"allow\" or \"deny\" and received %s",
                      shown.c_str()),
          out, length);
    std::string value = read_setting(("DSNACL" + std::to_string(n)).c_str(), "", 1024);
    dsnacl_node node = split_dsnacl(value);
    http_trace("\tremoving DSN entry %s%u: %s\n", allow ? "allow" : "deny", n, f.value.c_str());
    if (remove_list_item(allow ? node.allow : node.deny, f.value) != 0)
      return error_page("Failed to remote ACL item", out, length);
    writes.push_back({"DSNACL" + std::to_string(n), rule_value(node)});
  }
  std::string error;
  if (write_settings(writes, &error) != 0) return report_internal_error(3, error.c_str(), 0, out, length);
  return finish(templ, r, out, length);
}

}  // namespace kyvek::http
