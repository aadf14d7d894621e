// One-call column metadata: "describe_col_all" (name, type, size, digits and
// nullability of every result column from the IRD), "get_all_col_types" (the
// SQL type of every column, bookmark included, from the driver) and
// "get_attributes_all" (a list of column attributes as texts). Every output
// stays within the capacity the peer announced; texts are measured in the
// buffer, never taken from a length the driver reports.
#include <cstdio>
#include <cstring>

#include "handlers.h"
#include "odbc_trace.h"
#include "record_lists.h"
#include "server_diag.h"
#include "transfer_common.h"

namespace {

using kyvek::odbc::kTraceDetail;
using kyvek::odbc::kTraceEntry;
using namespace kyvek::transfer;

constexpr size_t kNameBuffer = 256;

// An out array of the peer holds k elements of width bytes.
bool holds(const int32_t* bytes, const void* p, uint64_t k, uint64_t width) {
  return p != nullptr && *bytes >= 0 && static_cast<uint64_t>(*bytes) / width >= k;
}

// Appends text and its terminator; false when the buffer has no room.
bool append(char* out, int32_t cap, int32_t* used, const char* text, size_t len) {
  if (cap < 0 || static_cast<uint64_t>(*used) + len + 1 > static_cast<uint64_t>(cap)) return false;
  std::memcpy(out + *used, text, len);
  out[*used + static_cast<int32_t>(len)] = '\0';
  *used += static_cast<int32_t>(len) + 1;
  return true;
}

}  // namespace

