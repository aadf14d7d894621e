// Block transfer of bound parameters: "synch_bound_paramswv" takes the values
// of every input parameter of every parameter set in one call (two length
// elements and one to three data elements per parameter) and unpacks them
// into the server's arrays; "fetch_bound_param" and its typed variants send
// output parameter values back one parameter at a time. None calls the driver.
//
// Every element is measured against the server's arrays: a value longer than
// its array, a field array shorter than the parameter sets, or a length that
// lets the driver read past a value is refused.
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
using kyvek::odbc::kTraceExit;
using kyvek::odbc::kTraceInternal;
using namespace kyvek::transfer;

constexpr int32_t kRealSlot = 40;

// Element i of the call, or an empty one past its end.
struct Elem {
  void* base = nullptr;
  int32_t len = 0;
};

Elem element(const wvarray* elems, int32_t count, int32_t i) {
  if (i < 0 || i >= count || elems[i].iovec_base == nullptr || elems[i].iovec_len <= 0) return {};
  return {elems[i].iovec_base, elems[i].iovec_len};
}

// Number texts of floating-point parameters into the data array.
template <class T>
SQLRETURN unpack_reals(statement_t* stmt, descriptor_record_t* rec, uint64_t rows, Elem el) {
  if (el.base == nullptr || rows > static_cast<uint64_t>(el.len) / kRealSlot || rec->data == nullptr ||
      rows > rec->data_alloc_len / sizeof(T))
    return fail(stmt, sqlstate::kHY000.state, 35,
                "General error: Internal server error, Parameter buffer too small (%lu/%lu)",
                static_cast<unsigned long>(rec->data_alloc_len), static_cast<unsigned long>(el.len));
  for (uint64_t i = 0; i < rows; ++i) {
    char slot[kRealSlot + 1];
    std::memcpy(slot, static_cast<const char*>(el.base) + i * kRealSlot, kRealSlot);
    slot[kRealSlot] = '\0';
    KY_TRACE(kTraceValues, "%s ", slot);
    T v = static_cast<T>(std::strtod(slot, nullptr));
    std::memcpy(static_cast<char*>(rec->data) + i * sizeof(T), &v, sizeof v);
  }
  return SQL_SUCCESS;
}

