// Status and length arrays: rows processed, row and parameter status, row and
// parameter operation arrays ("fetch_rows_processed", "fetch_row_status",
// "fetch_parameter_status", "synch_row_operations_array",
// "synch_parameter_operations_array"), and the copy routines of one bound
// column's or parameter's octet lengths and indicators used by the block
// transfers. Arrays travel whole: a peer's array must be exactly as long as
// the server's copy.
#include <cstring>

#include "handlers.h"
#include "odbc_trace.h"
#include "server_diag.h"
#include "sql_types.h"
#include "transfer_common.h"

namespace {

using kyvek::odbc::kTraceBuffers;
using kyvek::odbc::kTraceDetail;
using kyvek::odbc::kTraceEntry;
using kyvek::odbc::kTraceExit;
using kyvek::odbc::kTraceInternal;
using namespace kyvek::transfer;

descriptor_t* current(const statement_t* stmt, int slot) { return stmt->current_desc[slot]; }

// The elements of a status array that a call may use: count, bounded by the
// number of elements the array was made for.
bool status_fits(uint64_t count, uint64_t made_for) { return count <= made_for; }

SQLRETURN send_status(statement_t* stmt, const uint16_t* array, uint64_t made_for, uint64_t count, int32_t* bytes,
                      int16_t* out, int32_t native_missing, const char* missing_text, const char* size_text) {
  if (array == nullptr) {
    *bytes = 0;
    return fail(stmt, sqlstate::kHY000.state, native_missing, "%s", missing_text);
  }
  uint64_t need = 2 * count;
  if (*bytes < 0 || static_cast<uint64_t>(*bytes) != need || !status_fits(count, made_for) ||
      (need > 0 && out == nullptr)) {
    *bytes = 0;
    return fail(stmt, sqlstate::kHY000.state, 24, "%s", size_text);
  }
  if (need > 0) std::memcpy(out, array, need);
  return SQL_SUCCESS;
}

SQLRETURN take_operations(statement_t* stmt, uint16_t* array, uint64_t made_for, uint64_t count, int32_t bytes,
                          const int16_t* in, const char* size_text) {
  if (array == nullptr) return fail(stmt, sqlstate::kHY000.state, 13, "General error: ArrayStatusPtr not set ");
  uint64_t need = 2 * count;
  if (bytes < 0 || static_cast<uint64_t>(bytes) != need || !status_fits(count, made_for) || (need > 0 && in == nullptr))
    return fail(stmt, sqlstate::kHY000.state, 25, "%s", size_text);
  if (need > 0) std::memcpy(array, in, need);
  return SQL_SUCCESS;
}

// Validates a peer's length or indicator values before anything is copied.
// A fixed-length C type's value has its own size: its length or indicator
// means something only as SQL_NULL_DATA or data at execution, and any other
// value is ignored, by the driver as much as here.
bool lengths_ok(const SQLLEN* values, uint64_t n, uint64_t row_size, int16_t ctype) {
  if (get_type_len(ctype, 0, 0) > 0) return true;
  for (uint64_t i = 0; i < n; ++i)
    if (!length_value_ok(values[i], row_size)) return false;
  return true;
}

}  // namespace

