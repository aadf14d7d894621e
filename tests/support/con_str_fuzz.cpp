// Connection strings from arbitrary bytes: parsing never reads or writes out
// of bounds, every writer respects its capacity, and what the writer emits
// parses back to exactly the same pairs (so no value can inject a key).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "con_str_pairs.h"
#include "ky_constr.h"

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  mem_handle* pool = ky_mem_alloc_handle(nullptr);
  con_str cs, back;
  init_con_str(&cs);
  init_con_str(&back);
  // An exactly sized copy without a terminator: the parser must stop at
  // the length it is given.
  std::vector<char> text(data, data + size);
  require(parse_connection_string(&cs, pool, text.data(), static_cast<int32_t>(size), 1) == 0);

  std::vector<char> out(size * 3 + 64);
  require(generate_connection_string_ex(&cs, out.data(), static_cast<int32_t>(out.size())) == out.data());
  require(parse_connection_string(&back, pool, out.data(), KY_CONSTR_NTS, 1) == 0);
  require(pairs_of(back) == pairs_of(cs));

  // Small, exactly sized buffers for every writer.
  for (int32_t cap = 0; cap < 24; ++cap) {
    std::vector<char> small(static_cast<size_t>(cap > 0 ? cap : 1));
    generate_connection_string(&cs, small.data(), cap);
    generate_connection_string_ex(&cs, small.data(), cap);
    generate_connection_string_config(&cs, small.data(), cap);
  }
  ky_mem_release_handle(pool);
  return 0;
}
