// Fuzz entry for the server's text parsers that see outside input: base64 of
// HTTP authorisation headers, access-list texts and addresses, tokenisers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "access_list.h"
#include "text_parsers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  const char* input = text.c_str();  // stops at the first NUL, like the callers' texts

  std::vector<unsigned char> decoded(base64_decoded_size(input));
  size_t n = base64_decode(decoded.data(), input);
  if (n >= decoded.size()) std::abort();

  const char* stop = nullptr;
  check_ip_address(input, 1, &stop);
  parse_ip_and_mask(input, 0, &stop);

  ip_acl_entry* list = nullptr;
  if (veks_create_ip_acl(" |", input, &list, nullptr) == 0) {
    match_ip_acl(input, list, list, 0);
    match_ip_acl("10.1.2.3", list, nullptr, ACL_MATCH_NAMES);
    free_ip_acl(&list);
  }

  std::string copy = text.c_str();
  char* slots[4] = {};
  int used = split_string(",;", 4, slots, copy.data());
  // The first three slots hold copies; the fourth points into the text.
  for (int i = 0; i + 1 < used && i < 3; ++i) std::free(slots[i]);
  return 0;
}
