// Value-array packing (see packing.h). Every access to a structure or a field
// array goes through memcpy: sources come at any stride, so structures may sit
// at any alignment.
#include "packing.h"

#include <sql.h>
#include <sqlext.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "odbc_trace.h"

static_assert(sizeof(SQL_DATE_STRUCT) == KY_DATE_SIZE);
static_assert(sizeof(SQL_TIME_STRUCT) == KY_TIME_SIZE);
static_assert(sizeof(SQL_TIMESTAMP_STRUCT) == KY_TIMESTAMP_SIZE);
static_assert(sizeof(SQL_NUMERIC_STRUCT) == KY_NUMERIC_SIZE);
static_assert(sizeof(SQL_INTERVAL_STRUCT) == KY_INTERVAL_SIZE);
static_assert(sizeof(SQLGUID) == KY_GUID_SIZE);

namespace {

// Trace bit of value dumps.
constexpr int32_t kFieldNative = 7;

void post_general(diag_header* errp, const char* routine, const char* what) {
  post_error(errp, VENDOR_COMMON, CLASS_ISO, 0, nullptr, nullptr, kFieldNative, 0, "ISO 9075", sqlstate::kHY000.state,
             "general error: %s, %s", routine, what);
  set_return_code(errp, SQL_ERROR);
}

void post_memory(diag_header* errp) {
  post_error(errp, VENDOR_COMMON, CLASS_ISO, 0, nullptr, nullptr, 0, 0, "ISO 9075", sqlstate::kHY001);
  set_return_code(errp, SQL_ERROR);
}

template <class T>
T load(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class T>
void store(void* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

// Reads the structure of element i from a source of the given stride.
template <class T>
T element(const void* src, uint64_t i, uint64_t stride) {
  return load<T>(static_cast<const char*>(src) + i * stride);
}

// The source holds count structures of this size at this stride.
bool source_fits(uint64_t src_bytes, uint64_t count, uint64_t stride, uint64_t size) {
  if (count == 0) return false;
  uint64_t last = count - 1;
  if (stride != 0 && last > (std::numeric_limits<uint64_t>::max() - size) / stride) return false;
  return last * stride + size <= src_bytes;
}

// Bytes of a field array of count elements, or -1 when it cannot be sent.
int64_t field_bytes(uint64_t count, uint64_t elem) {
  if (count > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) / elem) return -1;
  return static_cast<int64_t>(count * elem);
}

// One field-array reference of a packer.
struct FieldRef {
  void** array;
  int32_t* bytes;
  int64_t need;
  bool allocated = false;
};

// Checks and allocates a packer's field arrays. 0, or -1 with the diagnostic
// posted and nothing kept.
template <size_t N>
int prepare_fields(diag_header* errp, const char* routine, FieldRef (&refs)[N]) {
  for (FieldRef& r : refs) {
    if (r.array == nullptr || r.bytes == nullptr || r.need < 0) {
      post_general(errp, routine, "no data to pack");
      return -1;
    }
    if (*r.array != nullptr && *r.bytes < r.need) {
      post_general(errp, routine, "field array too small");
      return -1;
    }
  }
  for (FieldRef& r : refs) {
    if (*r.array != nullptr) continue;
    void* p = std::calloc(static_cast<size_t>(r.need > 0 ? r.need : 1), 1);
    if (p == nullptr) {
      for (FieldRef& done : refs) {
        if (done.allocated) {
          std::free(*done.array);
          *done.array = nullptr;
          done.allocated = false;
        }
      }
      post_memory(errp);
      return -1;
    }
    *r.array = p;
    *r.bytes = static_cast<int32_t>(r.need);
    r.allocated = true;
  }
  return 0;
}

// Common start of a packer: source, count and stride.
int check_source(diag_header* errp, const char* routine, const void* src, uint64_t src_bytes, uint64_t count,
                 int32_t stride, uint64_t size, uint64_t* eff_stride) {
  if (src == nullptr || count == 0) {
    post_general(errp, routine, "no data to pack");
    return -1;
  }
  if (stride < 0 || (stride != 0 && static_cast<uint64_t>(stride) < size)) {
    post_general(errp, routine, "invalid stride");
    return -1;
  }
  *eff_stride = stride == 0 ? size : static_cast<uint64_t>(stride);
  if (!source_fits(src_bytes, count, *eff_stride, size)) {
    post_general(errp, routine, "no data to pack");
    return -1;
  }
  return 0;
}

// Common start of an unpacker. Every field array must hold count elements.
struct FieldIn {
  const void* array;
  int32_t bytes;
  uint64_t elem;
};

template <size_t N>
int check_unpack(diag_header* errp, const char* routine, void* dst, uint64_t dst_bytes, uint64_t count, uint64_t size,
                 const FieldIn (&fields)[N]) {
  for (const FieldIn& f : fields) {
    if (count == 0 || f.array == nullptr || f.bytes < 0 || count > static_cast<uint64_t>(f.bytes) / f.elem) {
      post_general(errp, routine, "no data to unpack");
      return -1;
    }
  }
  if (dst == nullptr || count > dst_bytes / size) {
    post_general(errp, routine, "nowhere to unpack");
    return -1;
  }
  return 0;
}

// Value dumps under the values trace bit: one line per call.
class ValueTrace {
 public:
  ValueTrace() : on_(kyvek::odbc::trace_on(kTraceValues)) {}
  template <class... A>
  void add(const char* format, A... args) {
    if (!on_) return;
    char item[160];
    std::snprintf(item, sizeof item, format, args...);
    line_ += item;
  }
  void flush(bool newline) {
    if (!on_ || line_.empty()) return;
    kyvek::odbc::trace("%s%s", line_.c_str(), newline ? "\n" : "");
  }

 private:
  bool on_;
  std::string line_;
};

void put_u16(void* array, uint64_t index, uint16_t v) { store(static_cast<char*>(array) + index * 2, v); }
void put_i16(void* array, uint64_t index, int16_t v) { store(static_cast<char*>(array) + index * 2, v); }
void put_u32(void* array, uint64_t index, uint32_t v) { store(static_cast<char*>(array) + index * 4, v); }
uint16_t get_u16(const void* array, uint64_t index) {
  return load<uint16_t>(static_cast<const char*>(array) + index * 2);
}
int16_t get_i16(const void* array, uint64_t index) {
  return load<int16_t>(static_cast<const char*>(array) + index * 2);
}
uint32_t get_u32(const void* array, uint64_t index) {
  return load<uint32_t>(static_cast<const char*>(array) + index * 4);
}

bool year_month_type(int32_t type) { return type == 1 || type == 2 || type == 7; }

}  // namespace

extern "C" {

int interval_word_count(int32_t interval_type) {
  if (interval_type < 1 || interval_type > 13) return 0;
  return year_month_type(interval_type) ? 2 : 5;
}

int pack_dates(diag_header* errp, const void* src, uint64_t src_bytes, uint64_t count, int16_t** years,
               int32_t* years_bytes, int16_t** pairs, int32_t* pairs_bytes, int32_t stride) {
  const char* routine = "pack_dates";
  uint64_t step = 0;
  if (check_source(errp, routine, src, src_bytes, count, stride, KY_DATE_SIZE, &step) != 0) return -1;
  FieldRef refs[] = {{reinterpret_cast<void**>(years), years_bytes, field_bytes(count, KY_YEAR_BYTES)},
                     {reinterpret_cast<void**>(pairs), pairs_bytes, field_bytes(count, KY_DATE_PAIR_BYTES)}};
  if (prepare_fields(errp, routine, refs) != 0) return -1;
  ValueTrace tr;
  for (uint64_t i = 0; i < count; ++i) {
    auto d = element<SQL_DATE_STRUCT>(src, i, step);
    tr.add("%d:%u:%u ", d.year, d.month, d.day);
    put_i16(*years, i, d.year);
    put_u16(*pairs, 2 * i, d.month);
    put_u16(*pairs, 2 * i + 1, d.day);
  }
  tr.flush(false);
  return 0;
}

int unpack_dates(diag_header* errp, void* dst, uint64_t dst_bytes, uint64_t count, const int16_t* years,
                 int32_t years_bytes, const int16_t* pairs, int32_t pairs_bytes) {
  const FieldIn fields[] = {{years, years_bytes, KY_YEAR_BYTES}, {pairs, pairs_bytes, KY_DATE_PAIR_BYTES}};
  if (check_unpack(errp, "unpack_dates", dst, dst_bytes, count, KY_DATE_SIZE, fields) != 0) return -1;
  ValueTrace tr;
  for (uint64_t i = 0; i < count; ++i) {
    SQL_DATE_STRUCT d{};
    d.year = get_i16(years, i);
    d.month = get_u16(pairs, 2 * i);
    d.day = get_u16(pairs, 2 * i + 1);
    tr.add("%d:%u:%u ", d.year, d.month, d.day);
    store(static_cast<char*>(dst) + i * KY_DATE_SIZE, d);
  }
  tr.flush(true);
  return 0;
}

int pack_times(diag_header* errp, const void* src, uint64_t src_bytes, uint64_t count, int16_t** triples,
               int32_t* triples_bytes, int32_t stride) {
  const char* routine = "pack_times";
  uint64_t step = 0;
  if (check_source(errp, routine, src, src_bytes, count, stride, KY_TIME_SIZE, &step) != 0) return -1;
  FieldRef refs[] = {{reinterpret_cast<void**>(triples), triples_bytes, field_bytes(count, KY_TIME_TRIPLE_BYTES)}};
  if (prepare_fields(errp, routine, refs) != 0) return -1;
  ValueTrace tr;
  for (uint64_t i = 0; i < count; ++i) {
    auto t = element<SQL_TIME_STRUCT>(src, i, step);
    tr.add("%u:%u:%u ", t.hour, t.minute, t.second);
    put_u16(*triples, 3 * i, t.hour);
    put_u16(*triples, 3 * i + 1, t.minute);
    put_u16(*triples, 3 * i + 2, t.second);
  }
  tr.flush(true);
  return 0;
}

int unpack_times(diag_header* errp, void* dst, uint64_t dst_bytes, uint64_t count, const int16_t* triples,
                 int32_t triples_bytes) {
  const FieldIn fields[] = {{triples, triples_bytes, KY_TIME_TRIPLE_BYTES}};
  if (check_unpack(errp, "unpack_times", dst, dst_bytes, count, KY_TIME_SIZE, fields) != 0) return -1;
  ValueTrace tr;
  for (uint64_t i = 0; i < count; ++i) {
    SQL_TIME_STRUCT t{};
    t.hour = get_u16(triples, 3 * i);
    t.minute = get_u16(triples, 3 * i + 1);
    t.second = get_u16(triples, 3 * i + 2);
    tr.add("%u:%u:%u ", t.hour, t.minute, t.second);
    store(static_cast<char*>(dst) + i * KY_TIME_SIZE, t);
  }
  tr.flush(false);
  return 0;
}

int pack_numerics(diag_header* errp, const void* src, uint64_t src_bytes, uint64_t count, char** records,
                  int32_t* records_bytes, int32_t stride) {
  const char* routine = "pack_numerics";
  uint64_t step = 0;
  if (check_source(errp, routine, src, src_bytes, count, stride, KY_NUMERIC_SIZE, &step) != 0) return -1;
  FieldRef refs[] = {{reinterpret_cast<void**>(records), records_bytes, field_bytes(count, KY_NUMERIC_RECORD_BYTES)}};
  if (prepare_fields(errp, routine, refs) != 0) return -1;
  for (uint64_t i = 0; i < count; ++i)
    std::memcpy(*records + i * KY_NUMERIC_RECORD_BYTES, static_cast<const char*>(src) + i * step,
                KY_NUMERIC_RECORD_BYTES);
  return 0;
}

int unpack_numerics(diag_header* errp, void* dst, uint64_t dst_bytes, uint64_t count, const char* records,
                    int32_t records_bytes) {
  const FieldIn fields[] = {{records, records_bytes, KY_NUMERIC_RECORD_BYTES}};
  if (check_unpack(errp, "unpack_numerics", dst, dst_bytes, count, KY_NUMERIC_SIZE, fields) != 0) return -1;
  std::memcpy(dst, records, count * KY_NUMERIC_SIZE);
  return 0;
}

int pack_intervals(diag_header* errp, const void* src, uint64_t src_bytes, uint64_t count, int32_t** stream,
                   int32_t* stream_bytes, int16_t** pairs, int32_t* pairs_bytes, int32_t stride) {
  const char* routine = "pack_intervals";
  uint64_t step = 0;
  if (check_source(errp, routine, src, src_bytes, count, stride, KY_INTERVAL_SIZE, &step) != 0) return -1;
  // The types are checked before anything is allocated or written.
  uint64_t words = 0;
  for (uint64_t i = 0; i < count; ++i) {
    int n = interval_word_count(element<SQL_INTERVAL_STRUCT>(src, i, step).interval_type);
    if (n == 0) return -2;
    words += static_cast<uint64_t>(n);
  }
  FieldRef refs[] = {{reinterpret_cast<void**>(stream), stream_bytes, field_bytes(count, KY_INTERVAL_STREAM_BYTES)},
                     {reinterpret_cast<void**>(pairs), pairs_bytes, field_bytes(count, KY_INTERVAL_PAIR_BYTES)}};
  // An array of the caller's needs room for the words in use only.
  if (stream != nullptr && *stream != nullptr) refs[0].need = static_cast<int64_t>(words * 4);
  if (prepare_fields(errp, routine, refs) != 0) return -1;
  uint64_t w = 0;
  for (uint64_t i = 0; i < count; ++i) {
    auto v = element<SQL_INTERVAL_STRUCT>(src, i, step);
    int32_t type = v.interval_type;
    put_u16(*pairs, 2 * i, static_cast<uint16_t>(type & 0xFFFF));
    put_i16(*pairs, 2 * i + 1, v.interval_sign);
    if (year_month_type(type)) {
      put_u32(*stream, w++, v.intval.year_month.year);
      put_u32(*stream, w++, v.intval.year_month.month);
    } else {
      put_u32(*stream, w++, v.intval.day_second.day);
      put_u32(*stream, w++, v.intval.day_second.hour);
      put_u32(*stream, w++, v.intval.day_second.minute);
      put_u32(*stream, w++, v.intval.day_second.second);
      put_u32(*stream, w++, v.intval.day_second.fraction);
    }
  }
  return 0;
}

int unpack_intervals(diag_header* errp, void* dst, uint64_t dst_bytes, uint64_t count, const int16_t* pairs,
                     int32_t pairs_bytes, const int32_t* stream, int32_t stream_bytes) {
  const char* routine = "unpack_intervals";
  // The stream's length depends on the types: checked word by word below.
  const FieldIn fields[] = {{pairs, pairs_bytes, KY_INTERVAL_PAIR_BYTES}};
  if (count != 0 && (stream == nullptr || stream_bytes < 0)) {
    post_general(errp, routine, "no data to unpack");
    return -1;
  }
  if (check_unpack(errp, routine, dst, dst_bytes, count, KY_INTERVAL_SIZE, fields) != 0) return -1;
  // Every type and the stream's length are checked before the first write.
  uint64_t words = 0;
  for (uint64_t i = 0; i < count; ++i) {
    int n = interval_word_count(get_i16(pairs, 2 * i));
    if (n == 0) {
      post_general(errp, routine, "invalid interval type");
      return -1;
    }
    words += static_cast<uint64_t>(n);
  }
  if (words > static_cast<uint64_t>(stream_bytes) / 4) {
    post_general(errp, routine, "no data to unpack");
    return -1;
  }
  uint64_t w = 0;
  for (uint64_t i = 0; i < count; ++i) {
    SQL_INTERVAL_STRUCT v{};
    v.interval_type = static_cast<SQLINTERVAL>(static_cast<int32_t>(get_i16(pairs, 2 * i)));
    v.interval_sign = get_i16(pairs, 2 * i + 1);
    if (year_month_type(v.interval_type)) {
      v.intval.year_month.year = get_u32(stream, w++);
      v.intval.year_month.month = get_u32(stream, w++);
    } else {
      v.intval.day_second.day = get_u32(stream, w++);
      v.intval.day_second.hour = get_u32(stream, w++);
      v.intval.day_second.minute = get_u32(stream, w++);
      v.intval.day_second.second = get_u32(stream, w++);
      v.intval.day_second.fraction = get_u32(stream, w++);
    }
    store(static_cast<char*>(dst) + i * KY_INTERVAL_SIZE, v);
  }
  return 0;
}

int pack_timestamps(diag_header* errp, const void* src, uint64_t src_bytes, uint64_t count, int16_t** quintuples,
                    int32_t* quintuples_bytes, int16_t** years, int32_t* years_bytes, int32_t** fractions,
                    int32_t* fractions_bytes, int32_t stride) {
  const char* routine = "pack_timestamps";
  uint64_t step = 0;
  if (check_source(errp, routine, src, src_bytes, count, stride, KY_TIMESTAMP_SIZE, &step) != 0) return -1;
  FieldRef refs[] = {
      {reinterpret_cast<void**>(quintuples), quintuples_bytes, field_bytes(count, KY_TS_QUINTUPLE_BYTES)},
      {reinterpret_cast<void**>(years), years_bytes, field_bytes(count, KY_YEAR_BYTES)},
      {reinterpret_cast<void**>(fractions), fractions_bytes, field_bytes(count, KY_FRACTION_BYTES)}};
  if (prepare_fields(errp, routine, refs) != 0) return -1;
  for (FieldRef& r : refs) *r.bytes = static_cast<int32_t>(r.need);
  ValueTrace tr;
  for (uint64_t i = 0; i < count; ++i) {
    auto t = element<SQL_TIMESTAMP_STRUCT>(src, i, step);
    tr.add("%02d:%02u:%02u-%02u:%02u:%02u.%lu ", t.year, t.month, t.day, t.hour, t.minute, t.second,
           static_cast<unsigned long>(t.fraction));
    put_i16(*years, i, t.year);
    put_u16(*quintuples, 5 * i, t.month);
    put_u16(*quintuples, 5 * i + 1, t.day);
    put_u16(*quintuples, 5 * i + 2, t.hour);
    put_u16(*quintuples, 5 * i + 3, t.minute);
    put_u16(*quintuples, 5 * i + 4, t.second);
    put_u32(*fractions, i, t.fraction);
  }
  tr.flush(false);
  return 0;
}

int unpack_timestamps(diag_header* errp, void* dst, uint64_t dst_bytes, uint64_t count, const int16_t* years,
                      int32_t years_bytes, const int16_t* quintuples, int32_t quintuples_bytes,
                      const int32_t* fractions, int32_t fractions_bytes) {
  const FieldIn fields[] = {{years, years_bytes, KY_YEAR_BYTES},
                            {quintuples, quintuples_bytes, KY_TS_QUINTUPLE_BYTES},
                            {fractions, fractions_bytes, KY_FRACTION_BYTES}};
  if (check_unpack(errp, "unpack_timestamps", dst, dst_bytes, count, KY_TIMESTAMP_SIZE, fields) != 0) return -1;
  ValueTrace tr;
  for (uint64_t i = 0; i < count; ++i) {
    SQL_TIMESTAMP_STRUCT t{};
    t.year = get_i16(years, i);
    t.month = get_u16(quintuples, 5 * i);
    t.day = get_u16(quintuples, 5 * i + 1);
    t.hour = get_u16(quintuples, 5 * i + 2);
    t.minute = get_u16(quintuples, 5 * i + 3);
    t.second = get_u16(quintuples, 5 * i + 4);
    t.fraction = get_u32(fractions, i);
    tr.add("%d:%d:%d-%d:%d:%d.%lu ", t.year, t.month, t.day, t.hour, t.minute, t.second,
           static_cast<unsigned long>(t.fraction));
    store(static_cast<char*>(dst) + i * KY_TIMESTAMP_SIZE, t);
  }
  tr.flush(true);
  return 0;
}

int pack_guids(diag_header* errp, const void* src, uint64_t src_bytes, uint64_t count, int32_t** data1,
               int32_t* data1_bytes, int16_t** pairs, int32_t* pairs_bytes, char** data4, int32_t* data4_bytes,
               int32_t stride) {
  const char* routine = "pack_guids";
  uint64_t step = 0;
  if (check_source(errp, routine, src, src_bytes, count, stride, KY_GUID_SIZE, &step) != 0) return -1;
  FieldRef refs[] = {{reinterpret_cast<void**>(data1), data1_bytes, field_bytes(count, KY_GUID_DATA1_BYTES)},
                     {reinterpret_cast<void**>(pairs), pairs_bytes, field_bytes(count, KY_GUID_PAIR_BYTES)},
                     {reinterpret_cast<void**>(data4), data4_bytes, field_bytes(count, KY_GUID_DATA4_BYTES)}};
  if (prepare_fields(errp, routine, refs) != 0) return -1;
  for (FieldRef& r : refs) *r.bytes = static_cast<int32_t>(r.need);
  ValueTrace tr;
  for (uint64_t i = 0; i < count; ++i) {
    auto g = element<SQLGUID>(src, i, step);
    const unsigned char* d4 = g.Data4;
    tr.add("%ld:%d:%d:%x,%x,%x,%x,%x,%x,%x,%x", static_cast<long>(g.Data1), g.Data2, g.Data3, d4[0], d4[1], d4[2],
           d4[3], d4[4], d4[5], d4[6], d4[7]);
    put_u32(*data1, i, static_cast<uint32_t>(g.Data1));
    put_u16(*pairs, 2 * i, g.Data2);
    put_u16(*pairs, 2 * i + 1, g.Data3);
    std::memcpy(*data4 + i * KY_GUID_DATA4_BYTES, g.Data4, KY_GUID_DATA4_BYTES);
  }
  tr.flush(false);
  return 0;
}

int unpack_guids(diag_header* errp, void* dst, uint64_t dst_bytes, uint64_t count, const int32_t* data1,
                 int32_t data1_bytes, const int16_t* pairs, int32_t pairs_bytes, const char* data4,
                 int32_t data4_bytes) {
  const FieldIn fields[] = {{data1, data1_bytes, KY_GUID_DATA1_BYTES},
                            {pairs, pairs_bytes, KY_GUID_PAIR_BYTES},
                            {data4, data4_bytes, KY_GUID_DATA4_BYTES}};
  if (check_unpack(errp, "unpack_guids", dst, dst_bytes, count, KY_GUID_SIZE, fields) != 0) return -1;
  ValueTrace tr;
  for (uint64_t i = 0; i < count; ++i) {
    SQLGUID g{};
    g.Data1 = get_u32(data1, i);
    g.Data2 = get_u16(pairs, 2 * i);
    g.Data3 = get_u16(pairs, 2 * i + 1);
    std::memcpy(g.Data4, data4 + i * KY_GUID_DATA4_BYTES, KY_GUID_DATA4_BYTES);
    tr.add("%ld:%d:%d ", static_cast<long>(g.Data1), g.Data2, g.Data3);
    store(static_cast<char*>(dst) + i * KY_GUID_SIZE, g);
  }
  tr.flush(true);
  return 0;
}

}  // extern "C"
