// Block transfer of bound columns: "fetch_bound_colswv" sends every bound
// column of the fetched rowset in one reply (length and indicator elements,
// then one to three data elements per column, by the column's C type), and the
// per-column procedures "fetch_bound_col" ... "fetch_bound_col_dt_int" send one
// column each. None calls the driver: they read what the last fetch left in
// the server's arrays.
//
// The client lays out its elements by walking the same ARD; the server writes
// no more than an element's announced size and reads no more than its own
// arrays hold. Types come from the server's records, never from the peer.
#include <cstdlib>
#include <cstring>

#include "handlers.h"
#include "odbc_trace.h"
#include "packing.h"
#include "server_diag.h"
#include "sql_types.h"
#include "transfer_common.h"

namespace {

using kyvek::odbc::kTraceDetail;
using kyvek::odbc::kTraceEntry;
using namespace kyvek::transfer;

bool wide_type(int16_t t) { return t == SQL_C_WCHAR || t == -9 || t == -10; }

uint64_t min64(uint64_t a, uint64_t b) { return a < b ? a : b; }

// Bytes of the text at p up to and including its terminator, within n bytes
// (n when there is none).
uint64_t text_bytes(const char* p, uint64_t n, bool wide) {
  if (p == nullptr) return 0;
  if (!wide) {
    const void* z = std::memchr(p, 0, n);
    return z != nullptr ? static_cast<uint64_t>(static_cast<const char*>(z) - p) + 1 : n;
  }
  for (uint64_t i = 0; i + 1 < n; i += 2)
    if (p[i] == 0 && p[i + 1] == 0) return i + 2;
  return n;
}

// The C type the column's data array holds. SQL_C_DEFAULT stands for the
// column's default C type; numerics bound by default travel as text.
int16_t effective_ctype(const statement_t* stmt, int32_t column, const descriptor_record_t* rec) {
  int16_t t = rec->concise_type;
  if (t != SQL_C_DEFAULT) return t;
  const descriptor_t* ird = stmt->current_desc[DESC_IRD];
  t = SQL_C_BINARY;
  if (ird != nullptr && column >= 1 && column < ird->alloc_records) t = ird->records[column].default_ctype;
  if (t == SQL_C_NUMERIC) t = SQL_C_CHAR;
  if (t == 0 || t == SQL_C_DEFAULT) t = SQL_C_BINARY;
  return t;
}

// Length of one row of varying-length data (a single-row fetch). The driver
// writes the data's length into the octet-length array and only 0 or
// SQL_NULL_DATA into an indicator array of its own, so the length is read
// from the octet-length array when there is one.
uint64_t single_row_length(const descriptor_record_t* rec, int32_t column, int16_t t) {
  const int64_t c = rec->octet_length > 0 ? rec->octet_length : 0;
  const char* data = static_cast<const char*>(rec->data);
  KY_TRACE(kTraceDetail, "\trow_size <= 1, OctetLength=%d IndicatorPtr=%p(%d)\n", static_cast<int>(c),
           static_cast<void*>(rec->indicator), rec->indicator != nullptr ? static_cast<int>(rec->indicator[0]) : 0);
  if (rec->indicator != nullptr && rec->indicator[0] == SQL_NULL_DATA) {
    KY_TRACE(kTraceDetail, "\tSQL_NULL_DATA\n");
    return 0;
  }
  const SQLLEN* lengths = rec->octet_length_array != nullptr ? rec->octet_length_array : rec->indicator;
  SQLLEN v = 0;
  if (lengths != nullptr) {
    v = lengths[0];
    if (v == SQL_NTS) return text_bytes(data, rec->data_alloc_len, wide_type(t));
    if (v == SQL_NULL_DATA) return 0;
    // More than the buffer holds (or a total the driver does not know):
    // the whole buffer is data.
    if (v == SQL_NO_TOTAL) {
      KY_TRACE(kTraceDetail, "\tSQL_NO_TOTAL\n");
      return static_cast<uint64_t>(c);
    }
    if (v >= c || v < 0) return static_cast<uint64_t>(c);
  }
  if (t == SQL_C_BINARY) {
    if (rec->octet_length_array == nullptr) return static_cast<uint64_t>(c);
    if (v == 0 && column == 0) return 4;
    return static_cast<uint64_t>(v);
  }
  if (lengths == nullptr) return static_cast<uint64_t>(c);
  return static_cast<uint64_t>(v) + (wide_type(t) ? 2 : 1);
}

// Announced capacities of the elements, taken before any is changed.
struct Elements {
  wvarray* e;
  int32_t count;
  bool has(int32_t i) const { return i >= 0 && i < count && e[i].iovec_base != nullptr && e[i].iovec_len > 0; }
};

// Hands element i (or a scratch reference when the call has no element i) to a packer.
struct PackRef {
  void* array = nullptr;
  int32_t bytes = 0;
  wvarray* el = nullptr;
  void bind(Elements& els, int32_t i) {
    if (i < els.count) {
      el = &els.e[i];
      array = el->iovec_base;
      bytes = array != nullptr ? el->iovec_len : 0;
    }
  }
  // After the packer: the element takes what the packer allocated or filled.
  void settle(bool store_size) {
    if (el == nullptr) {
      std::free(array);
      return;
    }
    if (el->iovec_base == nullptr) {
      el->iovec_base = array;
      el->iovec_len = bytes;
    } else if (store_size) {
      el->iovec_len = bytes;
    }
  }
};

// Fills the data elements of one column by its C type. Returns the number of
// elements used, or -1 when a packer refused (diagnostic posted).
int fill_data(statement_t* stmt, Elements& els, int32_t d, const descriptor_record_t* rec, int16_t t, uint64_t rows,
              uint64_t raw_len) {
  const uint64_t n = rows < 1 ? 1 : rows;
  diag_header* errp = &stmt->diags;
  PackRef a, b, c;
  int rc = 0;
  int used = 1;
  switch (t) {
    case SQL_C_NUMERIC:
      a.bind(els, d);
      rc = pack_numerics(errp, rec->data, rec->data_alloc_len, n, reinterpret_cast<char**>(&a.array), &a.bytes, 0);
      a.settle(false);
      break;
    case SQL_C_DATE:
    case SQL_C_TYPE_DATE:
      used = 2;
      a.bind(els, d);
      b.bind(els, d + 1);
      rc = pack_dates(errp, rec->data, rec->data_alloc_len, n, reinterpret_cast<int16_t**>(&a.array), &a.bytes,
                      reinterpret_cast<int16_t**>(&b.array), &b.bytes, 0);
      a.settle(false);
      b.settle(false);
      break;
    case SQL_C_TIME:
    case SQL_C_TYPE_TIME:
      a.bind(els, d);
      rc = pack_times(errp, rec->data, rec->data_alloc_len, n, reinterpret_cast<int16_t**>(&a.array), &a.bytes, 0);
      a.settle(false);
      break;
    case SQL_C_TIMESTAMP:
    case SQL_C_TYPE_TIMESTAMP:
      used = 3;
      a.bind(els, d);      // years
      b.bind(els, d + 1);  // quintuples
      c.bind(els, d + 2);  // fractions
      rc = pack_timestamps(errp, rec->data, rec->data_alloc_len, n, reinterpret_cast<int16_t**>(&b.array), &b.bytes,
                           reinterpret_cast<int16_t**>(&a.array), &a.bytes, reinterpret_cast<int32_t**>(&c.array),
                           &c.bytes, 0);
      a.settle(true);
      b.settle(true);
      c.settle(true);
      break;
    case SQL_C_INTERVAL_YEAR:
    case SQL_C_INTERVAL_MONTH:
    case SQL_C_INTERVAL_YEAR_TO_MONTH:
      used = 2;
      a.bind(els, d);      // pairs
      b.bind(els, d + 1);  // stream
      rc = pack_intervals(errp, rec->data, rec->data_alloc_len, n, reinterpret_cast<int32_t**>(&b.array), &b.bytes,
                          reinterpret_cast<int16_t**>(&a.array), &a.bytes, 0);
      a.settle(false);
      b.settle(false);
      if (rc == -2) {
        fail(stmt, sqlstate::kHY000.state, 5,
             "General error: invalid interval type in column data (fetch_bound_colswv)");
        return -1;
      }
      break;
    case SQL_C_GUID:
      used = 3;
      a.bind(els, d);
      b.bind(els, d + 1);
      c.bind(els, d + 2);
      rc = pack_guids(errp, rec->data, rec->data_alloc_len, n, reinterpret_cast<int32_t**>(&a.array), &a.bytes,
                      reinterpret_cast<int16_t**>(&b.array), &b.bytes, reinterpret_cast<char**>(&c.array), &c.bytes, 0);
      a.settle(true);
      b.settle(true);
      c.settle(true);
      break;
    default: {
      wvarray& el = els.e[d];
      uint64_t len = min64(min64(raw_len, static_cast<uint64_t>(el.iovec_len)), rec->data_alloc_len);
      std::memcpy(el.iovec_base, rec->data, len);
      el.iovec_len = static_cast<int32_t>(len);
      return 1;
    }
  }
  return rc == 0 ? used : -1;
}

// Column number check of the per-column procedures.
descriptor_record_t* column_record(statement_t* stmt, int32_t column, bool against_count) {
  const descriptor_t* ard = stmt->current_desc[DESC_ARD];
  if (ard == nullptr || column < 0 || column >= ard->alloc_records || (against_count && column > ard->record_count)) {
    fail(stmt, sqlstate::kHY000.state, 11, "General error: Column %d not bound", column);
    return nullptr;
  }
  descriptor_record_t* rec = &ard->records[column];
  if (!has_arrays(rec)) {
    fail(stmt, sqlstate::kHY000.state, 12, "General error: Column %d has no bound data/length/indicators", column);
    return nullptr;
  }
  return rec;
}

SQLRETURN implied_size_error(statement_t* stmt, uint64_t implied, uint64_t rows, const char* name) {
  return fail(stmt, sqlstate::kHY000.state, 19, "General error: Implied ArraySize %u, expected %lu (%s)",
              static_cast<unsigned>(implied), static_cast<unsigned long>(rows), name);
}

// Fixed-width copy shared by the smallint and integer procedures.
int16_t fetch_fixed(const char* name, void* handle, int16_t column_in, int32_t* bytes, void* out, uint64_t width,
                    int32_t* ob, SQLULEN* oct, int32_t* ib, SQLLEN* ind) {
  statement_t* stmt = enter<statement_t>(handle, name, Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(name, [&]() -> SQLRETURN {
    const int32_t column = static_cast<uint16_t>(column_in);
    descriptor_record_t* rec = column_record(stmt, column, true);
    if (rec == nullptr) return SQL_ERROR;
    const uint64_t rows = ard_rows(stmt);
    const uint64_t implied = *bytes > 0 ? static_cast<uint64_t>(*bytes) / width : 0;
    if (implied != rows || out == nullptr || !data_holds(rec, rows, width) ||
        get_type_len(rec->concise_type, 0, 0) != static_cast<int64_t>(width)) {
      *bytes = 0;
      return implied_size_error(stmt, implied, rows, name);
    }
    copyout_col_strlen_and_ind(stmt, column, rows, ob, oct, ib, ind);
    std::memcpy(out, rec->data, rows * width);
    *bytes = static_cast<int32_t>(rows * width);
    return SQL_SUCCESS;
  });
}

template <class T>
int16_t fetch_reals(const char* name, void* handle, int16_t column_in, int32_t* count, T* out, int32_t* ob,
                    SQLULEN* oct, int32_t* ib, SQLLEN* ind) {
  statement_t* stmt = enter<statement_t>(handle, name, Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(name, [&]() -> SQLRETURN {
    const int32_t column = static_cast<uint16_t>(column_in);
    descriptor_record_t* rec = column_record(stmt, column, false);
    if (rec == nullptr) {
      *count = 0;
      return SQL_ERROR;
    }
    copyout_col_strlen_and_ind(stmt, column, ard_rows(stmt), ob, oct, ib, ind);
    uint64_t k = *count > 0 ? static_cast<uint64_t>(*count) : 0;
    if (get_type_len(rec->concise_type, 0, 0) != static_cast<int64_t>(sizeof(T)) || rec->data == nullptr) {
      *count = 0;
      return implied_size_error(stmt, k, ard_rows(stmt), name);
    }
    k = min64(k, min64(ard_rows(stmt), rec->data_alloc_len / sizeof(T)));
    if (out != nullptr && k > 0) std::memcpy(out, rec->data, k * sizeof(T));
    *count = static_cast<int32_t>(k);
    return SQL_SUCCESS;
  });
}

template <class T>
T field(const descriptor_record_t* rec, uint64_t row, size_t offset, size_t size) {
  T v;
  std::memcpy(&v, static_cast<const char*>(rec->data) + row * size + offset, sizeof v);
  return v;
}

template <class T>
void put(void* array, uint64_t index, T v) {
  std::memcpy(static_cast<char*>(array) + index * sizeof(T), &v, sizeof v);
}

// An out array of the per-column date/time procedures: at least need bytes, or none wanted.
bool room(const int32_t* bytes, const void* p, uint64_t need) {
  return need == 0 || (p != nullptr && *bytes >= 0 && static_cast<uint64_t>(*bytes) >= need);
}

}  // namespace

extern "C" {

int16_t fetch_bound_colswv(void* handle, int32_t count, wvarray* elems) {
  const char* name = KY_HANDLER_NAME(fetch_bound_colswv);
  KY_TRACE(kTraceEntry, "%s(%p,%ld,%p)\n", name, handle, static_cast<long>(count), static_cast<void*>(elems));
  statement_t* stmt = enter<statement_t>(handle, name, Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(name, [&](Exit& exit) -> SQLRETURN {
    const descriptor_t* ard = stmt->current_desc[DESC_ARD];
    if (ard == nullptr || elems == nullptr || count <= 0) return SQL_SUCCESS;
    const uint64_t n = fetched_rows(stmt);
    Elements els{elems, count};
    int32_t e = 0;
    for (int32_t r = 0; r <= ard->record_count && r < ard->alloc_records && e < count; ++r) {
      KY_TRACE(kTraceDetail, "\tProcessing bound column (descriptor record %d)\n", r);
      const descriptor_record_t* rec = &ard->records[r];
      const int16_t t = effective_ctype(stmt, r, rec);
      // Length and indicator elements.
      if (rec->octet_length_array == nullptr && rec->indicator == nullptr) {
        elems[e].iovec_len = 0;
        e += 1;
      } else if (rec->indicator == nullptr || rec->indicator == rec->octet_length_array) {
        int32_t cap = els.has(e) ? elems[e].iovec_len : 0;
        copyout_col_strlen_and_ind(stmt, r, n, &cap, els.has(e) ? static_cast<SQLULEN*>(elems[e].iovec_base) : nullptr,
                                   nullptr, nullptr);
        elems[e].iovec_len = els.has(e) ? cap : 0;
        e += 1;
      } else {
        int32_t cap0 = els.has(e) ? elems[e].iovec_len : 0;
        int32_t cap1 = els.has(e + 1) ? elems[e + 1].iovec_len : 0;
        copyout_col_strlen_and_ind(stmt, r, n, &cap0, els.has(e) ? static_cast<SQLULEN*>(elems[e].iovec_base) : nullptr,
                                   &cap1, els.has(e + 1) ? static_cast<SQLLEN*>(elems[e + 1].iovec_base) : nullptr);
        elems[e].iovec_len = cap0;
        if (e + 1 < count) elems[e + 1].iovec_len = cap1;
        e += 2;
      }
      if (e >= count) break;
      // Data elements.
      if (!els.has(e) || rec->data == nullptr) {
        // The column's further data elements (structured types) still follow.
        elems[e].iovec_len = 0;
        e += 1;
        continue;
      }
      const int64_t s = get_type_len(t, rec->octet_length, 0);
      if (s < 0) {
        exit.because("get_type_len returned negative value for type %d", t);
        return fail(stmt, sqlstate::kHY000.state, 5,
                    "General error: Cannot determine length of datatype %d, OctetLength=%ld (fetch_bound_colswv)", t,
                    static_cast<long>(rec->octet_length));
      }
      uint64_t len = static_cast<uint64_t>(elems[e].iovec_len);
      if (s == 0 && n < 2) len = single_row_length(rec, r, t);
      KY_TRACE(kTraceDetail, "\tinitial data length = %ld\n\tfinal data length = %ld\n", static_cast<long>(s),
               static_cast<long>(len));
      int used = fill_data(stmt, els, e, rec, t, n, len);
      if (used < 0) return SQL_ERROR;
      e += used;
    }
    return SQL_SUCCESS;
  });
}

int16_t fetch_bound_col(void* handle, int16_t column_in, int32_t* data_len, char* data, int32_t* ob, SQLULEN* oct,
                        int32_t* ib, SQLLEN* ind) {
  const char* name = KY_HANDLER_NAME(fetch_bound_col);
  KY_TRACE(kTraceEntry, "%s(%p,%u,%p[%ld],%p,%p[%ld],%p,%p[%ld],%p)\n", name, handle,
           static_cast<unsigned>(static_cast<uint16_t>(column_in)), static_cast<void*>(data),
           static_cast<long>(data_len != nullptr ? *data_len : 0), static_cast<void*>(data_len),
           static_cast<void*>(oct), static_cast<long>(ob != nullptr ? *ob : 0), static_cast<void*>(ob),
           static_cast<void*>(ind), static_cast<long>(ib != nullptr ? *ib : 0), static_cast<void*>(ib));
  statement_t* stmt = enter<statement_t>(handle, name, Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(name, [&](Exit& exit) -> SQLRETURN {
    const int32_t column = static_cast<uint16_t>(column_in);
    descriptor_record_t* rec = column_record(stmt, column, true);
    if (rec == nullptr) {
      *data_len = 0;
      return SQL_ERROR;
    }
    const uint64_t rows = ard_rows(stmt);
    copyout_col_strlen_and_ind(stmt, column, rows, ob, oct, ib, ind);
    if (data == nullptr || *data_len <= 0 || rec->data == nullptr) {
      *data_len = 0;
      return SQL_SUCCESS;
    }
    const int64_t s = get_type_len(rec->concise_type, rec->octet_length, 0);
    if (s < 0) {
      *data_len = 0;
      exit.because("Cannot determine length of datatype %d", rec->concise_type);
      return fail(stmt, sqlstate::kHY000.state, 5,
                  "General error: Cannot determine length of datatype %d, OctetLength=%ld (fetch_bound_col)",
                  rec->concise_type, static_cast<long>(rec->octet_length));
    }
    uint64_t len = static_cast<uint64_t>(*data_len);
    if (s == 0 && rows < 2 && rec->indicator != nullptr && rec->octet_length_array != nullptr) {
      const int64_t c = rec->octet_length > 0 ? rec->octet_length : 0;
      const SQLLEN v = rec->indicator[0];
      const SQLLEN o = rec->octet_length_array[0];
      const bool wide = wide_type(rec->concise_type);
      if (v == SQL_NULL_DATA)
        len = 0;
      else if (o == SQL_NTS)
        len = text_bytes(static_cast<const char*>(rec->data), rec->data_alloc_len, wide);
      else if (v >= c || v < 0)
        len = static_cast<uint64_t>(c);
      else
        len = static_cast<uint64_t>(o < 0 ? 0 : o) + (wide ? 2 : 1);
    } else if (s == 0 && rows < 2) {
      len = static_cast<uint64_t>(rec->octet_length > 0 ? rec->octet_length : 0);
    }
    len = min64(min64(len, static_cast<uint64_t>(*data_len)), rec->data_alloc_len);
    std::memcpy(data, rec->data, len);
    *data_len = static_cast<int32_t>(len);
    return SQL_SUCCESS;
  });
}

int16_t fetch_bound_col_smallint(void* handle, int16_t column, int32_t* bytes, int16_t* out, int32_t* ob, SQLULEN* oct,
                                 int32_t* ib, SQLLEN* ind) {
  return fetch_fixed("fetch_bound_col_smallint", handle, column, bytes, out, 2, ob, oct, ib, ind);
}

int16_t fetch_bound_col_integer(void* handle, int16_t column, int32_t* bytes, int32_t* out, int32_t* ob, SQLULEN* oct,
                                int32_t* ib, SQLLEN* ind) {
  return fetch_fixed("fetch_bound_col_integer", handle, column, bytes, out, 4, ob, oct, ib, ind);
}

int16_t fetch_bound_col_numeric(void* handle, int16_t column_in, int32_t* bytes, char* out, int32_t* ob, SQLULEN* oct,
                                int32_t* ib, SQLLEN* ind) {
  statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(fetch_bound_col_numeric), Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(KY_HANDLER_NAME(fetch_bound_col_numeric), [&]() -> SQLRETURN {
    const int32_t column = static_cast<uint16_t>(column_in);
    descriptor_record_t* rec = column_record(stmt, column, false);
    if (rec == nullptr || out == nullptr || *bytes < KY_NUMERIC_RECORD_BYTES || rec->concise_type != SQL_C_NUMERIC ||
        !data_holds(rec, 1, KY_NUMERIC_SIZE)) {
      const int32_t had = *bytes;
      *bytes = 0;
      if (rec == nullptr) return SQL_ERROR;
      return implied_size_error(stmt, static_cast<uint64_t>(had > 0 ? had : 0) / KY_NUMERIC_RECORD_BYTES, 1,
                                "fetch_bound_col_numeric");
    }
    copyout_col_strlen_and_ind(stmt, column, ard_rows(stmt), ob, oct, ib, ind);
    std::memcpy(out, rec->data, KY_NUMERIC_RECORD_BYTES);
    *bytes = KY_NUMERIC_RECORD_BYTES;
    return SQL_SUCCESS;
  });
}

int16_t fetch_bound_col_float(void* handle, int16_t column, int32_t* count, float* out, int32_t* ob, SQLULEN* oct,
                              int32_t* ib, SQLLEN* ind) {
  return fetch_reals<float>("fetch_bound_col_float", handle, column, count, out, ob, oct, ib, ind);
}

int16_t fetch_bound_col_double(void* handle, int16_t column, int32_t* count, double* out, int32_t* ob, SQLULEN* oct,
                               int32_t* ib, SQLLEN* ind) {
  return fetch_reals<double>("fetch_bound_col_double", handle, column, count, out, ob, oct, ib, ind);
}

int16_t fetch_bound_col_dt(void* handle, int16_t column_in, int16_t, int16_t, int32_t* a_bytes, int16_t* a,
                           int32_t* b_bytes, int16_t* b, int32_t* c_bytes, int32_t* c, int32_t* ob, SQLULEN* oct,
                           int32_t* ib, SQLLEN* ind) {
  statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(fetch_bound_col_dt), Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(KY_HANDLER_NAME(fetch_bound_col_dt), [&]() -> SQLRETURN {
    const int32_t column = static_cast<uint16_t>(column_in);
    const int32_t caps[3] = {*a_bytes, *b_bytes, *c_bytes};
    *a_bytes = *b_bytes = *c_bytes = 0;
    descriptor_record_t* rec = column_record(stmt, column, false);
    if (rec == nullptr) return SQL_ERROR;
    const uint64_t n = ard_rows(stmt);
    const int16_t t = rec->concise_type;
    uint64_t size = 0, need_a = 0, need_b = 0, need_c = 0;
    if (t == SQL_C_DATE || t == SQL_C_TYPE_DATE)
      size = 6, need_a = 2 * n, need_b = 4 * n;
    else if (t == SQL_C_TIME || t == SQL_C_TYPE_TIME)
      size = 6, need_b = 6 * n;
    else if (t == SQL_C_TIMESTAMP || t == SQL_C_TYPE_TIMESTAMP)
      size = 16, need_a = 2 * n, need_b = 10 * n, need_c = 4 * n;
    else
      return fail(stmt, sqlstate::kHY003, 0);
    if (!data_holds(rec, n, size) || !room(&caps[0], a, need_a) || !room(&caps[1], b, need_b) ||
        !room(&caps[2], c, need_c))
      return implied_size_error(stmt, static_cast<uint64_t>(caps[1] > 0 ? caps[1] : 0) / (need_b / n), n,
                                "fetch_bound_col_dt");
    copyout_col_strlen_and_ind(stmt, column, n, ob, oct, ib, ind);
    for (uint64_t i = 0; i < n; ++i) {
      if (size == 6 && need_a != 0) {  // date: year, then month and day planes
        put<int16_t>(a, i, field<int16_t>(rec, i, 0, 6));
        put<uint16_t>(b, i, field<uint16_t>(rec, i, 2, 6));
        put<uint16_t>(b, n + i, field<uint16_t>(rec, i, 4, 6));
      } else if (size == 6) {  // time: hour, minute, second planes
        for (uint64_t k = 0; k < 3; ++k) put<uint16_t>(b, k * n + i, field<uint16_t>(rec, i, 2 * k, 6));
      } else {  // timestamp
        put<int16_t>(a, i, field<int16_t>(rec, i, 0, 16));
        for (uint64_t k = 0; k < 5; ++k) put<uint16_t>(b, k * n + i, field<uint16_t>(rec, i, 2 + 2 * k, 16));
        put<uint32_t>(c, i, field<uint32_t>(rec, i, 12, 16));
      }
    }
    *a_bytes = static_cast<int32_t>(need_a);
    *b_bytes = static_cast<int32_t>(need_b);
    *c_bytes = static_cast<int32_t>(need_c);
    return SQL_SUCCESS;
  });
}

int16_t fetch_bound_col_dt_int(void* handle, int16_t column_in, int16_t, int16_t, int32_t* a_bytes, int16_t* a,
                               int32_t* b_bytes, int16_t* b, int32_t* c_bytes, int32_t* c, int32_t* ob, SQLULEN* oct,
                               int32_t* ib, SQLLEN* ind) {
  statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(fetch_bound_col_dt_int), Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(KY_HANDLER_NAME(fetch_bound_col_dt_int), [&]() -> SQLRETURN {
    const int32_t column = static_cast<uint16_t>(column_in);
    const int32_t caps[3] = {*a_bytes, *b_bytes, *c_bytes};
    *a_bytes = *b_bytes = *c_bytes = 0;
    descriptor_record_t* rec = column_record(stmt, column, false);
    if (rec == nullptr) return SQL_ERROR;
    const int16_t t = rec->concise_type;
    if (!is_interval_type(t)) return fail(stmt, sqlstate::kHY003, 0);
    const uint64_t n = ard_rows(stmt);
    const uint64_t f =
        (t == SQL_C_INTERVAL_YEAR || t == SQL_C_INTERVAL_MONTH || t == SQL_C_INTERVAL_YEAR_TO_MONTH) ? 2 : 5;
    if (!data_holds(rec, n, KY_INTERVAL_SIZE) || !room(&caps[0], a, 2 * n) || !room(&caps[1], b, 2 * n) ||
        !room(&caps[2], c, 4 * f * n))
      return implied_size_error(stmt, static_cast<uint64_t>(caps[0] > 0 ? caps[0] : 0) / 2, n,
                                "fetch_bound_col_dt_int");
    copyout_col_strlen_and_ind(stmt, column, n, ob, oct, ib, ind);
    for (uint64_t i = 0; i < n; ++i) {
      put<int16_t>(a, i, static_cast<int16_t>(field<int32_t>(rec, i, 0, KY_INTERVAL_SIZE) & 0xFFFF));
      put<int16_t>(b, i, field<int16_t>(rec, i, 4, KY_INTERVAL_SIZE));
      for (uint64_t k = 0; k < f; ++k)
        put<uint32_t>(c, k * n + i, field<uint32_t>(rec, i, 8 + 4 * k, KY_INTERVAL_SIZE));
    }
    *a_bytes = static_cast<int32_t>(2 * n);
    *b_bytes = static_cast<int32_t>(2 * n);
    *c_bytes = static_cast<int32_t>(4 * f * n);
    return SQL_SUCCESS;
  });
}

}  // extern "C"
