// Column values sent to the server: before a positioned update or a bulk
// operation the client copies its bound column values into the server's ARD
// arrays ("synch_bound_colin" and its typed variants, one column per call),
// and a bookmark into the fetch-bookmark buffer ("synch_bookmark"). The
// driver then reads them. Nothing here calls the driver.
//
// A value array never writes past the server's data array: counts are checked
// against the rows the array was made for and the bytes it holds.
#include <cstring>

#include "handlers.h"
#include "odbc_trace.h"
#include "packing.h"
#include "server_diag.h"
#include "transfer_common.h"

namespace {

using kyvek::odbc::kTraceEntry;
using namespace kyvek::transfer;

// Column check and length copy-in common to the variants. Returns the record,
// or null with the call's result in *rc.
descriptor_record_t* column_in(statement_t* stmt, int16_t column_in, int32_t native_unbound, bool lower, int32_t ob,
                               SQLULEN* oct, int32_t ib, SQLLEN* ind, SQLRETURN* rc) {
  const int32_t column = static_cast<uint16_t>(column_in);
  const descriptor_t* ard = stmt->current_desc[DESC_ARD];
  if (ard == nullptr || column > ard->record_count || column >= ard->alloc_records) {
    *rc = fail(stmt, sqlstate::kHY000.state, native_unbound,
               lower ? "General error: column %d not bound" : "General error: Column %d not bound", column);
    return nullptr;
  }
  descriptor_record_t* rec = &ard->records[column];
  if (!has_arrays(rec)) {
    *rc = fail(stmt, sqlstate::kHY000.state, 12, "General error: Column %d has no bound data/length/indicator", column);
    return nullptr;
  }
  *rc = copyin_col_strlen_and_ind(stmt, column, ob, oct, ib, ind);
  return *rc == SQL_SUCCESS ? rec : nullptr;
}

SQLRETURN inconsistent(statement_t* stmt, int16_t column, long client, const descriptor_record_t* rec,
                       const char* server_word = "has") {
  return fail(stmt, sqlstate::kHY000.state, 19,
              "General error: Column %d inconsistency. (Client provided %ld, Server %s %ld)",
              static_cast<uint16_t>(column), client, server_word, static_cast<long>(rec->row_capacity));
}

// count elements of width bytes, within the rows and bytes of the data array.
bool fits(const descriptor_record_t* rec, int64_t count, uint64_t width) {
  return count >= 0 && rec->data != nullptr && static_cast<uint64_t>(count) <= rec->row_capacity &&
         static_cast<uint64_t>(count) <= rec->data_alloc_len / width;
}

// The fixed-width variants: count values of width bytes.
int16_t colin_fixed(const char* name, void* handle, int16_t column, int64_t count, const void* values, uint64_t width,
                    int32_t native_unbound, const char* server_word, int32_t ob, SQLULEN* oct, int32_t ib,
                    SQLLEN* ind) {
  statement_t* stmt = enter<statement_t>(handle, name, Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(name, [&]() -> SQLRETURN {
    SQLRETURN rc;
    descriptor_record_t* rec = column_in(stmt, column, native_unbound, false, ob, oct, ib, ind, &rc);
    if (rec == nullptr) return rc;
    // A byte count of no whole number of values (count -1) is refused too.
    if (count < 0 || (count > 0 && (values == nullptr || !fits(rec, count, width))))
      return inconsistent(stmt, column, static_cast<long>(count), rec, server_word);
    if (count > 0) std::memcpy(rec->data, values, static_cast<uint64_t>(count) * width);
    return SQL_SUCCESS;
  });
}

// Result of an unpacker as a handler result (its diagnostic is posted).
int16_t unpacked(int rc) { return rc == 0 ? SQL_SUCCESS : SQL_ERROR; }

// The structured variants fill the ARD's rows; the array must hold them.
bool rows_fit(const descriptor_record_t* rec, uint64_t rows, uint64_t size) {
  return rec->data != nullptr && rows <= rec->row_capacity && rows <= rec->data_alloc_len / size;
}

}  // namespace

extern "C" {

int16_t synch_bound_colin(void* handle, int16_t column, int32_t bytes, char* data, int32_t ob, SQLULEN* oct, int32_t ib,
                          SQLLEN* ind) {
  statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(synch_bound_colin), Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(KY_HANDLER_NAME(synch_bound_colin), [&]() -> SQLRETURN {
    SQLRETURN rc;
    descriptor_record_t* rec = column_in(stmt, column, 11, false, ob, oct, ib, ind, &rc);
    if (rec == nullptr) return rc;
    if (bytes > 0 && data != nullptr) {
      if (rec->data == nullptr || static_cast<uint64_t>(bytes) > rec->data_alloc_len)
        return fail(stmt, sqlstate::kHY000.state, 35,
                    "General error: Internal server error, Column buffer too small (%lu/%lu)",
                    static_cast<unsigned long>(rec->data_alloc_len), static_cast<unsigned long>(bytes));
      std::memcpy(rec->data, data, static_cast<uint64_t>(bytes));
    }
    return check_terminated(stmt, rec, rec->concise_type, ard_rows(stmt));
  });
}

int16_t synch_bound_colin_integer(void* handle, int16_t column, int32_t bytes, int32_t* values, int32_t ob,
                                  SQLULEN* oct, int32_t ib, SQLLEN* ind) {
  if (bytes % 4 != 0) bytes = -1;
  return colin_fixed(KY_HANDLER_NAME(synch_bound_colin_integer), handle, column, bytes < 0 ? -1 : bytes / 4, values, 4,
                     11, "has", ob, oct, ib, ind);
}

int16_t synch_bound_colin_smallint(void* handle, int16_t column, int32_t bytes, int16_t* values, int32_t ob,
                                   SQLULEN* oct, int32_t ib, SQLLEN* ind) {
  if (bytes % 2 != 0) bytes = -1;
  return colin_fixed(KY_HANDLER_NAME(synch_bound_colin_smallint), handle, column, bytes < 0 ? -1 : bytes / 2, values, 2,
                     11, "has", ob, oct, ib, ind);
}

int16_t synch_bound_colin_float(void* handle, int16_t column, int32_t count, float* values, int32_t ob, SQLULEN* oct,
                                int32_t ib, SQLLEN* ind) {
  return colin_fixed(KY_HANDLER_NAME(synch_bound_colin_float), handle, column, count, values, 4, 12, "says", ob, oct,
                     ib, ind);
}

int16_t synch_bound_colin_double(void* handle, int16_t column, int32_t count, double* values, int32_t ob, SQLULEN* oct,
                                 int32_t ib, SQLLEN* ind) {
  return colin_fixed(KY_HANDLER_NAME(synch_bound_colin_double), handle, column, count, values, 8, 12, "has", ob, oct,
                     ib, ind);
}

int16_t synch_bound_colin_numeric(void* handle, int16_t column, int32_t bytes, char* records, int32_t ob, SQLULEN* oct,
                                  int32_t ib, SQLLEN* ind) {
  statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(synch_bound_colin_numeric), Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(KY_HANDLER_NAME(synch_bound_colin_numeric), [&]() -> SQLRETURN {
    SQLRETURN rc;
    descriptor_record_t* rec = column_in(stmt, column, 12, false, ob, oct, ib, ind, &rc);
    if (rec == nullptr) return rc;
    const uint64_t n = ard_rows(stmt);
    const int64_t sent = bytes > 0 ? bytes / KY_NUMERIC_RECORD_BYTES : 0;
    if (static_cast<uint64_t>(sent) > rec->row_capacity || !rows_fit(rec, n, KY_NUMERIC_SIZE))
      return inconsistent(stmt, column, static_cast<long>(sent), rec);
    // Rows come in consecutive records; rows beyond the bytes sent are refused
    // after the earlier rows are written.
    const uint64_t whole = static_cast<uint64_t>(sent) < n ? static_cast<uint64_t>(sent) : n;
    if (whole > 0) std::memcpy(rec->data, records, whole * KY_NUMERIC_RECORD_BYTES);
    if (whole < n) return fail(stmt, sqlstate::kHY000.state, 36, "General error: Buffer overrun.");
    return SQL_SUCCESS;
  });
}

int16_t synch_bound_colin_date(void* handle, int16_t column, int32_t yb, int16_t* years, int32_t pb, int16_t* pairs,
                               int32_t ob, SQLULEN* oct, int32_t ib, SQLLEN* ind) {
  statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(synch_bound_colin_date), Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(KY_HANDLER_NAME(synch_bound_colin_date), [&]() -> SQLRETURN {
    SQLRETURN rc;
    descriptor_record_t* rec = column_in(stmt, column, 12, false, ob, oct, ib, ind, &rc);
    if (rec == nullptr) return rc;
    const uint64_t n = ard_rows(stmt);
    const long ny = yb > 0 ? yb / 2 : 0, np = pb > 0 ? pb / 4 : 0;
    if (static_cast<uint64_t>(ny) > rec->row_capacity || static_cast<uint64_t>(np) > rec->row_capacity ||
        !rows_fit(rec, n, KY_DATE_SIZE))
      return fail(stmt, sqlstate::kHY000.state, 19,
                  "General error: Column %d inconsistency. (Client provided %ld/%ld, Server has %ld)",
                  static_cast<uint16_t>(column), ny, np, static_cast<long>(rec->row_capacity));
    return unpacked(unpack_dates(&stmt->diags, rec->data, rec->data_alloc_len, n, years, yb, pairs, pb));
  });
}

int16_t synch_bound_colin_time(void* handle, int16_t column, int32_t bytes, int16_t* triples, int32_t ob, SQLULEN* oct,
                               int32_t ib, SQLLEN* ind) {
  statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(synch_bound_colin_time), Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(KY_HANDLER_NAME(synch_bound_colin_time), [&]() -> SQLRETURN {
    SQLRETURN rc;
    descriptor_record_t* rec = column_in(stmt, column, 12, false, ob, oct, ib, ind, &rc);
    if (rec == nullptr) return rc;
    const uint64_t n = ard_rows(stmt);
    const long nt = bytes > 0 ? bytes / 6 : 0;
    if (static_cast<uint64_t>(nt) > rec->row_capacity || !rows_fit(rec, n, KY_TIME_SIZE))
      return fail(stmt, sqlstate::kHY000.state, 19,
                  "General error: column %d inconsistency. (Client provided %ld, Server has %ld)",
                  static_cast<uint16_t>(column), nt, static_cast<long>(rec->row_capacity));
    return unpacked(unpack_times(&stmt->diags, rec->data, rec->data_alloc_len, n, triples, bytes));
  });
}

int16_t synch_bound_colin_interval(void* handle, int16_t column, int32_t sb, int32_t* stream, int32_t pb,
                                   int16_t* pairs, int32_t ob, SQLULEN* oct, int32_t ib, SQLLEN* ind) {
  statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(synch_bound_colin_interval), Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(KY_HANDLER_NAME(synch_bound_colin_interval), [&]() -> SQLRETURN {
    SQLRETURN rc;
    descriptor_record_t* rec = column_in(stmt, column, 12, true, ob, oct, ib, ind, &rc);
    if (rec == nullptr) return rc;
    const uint64_t n = ard_rows(stmt);
    const long ns = sb > 0 ? sb / KY_INTERVAL_STREAM_BYTES : 0, np = pb > 0 ? pb / 4 : 0;
    if (sb < 0 || sb % KY_INTERVAL_STREAM_BYTES != 0 || static_cast<uint64_t>(ns) != rec->row_capacity ||
        static_cast<uint64_t>(np) > rec->row_capacity || !rows_fit(rec, n, KY_INTERVAL_SIZE))
      return fail(stmt, sqlstate::kHY000.state, 19,
                  "General error: Column %d inconsistency. (Client provided %ld/%ld, Server has %ld)",
                  static_cast<uint16_t>(column), ns, np, static_cast<long>(rec->row_capacity));
    return unpacked(unpack_intervals(&stmt->diags, rec->data, rec->data_alloc_len, n, pairs, pb, stream, sb));
  });
}

int16_t synch_bound_colin_timestamp(void* handle, int16_t column, int32_t qb, int16_t* quintuples, int32_t yb,
                                    int16_t* years, int32_t fb, int32_t* fractions, int32_t ob, SQLULEN* oct,
                                    int32_t ib, SQLLEN* ind) {
  statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(synch_bound_colin_timestamp), Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(KY_HANDLER_NAME(synch_bound_colin_timestamp), [&]() -> SQLRETURN {
    SQLRETURN rc;
    descriptor_record_t* rec = column_in(stmt, column, 12, false, ob, oct, ib, ind, &rc);
    if (rec == nullptr) return rc;
    const uint64_t n = ard_rows(stmt);
    const long nq = qb > 0 ? qb / 10 : 0, ny = yb > 0 ? yb / 2 : 0, nf = fb > 0 ? fb / 4 : 0;
    const auto c = static_cast<long>(rec->row_capacity);
    if (nq != c || ny != c || nf != c || !rows_fit(rec, n, KY_TIMESTAMP_SIZE))
      return fail(stmt, sqlstate::kHY000.state, 19,
                  "General error: Column %d inconsistency. (Client provided %ld/%ld/%ld, Server has %ld)",
                  static_cast<uint16_t>(column), nq, ny, nf, c);
    return unpacked(
        unpack_timestamps(&stmt->diags, rec->data, rec->data_alloc_len, n, years, yb, quintuples, qb, fractions, fb));
  });
}

int16_t synch_bookmark(void* handle, int32_t bytes, char* data) {
  const char* name = KY_HANDLER_NAME(synch_bookmark);
  KY_TRACE(kTraceEntry, "%s(%p,%ld,%p)\n", name, handle, static_cast<long>(bytes), static_cast<void*>(data));
  statement_t* stmt = enter<statement_t>(handle, name, Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(KY_HANDLER_NAME(synch_bookmark), [&](Exit& exit) -> SQLRETURN {
    const char* text = "General error: Inconsistent SQL_ATTR_FETCH_BOOKMARK_PTR in client and server VEK";
    if (stmt->bookmark_buf == nullptr) {
      exit.because("SQL_ATTR_FETCH_BOOKMARK_PTR not set");
      return fail(stmt, sqlstate::kHY000.state, 19, "%s", text);
    }
    const connection_t* dbc = veks_stmt_dbc(stmt);
    uint64_t limit = stmt->bookmark_size;
    if (dbc != nullptr && dbc->max_bookmark_size < limit) limit = dbc->max_bookmark_size;
    if (bytes < 0 || static_cast<uint64_t>(bytes) > limit || (bytes > 0 && data == nullptr)) {
      exit.because("bookmark length > max supported bookmark size");
      return fail(stmt, sqlstate::kHY000.state, 19, "%s", text);
    }
    // The driver may read more of the buffer than the bookmark it reported:
    // what follows the bookmark is zeros, never a byte of an earlier one.
    if (bytes > 0) std::memcpy(stmt->bookmark_buf, data, static_cast<uint64_t>(bytes));
    std::memset(static_cast<char*>(stmt->bookmark_buf) + bytes, 0, stmt->bookmark_size - static_cast<uint64_t>(bytes));
    return SQL_SUCCESS;
  });
}

}  // extern "C"
