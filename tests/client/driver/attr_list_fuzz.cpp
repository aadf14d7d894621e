// Connection strings from applications: any bytes parse without fault, the
// keywords apply within their bounds, and a generated string parses back to
// the same pairs (no value can add or change a keyword).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "driver.h"

using namespace kyvek::driver;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  AttrList list;
  list.parse(text);

  client_dbc dbc;
  uint32_t mask = attribute_presence_mask(list);
  get_attrs_from_constr(&dbc, &mask, list);
  if (dbc.block_fetch_size < 0 || dbc.block_fetch_size > 100) std::abort();
  if (dbc.default_param_size > 1024) std::abort();
  if (dbc.connect_retries > 100) std::abort();
  if (dbc.ignored_count < 0 || dbc.ignored_count > kMaxIgnoredStmtAttrs) std::abort();

  // Round trip: what the driver writes, it reads back unchanged. Keys that
  // hold '=', ';' or braces cannot be written, and the generator leaves out
  // DESCRIPTION and DRIVER beside DSN; those lists are not compared.
  for (const auto& p : list.pairs())
    if (p.first.find_first_of("=;{}") != std::string::npos || p.first.empty()) return 0;
  if (list.has("DESCRIPTION") || list.has("DRIVER")) return 0;
  AttrList back;
  back.parse(list.to_string());
  if (back.pairs().size() != list.pairs().size()) std::abort();
  for (size_t i = 0; i < list.pairs().size(); ++i) {
    const auto& a = list.pairs()[i];
    const auto& b = back.pairs()[i];
    // Values lose leading and trailing blanks only when they are not braced,
    // and the writer braces every value that has them.
    if (a.first != b.first || a.second != b.second) std::abort();
  }
  return 0;
}
