// Data at execution: SQLParamData names the parameter (or column) the server
// waits for, SQLPutData sends its value, in as many pieces as the application
// likes, until SQLParamData ends the exchange. The driver keeps only which
// call started it and which number is current; the server keeps the rest.
#include <cstdlib>
#include <cstring>

#include "packing.h"
#include "remote.h"
#include "api.h"
#include "sql_types.h"
#include "statements.h"
#include "trace.h"

using namespace kyvek::driver;

namespace {

bool on_columns(const client_stmt* stmt) {
  return stmt->need_data_source == NEED_DATA_SETPOS || stmt->need_data_source == NEED_DATA_BULK;
}

}  // namespace

namespace kyvek::driver::api {

SQLRETURN param_data(SQLHSTMT handle, SQLPOINTER* value) {
  TRACE(kTraceEntry, "%s(%p,%p)\n", "SQLParamData", handle, static_cast<void*>(value));
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (ParamData)");
  if (rc != SQL_SUCCESS) return rc;
  int16_t number = 0;
  rc = remote_sql_param_data(c.rpc(), c.server(), &number);
  const bool columns = on_columns(c.stmt);
  if (rc == SQL_NEED_DATA) {
    if (columns) TRACE(kTraceDetail, "\tLast API SQLSetPos/SQLBulkOperations\n");
    client_desc* d = cur_desc(c.stmt, columns ? DESC_ARD : DESC_APD);
    if (vekc_chk_handle(kDesc, d)) return c.fail(5, sqlstate::kHY000.state, "General error: Internal AxD invalid");
    const int n = static_cast<uint16_t>(number);
    if (n > d->bound_count || n >= d->n_descrec)
      return c.failf(18, sqlstate::kHY000.state, "General error: Parameter/Column %u not bound (ParamData)", n);
    client_desc_rec* rec = &d->records[n];
    if (std::memcmp(rec->tag, "DESR", 4))
      return c.fail(5, sqlstate::kHY000.state, "General error: Internal descriptor record invalid");
    if (value) *value = rec->data_ptr;
    c.x->need_data_number = n;
    // With a parameter array the count tells the application which set the
    // value is for: keep it current while the data goes in.
    client_desc* ipd = cur_desc(c.stmt, DESC_IPD);
    if (!columns && ipd && ipd->rows_processed_ptr) fetch_processed_counts(c, nullptr, ipd->rows_processed_ptr);
    TRACE(kTraceDetail, "\tSaving paramdata column/parameter %d\n", n);
    return rc;
  }
  if (rc_ok(rc) || rc == SQL_ERROR || rc == SQL_NO_DATA) {
    client_desc *ird = cur_desc(c.stmt, DESC_IRD), *ipd = cur_desc(c.stmt, DESC_IPD);
    if (!rc_ok(rc)) {
      // The exchange ended in failure: the count and the statuses still tell
      // which sets ran and how; the records stay the execution's.
      if (!columns && ipd && ipd->rows_processed_ptr) fetch_processed_counts(c, nullptr, ipd->rows_processed_ptr);
      if (!columns && ipd && ipd->array_status_ptr) fetch_parameter_status_array(c);
    } else if (columns) {
      if (ird && ((c.stmt->fetch_kind == FETCH_EXTENDED && ird->ext_status_ptr) ||
                  (c.stmt->fetch_kind != FETCH_EXTENDED && ird->array_status_ptr))) {
        SQLRETURN src = fetch_row_status_array(c);
        if (src >= 2 || src < 0) return src;
      }
      if (ird && ird->rows_processed_ptr) {
        SQLRETURN prc = fetch_processed_counts(c, ird->rows_processed_ptr, nullptr);
        if (prc >= 2 || prc < 0) return prc;
      }
    } else {
      vek_new_result_set(c.stmt, 0, rc);
      SQLRETURN step = SQL_SUCCESS;
      if (ipd && ipd->rows_processed_ptr) step = fetch_processed_counts(c, nullptr, ipd->rows_processed_ptr);
      if (step == SQL_SUCCESS && ipd && ipd->array_status_ptr) step = fetch_parameter_status_array(c);
      // Output parameters come back after data-at-execution inputs too.
      if (step == SQL_SUCCESS) step = fetch_bound_parameters(c);
      if (step != SQL_SUCCESS) rc = step;
    }
    c.x->need_data_number = -1;
  }
  TRACE(kTraceExit, "-%s()=%d (returned parameter: %p)\n", "SQLParamData", rc, value ? *value : nullptr);
  return rc;
}

SQLRETURN put_data(SQLHSTMT handle, SQLPOINTER data, SQLLEN len) {
  TRACE(kTraceEntry, "%s(%p,%p,%ld)\n", "SQLPutData", handle, data, static_cast<long>(len));
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (PutData)");
  if (rc != SQL_SUCCESS) return rc;
  if (data) {
    if (len < 0 && len != SQL_NTS && len != SQL_NULL_DATA) return c.fail(0, sqlstate::kHY090);
  } else if (len != 0 && len != SQL_DEFAULT_PARAM && len != SQL_NULL_DATA) {
    return c.fail(0, sqlstate::kHY009);
  }
  if (c.x->need_data_number < 0) return c.fail(0, sqlstate::kHY010);
  const bool columns = on_columns(c.stmt);
  client_desc* ad = cur_desc(c.stmt, columns ? DESC_ARD : DESC_APD);
  client_desc* id = cur_desc(c.stmt, columns ? DESC_IRD : DESC_IPD);
  if (vekc_chk_handle(kDesc, ad) || vekc_chk_handle(kDesc, id))
    return c.failf(5, sqlstate::kHY000.state, "General error: Internal descriptor invalid %p/%p (ParamData)",
                   static_cast<void*>(ad), static_cast<void*>(id));
  const int n = c.x->need_data_number;
  if (n > ad->bound_count || n >= ad->n_descrec)
    return c.fail(16, sqlstate::kHY000.state, "General error: Parameter not bound (ParamData)");
  client_desc_rec* arec = &ad->records[n];
  client_desc_rec* irec = desc_rec(id, n);
  if (std::memcmp(arec->tag, "DESR", 4) || !irec || std::memcmp(irec->tag, "DESR", 4))
    return c.failf(5, sqlstate::kHY000.state, "General error: Internal descriptor record %p/%p (ParamData)",
                   static_cast<void*>(arec), static_cast<void*>(irec));
  int16_t t = arec->concise_type;
  uint64_t bytes = 0;
  SQLLEN sent_len = len;
  const bool no_value = len == SQL_NULL_DATA || len == SQL_DEFAULT_PARAM;
  if (t == SQL_C_DEFAULT && sqltype2ctype(irec->concise_type, &t) != 0) t = SQL_C_DEFAULT;
  if (no_value) {
    bytes = 0;
  } else if (len == SQL_NTS) {
    // The text with its terminator (a 16-bit unit for wide text).
    bytes = nts_bytes(t, data, UINT32_MAX);
  } else {
    const int64_t fixed = get_type_len(t, len, 0);
    if (fixed < 0)
      return c.failf(5, sqlstate::kHY000.state,
                     "General error: Cannot determine length of datatype %d, OctetLength=%ld (SQLPutData)", t,
                     static_cast<long>(len));
    // Character, binary and wide character data: the application's length.
    bytes = fixed > 0 ? static_cast<uint64_t>(fixed) : static_cast<uint64_t>(len);
  }
  if (bytes > INT32_MAX) return c.fail(0, sqlstate::kHY001);
  RpcHandle* h = c.rpc();
  void* s = c.server();
  // Fixed-size values without a value travel as zeros; nothing is read.
  alignas(8) char zero[32] = {};
  const void* v = data && !no_value ? data : zero;
  diag_header* errp = c.diags();
  switch (no_value && arec->concise_type == SQL_C_DEFAULT ? SQL_C_DEFAULT : t) {
    case SQL_C_NUMERIC: {
      char* recs = nullptr;
      int32_t rb = 0;
      if (pack_numerics(errp, v, KY_NUMERIC_SIZE, 1, &recs, &rb, 0) != 0) return SQL_ERROR;
      rc = remote_put_data_numeric(h, s, rb, recs, sent_len);
      std::free(recs);
      break;
    }
    case SQL_C_LONG:
    case SQL_C_ULONG:
    case SQL_C_SLONG: {
      int32_t x;
      std::memcpy(&x, v, 4);
      rc = remote_put_data_integer(h, s, x, sent_len);
      break;
    }
    case SQL_C_SHORT:
    case SQL_C_USHORT:
    case SQL_C_SSHORT: {
      int16_t x;
      std::memcpy(&x, v, 2);
      rc = remote_put_data_smallint(h, s, x, sent_len);
      break;
    }
    case SQL_C_FLOAT: {
      float x;
      std::memcpy(&x, v, 4);
      rc = remote_put_data_float(h, s, x, sent_len);
      break;
    }
    case SQL_C_DOUBLE: {
      double x;
      std::memcpy(&x, v, 8);
      rc = remote_put_data_double(h, s, x, sent_len);
      break;
    }
    case SQL_C_DATE:
    case SQL_C_TYPE_DATE: {
      SQL_DATE_STRUCT d;
      std::memcpy(&d, v, sizeof d);
      const int16_t md[2] = {static_cast<int16_t>(d.month), static_cast<int16_t>(d.day)};
      rc = remote_put_data_date(h, s, d.year, md, sent_len);
      break;
    }
    case SQL_C_TIME:
    case SQL_C_TYPE_TIME: {
      SQL_TIME_STRUCT d;
      std::memcpy(&d, v, sizeof d);
      const int16_t f[3] = {static_cast<int16_t>(d.hour), static_cast<int16_t>(d.minute),
                            static_cast<int16_t>(d.second)};
      rc = remote_put_data_time(h, s, f, sent_len);
      break;
    }
    case SQL_C_TIMESTAMP:
    case SQL_C_TYPE_TIMESTAMP: {
      SQL_TIMESTAMP_STRUCT d;
      std::memcpy(&d, v, sizeof d);
      const int16_t f[5] = {static_cast<int16_t>(d.month), static_cast<int16_t>(d.day), static_cast<int16_t>(d.hour),
                            static_cast<int16_t>(d.minute), static_cast<int16_t>(d.second)};
      rc = remote_put_data_timestamp(h, s, d.year, f, static_cast<int32_t>(d.fraction), sent_len);
      break;
    }
    default:
      if (is_interval_type(t)) {
        SQL_INTERVAL_STRUCT iv;
        std::memcpy(&iv, v, sizeof iv);
        if (no_value) iv.interval_type = static_cast<SQLINTERVAL>(t - 100);
        int32_t* stream = nullptr;
        int16_t* pairs = nullptr;
        int32_t sb = 0, pb = 0;
        int prc = pack_intervals(errp, &iv, sizeof iv, 1, &stream, &sb, &pairs, &pb, 0);
        if (prc == -2) return c.fail(14, sqlstate::kHY000.state, "General error: Invalid interval type");
        if (prc != 0) return SQL_ERROR;
        rc = remote_put_data_interval(h, s, stream, pairs, sent_len);
        std::free(stream), std::free(pairs);
      } else {
        rc = remote_sql_put_data(h, s, static_cast<int32_t>(bytes), bytes ? data : nullptr, sent_len);
      }
      break;
  }
  return rc;
}

}  // namespace kyvek::driver::api
