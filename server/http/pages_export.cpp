// The configuration export: the settings key as a REGEDIT4 file vek.reg in
// LogDir (written 0600 through a temporary file and a rename) and the same
// lines in the page.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "identity.h"
#include "pages.h"
#include "registry/registry.h"
#include "registry/registry_format.h"
#include "server_utils.h"
#include "logfile/log_file.h"

namespace kyvek::http {

namespace {

constexpr const char* kRootName = "HKEY_LOCAL_MACHINE";
constexpr const char* kSettingsPath = KY_CONFIGURATION_KEY "\\System\\Settings";

// Writes the whole text to path through a private temporary file beside it.
int write_export_file(const std::string& path, const std::string& text, int* error) {
  std::string tmp = path + ".XXXXXX";
  int fd = ::mkstemp(tmp.data());
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  ky_apply_log_file_rule(fd, tmp.c_str());
  if (write_fully(fd, text.data(), text.size()) != 0 || ::fsync(fd) != 0) {
    *error = errno;
    ::close(fd);
    ::unlink(tmp.c_str());
    return -1;
  }
  ::close(fd);
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    *error = errno;
    ::unlink(tmp.c_str());
    return -1;
  }
  return 0;
}

}  // namespace

// The export lines of the settings key (REGEDIT4, CR LF), or the failure
// paragraph in *page when the key cannot be read.
std::vector<std::string> export_lines(std::string* failure) {
  std::vector<std::string> lines;
  registry::Key key;
  registry::Status st = registry::Key::open(kSettingsPath, registry::Access::kRead, &key);
  std::vector<registry::Value> values;
  if (st.ok()) st = key.values(&values);
  if (!st.ok()) {
    *failure = format_text("<p>Failed to open %s\\%s\r\n<p>error %ld\n\r<p>%s<p>\r\n", kRootName, kSettingsPath,
                           static_cast<long>(st.code), html_escape(st.message).c_str());
    return lines;
  }
  if (values.empty()) return lines;
  lines.push_back("REGEDIT4\r\n");
  std::string path = kSettingsPath;
  for (size_t pos = 0;;) {
    size_t slash = path.find('\\', pos);
    lines.push_back(format_text("[%s\\%s]\r\n", kRootName, path.substr(0, slash).c_str()));
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  // Names and data escaped as the key store reads them: a quote or a line end
  // in a value cannot start a line of its own.
  for (const auto& v : values)
    lines.push_back("\"" + registry::escape_text(v.name) + "\"=\"" + registry::escape_text(v.data) + "\"\r\n");
  return lines;
}

int uri_op_config(const uri_entry& row, http_request& r, char* out, size_t* length) {
  std::string failure;
  std::vector<std::string> lines = export_lines(&failure);
  std::string text = failure;
  if (failure.empty()) {
    std::string file_text;
    for (const auto& l : lines) {
      text += "<br>" + html_escape(l);
      file_text += l;
    }
    std::string path = log_file_path("vek.reg");
    int error = 0;
    if (write_export_file(path, file_text, &error) != 0) {
      text = format_text("<p>Failed to open %s for write access\r\n<p>error %d - %s\r\n", html_escape(path).c_str(),
                         error, std::strerror(error)) +
             text;
    } else {
      text += format_text("<p>Configuration written to %s.<p>\r\n", html_escape(path).c_str());
      text +=
          "<p>The file has the registry file's form: to use these settings on this machine or another, copy its "
          "values into that machine's registry file (/etc/kyvek/registry.reg) and reload the server "
          "(<code>systemctl reload kyvekserver</code>).\r\n";
    }
  }
  std::string templ;
  if (load_template(row.templ, templ, r) != 0) return -1;
  *length = 0;
  expand_template(templ, {{"&vek_text;", text}}, r, out, length);
  return 0;
}

}  // namespace kyvek::http
