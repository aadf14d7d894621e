// Request parsing: the request line, header fields, posted data and form
// fields. Everything works on pointer and length, so NUL bytes in a request
// cannot desynchronise the parser, and nothing is read past what was received.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "http_internal.h"

namespace kyvek::http {

namespace {

constexpr std::array<const char*, 13> kMethods = {"OPTIONS", "GET",    "HEAD", "POST",   "PUT",   "PATCH",  "COPY",
                                                  "MOVE",    "DELETE", "LINK", "UNLINK", "TRACE", "WRAPPED"};

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

int header_index(std::string_view name) {
  for (size_t i = 0; i < kHeaderNames.size(); ++i)
    if (iequals(name, kHeaderNames[i])) return static_cast<int>(i);
  return -1;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A decimal content length: digits only (leading blanks allowed), at most
// 0xFFFFFFFE; anything else counts as no length.
std::optional<uint32_t> parse_content_length(std::string_view v) {
  size_t i = 0;
  while (i < v.size() && (v[i] == ' ' || v[i] == '\t')) ++i;
  if (i == v.size()) return std::nullopt;
  uint64_t n = 0;
  for (; i < v.size(); ++i) {
    if (v[i] < '0' || v[i] > '9') return std::nullopt;
    n = n * 10 + static_cast<uint64_t>(v[i] - '0');
    if (n > 0xFFFFFFFEull) return std::nullopt;
  }
  return static_cast<uint32_t>(n);
}

// Position of the blank line that ends the head, and the length of that line
// end; npos when the head is not complete.
std::pair<size_t, size_t> find_head_end(std::string_view data) {
  for (size_t i = 0; i < data.size(); ++i) {
    if (data[i] != '\n') continue;
    if (i + 1 < data.size() && data[i + 1] == '\n') return {i + 1, 1};
    if (i + 2 < data.size() && data[i + 1] == '\r' && data[i + 2] == '\n') return {i + 1, 2};
  }
  return {std::string_view::npos, 0};
}

}  // namespace

const std::string* http_request::field(std::string_view name) const {
  int i = header_index(name);
  if (i < 0 || !fields[static_cast<size_t>(i)]) return nullptr;
  return &*fields[static_cast<size_t>(i)];
}

int parse_method(std::string_view line, http_request& r) {
  http_trace("parse_method(%zu)\n", line.size());
  if (line.empty()) {
    http_trace("Bad request\n");
    r.status = 400;
    return -1;
  }
  size_t sp = line.find(' ');
  if (sp == std::string_view::npos) {
    http_trace("Missing method\n");
    r.status = 400;
    return -1;
  }
  std::string_view method = line.substr(0, sp);
  http_trace("Method: %.*s\n", static_cast<int>(std::min<size_t>(method.size(), 32)), method.data());
  int index = -1;
  for (size_t i = 1; i < kMethods.size(); ++i)
    if (iequals(method, kMethods[i])) index = static_cast<int>(i);
  if (index < 0) {
    http_trace("Unrecognised method\n");
    r.status = 405;
    return -1;
  }
  r.method = index;
  if (index != METHOD_GET && index != METHOD_POST) {
    r.status = 501;
    return -1;
  }
  http_trace("Method OK\n");
  size_t start = sp + 1;
  size_t end = line.find_first_of(" \r\n?", start);
  if (end == std::string_view::npos) {
    http_trace("Missing URI\n");
    r.status = 400;
    return -1;
  }
  r.uri.assign(line.substr(start, end - start));
  std::snprintf(state().last_uri, sizeof state().last_uri, "%s", r.uri.substr(0, kLastUriMax).c_str());
  r.file = r.uri;
  std::replace(r.file.begin(), r.file.end(), '/', '\\');
  http_trace("file: %s, uri: %s\n", r.file.c_str(), r.uri.c_str());
  size_t pos = end;
  if (line[pos] == '?') {
    size_t q = pos + 1;
    size_t qend = line.find_first_of(" \r\n", q);
    if (qend == std::string_view::npos) qend = line.size();
    if (qend > q) r.query.emplace(line.substr(q, qend - q));
    pos = qend;
  }
  if (pos < line.size() && line[pos] == ' ') {
    size_t v = pos + 1;
    size_t vend = line.find_first_of("\r\n", v);
    if (vend == std::string_view::npos) vend = line.size();
    if (vend > v) r.version.emplace(line.substr(v, vend - v));
  }
  http_trace("Method parsed\n");
  return 0;
}

int store_hd_field(std::string_view line, http_request& r, int* last_field) {
  int index = -1;
  std::string_view value;
  bool continuation = !line.empty() && (line[0] == ' ' || line[0] == '\t');
  if (continuation) {
    // Continues the previous field; its text is taken whole.
    index = *last_field;
    value = line;
  } else {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      *last_field = -1;
      return 0;  // not a header line: ignored
    }
    index = header_index(line.substr(0, colon));
    value = line.substr(colon + 1);
    *last_field = index;
  }
  if (index < 0) return 0;  // unknown field, dropped with its value
  auto& slot = r.fields[static_cast<size_t>(index)];
  if (!slot) {
    slot.emplace(value);
  } else {
    if (slot->size() + 1 + value.size() > kRequestCap) {
      r.status = 400;
      return -1;
    }
    slot->push_back(',');
    slot->append(value);
  }
  bool secret = std::strstr(kHeaderNames[static_cast<size_t>(index)], "authorization") != nullptr;
  http_trace("\tFound %s=\\%s\\\n", kHeaderNames[static_cast<size_t>(index)], secret ? "(XXXXXX)" : slot->c_str());
  if (std::strcmp(kHeaderNames[static_cast<size_t>(index)], "content-length") == 0) {
    std::optional<uint32_t> n = parse_content_length(value);
    uint32_t v = n.value_or(0);
    // Two lengths that disagree leave no safe way to find the body.
    if (r.content_length_known && v != r.content_length) {
      http_trace("Conflicting content-length\n");
      r.status = 400;
      return -1;
    }
    r.content_length = v;
    r.content_length_known = true;
    http_trace("Converted content-length: %lu\n", static_cast<unsigned long>(v));
  }
  return 0;
}

int parse_request(const char* data, size_t length, http_request& r) {
  http_trace("parse_request(%p, %zu, %p)\n", static_cast<const void*>(data), length, static_cast<void*>(&r));
  if (!data || length < 1) {
    http_trace("Null buffer or length\n");
    r.status = 400;
    return -1;
  }
  std::string_view all(data, length);
  auto [head_end, blank] = find_head_end(all);
  std::string_view head = head_end == std::string_view::npos ? all : all.substr(0, head_end);
  size_t eol = head.find('\n');
  std::string_view request_line = eol == std::string_view::npos ? head : head.substr(0, eol + 1);
  if (parse_method(request_line, r) != 0) {
    http_trace("parse_method failed\n");
    return -1;
  }
  size_t pos = eol == std::string_view::npos ? head.size() : eol + 1;
  int last_field = -1;
  size_t lines = 0;
  while (pos < head.size()) {
    size_t next = head.find('\n', pos);
    size_t end = next == std::string_view::npos ? head.size() : next;
    std::string_view line = head.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos = next == std::string_view::npos ? head.size() : next + 1;
    if (line.empty()) continue;
    if (++lines > kMaxHeaderLines) {
      http_trace("Too many header lines\n");
      r.status = 400;
      return -1;
    }
    if (store_hd_field(line, r, &last_field) != 0) return -1;
  }
  if (head_end != std::string_view::npos && head_end + blank < all.size())
    r.posted.emplace(all.substr(head_end + blank));
  http_trace("request parsed\n");
  return 0;
}

int wait_readable(int socket, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    pollfd p{socket, POLLIN, 0};
    int rc = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 60000)));
    if (rc > 0) return 1;
    if (rc < 0 && errno != EINTR) return -1;
  }
}

