// Fuzz target: one request as the server receives it: the request line and
// header fields, the posted form data and the Basic credentials.
#include <cstddef>
#include <cstdint>
#include <string>

#include "http_internal.h"

using namespace kyvek::http;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kRequestCap) size = kRequestCap;
  http_request r;
  if (parse_request(reinterpret_cast<const char*>(data), size, r) != 0) return 0;
  form_fields fields;
  if (r.query) split_form_fields(*r.query, fields);
  if (r.posted) split_form_fields(*r.posted, fields);
  decoded_query(r);
  if (const std::string* auth = r.field("authorization")) {
    std::string user, password;
    decode_basic_credentials(*auth, user, password);
  }
  find_uri(r.uri);
  return 0;
}
