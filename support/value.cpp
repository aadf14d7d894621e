// Typed value cells: life cycle, conversions, the stored field form,
// comparison and SQL literal text. Conversions never overflow: values out
// of range go to the nearest limit, and comparisons compare, they never
// subtract.
#include <cerrno>
#include <cstdarg>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include <sql.h>
#include <sqlext.h>

#include "ky_date.h"
#include "ky_interval.h"
#include "ky_list.h"
#include "ky_longbuf.h"
#include "ky_numeric.h"
#include "ky_string.h"
#include "ky_value.h"
#include "mem_internal.h"
#include "value_internal.h"

namespace {

bool is_integer(int32_t t) { return t == KY_VT_INTEGER || t == KY_VT_INTEGER2; }
bool is_bytes(int32_t t) { return t == KY_VT_TEXT || t == KY_VT_BINARY; }
bool is_long(int32_t t) { return t == KY_VT_LONG_TEXT || t == KY_VT_LONG_BINARY; }
bool is_interval(int32_t t) { return t == KY_VT_INTERVAL_YM || t == KY_VT_INTERVAL_DS; }
bool is_null(const Value& v) { return v.null_indicator != 0 || v.value_type == KY_VT_NULL; }

// Integer range of T as doubles: [lo, hi) with hi = -lo, both exact.
template <class T>
bool fits_double(double d) {
  constexpr double lo = static_cast<double>(std::numeric_limits<T>::min());
  const double t = std::trunc(d);
  return !std::isnan(d) && t >= lo && t < -lo;
}

// d truncated toward zero, or the nearest limit; NaN gives 0.
template <class T>
T clamp_double(double d) {
  if (std::isnan(d)) return 0;
  if (fits_double<T>(d)) return static_cast<T>(std::trunc(d));
  return d < 0 ? std::numeric_limits<T>::min() : std::numeric_limits<T>::max();
}

int32_t clamp32(int64_t v) {
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

std::string_view text_of(const Value& v) {
  const auto* p = static_cast<const char*>(v.data.bytes);
  return p ? std::string_view(p) : std::string_view();
}

size_t binary_size(const Value& v) {
  return (v.data.bytes && v.binary_length > 0) ? static_cast<size_t>(v.binary_length) : 0;
}

// Bytes the cell's data buffer can hold.
size_t buffer_capacity(const Value& v) {
  if (!v.data.bytes) return 0;
  if (v.is_inline) {
    if (v.node_kind == KY_NODE_VALUE_INLINE) return KY_VALUE_INLINE;
    const mem_block* b = ky::mem_block_of(const_cast<Value*>(&v));
    return b ? static_cast<size_t>(b->size) - sizeof(Value) : 0;
  }
  const mem_block* b = ky::mem_block_of(v.data.bytes);
  return b ? static_cast<size_t>(b->size) : 0;
}

// Frees what the cell owns besides itself.
void drop_payload(Value& v) {
  if (is_bytes(v.value_type) && v.data.bytes && !v.is_inline) ky_mem_free(v.pool, v.data.bytes);
  if (v.long_data) ky_mem_free(v.pool, v.long_data);
  v.long_data = nullptr;
  if (is_bytes(v.value_type) && !v.is_inline) v.data.bytes = nullptr;
}

int64_t parse_int(std::string_view s) {
  const std::string copy(s);
  errno = 0;
  const long long v = std::strtoll(copy.c_str(), nullptr, 10);  // saturates on overflow
  return v;
}

double parse_double(std::string_view s) {
  const std::string copy(s);
  return std::strtod(copy.c_str(), nullptr);
}

int64_t numeric_as_bigint(const SQL_NUMERIC_STRUCT& n) {
  int64_t v = 0;
  if (numeric_to_bigint(&n, &v) == -2)
    return n.sign ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  return v;
}

std::string format_double(double d) {
  char buf[400];
  std::snprintf(buf, sizeof buf, "%f", d);
  std::string s = buf;
  if (s.find('.') != std::string::npos) {
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
  }
  return s;
}

std::string hex_bytes(const Value& v) {
  std::string s;
  const auto* p = static_cast<const unsigned char*>(v.data.bytes);
  char two[3];
  for (size_t i = 0; i < binary_size(v); ++i) {
    std::snprintf(two, sizeof two, "%02X", p[i]);
    s += two;
  }
  return s;
}

std::string printf_string(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string printf_string(const char* format, ...) {
  char buf[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

std::string date_text(const SQL_DATE_STRUCT& d) { return printf_string("%04d-%02d-%02d", d.year, d.month, d.day); }
std::string time_text(const SQL_TIME_STRUCT& t) { return printf_string("%02d:%02d:%02d", t.hour, t.minute, t.second); }
std::string ts_date(const SQL_TIMESTAMP_STRUCT& t) { return printf_string("%04d-%02d-%02d", t.year, t.month, t.day); }
std::string ts_time(const SQL_TIMESTAMP_STRUCT& t) {
  return printf_string("%02d:%02d:%02d", t.hour, t.minute, t.second);
}

std::string interval_text(const Value& v) {
  SQLLEN len = 0;
  interval_struct_as_text(&v.data.interval, v.leading_precision, v.seconds_precision, 1, nullptr, 0, &len);
  std::string s(static_cast<size_t>(len) + 1, '\0');
  interval_struct_as_text(&v.data.interval, v.leading_precision, v.seconds_precision, 1, s.data(),
                          static_cast<SQLLEN>(s.size()), nullptr);
  s.resize(static_cast<size_t>(len));
  return s;
}

// SQL literal of a non-NULL cell.
std::string literal(const Value& v) {
  switch (v.value_type) {
    case KY_VT_INTEGER:
    case KY_VT_INTEGER2: return std::to_string(v.data.integer);
    case KY_VT_DOUBLE: return format_double(v.data.real);
    case KY_VT_TEXT: {
      std::string s = "'";
      for (char c : text_of(v)) {
        if (c == '\'') s += '\'';
        s += c;
      }
      return s + "'";
    }
    case KY_VT_BINARY: return "B'" + hex_bytes(v) + "'";
    case KY_VT_DATE: return "{d'" + date_text(v.data.date) + "'}";
    case KY_VT_TIME: return "{t'" + time_text(v.data.time) + "'}";
    case KY_VT_TIMESTAMP: return "{ts'" + ts_date(v.data.timestamp) + " " + ts_time(v.data.timestamp) + "'}";
    case KY_VT_NUMERIC: {
      char buf[1024];
      numeric_to_string(&v.data.numeric, buf, sizeof buf, nullptr);
      return buf;
    }
    case KY_VT_NULL: return " NULL ";
    case KY_VT_BIGINT: return printf_string("%" PRId64, v.data.bigint);
    case KY_VT_INTERVAL_YM:
    case KY_VT_INTERVAL_DS: return "{" + interval_text(v) + "}";
    default: return "";
  }
}

const char* copy_out(const std::string& s, char* out, int32_t capacity) {
  copy_str_bufferi(out, capacity, nullptr, s.c_str());
  return out;
}

template <class T>
int sign_of(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

int sign_of_int(int64_t d) { return d < 0 ? -1 : (d > 0 ? 1 : 0); }

// Byte comparison as unsigned values, the shorter filled with `pad`.
int compare_padded(std::string_view a, std::string_view b, unsigned char pad) {
  const size_t n = a.size() > b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : pad;
    const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : pad;
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

SQL_TIMESTAMP_STRUCT as_timestamp(const Value& v) {
  SQL_TIMESTAMP_STRUCT t{};
  if (v.value_type == KY_VT_DATE) {
    t.year = v.data.date.year;
    t.month = v.data.date.month;
    t.day = v.data.date.day;
  } else if (v.value_type == KY_VT_TIME) {
    t.hour = v.data.time.hour;
    t.minute = v.data.time.minute;
    t.second = v.data.time.second;
  } else if (v.value_type == KY_VT_TIMESTAMP) {
    t = v.data.timestamp;
  }
  return t;
}

bool is_datetime(int32_t t) { return t == KY_VT_DATE || t == KY_VT_TIME || t == KY_VT_TIMESTAMP; }

// Stored field access.
struct DmHead {
  int32_t length;
  int32_t binary_length;
  int32_t value_type;
};

DmHead head_of(const void* dm) {
  DmHead h;
  std::memcpy(&h, dm, sizeof h);
  return h;
}

const unsigned char* dm_data(const void* dm) { return static_cast<const unsigned char*>(dm) + KY_DM_HEADER; }

// Data bytes of a fixed-size type in the stored form; -1 for texts and
// binaries, -2 for types without a stored form.
int32_t fixed_dm_size(int32_t t) {
  switch (t) {
    case KY_VT_INTEGER:
    case KY_VT_INTEGER2: return 4;
    case KY_VT_DOUBLE:
    case KY_VT_BIGINT: return 8;
    case KY_VT_DATE:
    case KY_VT_TIME: return 6;
    case KY_VT_TIMESTAMP: return 16;
    case KY_VT_NUMERIC: return 19;
    case KY_VT_INTERVAL_YM:
    case KY_VT_INTERVAL_DS: return 28;
    case KY_VT_LONG_TEXT:
    case KY_VT_LONG_BINARY: return 0;
    case KY_VT_TEXT:
    case KY_VT_BINARY: return -1;
    default: return -2;
  }
}

template <class T>
T dm_get(const void* dm) {
  T v;
  std::memcpy(&v, dm_data(dm), sizeof v);
  return v;
}

}  // namespace

namespace ky {

void value_reset(Value& cell, int32_t type) {
  drop_payload(cell);
  if (cell.is_inline && !is_bytes(type)) cell.is_inline = 0;
  cell.value_type = type;
  cell.null_indicator = 0;
}

}  // namespace ky

static_assert(sizeof(SQL_NUMERIC_STRUCT) == 19 && sizeof(SQL_INTERVAL_STRUCT) == 28 &&
                  sizeof(SQL_TIMESTAMP_STRUCT) == 16 && sizeof(SQL_DATE_STRUCT) == 6,
              "stored field sizes");

extern "C" {

KY_API int32_t sql_to_value_type(int32_t t) {
  switch (t) {
    case SQL_INTEGER:
    case SQL_SMALLINT:
    case SQL_TINYINT:
    case SQL_BIT: return KY_VT_INTEGER;
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE: return KY_VT_DOUBLE;
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR: return KY_VT_TEXT;
    case SQL_BINARY:
    case SQL_VARBINARY: return KY_VT_BINARY;
    case SQL_DATE:
    case SQL_TYPE_DATE: return KY_VT_DATE;
    case SQL_TIME:
    case SQL_TYPE_TIME: return KY_VT_TIME;
    case SQL_TIMESTAMP:
    case SQL_TYPE_TIMESTAMP: return KY_VT_TIMESTAMP;
    case SQL_NUMERIC:
    case SQL_DECIMAL: return KY_VT_NUMERIC;
    case SQL_BIGINT: return KY_VT_BIGINT;
    case SQL_INTERVAL_YEAR:
    case SQL_INTERVAL_MONTH:
    case SQL_INTERVAL_YEAR_TO_MONTH: return KY_VT_INTERVAL_YM;
    case SQL_LONGVARCHAR:
    case SQL_WLONGVARCHAR: return KY_VT_LONG_TEXT;
    case SQL_LONGVARBINARY: return KY_VT_LONG_BINARY;
    default:
      if ((t >= SQL_INTERVAL_DAY && t <= SQL_INTERVAL_SECOND) ||
          (t >= SQL_INTERVAL_DAY_TO_HOUR && t <= SQL_INTERVAL_MINUTE_TO_SECOND))
        return KY_VT_INTERVAL_DS;
      return KY_VT_UNKNOWN;
  }
}

KY_API Value* NewValue(mem_handle* pool, int32_t length) {
  if (!pool || length < 0) return nullptr;
  Value* v;
  if (length == 0) {
    v = static_cast<Value*>(newNode(sizeof(Value), KY_NODE_VALUE, pool));
  } else if (length < KY_VALUE_INLINE) {
    v = static_cast<Value*>(newNode(sizeof(Value) + KY_VALUE_INLINE, KY_NODE_VALUE_INLINE, pool));
  } else {
    if (static_cast<int64_t>(length) + static_cast<int64_t>(sizeof(Value)) > std::numeric_limits<int32_t>::max())
      return nullptr;
    const auto size = static_cast<int32_t>(sizeof(Value)) + length;
    v = static_cast<Value*>(ky_mem_alloc(pool, size));
    if (v) {
      std::memset(v, 0, static_cast<size_t>(size));
      v->node_kind = KY_NODE_VALUE;
    }
  }
  if (!v) return nullptr;
  v->pool = pool;
  if (length > 0) {
    v->data.bytes = v + 1;
    v->is_inline = 1;
  }
  return v;
}

KY_API void release_value(mem_handle*, Value* cell) {
  if (!cell) return;
  if (cell->ref_count > 0) {
    cell->ref_count--;
    return;
  }
  drop_payload(*cell);
  ky_mem_free(cell->pool, cell);
}

KY_API Value* duplicate_value(mem_handle* pool, const Value* cell) {
  if (!pool) return nullptr;
  if (!cell) {
    Value* v = NewValue(pool, 0);
    if (v) {
      v->value_type = KY_VT_NULL;
      v->null_indicator = -1;
    }
    return v;
  }
  const bool bytes = is_bytes(cell->value_type) && cell->data.bytes;
  size_t n = 0;
  if (bytes) {
    n = cell->value_type == KY_VT_TEXT ? text_of(*cell).size() : binary_size(*cell);
    if (cell->value_type == KY_VT_BINARY && cell->length > 0 && static_cast<size_t>(cell->length) > n)
      n = static_cast<size_t>(cell->length);
    if (n >= static_cast<size_t>(std::numeric_limits<int32_t>::max() - sizeof(Value))) return nullptr;
  }
  Value* v = NewValue(pool, bytes ? static_cast<int32_t>(n + 1) : 0);
  if (!v) return nullptr;
  const int32_t kind = v->node_kind;
  void* own = v->data.bytes;
  const int32_t own_inline = v->is_inline;
  *v = *cell;
  v->node_kind = kind;
  v->pool = pool;
  v->ref_count = 0;
  v->no_share = 0;
  v->long_data = nullptr;
  v->is_inline = own_inline;
  if (bytes) {
    v->data.bytes = own;
    std::memset(own, 0, n + 1);
    if (cell->value_type == KY_VT_TEXT) {
      std::memcpy(own, cell->data.bytes, text_of(*cell).size());
    } else {
      std::memcpy(own, cell->data.bytes, binary_size(*cell));
    }
  } else if (is_bytes(cell->value_type)) {
    v->data.bytes = nullptr;
    v->is_inline = 0;
  }
  if (is_long(cell->value_type) && cell->long_data) {
    v->long_data = clone_long_buffer(cell->long_data, pool);
    if (!v->long_data) {
      ky_mem_free(pool, v);
      return nullptr;
    }
  }
  return v;
}

KY_API Value* duplicate_value_ex(mem_handle* pool, Value* cell) {
  if (cell && cell->pool == pool && !cell->no_share) {
    // One cell, one long buffer: the shared cell keeps its own.
    cell->ref_count++;
    cell->no_share = 0;
    return cell;
  }
  return duplicate_value(pool, cell);
}

KY_API void set_value_to_interval(Value* dest, const Value* src) {
  if (!dest || !src || dest == src) return;
  drop_payload(*dest);
  dest->value_type = src->value_type;
  dest->length = src->length;
  dest->binary_length = src->binary_length;
  dest->leading_precision = src->leading_precision;
  dest->seconds_precision = src->seconds_precision;
  dest->null_indicator = src->null_indicator;
  dest->data = src->data;
  dest->is_inline = 0;
}

KY_API int set_value_to_double(Value* cell, double d) {
  if (!cell) return -1;
  switch (cell->value_type) {
    case KY_VT_INTEGER:
    case KY_VT_INTEGER2: {
      cell->data.integer = clamp_double<int32_t>(d);
      cell->null_indicator = 0;
      return fits_double<int32_t>(d) ? 0 : -2;
    }
    case KY_VT_BIGINT: {
      cell->data.bigint = clamp_double<int64_t>(d);
      cell->null_indicator = 0;
      return fits_double<int64_t>(d) ? 0 : -2;
    }
    case KY_VT_DOUBLE:
      cell->data.real = d;
      cell->null_indicator = 0;
      return 0;
    case KY_VT_NUMERIC: {
      SQL_NUMERIC_STRUCT n{};
      const int rc = double_to_numeric(d, &n, cell->data.numeric.precision, cell->data.numeric.scale);
      if (rc < 0) return rc;
      cell->data.numeric = n;
      cell->null_indicator = 0;
      return 0;
    }
    default: return -1;
  }
}

KY_API double get_double_from_value(const Value* cell) {
  if (!cell || is_null(*cell)) return 0;
  switch (cell->value_type) {
    case KY_VT_INTEGER:
    case KY_VT_INTEGER2: return cell->data.integer;
    case KY_VT_BIGINT: return static_cast<double>(cell->data.bigint);
    case KY_VT_DOUBLE: return cell->data.real;
    case KY_VT_TEXT: return parse_double(text_of(*cell));
    case KY_VT_NUMERIC: {
      double d = 0;
      numeric_to_double(&cell->data.numeric, &d);
      return d;
    }
    default: return 0;
  }
}

KY_API int64_t get_bigint_from_value(const Value* cell) {
  if (!cell || is_null(*cell)) return 0;
  switch (cell->value_type) {
    case KY_VT_INTEGER:
    case KY_VT_INTEGER2: return cell->data.integer;
    case KY_VT_BIGINT: return cell->data.bigint;
    case KY_VT_DOUBLE: return clamp_double<int64_t>(cell->data.real);
    case KY_VT_TEXT: return parse_int(text_of(*cell));
    case KY_VT_NUMERIC: return numeric_as_bigint(cell->data.numeric);
    default: return 0;
  }
}

KY_API int32_t get_int_from_value(const Value* cell) {
  if (cell && !is_null(*cell) && cell->value_type == KY_VT_DOUBLE) return clamp_double<int32_t>(cell->data.real);
  return clamp32(get_bigint_from_value(cell));
}

KY_API const char* get_string_from_value(const Value* cell) {
  if (!cell || is_null(*cell) || cell->value_type != KY_VT_TEXT || !cell->data.bytes) return "";
  return static_cast<const char*>(cell->data.bytes);
}

KY_API int32_t get_trivalue_from_value(const Value* cell) {
  if (!cell || is_null(*cell)) return 2;
  switch (cell->value_type) {
    case KY_VT_BIGINT: return cell->data.bigint != 0;
    case KY_VT_DOUBLE: return cell->data.real != 0;
    case KY_VT_TEXT:
    case KY_VT_BINARY: return cell->data.bytes != nullptr;
    default: return cell->data.integer != 0;
  }
}

KY_API int32_t set_trivalue_in_value(Value* cell, int32_t tri) {
  if (!cell) return 0;
  drop_payload(*cell);
  cell->value_type = KY_VT_INTEGER;
  cell->is_inline = 0;
  if (tri == 2) {
    cell->null_indicator = -1;
    cell->data.integer = 0;
    return 0;
  }
  cell->null_indicator = 0;
  cell->data.integer = tri == 1 ? 1 : 0;
  return cell->data.integer;
}

KY_API int32_t get_buffer_length(int32_t column_size, int32_t type) {
  switch (type) {
    case 1:
    case 12:
    case 99:
    case -2:
    case -3:
    case -8:
    case -9: return column_size;
    case 2:
    case 3: return 19;
    case 4:
    case 7:
    case -16:
    case -18: return 4;
    case 5:
    case -15:
    case -17: return 2;
    case 6:
    case 8:
    case -5:
    case -25:
    case -27: return 8;
    case 9:
    case 10:
    case 91:
    case 92: return 6;
    case 11:
    case 93: return 16;
    case -6:
    case -7:
    case -26:
    case -28: return 1;
    default: return (type >= 101 && type <= 113) ? 28 : 0;
  }
}

KY_API int32_t get_dm_length(int32_t sql_type, int32_t column_size) {
  switch (sql_type) {
    case 2:
    case 3: return 19;
    case 4:
    case 5:
    case -6:
    case -7: return 4;
    case 6:
    case 7:
    case 8:
    case -5: return 8;
    case 9:
    case 10:
    case 91:
    case 92: return 6;
    case 11:
    case 93: return 16;
    case -1:
    case -4:
    case -10: return 0;
    case -8:
    case -9: return clamp32(3LL * column_size);
    default: return (sql_type >= 101 && sql_type <= 113) ? 28 : column_size;
  }
}

KY_API int value_to_dm(const Value* cell, void* dm, int32_t capacity) {
  if (!cell || !dm || capacity < KY_DM_HEADER) return -1;
  const int32_t fixed = fixed_dm_size(cell->value_type);
  if (fixed == -2 && !is_null(*cell)) return -1;
  DmHead h{-1, 0, cell->value_type};
  const void* src = &cell->data;
  size_t n = 0;
  if (!is_null(*cell)) {
    if (cell->value_type == KY_VT_TEXT) {
      src = cell->data.bytes;
      n = text_of(*cell).size();
    } else if (cell->value_type == KY_VT_BINARY) {
      src = cell->data.bytes;
      n = binary_size(*cell);
      h.binary_length = static_cast<int32_t>(n);
    } else {
      n = static_cast<size_t>(fixed);
    }
    if (n > static_cast<size_t>(capacity - KY_DM_HEADER)) return -1;
    h.length = static_cast<int32_t>(n);
  }
  std::memcpy(dm, &h, sizeof h);
  if (n > 0) std::memcpy(static_cast<char*>(dm) + KY_DM_HEADER, src, n);
  return 0;
}

KY_API int dm_to_value(const void* dm, Value* cell) {
  if (!dm || !cell) return -1;
  const DmHead h = head_of(dm);
  if (h.length < 0) {
    cell->null_indicator = -1;
    return 0;
  }
  const int32_t t = cell->value_type;
  if (is_bytes(t)) {
    const bool text = t == KY_VT_TEXT;
    const size_t need = static_cast<size_t>(h.length) + (text ? 1 : 0);
    if (buffer_capacity(*cell) < need) {
      if (!cell->pool) return -1;
      void* fresh = ky_mem_alloc(cell->pool, static_cast<int32_t>(need));
      if (!fresh) return -1;
      if (cell->data.bytes && !cell->is_inline) ky_mem_free(cell->pool, cell->data.bytes);
      cell->data.bytes = fresh;
      cell->is_inline = 0;
    }
    if (h.length > 0) std::memcpy(cell->data.bytes, dm_data(dm), static_cast<size_t>(h.length));
    if (text) static_cast<char*>(cell->data.bytes)[h.length] = '\0';
    cell->length = h.length;
    if (!text) cell->binary_length = h.binary_length < h.length ? h.binary_length : h.length;
  } else {
    const int32_t fixed = fixed_dm_size(t);
    if (fixed < 0) return -1;
    if (fixed > 0) std::memcpy(&cell->data, dm_data(dm), static_cast<size_t>(fixed));
  }
  cell->null_indicator = 0;
  cell->no_share = 0;
  return 0;
}

KY_API int32_t get_length_from_dm(const void* dm, const Value* cell) {
  if (!dm || !cell) return 0;
  const DmHead h = head_of(dm);
  if (h.length < 0) return 0;
  const int32_t fixed = fixed_dm_size(cell->value_type);
  if (fixed == -1) return h.length;
  return fixed < 0 ? 0 : fixed;
}

KY_API int compare_dm(const void* a, const void* b) {
  if (!a || !b) return sign_of(a != nullptr, b != nullptr);
  const DmHead ha = head_of(a), hb = head_of(b);
  if (ha.length < 0 || hb.length < 0) return sign_of(ha.length >= 0, hb.length >= 0);
  switch (ha.value_type) {
    case KY_VT_INTEGER:
    case KY_VT_INTEGER2: return sign_of(dm_get<int32_t>(a), dm_get<int32_t>(b));
    case KY_VT_BIGINT: return sign_of(dm_get<int64_t>(a), dm_get<int64_t>(b));
    case KY_VT_DOUBLE: return sign_of(dm_get<double>(a), dm_get<double>(b));
    case KY_VT_TEXT:
    case KY_VT_BINARY: {
      const size_t la = static_cast<size_t>(ha.length), lb = static_cast<size_t>(hb.length);
      const size_t n = la < lb ? la : lb;
      const int c = ha.value_type == KY_VT_TEXT ? std::strncmp(reinterpret_cast<const char*>(dm_data(a)),
                                                               reinterpret_cast<const char*>(dm_data(b)), n)
                                                : std::memcmp(dm_data(a), dm_data(b), n);
      if (c != 0) return sign_of_int(c);
      return sign_of(la, lb);
    }
    case KY_VT_DATE: {
      const auto x = dm_get<SQL_DATE_STRUCT>(a), y = dm_get<SQL_DATE_STRUCT>(b);
      return sign_of_int(date_compare(&x, &y));
    }
    case KY_VT_TIME: {
      const auto x = dm_get<SQL_TIME_STRUCT>(a), y = dm_get<SQL_TIME_STRUCT>(b);
      return sign_of_int(time_compare(&x, &y));
    }
    case KY_VT_TIMESTAMP: {
      const auto x = dm_get<SQL_TIMESTAMP_STRUCT>(a), y = dm_get<SQL_TIMESTAMP_STRUCT>(b);
      return sign_of_int(timestamp_compare(&x, &y));
    }
    case KY_VT_NUMERIC: {
      const auto x = dm_get<SQL_NUMERIC_STRUCT>(a), y = dm_get<SQL_NUMERIC_STRUCT>(b);
      return numeric_compare(&x, &y);
    }
    case KY_VT_INTERVAL_YM:
    case KY_VT_INTERVAL_DS: {
      const auto x = dm_get<SQL_INTERVAL_STRUCT>(a), y = dm_get<SQL_INTERVAL_STRUCT>(b);
      const int c = interval_compare(&x, &y);
      return c == KY_INTERVAL_INCOMPARABLE ? 0 : c;
    }
    default: return 0;
  }
}

KY_API int compare_values(const Value* a, const Value* b) {
  if (!a || !b) return sign_of(a != nullptr, b != nullptr);
  if (is_null(*a) || is_null(*b)) return sign_of(!is_null(*a), !is_null(*b));
  const int32_t ta = a->value_type, tb = b->value_type;
  if (is_integer(ta) || ta == KY_VT_BIGINT) {
    if (tb == KY_VT_DOUBLE || tb == KY_VT_NUMERIC) return sign_of(get_double_from_value(a), get_double_from_value(b));
    return sign_of(get_bigint_from_value(a), get_bigint_from_value(b));
  }
  switch (ta) {
    case KY_VT_TEXT: {
      if (tb == KY_VT_TEXT) return compare_padded(text_of(*a), text_of(*b), ' ');
      char other[512];
      value_as_text(b, other, sizeof other);
      return compare_padded(text_of(*a), other, ' ');
    }
    case KY_VT_BINARY: {
      if (tb != KY_VT_BINARY) return 0;
      const std::string_view x(static_cast<const char*>(a->data.bytes), binary_size(*a));
      const std::string_view y(static_cast<const char*>(b->data.bytes), binary_size(*b));
      return compare_padded(x, y, 0);
    }
    case KY_VT_DATE:
    case KY_VT_TIME:
    case KY_VT_TIMESTAMP: {
      if (!is_datetime(tb)) return 0;
      if (ta == tb && ta == KY_VT_DATE) return sign_of_int(date_compare(&a->data.date, &b->data.date));
      if (ta == tb && ta == KY_VT_TIME) return sign_of_int(time_compare(&a->data.time, &b->data.time));
      const SQL_TIMESTAMP_STRUCT x = as_timestamp(*a), y = as_timestamp(*b);
      return sign_of_int(timestamp_compare(&x, &y));
    }
    case KY_VT_INTERVAL_YM:
    case KY_VT_INTERVAL_DS: {
      if (!is_interval(tb)) return 0;
      const int c = compare_interval(a, b);
      return c == KY_INTERVAL_INCOMPARABLE ? sign_of(ta, tb) : c;
    }
    case KY_VT_NUMERIC:
      if (tb == KY_VT_NUMERIC) return numeric_compare(&a->data.numeric, &b->data.numeric);
      return sign_of(get_double_from_value(a), get_double_from_value(b));
    case KY_VT_DOUBLE: return sign_of(get_double_from_value(a), get_double_from_value(b));
    default: return 0;
  }
}

KY_API const char* value_as_text(const Value* cell, char* out, int32_t capacity) {
  if (!cell) return nullptr;
  if (is_null(*cell) && cell->value_type != KY_VT_NULL) return "NULL";
  if (!out) return nullptr;
  return copy_out(literal(*cell), out, capacity);
}

KY_API const char* value_as_text_ex(const Value* cell, char* out, int32_t capacity, const char* date_prefix,
                                    const char* date_suffix, const char* time_prefix, const char* time_suffix,
                                    const char* timestamp_prefix, const char* timestamp_suffix,
                                    const char* binary_prefix, const char* binary_suffix, int32_t flag) {
  if (!cell || !out) return nullptr;
  auto s = [](const char* p) { return std::string(p ? p : ""); };
  if (is_null(*cell)) return copy_out("NULL", out, capacity);
  switch (cell->value_type) {
    case KY_VT_BINARY:
      if (binary_size(*cell) == 0) return copy_out("''", out, capacity);
      return copy_out(s(binary_prefix) + hex_bytes(*cell) + s(binary_suffix), out, capacity);
    case KY_VT_DATE: return copy_out(s(date_prefix) + date_text(cell->data.date) + s(date_suffix), out, capacity);
    case KY_VT_TIME: return copy_out(s(time_prefix) + time_text(cell->data.time) + s(time_suffix), out, capacity);
    case KY_VT_TIMESTAMP: {
      const SQL_TIMESTAMP_STRUCT& t = cell->data.timestamp;
      const bool no_date = t.year == 0 && t.month == 0 && t.day == 0;
      const bool no_time = t.hour == 0 && t.minute == 0 && t.second == 0;
      if (flag && no_date && no_time) return copy_out("NULL", out, capacity);
      if (flag && no_time) return copy_out(s(timestamp_prefix) + ts_date(t) + s(timestamp_suffix), out, capacity);
      if (flag && no_date) return copy_out(s(timestamp_prefix) + ts_time(t) + s(timestamp_suffix), out, capacity);
      return copy_out(s(timestamp_prefix) + ts_date(t) + " " + ts_time(t) + s(timestamp_suffix), out, capacity);
    }
    default: return copy_out(literal(*cell), out, capacity);
  }
}

}  // extern "C"