extern "C" {

int16_t fetch_rows_processed(void* handle, SQLULEN* ird_rows, SQLULEN* ipd_rows) {
  KY_TRACE(kTraceEntry, "%s(%p,%p,%p)\n", "fetch_rows_processed", handle, static_cast<void*>(ird_rows),
           static_cast<void*>(ipd_rows));
  statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(fetch_rows_processed), Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(KY_HANDLER_NAME(fetch_rows_processed), [&]() -> SQLRETURN {
    bool found = false;
    const descriptor_t* ird = current(stmt, DESC_IRD);
    const descriptor_t* ipd = current(stmt, DESC_IPD);
    if (ird != nullptr && ird->rows_processed != nullptr) {
      if (ird_rows != nullptr) *ird_rows = *ird->rows_processed;
      KY_TRACE(kTraceBuffers, "\tIRD:RowsProcessed (%p)=%ld\n", static_cast<void*>(ird->rows_processed),
               static_cast<long>(*ird->rows_processed));
      found = true;
    }
    if (ipd != nullptr && ipd->rows_processed != nullptr) {
      if (ipd_rows != nullptr) *ipd_rows = *ipd->rows_processed;
      KY_TRACE(kTraceBuffers, "\tIPD:RowsProcessed (%p)=%ld\n", static_cast<void*>(ipd->rows_processed),
               static_cast<long>(*ipd->rows_processed));
      found = true;
    }
    if (!found) return fail(stmt, sqlstate::kHY000.state, 13, "General error: RowsProcessedPtr not set ");
    return SQL_SUCCESS;
  });
}

int16_t fetch_row_status(void* handle, int32_t* bytes, int16_t* out) {
  KY_TRACE(kTraceEntry, "%s(%p,%p,%p)\n", "fetch_row_status", handle, static_cast<void*>(bytes),
           static_cast<void*>(out));
  statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(fetch_row_status), Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(KY_HANDLER_NAME(fetch_row_status), [&]() -> SQLRETURN {
    const descriptor_t* ird = current(stmt, DESC_IRD);
    const descriptor_t* ard = current(stmt, DESC_ARD);
    const uint16_t* array = nullptr;
    uint64_t made_for = 0, count = 0;
    if (ird != nullptr && ard != nullptr) {
      if (stmt->fetch_kind == FETCH_EXTENDED) {
        array = ird->ext_status_array;
        made_for = ird->ext_status_count;
        count = ard->ext_rowset_size;
      } else {
        array = ird->status_array;
        made_for = ird->status_count;
        count = ard->array_size;
      }
    }
    SQLRETURN rc =
        send_status(stmt, array, made_for, count, bytes, out, 13, "General error: IRD ArrayStatusPtr not set ",
                    "General error: IRD Inconsistent array size ");
    if (rc == SQL_SUCCESS && kyvek::odbc::trace_on(kTraceBuffers)) {
      KY_TRACE(kTraceBuffers, "Row Status Array (%lu values):\n", static_cast<unsigned long>(count));
      for (uint64_t i = 0; i < count; ++i) KY_TRACE(kTraceBuffers, "%u\n", array[i]);
    }
    return rc;
  });
}

int16_t fetch_parameter_status(void* handle, int32_t* bytes, int16_t* out) {
  KY_TRACE(kTraceEntry, "%s(%p,%p,%p)\n", "fetch_parameter_status", handle, static_cast<void*>(bytes),
           static_cast<void*>(out));
  statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(fetch_parameter_status), Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(KY_HANDLER_NAME(fetch_parameter_status), [&]() -> SQLRETURN {
    const descriptor_t* ipd = current(stmt, DESC_IPD);
    const descriptor_t* apd = current(stmt, DESC_APD);
    const uint16_t* array = ipd != nullptr ? ipd->status_array : nullptr;
    uint64_t made_for = ipd != nullptr ? ipd->status_count : 0;
    return send_status(stmt, array, made_for, array_size(apd), bytes, out, 13,
                       "General error: IPD ArrayStatusPtr not set ", "General error: APD Inconsistent array size ");
  });
}

int16_t synch_row_operations_array(void* handle, int32_t bytes, int16_t* in) {
  KY_TRACE(kTraceEntry, "%s(%p,%ld,%p)\n", "synch_row_operations_array", handle, static_cast<long>(bytes),
           static_cast<void*>(in));
  statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(synch_row_operations_array), Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(KY_HANDLER_NAME(synch_row_operations_array), [&]() -> SQLRETURN {
    descriptor_t* ard = current(stmt, DESC_ARD);
    uint16_t* array = ard != nullptr ? ard->status_array : nullptr;
    SQLRETURN rc = take_operations(stmt, array, ard != nullptr ? ard->status_count : 0, array_size(ard), bytes, in,
                                   "General error: ARD Inconsistent array size ");
    if (rc == SQL_SUCCESS && kyvek::odbc::trace_on(kTraceBuffers)) {
      KY_TRACE(kTraceBuffers, "Row Status Array (%lu values):\n", static_cast<unsigned long>(array_size(ard)));
      for (uint64_t i = 0; i < array_size(ard); ++i) {
        if (array[i] == SQL_ROW_PROCEED)
          KY_TRACE(kTraceBuffers, "SQL_ROW_PROCEED\n");
        else if (array[i] == SQL_ROW_IGNORE)
          KY_TRACE(kTraceBuffers, "SQL_ROW_IGNORE\n");
        else
          KY_TRACE(kTraceBuffers, "%u\n", array[i]);
      }
    }
    return rc;
  });
}

int16_t synch_parameter_operations_array(void* handle, int32_t bytes, int16_t* in) {
  KY_TRACE(kTraceEntry, "%s(%p,%ld,%p)\n", "synch_parameter_operations_array", handle, static_cast<long>(bytes),
           static_cast<void*>(in));
  statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(synch_parameter_operations_array), Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(KY_HANDLER_NAME(synch_parameter_operations_array), [&]() -> SQLRETURN {
    descriptor_t* apd = current(stmt, DESC_APD);
    return take_operations(stmt, apd != nullptr ? apd->status_array : nullptr, apd != nullptr ? apd->status_count : 0,
                           array_size(apd), bytes, in, "General error: APD Inconsistent array size ");
  });
}

void copyout_col_strlen_and_ind(statement_t* stmt, int32_t column, uint64_t count, int32_t* octet_bytes,
                                SQLULEN* octet_dst, int32_t* ind_bytes, SQLLEN* ind_dst) {
  const descriptor_t* ard = current(stmt, DESC_ARD);
  const descriptor_record_t* rec =
      ard != nullptr && column >= 0 && column < ard->alloc_records ? &ard->records[column] : nullptr;
  uint64_t want = length_bytes(count);
  auto copy = [&](int32_t* ref, void* dst, const SQLLEN* src, const char* what) {
    if (ref == nullptr || dst == nullptr) return;
    uint64_t n = rec != nullptr && src != nullptr ? want : 0;
    if (rec != nullptr && n > record_length_bytes(rec)) n = record_length_bytes(rec);
    if (*ref < 0)
      n = 0;
    else if (n > static_cast<uint64_t>(*ref))
      n = static_cast<uint64_t>(*ref);
    n -= n % sizeof(SQLLEN);
    if (n > 0) {
      std::memcpy(dst, src, n);
      KY_TRACE(kTraceDetail, what, static_cast<long>(src[0]));
    }
    *ref = static_cast<int32_t>(n);
  };
  copy(octet_bytes, octet_dst, rec != nullptr ? rec->octet_length_array : nullptr, "\tFirst Octet = %ld\n");
  copy(ind_bytes, ind_dst, rec != nullptr ? rec->indicator : nullptr, "\tFirst Indicator = %ld\n");
}

void copyout_param_strlen_and_ind(statement_t* stmt, int32_t parameter, int32_t* octet_bytes, SQLULEN* octet_dst,
                                  int32_t* ind_bytes, SQLLEN* ind_dst) {
  const descriptor_t* apd = current(stmt, DESC_APD);
  const descriptor_record_t* rec =
      apd != nullptr && parameter >= 0 && parameter < apd->alloc_records ? &apd->records[parameter] : nullptr;
  uint64_t want = length_bytes(array_size(apd));
  auto copy = [&](int32_t* ref, void* dst, const SQLLEN* src) {
    if (ref == nullptr || dst == nullptr) return;
    uint64_t n = rec != nullptr && src != nullptr ? want : 0;
    if (rec != nullptr && n > record_length_bytes(rec)) n = record_length_bytes(rec);
    if (*ref < 0)
      n = 0;
    else if (n > static_cast<uint64_t>(*ref))
      n = static_cast<uint64_t>(*ref);
    n -= n % sizeof(SQLLEN);
    if (n > 0) std::memcpy(dst, src, n);
    *ref = static_cast<int32_t>(n);
  };
  copy(octet_bytes, octet_dst, rec != nullptr ? rec->octet_length_array : nullptr);
  copy(ind_bytes, ind_dst, rec != nullptr ? rec->indicator : nullptr);
}

SQLRETURN copyin_param_strlen_and_ind(statement_t* stmt, int32_t parameter, int32_t octet_bytes,
                                      const SQLULEN* octet_src, int32_t ind_bytes, const SQLLEN* ind_src) {
  if (kyvek::odbc::trace_on(kTraceInternal | kTraceEntry))
    KY_TRACE(kTraceInternal | kTraceEntry, "%s(%p,%lu,%ld,%p,%ld,%p)\n", "copyin_param_strlen_and_ind",
             static_cast<void*>(stmt), static_cast<unsigned long>(parameter), static_cast<long>(octet_bytes),
             static_cast<const void*>(octet_src), static_cast<long>(ind_bytes), static_cast<const void*>(ind_src));
  const descriptor_t* apd = current(stmt, DESC_APD);
  if (apd == nullptr || parameter < 0 || parameter > apd->record_count || parameter >= apd->alloc_records) {
    KY_TRACE(kTraceInternal | kTraceExit, "-%s()=SQL_ERROR (parameter not bound)\n", "copyin_param_strlen_and_ind");
    return fail(stmt, sqlstate::kHY000.state, 15, "General error: Parameter %d not bound", parameter);
  }
  descriptor_record_t* rec = &apd->records[parameter];
  uint64_t rows = array_size(apd);
  uint64_t server = length_bytes(rows);
  long server_rows = static_cast<long>(rows < 2 ? 1 : rows);
  uint64_t row_size = row_stride(rec, rec->concise_type, rows);
  bool octets = octet_src != nullptr && octet_bytes != 0;
  bool inds = ind_src != nullptr && ind_bytes != 0;
  // Every check comes before the first copy: a refused call leaves both arrays as they were.
  if (octets) {
    if (octet_bytes < 0 || static_cast<uint64_t>(octet_bytes) != server || server > record_length_bytes(rec)) {
      KY_TRACE(kTraceInternal | kTraceExit, "-%s()=SQL_ERROR (octet length mismatch, client=%ld, server=%ld)\n",
               "copyin_param_strlen_and_ind", static_cast<long>(octet_bytes / 8), server_rows);
      return fail(stmt, sqlstate::kHY000.state, 19,
                  "General error: Parameter %d (octet length) inconsistency. (Client provided %ld, "
                  "Server says %ld)",
                  parameter, static_cast<long>(octet_bytes / 8), server_rows);
    }
    if (rec->octet_length_array == nullptr) {
      KY_TRACE(kTraceInternal | kTraceExit, "-%s()=SQL_ERROR (OctetLengthPtr == NULL", "copyin_param_strlen_and_ind");
      return fail(stmt, sqlstate::kHY000.state, 15, "General error: Parameter %d (OctetLengthPtr = NULL)", parameter);
    }
    if (!lengths_ok(reinterpret_cast<const SQLLEN*>(octet_src), server / 8, row_size, rec->concise_type))
      return fail(stmt, sqlstate::kHY090, 0);
  }
  if (inds) {
    if (ind_bytes < 0 || static_cast<uint64_t>(ind_bytes) != server || server > record_length_bytes(rec)) {
      KY_TRACE(kTraceInternal | kTraceExit, "-%s()=SQL_ERROR (indicator length mismatch, client=%ld, server=%ld)\n",
               "copyin_param_strlen_and_ind", static_cast<long>(ind_bytes / 8), server_rows);
      return fail(stmt, sqlstate::kHY000.state, 19,
                  "General error: Parameter %d (indicator length)inconsistency. (Client provided "
                  "%ld, Server has %ld)",
                  parameter, static_cast<long>(ind_bytes / 8), server_rows);
    }
    if (rec->indicator == nullptr)
      return fail(stmt, sqlstate::kHY000.state, 15, "General error: Parameter %d (IndicatorPtr = NULL)", parameter);
    if (!lengths_ok(ind_src, server / 8, row_size, rec->concise_type)) return fail(stmt, sqlstate::kHY090, 0);
  }
  if (octets) std::memcpy(rec->octet_length_array, octet_src, server);
  if (inds) std::memcpy(rec->indicator, ind_src, server);
  KY_TRACE(kTraceInternal | kTraceExit, "-%s()=SQL_SUCCESS\n", "copyin_param_strlen_and_ind");
  return SQL_SUCCESS;
}

SQLRETURN copyin_col_strlen_and_ind(statement_t* stmt, int32_t column, int32_t octet_bytes, const SQLULEN* octet_src,
                                    int32_t ind_bytes, const SQLLEN* ind_src) {
  const descriptor_t* ard = current(stmt, DESC_ARD);
  if (ard == nullptr || column < 0 || column > ard->record_count || column >= ard->alloc_records)
    return fail(stmt, sqlstate::kHY000.state, 11, "General error: COlumn %d not bound", column);
  descriptor_record_t* rec = &ard->records[column];
  uint64_t rows = array_size(ard);
  uint64_t server = length_bytes(rows);
  long server_rows = static_cast<long>(rows < 2 ? 1 : rows);
  uint64_t row_size = row_stride(rec, rec->concise_type, rows);
  bool octets = octet_src != nullptr && octet_bytes != 0;
  bool inds = ind_src != nullptr && ind_bytes != 0;
  if (octets) {
    if (octet_bytes < 0 || static_cast<uint64_t>(octet_bytes) != server || server > record_length_bytes(rec) ||
        rec->octet_length_array == nullptr)
      return fail(stmt, sqlstate::kHY000.state, 19,
                  "General error: COlumn %d (octet length) inconsistency. (Client provided %ld, "
                  "Server has %ld)",
                  column, static_cast<long>(octet_bytes / 8), server_rows);
    if (!lengths_ok(reinterpret_cast<const SQLLEN*>(octet_src), server / 8, row_size, rec->concise_type))
      return fail(stmt, sqlstate::kHY090, 0);
  }
  if (inds) {
    if (ind_bytes < 0 || static_cast<uint64_t>(ind_bytes) != server || server > record_length_bytes(rec) ||
        rec->indicator == nullptr)
      return fail(stmt, sqlstate::kHY000.state, 19,
                  "General error: COlumn %d (indicator length)inconsistency. (Client provided %ld, "
                  "Server has %ld)",
                  column, static_cast<long>(ind_bytes / 8), server_rows);
    if (!lengths_ok(ind_src, server / 8, row_size, rec->concise_type)) return fail(stmt, sqlstate::kHY090, 0);
  }
  if (octets) std::memcpy(rec->octet_length_array, octet_src, server);
  if (inds) std::memcpy(rec->indicator, ind_src, server);
  return SQL_SUCCESS;
}

SQLRETURN check_bound_param(int32_t parameter, statement_t* stmt, descriptor_t* apd, const char* caller) {
  if (apd == nullptr || parameter < 0 || parameter > apd->record_count || parameter >= apd->alloc_records) {
    if (kyvek::odbc::trace_on(kTraceInternal | kTraceExit))
      KY_TRACE(kTraceInternal | kTraceExit, "-%s()=SQL_ERROR (Parameter %u not bound)\n", caller,
               static_cast<unsigned>(parameter));
    return fail(stmt, sqlstate::kHY000.state, 15, "General error: Parameter %d not bound", parameter);
  }
  if (!has_arrays(&apd->records[parameter])) {
    KY_TRACE(kTraceInternal | kTraceExit, "-%s()=SQL_ERROR (Parameter %u - no bound data, StrLen_or_IndPtr)\n", caller,
             static_cast<unsigned>(parameter));
    return fail(stmt, sqlstate::kHY000.state, 12, "General error: Parameter %d has no bound data/length/indicators",
                parameter);
  }
  return SQL_SUCCESS;
}

}  // extern "C"