int read_posted_data(http_request& r, std::string& body, size_t capacity) {
  body.clear();
  if (r.content_length_known && r.content_length >= capacity) {
    http_trace("Content length %lu too big\n", static_cast<unsigned long>(r.content_length));
    r.status = 413;
    return -1;
  }
  if (r.posted) {
    http_trace("Already have Posted data (%zu bytes)\n", r.posted->size());
    if (r.posted->size() >= capacity) {
      r.status = 413;
      return -1;
    }
    body = *r.posted;
  } else {
    http_trace("No posted data\n");
  }
  size_t wanted = r.content_length_known ? r.content_length : 0;
  // Without a length, one read of what the client sends within the wait.
  bool one_read = !r.content_length_known && body.empty();
  char chunk[1024];
  while (one_read || body.size() < wanted) {
    auto wait_end = std::min(r.deadline, Clock::now() + std::chrono::milliseconds(kPostWaitMs));
    int w = r.socket >= 0 ? wait_readable(r.socket, wait_end) : -1;
    if (w <= 0) {
      http_trace("No posted data within the wait\n");
      r.status = 400;
      return -1;
    }
    size_t room = std::min(sizeof chunk, capacity - body.size());
    ssize_t n = ::recv(r.socket, chunk, room, 0);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      http_trace("Posted data ended early\n");
      r.status = 400;
      return -1;
    }
    body.append(chunk, static_cast<size_t>(n));
    http_trace("Read %zd more bytes of post data\n", n);
    if (body.size() >= capacity) {
      r.status = 413;
      return -1;
    }
    one_read = false;
  }
  if (r.content_length_known && body.size() > wanted) body.resize(wanted);
  return 0;
}

bool urlunencode(std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') continue;
    if (c == '+') {
      out.push_back(' ');
    } else if (c == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
      char b = static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
      if (b == '\0') return false;
      out.push_back(b);
      i += 2;
    } else {
      out.push_back(c);  // a '%' without two hex digits stays as it is
    }
  }
  text.swap(out);
  return true;
}

std::string decoded_query(const http_request& r) {
  if (!r.query) return {};
  std::string q = *r.query;
  if (!urlunencode(q)) return {};
  return q;
}

int split_form_fields(std::string_view text, form_fields& out) {
  out.clear();
  if (text.empty()) return -1;
  size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\r' || text[pos] == '\n')) ++pos;
    if (pos >= text.size()) {
      http_trace("buflen <= 0 [1]\n");
      return -1;
    }
    size_t eq = text.find('=', pos);
    if (eq == std::string_view::npos) {
      http_trace("buflen <= 0 [2]\n");
      return -1;
    }
    size_t amp = text.find('&', eq + 1);
    size_t vend = amp == std::string_view::npos ? text.size() : amp;
    std::string_view name = text.substr(pos, eq - pos);
    std::string value(text.substr(eq + 1, vend - eq - 1));
    pos = amp == std::string_view::npos ? text.size() : amp + 1;
    if (name == "x" || name == "y") continue;
    if (!urlunencode(value)) {
      http_trace("NUL in form field\n");
      return -1;
    }
    http_trace("%.*s = %s\n", static_cast<int>(name.size()), name.data(), value.c_str());
    out.push_back({std::string(name), std::move(value)});
  }
  return 0;
}

const form_field* find_form_field(const form_fields& fields, std::string_view name) {
  for (const auto& f : fields)
    if (f.name == name) return &f;
  return nullptr;
}

}  // namespace kyvek::http
