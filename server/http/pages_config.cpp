// The configuration pages: the settings table, the change form and the apply
// page. Every value is checked before any is written, and all are written in
// one change of the store.
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <strings.h>

#include "access_list.h"
#include "text_parsers.h"
#include "config_store.h"
#include "pages.h"
#include "server_utils.h"
#include "settings.h"

namespace kyvek::http {

namespace {

constexpr const char* kBoxesMarker = "boxes";  // value of a bit-set row's hidden marker field

std::string value_of(const config_page_entry& e) { return read_setting(e.name, e.def ? e.def : "Not Found", 512); }

uint32_t parse_bits(const std::string& text) {
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  return v > UINT32_MAX ? 0 : static_cast<uint32_t>(v);
}

// Bits of a bit-set row that get a row: Affinity only the processors there are.
bool bit_mask_of(const config_page_entry& e, uint32_t* mask) {
  *mask = 0xFFFFFFFFu;
  if (strcasecmp(e.name, "Affinity") == 0) {
    uint32_t processors = 0, count = 0;
    get_processor_info(&processors, &count);
    if (processors < 2 || count < 2) return false;
    *mask = processors;
  }
  return true;
}

uint32_t stored_bits(const config_page_entry& e) {
  uint32_t v = parse_bits(value_of(e));
  if (v == 0 && (e.kind & CFG_ZERO_IS_ALL)) v = 0xFFFFFFFFu;
  return v;
}

// The bits of a bit-set row that have a box on the form (as the form walks them).
uint32_t box_bits(const config_page_entry& e) {
  uint32_t mask = 0, boxes = 0;
  if (!bit_mask_of(e, &mask)) return 0;
  for (const auto& [bit_name, bit] : e.bits) {
    if (mask == 0) break;
    if (bit & e.readonly_bits) continue;
    bool shown = (mask & 1) != 0;
    mask >>= 1;
    if (shown) boxes |= bit;
  }
  return boxes;
}

const char* help_link(const std::string& name) {
  static thread_local std::string s;
  s = "<a href=\"#" + html_escape(name) + "\"><img border=\"0\" align=\"top\" src=\"help.gif\" alt=\"help\"></a>";
  return s.c_str();
}

// Checks one posted value of a row; "" when it passes, else the message.
std::string check_value(const config_page_entry& e, std::string& value) {
  const std::string v = html_escape(value);
  const std::string n = html_escape(e.name);
  if (e.kind & CFG_READONLY) return format_text("%s for %s is read-only", v.c_str(), n.c_str());
  if (e.kind & CFG_UNSIGNED) {
    char* end = nullptr;
    errno = 0;
    unsigned long long x = std::strtoull(value.c_str(), &end, 0);
    if (value.empty() || *end || errno || x >= UINT32_MAX || value.find('-') != std::string::npos)
      return format_text("Value: %s for %s is invalid", v.c_str(), n.c_str());
    if (static_cast<int64_t>(x) < e.minimum || (e.maximum > 0 && static_cast<int64_t>(x) > e.maximum))
      return format_text("Value: %s for %s is out of range.<br>min=%ld max=%ld", v.c_str(), n.c_str(),
                         static_cast<long>(e.minimum), static_cast<long>(e.maximum));
  } else if (e.kind & CFG_SIGNED) {
    char* end = nullptr;
    errno = 0;
    long long x = std::strtoll(value.c_str(), &end, 0);
    if (value.empty() || *end || errno || x >= INT32_MAX || x <= INT32_MIN)
      return format_text("Value: %s for %s is invalid", v.c_str(), n.c_str());
    if (x < e.minimum || (e.maximum != 0 && x > e.maximum))
      return format_text("Value: %s for %s is out of range.<br>min=%ld max=%ld", v.c_str(), n.c_str(),
                         static_cast<long>(e.minimum), static_cast<long>(e.maximum));
  } else if (e.kind & CFG_DIRECTORY) {
    if (!value.empty() && (value.back() == '\\' || (value.size() > 1 && value.back() == '/'))) value.pop_back();
    struct stat st {};
    if (value.empty() || ::stat(value.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      return format_text("%s for %s does not exist", html_escape(value).c_str(), n.c_str());
  } else if (e.kind & CFG_TEXT) {
    if (static_cast<int64_t>(value.size()) < e.minimum)
      return format_text("%s for %s is invalid as it is too short a string value", v.c_str(), n.c_str());
    if (e.maximum >= 1 && static_cast<int64_t>(value.size()) > e.maximum)
      return format_text("%s for %s is invalid as it is too long", v.c_str(), n.c_str());
  } else if (e.kind & CFG_ADDRESS) {
    if (value.empty()) return "";
    if (e.maximum >= 1 && static_cast<int64_t>(value.size()) > e.maximum)
      return format_text("%s for %s is invalid as it is too long", v.c_str(), n.c_str());
    const char* stop = nullptr;
    if (parse_ip_and_mask(value.c_str(), e.minimum != 0, &stop) != 0) {
      if (stop)
        return format_text("%s for %s is not a valid IP/Network address - invalid character in \"%s\"", v.c_str(),
                           n.c_str(), html_escape(stop).c_str());
      return format_text("%s for %s is not a valid IP/Network address", v.c_str(), n.c_str());
    }
  }
  return "";
}

void apply_running(const std::string& name, const std::string& value) {
  http_state& st = state();
  if (strcasecmp(name.c_str(), "Flags") == 0) {
    st.settings.Flags = parse_bits(value);
  } else if (strcasecmp(name.c_str(), "HTTPAdmin") == 0) {
    std::snprintf(st.settings.HTTPAdmin, sizeof st.settings.HTTPAdmin, "%s", value.c_str());
  } else if (strcasecmp(name.c_str(), "HTTPNetworkAccess") == 0) {
    std::snprintf(st.settings.HTTPNetworkAccess, sizeof st.settings.HTTPNetworkAccess, "%s", value.c_str());
    if (!value.empty()) {
      ip_acl_entry* list = nullptr;
      if (veks_create_ip_acl(",", value.c_str(), &list, nullptr) == 0) {
        free_ip_acl(&st.access);
        st.access = list;
      }
    }
  }
}

}  // namespace

int uri_configuration(const uri_entry& row, http_request& r, char* out, size_t* length) {
  http_trace("uri_configuration()\n");
  if (authorise_if_all(r, out, length) == 0) return 0;
  bool hide = (state().settings.Flags & HideSensitive) != 0;
  std::string t = "<table>\r\n<tr><th>Parameter</th><th>Value</th></tr>\r\n";
  for (const auto& e : config_page_table()) {
    std::string value = value_of(e);
    if ((e.kind & CFG_SENSITIVE) && hide) {
      t += format_text("<tr><td>%s</td><td><img src=\"hidden_eye.gif\" alt=\"%s\"></td></tr>\r\n", e.name,
                       "(Hidden Field)");
    } else if (e.kind & CFG_BITS) {
      uint32_t mask;
      if (!bit_mask_of(e, &mask)) continue;
      uint32_t bits = stored_bits(e);
      for (const auto& [name, bit] : e.bits) {
        if (mask == 0) break;
        bool shown = (mask & 1) != 0;
        mask >>= 1;
        if (!shown) continue;
        if ((bit & e.hidden_bits) && (bits & HideSensitive)) continue;
        t += format_text(
            "<tr><td>%s</td><td>%s</td></tr>\r\n", name.c_str(),
            (bits & bit) ? "<img src=\"tick_sm.gif\" alt=\"on\">" : "<img src=\"cross_sm.gif\" alt=\"off\">");
      }
    } else {
      t += format_text("<tr><td>%s</td><td>%s</td></tr>\r\n", e.name,
                       value.empty() ? "&nbsp;" : html_escape(value).c_str());
    }
  }
  t += "</table>\r\n";
  return template_page(row, r, out, length, {{"&vek_table;", t}});
}

int uri_config_change_f(const uri_entry& row, http_request& r, char* out, size_t* length) {
  std::string t = "<form action=\"config_change_s.cgi\" method=post>" + form_token_field() + "\r\n<table><tr>\r\n";
  for (const auto& e : config_page_table()) {
    std::string value = value_of(e);
    std::string name = e.name;
    if (e.kind & CFG_READONLY) {
      t += format_text("<td>%s&nbsp;:</td><td>%s&nbsp;%s</td>", e.name, html_escape(value).c_str(), help_link(name));
    } else if (e.kind & CFG_BITS) {
      uint32_t mask;
      if (!bit_mask_of(e, &mask)) continue;
      uint32_t bits = stored_bits(e);
      // Tells the apply page that this row's boxes were on the form, so that
      // unticking every box clears them.
      t += format_text("<td colspan=\"2\"><input type=\"hidden\" name=\"%s\" value=\"%s\"></td></tr>\r\n<tr>", e.name,
                       kBoxesMarker);
      for (const auto& [bit_name, bit] : e.bits) {
        if (mask == 0) break;
        bool shown = (mask & 1) != 0;
        if (bit & e.readonly_bits) {
          t += format_text("<td>%s&nbsp;:</td> <td>%s (read-only)&nbsp;%s</td></tr>", bit_name.c_str(),
                           (bits & bit) ? "set" : "clear", help_link(name));
          continue;
        }
        mask >>= 1;
        if (!shown) continue;
        t += format_text(
            "<td>%s&nbsp;:</td><td><input type=\"checkbox\" name=\"%s\" value=\"1\" "
            "%s>&nbsp;%s&nbsp;%s</td></tr>\r\n<tr>",
            bit_name.c_str(), bit_name.c_str(), (bits & bit) ? "checked" : "",
            ((bit & e.warning_bits) && (bits & bit)) ? "<img src=\"/ani_alert.gif\" alt=\"warning flash\">" : "",
            help_link(name));
      }
    } else {
      std::string shown = (e.kind & CFG_PASSWORD) ? "" : value;
      t += format_text("<td>%s&nbsp;:</td> <td><input type=\"%s\" name=\"%s\" value=\"%s\" size=\"%zu\">&nbsp;%s</td>",
                       e.name, (e.kind & CFG_PASSWORD) ? "password" : "text", e.name, html_escape(shown).c_str(),
                       shown.size() + 10, help_link(name));
    }
    t += "</tr>\r\n<tr>";
  }
  t += "<td><input type=\"image\" alt=\"Submit\" src=\"/btn_submit.gif\" "
       "border=\"0\"></td></tr>\r\n</table>\r\n</form>\r\n";
  return template_page(row, r, out, length, {{"&vek_table;", t}});
}

int uri_config_change_s(const uri_entry& row, http_request& r, char* out, size_t* length) {
  http_trace("uri_config_change_s()\n");
  // A change comes from the form; a link or an image cannot make one.
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

  // Check everything first; bit-set rows start from their stored word with
  // every box bit cleared, so bits without a box keep their value. Only what
  // the administrator changed is written: a value posted as the form showed
  // it (a default among them) and a word that comes out as stored stay as
  // they are in the store, absent ones absent.
  std::vector<std::pair<std::string, std::string>> writes;
  std::map<const config_page_entry*, uint32_t> words;
  for (auto& f : fields) {
    http_trace("Doing \"%s\" = \"%s\"\n", f.name.c_str(), f.value.c_str());
    const config_page_entry* e = find_config_entry(f.name);
    if (!e)
      return format_error_page(format_text("Internal Error: Invalid Form Field name %s", html_escape(f.name).c_str()),
                               out, length);
    if (f.value == "Not Found") continue;
    if (e->kind & CFG_BITS) {
      if (!words.count(e)) words[e] = stored_bits(*e) & ~box_bits(*e);
      if (f.name == e->name) {
        if (f.value != kBoxesMarker)
          return format_error_page(format_text("Value: %s for %s is invalid", html_escape(f.value).c_str(), e->name),
                                   out, length);
        continue;
      }
      if (f.value != "0" && f.value != "1")
        return format_error_page(
            format_text("Value: %s for %s is invalid", html_escape(f.value).c_str(), html_escape(f.name).c_str()), out,
            length);
      if (f.value == "1") words[e] |= config_bit_value(f.name, *e);
      continue;
    }
    if (f.value == value_of(*e)) continue;
    std::string message = check_value(*e, f.value);
    if (!message.empty()) return format_error_page(message, out, length);
    writes.push_back({e->name, f.value});
  }
  for (const auto& [e, word] : words)
    if (word != stored_bits(*e)) writes.push_back({e->name, format_text("0x%lx", static_cast<unsigned long>(word))});
  if (!writes.empty()) {
    std::string error;
    if (write_settings(writes, &error) != 0) return report_internal_error(3, error.c_str(), 0, out, length);
    for (const auto& [name, value] : writes) apply_running(name, value);
  }
  std::string text = "Configurable Parameters changed OK\r\n";
  if (!writes.empty() && !signal_config_changed())
    text += "<p>The settings are stored; the server has not read them yet.\r\n";
  if (!templ.empty()) templ.pop_back();
  *length = 0;
  expand_template(templ, {{"&vek_text;", text}}, r, out, length);
  return 0;
}

}  // namespace kyvek::http
