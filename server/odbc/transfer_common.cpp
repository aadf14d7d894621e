// Shared helpers of the transfer handlers (see transfer_common.h).
#include "transfer_common.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "handler_util.h"
#include "server_diag.h"
#include "sql_types.h"

namespace kyvek::transfer {

SQLRETURN fail(statement_t* stmt, const char* sqlstate, int32_t native, const char* format, ...) {
  char text[KY_MAX_DIAG_MESSAGE + 1];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  veks_post(&stmt->diags, veks_stmt_dbc(stmt), sqlstate, native, "%s", text);
  set_return_code(&stmt->diags, SQL_ERROR);
  return SQL_ERROR;
}

SQLRETURN fail(statement_t* stmt, const sqlstate::Row& state, int32_t native) {
  return fail(stmt, state.state, native, "%s", state.text);
}

uint64_t array_size(const descriptor_t* desc) { return desc != nullptr ? desc->array_size : 0; }

uint64_t fetched_rows(const statement_t* stmt) {
  const descriptor_t* ard = stmt->current_desc[DESC_ARD];
  if (ard == nullptr) return 0;
  return stmt->fetch_kind == FETCH_EXTENDED ? ard->ext_rowset_size : ard->array_size;
}

uint64_t length_bytes(uint64_t rows) { return (rows < 2 ? 1 : rows) * sizeof(SQLLEN); }

namespace {
uint64_t at_least_one(uint64_t n) { return n < 1 ? 1 : n; }
}  // namespace

uint64_t ard_rows(const statement_t* stmt) { return at_least_one(array_size(stmt->current_desc[DESC_ARD])); }
uint64_t apd_rows(const statement_t* stmt) { return at_least_one(array_size(stmt->current_desc[DESC_APD])); }

bool data_holds(const descriptor_record_t* rec, uint64_t rows, uint64_t width) {
  return rec->data != nullptr && rows <= rec->data_alloc_len / width;
}

bool has_arrays(const descriptor_record_t* rec) {
  return rec->data != nullptr || rec->octet_length_array != nullptr || rec->indicator != nullptr;
}

uint64_t record_length_bytes(const descriptor_record_t* rec) {
  uint64_t rows = rec->row_capacity < 1 ? 1 : rec->row_capacity;
  return rows * sizeof(SQLLEN);
}

uint64_t row_stride(const descriptor_record_t* rec, int16_t ctype, uint64_t rows) {
  int64_t fixed = get_type_len(ctype, 0, 0);
  if (fixed > 0) return static_cast<uint64_t>(fixed);
  // A single row owns the whole array (the driver may be told all of it).
  if (rows < 2 && rec->data_alloc_len > 0) return rec->data_alloc_len;
  if (rec->octet_length > 0) return static_cast<uint64_t>(rec->octet_length);
  return rows < 2 ? rec->data_alloc_len : rec->data_alloc_len / rows;
}

bool length_value_ok(SQLLEN v, uint64_t row_size) {
  if (v >= 0) return static_cast<uint64_t>(v) <= row_size;
  return v == SQL_NTS || v == SQL_NULL_DATA || v == SQL_DATA_AT_EXEC || v == SQL_DEFAULT_PARAM ||
         v == SQL_COLUMN_IGNORE || v <= SQL_LEN_DATA_AT_EXEC_OFFSET;
}

namespace {

bool wide_type(int16_t ctype) { return ctype == SQL_C_WCHAR || ctype == -9 || ctype == -10; }

// A terminator (one byte, or one 16-bit unit for wide text) inside [p, p + n).
bool terminated(const char* p, uint64_t n, bool wide) {
  if (!wide) return std::memchr(p, 0, n) != nullptr;
  for (uint64_t i = 0; i + 1 < n; i += 2)
    if (p[i] == 0 && p[i + 1] == 0) return true;
  return false;
}

}  // namespace

SQLRETURN check_terminated(statement_t* stmt, descriptor_record_t* rec, int16_t ctype, uint64_t rows) {
  if (ctype != SQL_C_CHAR && !wide_type(ctype)) return SQL_SUCCESS;
  if (rec->octet_length_array == nullptr) return SQL_SUCCESS;
  uint64_t n = rows < 1 ? 1 : rows;
  if (n > rec->row_capacity && rec->row_capacity > 0) n = rec->row_capacity;
  uint64_t stride = row_stride(rec, ctype, rows);
  bool bad = false;
  for (uint64_t i = 0; i < n; ++i) {
    if (rec->octet_length_array[i] != SQL_NTS) continue;
    const char* base = static_cast<const char*>(rec->data);
    bool ok = base != nullptr && stride > 0 && i * stride < rec->data_alloc_len;
    if (ok) {
      uint64_t span = rec->data_alloc_len - i * stride;
      ok = terminated(base + i * stride, span < stride ? span : stride, wide_type(ctype));
    }
    if (!ok) {
      rec->octet_length_array[i] = 0;
      bad = true;
    }
  }
  if (bad) return fail(stmt, sqlstate::kHY090, 0);
  return SQL_SUCCESS;
}

}  // namespace kyvek::transfer
