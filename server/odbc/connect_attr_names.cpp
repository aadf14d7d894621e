// Trace lines for connection attributes: the attribute's ODBC 3 name and its
// value in the form that suits it. Called by the connection-attribute handlers
// under trace bit 0x8.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "server_info.h"
#include "trace_log.h"

namespace {

enum class Form { kNumber, kText, kReadOnly, kPointer };

struct AttrName {
  int32_t id;
  const char* name;
  Form form;
};

// Searched in this order.
constexpr AttrName kAttrNames[] = {
    {1209, "CONNECTION_DEAD", Form::kNumber},
    {101, "ACCESS_MODE", Form::kNumber},
    {4, "ASYNC_ENABLE", Form::kNumber},
    {10001, "AUTO_IPD", Form::kReadOnly},
    {102, "AUTOCOMMIT", Form::kNumber},
    {113, "CONNECTION_TIMEOUT", Form::kNumber},
    {109, "CURRENT_CATALOG", Form::kText},
    {103, "LOGIN_TIMEOUT", Form::kNumber},
    {10014, "METADATA_ID", Form::kNumber},
    {110, "ODBC_CURSORS", Form::kNumber},
    {112, "PACKET_SIZE", Form::kNumber},
    {111, "QUIET_MODE", Form::kPointer},
    {104, "TRACE", Form::kNumber},
    {105, "TRACEFILE", Form::kText},
    {107, "TRANSLATE_OPTION", Form::kNumber},
    {108, "TXN_ISOLATION", Form::kNumber},
};

constexpr int kLineSize = 256;

}  // namespace

extern "C" int format_connect_attr(int32_t attribute, intptr_t value, int32_t direct, char* out, int capacity) {
  if (!out || capacity <= 0) return 0;
  const AttrName* row = nullptr;
  for (const auto& r : kAttrNames)
    if (r.id == attribute) {
      row = &r;
      break;
    }
  bool is_value = (direct & 0x1) != 0;
  int n;
  if (!row) {
    n = std::snprintf(out, static_cast<size_t>(capacity), "\t\t\tUNKNOWN\tnon-determined-value-type\n");
  } else {
    switch (row->form) {
      case Form::kNumber: {
        uint32_t v = is_value ? static_cast<uint32_t>(value) : (value ? *reinterpret_cast<const uint32_t*>(value) : 0u);
        n = std::snprintf(out, static_cast<size_t>(capacity), "\t%s\t0x%" PRIx32 "\n", row->name, v);
        break;
      }
      case Form::kText: {
        // The text may come from a peer without a NUL within the line; it is
        // printed as data, bounded by the line.
        const char* text = reinterpret_cast<const char*>(value);
        int room = kLineSize;
        size_t len = text ? strnlen(text, static_cast<size_t>(room)) : 0;
        n = std::snprintf(out, static_cast<size_t>(capacity), "\t%s\t\t%.*s\n", row->name, static_cast<int>(len),
                          text ? text : "");
        break;
      }
      case Form::kReadOnly:
        n = std::snprintf(out, static_cast<size_t>(capacity), "\t%s\tRead-Only attribute\n", row->name);
        break;
      case Form::kPointer: {
        void* p =
            is_value ? reinterpret_cast<void*>(value) : (value ? *reinterpret_cast<void* const*>(value) : nullptr);
        n = std::snprintf(out, static_cast<size_t>(capacity), "\t%s\t\t%p\n", row->name, p);
        break;
      }
      default: n = 0;
    }
  }
  if (n < 0) n = 0;
  if (n >= capacity) n = capacity - 1;  // cut at the line's end, never past it
  return n;
}

extern "C" void log_connect_attr(int32_t attribute, intptr_t value, int32_t direct) {
  char line[kLineSize];
  int n = format_connect_attr(attribute, value, direct, line, sizeof line);
  log_text(n, line, KY_LOG_TEXT_NO_NEWLINE);
}
