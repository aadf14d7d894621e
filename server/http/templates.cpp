// Templates and static files. Every file is opened relative to the folder
// <Path>/templates with O_NOFOLLOW, by a plain name (no '/', no ".."), so
// neither a request nor an include directive can reach another file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "http_internal.h"

namespace kyvek::http {

namespace {

constexpr size_t kTemplateMax = 63999;
constexpr size_t kIncludeMinimum = 26;  // shortest text that can hold a directive

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string templates_dir() { return std::string(state().settings.Path) + "/templates/"; }

// Opens a plain name in the templates folder for reading; -1 with errno.
int open_in_templates(std::string_view name) {
  if (!safe_file_name(name)) {
    errno = EACCES;
    return -1;
  }
  Fd dir(::open(templates_dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return -1;
  std::string n(name);
  int fd = ::openat(dir.get(), n.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EACCES;
    return -1;
  }
  return fd;
}

// Reads up to max bytes; the number read, -1 on error.
ssize_t read_up_to(int fd, char* buf, size_t max) {
  size_t got = 0;
  while (got < max) {
    ssize_t n = ::read(fd, buf + got, max - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

void skip_blanks(std::string_view t, size_t& i) {
  while (i < t.size() && t[i] == ' ') ++i;
}

bool take(std::string_view t, size_t& i, std::string_view word) {
  if (t.substr(i, word.size()) != word) return false;
  i += word.size();
  return true;
}

}  // namespace

bool safe_file_name(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  if (name.find('/') != std::string_view::npos || name.find('\\') != std::string_view::npos) return false;
  if (name.find("..") != std::string_view::npos) return false;
  return name.find('\0') == std::string_view::npos;
}

bool parse_include(std::string_view t, size_t pos, size_t* end, std::string_view* name) {
  if (t.size() - pos < kIncludeMinimum) return false;
  size_t i = pos;
  if (!take(t, i, "<!--")) return false;
  skip_blanks(t, i);
  if (!take(t, i, "#include")) return false;
  skip_blanks(t, i);
  if (!take(t, i, "file")) return false;
  skip_blanks(t, i);
  if (!take(t, i, "=")) return false;
  skip_blanks(t, i);
  if (!take(t, i, "\"")) return false;
  size_t start = i;
  while (i < t.size() && t[i] != '"') {
    if (t[i] == ' ' || t[i] == '-' || t[i] == '\r') return false;
    ++i;
  }
  if (i >= t.size()) return false;
  std::string_view n = t.substr(start, i - start);
  ++i;
  skip_blanks(t, i);
  if (!take(t, i, "-->")) return false;
  http_trace("Include filename (%zu): %.*s\n", n.size(), static_cast<int>(n.size()), n.data());
  *end = i;
  *name = n;
  return true;
}

int load_template(const char* name, std::string& out, http_request& r) {
  http_trace("\tload_template(%s)\n", name ? name : "(null)");
  out.clear();
  if (!name) {
    http_trace("Missing template\n");
    r.status = 404;
    send_error_message(&r, r.socket, "Missing template\n");
    return -1;
  }
  if (std::strlen(state().settings.Path) + std::strlen(name) > 1021) {
    r.status = 507;
    http_trace("Failed to create template path - too long\n");
    return -1;
  }
  std::string path = templates_dir() + name;
  http_trace("\tUsing %s\n", path.c_str());
  Fd fd(open_in_templates(name));
  if (fd.get() < 0) {
    std::string text = format_text("Failed to open or read template %s (error %d)\n", path.c_str(), errno);
    http_trace("%s", text.c_str());
    r.status = 404;
    send_error_message(&r, r.socket, html_escape(text));
    return -1;
  }
  std::string text(kTemplateMax, '\0');
  ssize_t n = read_up_to(fd.get(), text.data(), kTemplateMax);
  if (n <= 0) {
    std::string msg = format_text("Failed to read %s - %d\n", path.c_str(), errno);
    http_trace("%s", msg.c_str());
    send_error_message(&r, r.socket, html_escape(msg));
    return -1;
  }
  if (static_cast<size_t>(n) >= kTemplateMax) {
    const char* msg = "Internal buffer (tbuf1) too small for template\n";
    http_trace("%s", msg);
    send_error_message(&r, r.socket, msg);
    return -1;
  }
  text.resize(static_cast<size_t>(n));
  const size_t capacity = kPageCapacity;
  out.reserve(capacity);
  for (size_t i = 0; i < text.size();) {
    if (out.size() >= capacity - 1) {
      std::string msg =
          format_text("Internal buffer (tbuf2[%zu]) too small for template [%zu]\n", capacity, out.size());
      http_trace("%s", msg.c_str());
      send_error_message(&r, r.socket, msg);
      return -1;
    }
    size_t end = 0;
    std::string_view include;
    if (text[i] == '<' && parse_include(text, i, &end, &include)) {
      std::string ipath = templates_dir() + std::string(include);
      if (ipath.size() > 1024) {
        r.status = 507;
        http_trace("Failed to create include path (%zu) - too long\n", include.size());
        return -1;
      }
      http_trace("\tUsing include file %s\n", ipath.c_str());
      Fd ifd(open_in_templates(include));
      ssize_t got = -1;
      if (ifd.get() >= 0) {
        size_t room = capacity - 1 - out.size();
        size_t at = out.size();
        out.resize(at + room);
        got = read_up_to(ifd.get(), out.data() + at, room);
        out.resize(at + (got > 0 ? static_cast<size_t>(got) : 0));
      }
      if (got < 0) {
        http_trace("Failed to open include file %s\n", ipath.c_str());
        out += "<p>Include file " + html_escape(ipath) + " not found/readable";
      }
      i = end;
      continue;
    }
    out.push_back(text[i]);
    ++i;
  }
  return 0;
}

void expand_template(std::string_view text, const entity_list& entities, http_request& r, char* out, size_t* length) {
  size_t plain = 0;  // start of the text not yet written
  auto flush = [&](size_t upto) {
    if (upto > plain) append_output(r, out, length, text.substr(plain, upto - plain));
  };
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') continue;
    std::string_view rest = text.substr(i);
    const std::string* replacement = nullptr;
    size_t skip = 0;
    static const std::string version = kVersionText;
    if (rest.starts_with("&vek_version;")) {
      replacement = &version;
      skip = std::strlen("&vek_version;");
    } else if (rest.starts_with("&vek_token;")) {
      replacement = &form_token();
      skip = std::strlen("&vek_token;");
    } else {
      for (const auto& [name, value] : entities) {
        if (rest.starts_with(name)) {
          replacement = &value;
          skip = name.size();
          break;
        }
      }
    }
    if (!replacement) continue;
    flush(i);
    append_output(r, out, length, *replacement);
    i += skip - 1;
    plain = i + 1;
  }
  flush(text.size());
}

int uri_file(const uri_entry& row, http_request& r, char* out, size_t* length) {
  http_trace("uri_file\n");
  std::string_view name = std::string_view(row.path).substr(1);
  std::string path = templates_dir() + std::string(name);
  http_trace("\tUsing %s\n", path.c_str());
  Fd fd(open_in_templates(name));
  if (fd.get() < 0) {
    http_trace("Failed to open file, errno=%d\n", errno);
    r.status = 404;
    return -1;
  }
  struct stat st {};
  ::fstat(fd.get(), &st);
  std::string date = format_http_date(st.st_mtime);
  std::string line = "Last-Modified: " + date + "\n";
  http_trace("%s", line.c_str());
  if (const std::string* ims = r.field("if-modified-since")) {
    std::string_view v = *ims;
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    size_t semi = v.find(';');
    if (semi != std::string_view::npos) v = v.substr(0, semi);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
    // Only the file's own date counts; an empty date would match every file.
    if (!v.empty() && v == date) {
      http_trace("Not Modified\n");
      r.status = 304;
      *length = 0;
      return 0;
    }
  }
  r.last_modified = line;
  r.flags |= 0x1;
  size_t capacity = *length;
  ssize_t n = read_up_to(fd.get(), out, capacity);
  if (n <= 0) {
    send_error_message(&r, r.socket, format_text("Failed to read data from %s", html_escape(path).c_str()));
    return -1;
  }
  if (static_cast<size_t>(n) >= capacity - 1) {
    send_error_message(&r, r.socket, format_text("%s too big", html_escape(path).c_str()));
    return -1;
  }
  *length = static_cast<size_t>(n);
  return 0;
}

}  // namespace kyvek::http