// Unpacks one parameter's data elements starting at d. Returns the number of
// elements used, or -1 (diagnostic posted).
int unpack_param(statement_t* stmt, descriptor_record_t* rec, int16_t t, uint64_t rows, const wvarray* elems,
                 int32_t count, int32_t d) {
  diag_header* errp = &stmt->diags;
  const Elem a = element(elems, count, d), b = element(elems, count, d + 1), c = element(elems, count, d + 2);
  if (rec->data == nullptr && t != SQL_C_CHAR && t != SQL_C_BINARY && t != SQL_C_WCHAR) {
    // Structured values need the server's array.
    fail(stmt, sqlstate::kHY000.state, 35, "General error: Internal server error, Parameter buffer too small (%lu/%lu)",
         0ul, static_cast<unsigned long>(a.len));
    return -1;
  }
  void* dst = rec->data;
  const uint64_t dst_bytes = rec->data_alloc_len;
  switch (t) {
    case SQL_C_NUMERIC:
      return unpack_numerics(errp, dst, dst_bytes, rows, static_cast<const char*>(a.base), a.len) == 0 ? 1 : -1;
    case SQL_C_FLOAT: return unpack_reals<float>(stmt, rec, rows, a) == SQL_SUCCESS ? 1 : -1;
    case SQL_C_DOUBLE: return unpack_reals<double>(stmt, rec, rows, a) == SQL_SUCCESS ? 1 : -1;
    case SQL_C_DATE:
    case SQL_C_TYPE_DATE:
      return unpack_dates(errp, dst, dst_bytes, rows, static_cast<const int16_t*>(a.base), a.len,
                          static_cast<const int16_t*>(b.base), b.len) == 0
                 ? 2
                 : -1;
    case SQL_C_TIME:
    case SQL_C_TYPE_TIME:
      return unpack_times(errp, dst, dst_bytes, rows, static_cast<const int16_t*>(a.base), a.len) == 0 ? 1 : -1;
    case SQL_C_TIMESTAMP:
    case SQL_C_TYPE_TIMESTAMP:
      // Quintuples first on this path, then years and fractions.
      return unpack_timestamps(errp, dst, dst_bytes, rows, static_cast<const int16_t*>(b.base), b.len,
                               static_cast<const int16_t*>(a.base), a.len, static_cast<const int32_t*>(c.base),
                               c.len) == 0
                 ? 3
                 : -1;
    case SQL_C_GUID:
      return unpack_guids(errp, dst, dst_bytes, rows, static_cast<const int32_t*>(a.base), a.len,
                          static_cast<const int16_t*>(b.base), b.len, static_cast<const char*>(c.base), c.len) == 0
                 ? 3
                 : -1;
    default: break;
  }
  if (is_interval_type(t))
    return unpack_intervals(errp, dst, dst_bytes, rows, static_cast<const int16_t*>(a.base), a.len,
                            static_cast<const int32_t*>(b.base), b.len) == 0
               ? 2
               : -1;
  const uint64_t len = static_cast<uint64_t>(a.len);
  if (len > rec->data_alloc_len) {
    KY_TRACE(kTraceDetail, "DataPtr buffer not big enough\n");
    fail(stmt, sqlstate::kHY000.state, 35, "General error: Internal server error, Parameter buffer too small (%lu/%lu)",
         static_cast<unsigned long>(rec->data_alloc_len), static_cast<unsigned long>(len));
    return -1;
  }
  if (a.base != nullptr && dst != nullptr && len > 0) std::memcpy(dst, a.base, len);
  return 1;
}

SQLRETURN implied_size_error(statement_t* stmt, uint64_t implied, uint64_t rows, const char* name) {
  KY_TRACE(kTraceInternal | kTraceExit, "-%s()=SQL_ERROR (Inconsistent array sizes %d and %d)\n", name,
           static_cast<int>(rows), static_cast<int>(implied));
  return fail(stmt, sqlstate::kHY000.state, 19, "General error: Implied ArraySize %u, expected %lu (%s)",
              static_cast<unsigned>(implied), static_cast<unsigned long>(rows), name);
}

// Common start of the output-parameter procedures: the APD record of a bound parameter.
descriptor_record_t* output_record(statement_t* stmt, int32_t parameter, const char* name) {
  descriptor_t* apd = stmt->current_desc[DESC_APD];
  if (check_bound_param(parameter, stmt, apd, name) != SQL_SUCCESS) return nullptr;
  return &apd->records[parameter];
}