extern "C" {

int16_t describe_col_all(void* handle, int16_t count_in, int32_t* names_len, char* names, int32_t* types_b,
                         int16_t* types, int32_t* sizes_b, int32_t* sizes, int32_t* digits_b, int16_t* digits,
                         int32_t* nulls_b, int16_t* nulls) {
  const char* name = KY_HANDLER_NAME(describe_col_all);
  KY_TRACE(kTraceEntry, "%s(%p,%u,%ld,%p,%ld,%p,%ld,%p,%ld,%p)\n", name, handle,
           static_cast<unsigned>(static_cast<uint16_t>(count_in)), static_cast<long>(*names_len),
           static_cast<void*>(names), static_cast<long>(*types_b), static_cast<void*>(types),
           static_cast<long>(*sizes_b), static_cast<void*>(sizes), static_cast<long>(*digits_b),
           static_cast<void*>(digits));
  const int32_t caps[5] = {*names_len, *types_b, *sizes_b, *digits_b, *nulls_b};
  *names_len = *types_b = *sizes_b = *digits_b = *nulls_b = 0;
  statement_t* stmt = enter<statement_t>(handle, name, Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(name, [&](Exit& exit) -> SQLRETURN {
    SQLSMALLINT driver_count = 0;
    SQLRETURN rc = SQLNumResultCols(stmt->driver_stmt, &driver_count);
    if (!SQL_SUCCEEDED(rc)) {
      exit.because("SQLNumResultCols failed");
      return rc;
    }
    if (!(stmt->flags & STMT_DESCRIBED)) {
      rc = veks_new_result_set(stmt, SQL_SUCCESS);
      if (!SQL_SUCCEEDED(rc)) return rc;
    }
    const descriptor_t* ird = stmt->current_desc[DESC_IRD];
    const uint32_t k = static_cast<uint16_t>(count_in);
    if (ird == nullptr || k >= static_cast<uint32_t>(ird->alloc_records < 0 ? 0 : ird->alloc_records)) {
      exit.because("Client asked for %u columns but only %d ARD records", k, ird != nullptr ? ird->alloc_records : 0);
      return fail(stmt, sqlstate::k07009, 0);
    }
    if (static_cast<uint32_t>(driver_count) != k) {
      exit.because("Client requested %u columns, driver has %u", k, static_cast<unsigned>(driver_count));
      return fail(stmt, sqlstate::kHY000.state, 37, "General error: Mismatched number of columns (%u and %u)",
                  static_cast<unsigned>(driver_count), k);
    }
    if (k == 0) return SQL_SUCCESS;
    if (!holds(&caps[1], types, k, 2) || !holds(&caps[2], sizes, k, 4) || !holds(&caps[3], digits, k, 2) ||
        !holds(&caps[4], nulls, k, 2) || !holds(&caps[0], names, k, 1)) {
      exit.because("buffer too small for number of columns");
      return fail(stmt, sqlstate::kHY000.state, 38, "General error: Internal buffer too small");
    }
    const uint64_t slot = static_cast<uint64_t>(caps[0]) / k;
    uint64_t written = 0;
    for (uint32_t c = 1; c <= k; ++c) {
      const descriptor_record_t* rec = &ird->records[c];
      types[c - 1] = rec->concise_type;
      const int64_t size = rec->octet_length;
      sizes[c - 1] = static_cast<int32_t>(size > INT32_MAX ? INT32_MAX : size < 0 ? 0 : size);
      digits[c - 1] = rec->scale;
      nulls[c - 1] = rec->nullable;
      uint64_t len = strnlen(rec->name, sizeof rec->name);
      if (rec->name_length >= 0 && static_cast<uint64_t>(rec->name_length) < len)
        len = static_cast<uint64_t>(rec->name_length);
      if (len > slot - 1) len = slot - 1;
      std::memcpy(names + written, rec->name, len);
      names[written + len] = '\0';
      written += len + 1;
      KY_TRACE(kTraceDetail, "\tcolumn=%d name(len=%d)=%s type=%d\n", c, static_cast<int>(len),
               len > 0 ? rec->name : "<zero length>", rec->concise_type);
    }
    *names_len = static_cast<int32_t>(written + 1 <= static_cast<uint64_t>(caps[0]) ? written + 1 : written);
    *types_b = static_cast<int32_t>(2 * k);
    *sizes_b = static_cast<int32_t>(4 * k);
    *digits_b = static_cast<int32_t>(2 * k);
    *nulls_b = static_cast<int32_t>(2 * k);
    return SQL_SUCCESS;
  });
}

int16_t get_all_col_types(void* handle, int32_t* bytes, int16_t* types) {
  const char* name = KY_HANDLER_NAME(get_all_col_types);
  KY_TRACE(kTraceEntry, "%s(%p,%ld,%p)\n", name, handle, static_cast<long>(*bytes), static_cast<void*>(types));
  const int32_t cap = *bytes;
  *bytes = 0;
  statement_t* stmt = enter<statement_t>(handle, name, Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(name, [&](Exit& exit) -> SQLRETURN {
    if (!(stmt->flags & STMT_DESCRIBED)) (void)veks_new_result_set(stmt, SQL_SUCCESS);
    const int32_t elements = types != nullptr && cap > 0 ? cap / 2 : 0;
    int32_t c = 0;
    for (; c <= stmt->result_columns && c < elements; ++c) {
      char col_name[kNameBuffer] = {};
      SQLSMALLINT name_len = 0, type = 0, dec = 0, nullable = 0;
      SQLULEN size = 0;
      SQLRETURN rc =
          SQLDescribeCol(stmt->driver_stmt, static_cast<SQLUSMALLINT>(c), reinterpret_cast<SQLCHAR*>(col_name),
                         sizeof col_name, &name_len, &type, &size, &dec, &nullable);
      if (SQL_SUCCEEDED(rc)) {
        types[c] = type;
      } else if (c == 0) {
        types[c] = SQL_VARBINARY;
      } else {
        exit.because("SQLDescribeCol failed for column %d", c);
        return rc;
      }
      if (c > 0) KY_TRACE(kTraceDetail, "\tcolumn=%d name(len=%d)=%s type=%d\n", c, name_len, col_name, types[c]);
    }
    *bytes = 2 * c;
    return SQL_SUCCESS;
  });
}

int32_t get_attributes_all(void* handle, int32_t ids_bytes, int16_t* ids, int16_t* column_count, int32_t* texts_len,
                           char* texts) {
  const char* name = KY_HANDLER_NAME(get_attributes_all);
  KY_TRACE(kTraceEntry, "%s(%p,%ld,%p,%p,%ld,%p)\n", name, handle, static_cast<long>(ids_bytes),
           static_cast<void*>(ids), static_cast<void*>(column_count), static_cast<long>(*texts_len),
           static_cast<void*>(texts));
  const int32_t cap = texts != nullptr ? *texts_len : 0;
  *texts_len = 0;
  statement_t* stmt = enter<statement_t>(handle, name, Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(name, [&](Exit& exit) -> SQLRETURN {
    SQLSMALLINT cols = 0;
    SQLRETURN rc = SQLNumResultCols(stmt->driver_stmt, &cols);
    if (!SQL_SUCCEEDED(rc)) {
      exit.because("SQLNumResultCols failed");
      return rc;
    }
    *column_count = cols;
    KY_TRACE(kTraceDetail, "Getting attributes for %d columns\n", cols);
    const int32_t nids = ids != nullptr && ids_bytes > 0 ? ids_bytes / 2 : 0;
    int32_t used = 0;
    for (SQLSMALLINT c = 1; c <= cols; ++c) {
      KY_TRACE(kTraceDetail, "Getting attributes for column %d\n", c);
      for (int32_t i = 0; i < nids; ++i) {
        const int16_t id = ids[i];
        KY_TRACE(kTraceDetail, "Getting attribute %d for column %d\n", id, c);
        char text[kNameBuffer] = {};
        SQLLEN number = 0;
        SQLSMALLINT reported = 0;
        bool numeric = false;
        switch (id) {
          case SQL_COLUMN_TYPE:
          case SQL_COLUMN_LENGTH:
          case SQL_COLUMN_PRECISION:
          case SQL_COLUMN_SCALE:
          case SQL_COLUMN_DISPLAY_SIZE:
          case SQL_COLUMN_NULLABLE:
            rc = SQLColAttributes(stmt->driver_stmt, c, id, nullptr, 0, nullptr, &number);
            numeric = true;
            break;
          case SQL_DESC_NULLABLE:
            rc = SQLColAttribute(stmt->driver_stmt, c, id, nullptr, 0, nullptr, &number);
            numeric = true;
            break;
          case SQL_COLUMN_NAME:
          case SQL_COLUMN_TYPE_NAME:
          case SQL_COLUMN_TABLE_NAME:
          case SQL_COLUMN_LABEL:
            rc = SQLColAttributes(stmt->driver_stmt, c, id, text, sizeof text - 1, &reported, nullptr);
            break;
          case SQL_DESC_NAME:
            rc = SQLColAttribute(stmt->driver_stmt, c, id, text, sizeof text - 1, &reported, nullptr);
            break;
          default: exit.because("Unknown attribute %d for column %d aborting", id, c); return SQL_ERROR;
        }
        if (rc != SQL_SUCCESS) {
          exit.because("SQLColAttribute failed");
          *texts_len = 0;
          return SQL_ERROR;
        }
        if (numeric) std::snprintf(text, sizeof text, "%ld", static_cast<long>(number));
        if (!append(texts, cap, &used, text, strnlen(text, sizeof text - 1))) {
          *texts_len = 0;
          return fail(stmt, sqlstate::kHY000.state, 38, "General error: Internal buffer too small");
        }
      }
    }
    *texts_len = used;
    return SQL_SUCCESS;
  });
}

}  // extern "C"
