// Fuzz target: the server's own layer over the HTTP transport, from raw
// bytes. The bytes are cut as the transport cuts a request (request line,
// "name: value" header lines to the blank line, body); the target then runs
// what the server does with those pieces: the head it rebuilds and parses
// (method, path, query, the kept header fields, content length), the form
// fields of the query and of the body, the change forms' token split, the
// same-origin check and the dispatch look-up. The transport's own parsing
// and the Basic credentials are the library's.
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "http_internal.h"

using namespace kyvek::http;

namespace {

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), std::min(size, 2 * kRequestCap));
  // The head ends at the first blank line (CRLF or LF).
  size_t crlf = in.find("\r\n\r\n"), lf = in.find("\n\n");
  size_t head_end = std::min(crlf, lf);
  size_t blank = head_end == crlf ? 4 : 2;
  std::string_view head_text = in.substr(0, head_end);
  std::string_view body = head_end == std::string_view::npos ? std::string_view() : in.substr(head_end + blank);
  size_t eol = head_text.find('\n');
  std::string_view line = trimmed(head_text.substr(0, eol));
  size_t sp1 = line.find(' ');
  size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos) return 0;
  std::vector<std::pair<std::string, std::string>> headers;
  for (size_t pos = eol; pos != std::string_view::npos && pos < head_text.size();) {
    size_t next = head_text.find('\n', pos + 1);
    std::string_view h = head_text.substr(pos + 1, next == std::string_view::npos ? std::string_view::npos : next - pos - 1);
    pos = next;
    size_t colon = h.find(':');
    if (colon == std::string_view::npos) continue;
    headers.emplace_back(std::string(h.substr(0, colon)), std::string(trimmed(h.substr(colon + 1))));
  }
  std::string head = request_head(line.substr(0, sp1), line.substr(sp1 + 1, sp2 - sp1 - 1), line.substr(sp2 + 1), headers);
  http_request r;
  if (parse_request(head.data(), head.size(), r) != 0) return 0;
  form_fields fields;
  if (r.query) split_form_fields(*r.query, fields);
  split_form_fields(body, fields);
  decoded_query(r);
  std::string rest, token;
  split_form_token(body, rest, token);
  split_form_fields(rest, fields);
  same_origin(r);
  find_uri(r.uri);
  return 0;
}