int16_t fetch_param_fixed(const char* name, void* handle, int16_t number, int32_t* bytes, void* out, uint64_t width,
                          int32_t* ob, SQLULEN* oct, int32_t* ib, SQLLEN* ind) {
  statement_t* stmt = enter<statement_t>(handle, name, Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(name, [&]() -> SQLRETURN {
    const int32_t parameter = static_cast<uint16_t>(number);
    const int32_t cap = *bytes;
    *bytes = 0;
    descriptor_record_t* rec = output_record(stmt, parameter, name);
    if (rec == nullptr) return SQL_ERROR;
    const uint64_t rows = apd_rows(stmt);
    const uint64_t implied = cap > 0 ? static_cast<uint64_t>(cap) / width : 0;
    if (implied != rows || out == nullptr || !data_holds(rec, rows, width) ||
        get_type_len(rec->concise_type, 0, 0) != static_cast<int64_t>(width))
      return implied_size_error(stmt, implied, rows, name);
    copyout_param_strlen_and_ind(stmt, parameter, ob, oct, ib, ind);
    std::memcpy(out, rec->data, rows * width);
    *bytes = static_cast<int32_t>(rows * width);
    return SQL_SUCCESS;
  });
}

template <class T>
int16_t fetch_param_reals(const char* name, void* handle, int16_t number, int32_t* count, T* out, int32_t* ob,
                          SQLULEN* oct, int32_t* ib, SQLLEN* ind) {
  statement_t* stmt = enter<statement_t>(handle, name, Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(name, [&]() -> SQLRETURN {
    const int32_t parameter = static_cast<uint16_t>(number);
    const int32_t k = *count;
    *count = 0;
    descriptor_record_t* rec = output_record(stmt, parameter, name);
    if (rec == nullptr) return SQL_ERROR;
    const uint64_t rows = apd_rows(stmt);
    if (k < 0 || static_cast<uint64_t>(k) != rows || out == nullptr || !data_holds(rec, rows, sizeof(T)) ||
        get_type_len(rec->concise_type, 0, 0) != static_cast<int64_t>(sizeof(T)))
      return implied_size_error(stmt, static_cast<uint64_t>(k < 0 ? 0 : k), rows, name);
    copyout_param_strlen_and_ind(stmt, parameter, ob, oct, ib, ind);
    std::memcpy(out, rec->data, rows * sizeof(T));
    *count = static_cast<int32_t>(rows);
    return SQL_SUCCESS;
  });
}

}  // namespace

extern "C" {

int16_t synch_bound_paramswv(void* handle, int32_t count, wvarray* elems) {
  const char* name = KY_HANDLER_NAME(synch_bound_paramswv);
  KY_TRACE(kTraceEntry, "%s(%p,%ld,%p)\n", name, handle, static_cast<long>(count), static_cast<void*>(elems));
  // The first call of an execution: an earlier call's records go.
  statement_t* stmt = enter<statement_t>(handle, name, Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  const int16_t result = through_exit(name, [&](Exit& exit) -> SQLRETURN {
    descriptor_t* apd = stmt->current_desc[DESC_APD];
    descriptor_t* ipd = stmt->current_desc[DESC_IPD];
    if (!veks_tag_ok(VEKS_DESC, apd) || !veks_tag_ok(VEKS_DESC, ipd)) {
      exit.because("invalid apd %p or ipd %p", static_cast<void*>(apd), static_cast<void*>(ipd));
      return fail(stmt, sqlstate::kHY000.state, 5,
                  "General error: Internal server error, invalid descriptor (synch_bound_paramwv)");
    }
    if (count < 0 || (count > 0 && elems == nullptr)) count = 0;
    const uint64_t rows = apd_rows(stmt);
    int32_t e = 0;
    for (int32_t p = 1; p <= apd->record_count && p < apd->alloc_records && e < count; ++p) {
      KY_TRACE(kTraceDetail, "Processing parameter %u\n", static_cast<unsigned>(p));
      const descriptor_record_t* irec = p < ipd->alloc_records ? &ipd->records[p] : nullptr;
      if (irec != nullptr && irec->parameter_type == SQL_PARAM_OUTPUT) continue;
      descriptor_record_t* rec = &apd->records[p];
      const Elem oct = element(elems, count, e), ind = element(elems, count, e + 1);
      SQLRETURN rc = copyin_param_strlen_and_ind(stmt, p, oct.len, static_cast<const SQLULEN*>(oct.base), ind.len,
                                                 static_cast<const SQLLEN*>(ind.base));
      if (rc != SQL_SUCCESS) {
        exit.because("copyin_param_strlen_and_ind failed");
        return rc;
      }
      const int32_t d = e + 2;
      if (d >= count) {
        e = count;
        break;
      }
      if (element(elems, count, d).base == nullptr && rec->data == nullptr) {
        e += 3;
        continue;
      }
      int16_t t = rec->concise_type;
      if (t == SQL_C_DEFAULT) {
        const int16_t sqltype = irec != nullptr ? irec->concise_type : 0;
        if (sqltype2ctype(sqltype, &t) != 0) {
          exit.because("parameter %u: failed to lookup data type %d with sqltype2ctype", static_cast<unsigned>(p),
                       sqltype);
          return fail(stmt, sqlstate::kHY000.state, 8, "General error: Unexpected SQL type %d found", sqltype);
        }
      }
      // The parameter sets must all fit the arrays the parameter was bound with.
      if (rec->row_capacity < rows && rec->data != nullptr)
        return fail(stmt, sqlstate::kHY000.state, 35,
                    "General error: Internal server error, Parameter buffer too small (%lu/%lu)",
                    static_cast<unsigned long>(rec->data_alloc_len), static_cast<unsigned long>(rows));
      const int used = unpack_param(stmt, rec, t, rows, elems, count, d);
      if (used < 0) return SQL_ERROR;
      rc = check_terminated(stmt, rec, t, rows);
      if (rc != SQL_SUCCESS) return rc;
      e = d + used;
    }
    if (e < count) {
      exit.because("unused iovec elements (%u/%ld)", static_cast<unsigned>(e), static_cast<long>(count));
      return fail(stmt, sqlstate::kHY000.state, 39,
                  "General error: Internal server error, Unused iovecs (%u out of %d)", static_cast<unsigned>(e),
                  count);
    }
    return SQL_SUCCESS;
  });
  // A client may send the execution in the same send as its values, before
  // it knows how they fared: the execution after values that did not arrive
  // whole is refused (handlers_exec.cpp). Each transfer replaces the mark of
  // the one before, so a client that waits and sends the values again is
  // not held to an old failure.
  if (result == SQL_SUCCESS)
    stmt->flags &= ~static_cast<uint32_t>(STMT_VALUES_REFUSED);
  else
    stmt->flags |= STMT_VALUES_REFUSED;
  return result;
}

int16_t fetch_bound_param_integer(void* handle, int16_t number, int32_t* bytes, int32_t* out, int32_t* ob, SQLULEN* oct,
                                  int32_t* ib, SQLLEN* ind) {
  return fetch_param_fixed("fetch_bound_param_integer", handle, number, bytes, out, 4, ob, oct, ib, ind);
}

int16_t fetch_bound_param_smallint(void* handle, int16_t number, int32_t* bytes, int16_t* out, int32_t* ob,
                                   SQLULEN* oct, int32_t* ib, SQLLEN* ind) {
  return fetch_param_fixed("fetch_bound_param_smallint", handle, number, bytes, out, 2, ob, oct, ib, ind);
}

int16_t fetch_bound_param_bigint(void* handle, int16_t number, int32_t* bytes, int64_t* out, int32_t* ob, SQLULEN* oct,
                                 int32_t* ib, SQLLEN* ind) {
  return fetch_param_fixed("fetch_bound_param_bigint", handle, number, bytes, out, 8, ob, oct, ib, ind);
}

int16_t fetch_bound_param_float(void* handle, int16_t number, int32_t* count, float* out, int32_t* ob, SQLULEN* oct,
                                int32_t* ib, SQLLEN* ind) {
  return fetch_param_reals<float>("fetch_bound_param_float", handle, number, count, out, ob, oct, ib, ind);
}

int16_t fetch_bound_param_double(void* handle, int16_t number, int32_t* count, double* out, int32_t* ob, SQLULEN* oct,
                                 int32_t* ib, SQLLEN* ind) {
  return fetch_param_reals<double>("fetch_bound_param_double", handle, number, count, out, ob, oct, ib, ind);
}

int16_t fetch_bound_param_numeric(void* handle, int16_t number, int32_t* bytes, char* out, int32_t* ob, SQLULEN* oct,
                                  int32_t* ib, SQLLEN* ind) {
  const char* name = KY_HANDLER_NAME(fetch_bound_param_numeric);
  statement_t* stmt = enter<statement_t>(handle, name, Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(name, [&]() -> SQLRETURN {
    const int32_t parameter = static_cast<uint16_t>(number);
    const int32_t cap = *bytes;
    *bytes = 0;
    descriptor_record_t* rec = output_record(stmt, parameter, name);
    if (rec == nullptr) return SQL_ERROR;
    const uint64_t rows = apd_rows(stmt);
    const uint64_t implied = cap > 0 ? static_cast<uint64_t>(cap) / KY_NUMERIC_RECORD_BYTES : 0;
    if (implied != rows || out == nullptr || rec->concise_type != SQL_C_NUMERIC)
      return implied_size_error(stmt, implied, rows, name);
    copyout_param_strlen_and_ind(stmt, parameter, ob, oct, ib, ind);
    char* records = out;
    int32_t size = cap;
    if (pack_numerics(&stmt->diags, rec->data, rec->data_alloc_len, rows, &records, &size, 0) != 0) return SQL_ERROR;
    *bytes = static_cast<int32_t>(rows * KY_NUMERIC_RECORD_BYTES);
    return SQL_SUCCESS;
  });
}

int16_t fetch_bound_param(void* handle, int16_t number, int32_t* data_len, char* data, int32_t* ob, SQLULEN* oct,
                          int32_t* ib, SQLLEN* ind) {
  const char* name = KY_HANDLER_NAME(fetch_bound_param);
  statement_t* stmt = enter<statement_t>(handle, name, Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(name, [&]() -> SQLRETURN {
    const int32_t parameter = static_cast<uint16_t>(number);
    const int32_t announced = *data_len;
    *data_len = 0;
    descriptor_record_t* rec = output_record(stmt, parameter, name);
    if (rec == nullptr) return SQL_ERROR;
    copyout_param_strlen_and_ind(stmt, parameter, ob, oct, ib, ind);
    if (data == nullptr || announced <= 0 || rec->data == nullptr) return SQL_SUCCESS;
    uint64_t len = static_cast<uint64_t>(announced);
    if (apd_rows(stmt) < 2 && ind != nullptr && ib != nullptr && *ib >= static_cast<int32_t>(sizeof(SQLLEN))) {
      const SQLLEN v = ind[0];
      if (v == SQL_NULL_DATA)
        len = 0;
      else if (v > 0 && v < announced)
        len = static_cast<uint64_t>(v) + 1;
    }
    if (len > rec->data_alloc_len) len = rec->data_alloc_len;
    std::memcpy(data, rec->data, len);
    *data_len = static_cast<int32_t>(len);
    return SQL_SUCCESS;
  });
}

int16_t fetch_bound_param_dt(void* handle, int16_t number, int16_t, int16_t, int32_t* a_bytes, int16_t* a,
                             int32_t* b_bytes, int16_t* b, int32_t* c_bytes, int32_t* c, int32_t* ob, SQLULEN* oct,
                             int32_t* ib, SQLLEN* ind) {
  const char* name = KY_HANDLER_NAME(fetch_bound_param_dt);
  statement_t* stmt = enter<statement_t>(handle, name, Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(name, [&]() -> SQLRETURN {
    const int32_t parameter = static_cast<uint16_t>(number);
    int32_t caps[3] = {a != nullptr ? *a_bytes : 0, b != nullptr ? *b_bytes : 0, c != nullptr ? *c_bytes : 0};
    *a_bytes = *b_bytes = *c_bytes = 0;
    descriptor_record_t* rec = output_record(stmt, parameter, name);
    if (rec == nullptr) return SQL_ERROR;
    const uint64_t rows = apd_rows(stmt);
    const int16_t t = rec->concise_type;
    diag_header* errp = &stmt->diags;
    int16_t* pa = a;
    int16_t* pb = b;
    int32_t* pc = c;
    int rc;
    // The arrays are the caller's: a missing or short one fails inside the packer.
    if (t == SQL_C_TYPE_DATE || t == SQL_C_DATE) {
      if (a == nullptr || b == nullptr) return implied_size_error(stmt, 0, rows, name);
      copyout_param_strlen_and_ind(stmt, parameter, ob, oct, ib, ind);
      rc = pack_dates(errp, rec->data, rec->data_alloc_len, rows, &pa, &caps[0], &pb, &caps[1], 0);
      if (rc == 0) *a_bytes = static_cast<int32_t>(2 * rows), *b_bytes = static_cast<int32_t>(4 * rows);
    } else if (t == SQL_C_TYPE_TIME || t == SQL_C_TIME) {
      if (b == nullptr) return implied_size_error(stmt, 0, rows, name);
      copyout_param_strlen_and_ind(stmt, parameter, ob, oct, ib, ind);
      rc = pack_times(errp, rec->data, rec->data_alloc_len, rows, &pb, &caps[1], 0);
      if (rc == 0) *b_bytes = static_cast<int32_t>(6 * rows);
    } else if (t == SQL_C_TYPE_TIMESTAMP || t == SQL_C_TIMESTAMP) {
      if (a == nullptr || b == nullptr || c == nullptr) return implied_size_error(stmt, 0, rows, name);
      copyout_param_strlen_and_ind(stmt, parameter, ob, oct, ib, ind);
      rc = pack_timestamps(errp, rec->data, rec->data_alloc_len, rows, &pb, &caps[1], &pa, &caps[0], &pc, &caps[2], 0);
      if (rc == 0) *a_bytes = caps[0], *b_bytes = caps[1], *c_bytes = caps[2];
    } else {
      return fail(stmt, sqlstate::kHY003, 0);
    }
    return rc == 0 ? SQL_SUCCESS : SQL_ERROR;
  });
}

int16_t fetch_bound_param_dt_int(void* handle, int16_t number, int16_t, int16_t, int32_t* a_bytes, int16_t* a,
                                 int32_t* b_bytes, int32_t* b, int32_t* ob, SQLULEN* oct, int32_t* ib, SQLLEN* ind) {
  const char* name = KY_HANDLER_NAME(fetch_bound_param_dt_int);
  statement_t* stmt = enter<statement_t>(handle, name, Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(name, [&]() -> SQLRETURN {
    const int32_t parameter = static_cast<uint16_t>(number);
    int32_t caps[2] = {a != nullptr ? *a_bytes : 0, b != nullptr ? *b_bytes : 0};
    *a_bytes = *b_bytes = 0;
    descriptor_record_t* rec = output_record(stmt, parameter, name);
    if (rec == nullptr) return SQL_ERROR;
    if (!is_interval_type(rec->concise_type)) return fail(stmt, sqlstate::kHY003, 0);
    const uint64_t rows = apd_rows(stmt);
    if (a == nullptr || b == nullptr) return implied_size_error(stmt, 0, rows, name);
    copyout_param_strlen_and_ind(stmt, parameter, ob, oct, ib, ind);
    int16_t* pairs = a;
    int32_t* stream = b;
    const int32_t stream_cap = caps[1];
    int rc = pack_intervals(&stmt->diags, rec->data, rec->data_alloc_len, rows, &stream, &caps[1], &pairs, &caps[0], 0);
    if (rc == -2)
      return fail(stmt, sqlstate::kHY000.state, 5, "General error: invalid interval type in parameter %d (%s)",
                  parameter, name);
    if (rc != 0) return SQL_ERROR;
    *a_bytes = static_cast<int32_t>(4 * rows);
    // The stream is sized 20 bytes per value; the unused tail stays zero.
    *b_bytes = static_cast<int32_t>(20 * rows) < stream_cap ? static_cast<int32_t>(20 * rows) : stream_cap;
    return SQL_SUCCESS;
  });
}

}  // extern "C"
