// The key/value pairs of a parsed connection string, in order, as strings.
// Shared by the connection-string tests and fuzzer.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ky_constr.h"

using Pairs = std::vector<std::pair<std::string, std::string>>;

inline Pairs pairs_of(const con_str& cs) {
  Pairs out;
  for (ListNode* n = cs.count ? ListFirst(cs.list) : nullptr; n; n = ListNext(n)) {
    auto* p = static_cast<pair*>(ListData(n));
    out.emplace_back(p->key, p->value);
  }
  return out;
}
