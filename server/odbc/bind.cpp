// "sql_bind_col" and "sql_bind_parameter": the server never binds a client's
// memory. Each binding allocates server-owned, zero-filled arrays for every
// row of the rowset (ARD) or every parameter set (APD), records them in the
// application descriptor's record and binds them in the target driver,
// column-wise. The block-transfer handlers move their contents later.
//
// Every size is computed in 64 bits and capped; the driver is never told a
// buffer length that reaches past what was allocated.
#include <cstdlib>
#include <cstring>

#include "handlers.h"
#include "odbc_trace.h"
#include "record_lists.h"
#include "server_diag.h"
#include "sql_types.h"
#include "transfer_common.h"

namespace {

using kyvek::odbc::kTraceDetail;
using kyvek::odbc::kTraceEntry;
using namespace kyvek::transfer;

using kyvek::odbc::kTraceValues;
// Sizes at or above this are taken as "unlimited" and replaced by the buffer length.
constexpr uint64_t kUnlimitedSize = 0x3F000000;
// Largest fixed-size C structure (SQL_INTERVAL_STRUCT): what a column bound as
// SQL_C_DEFAULT may receive when its default type is not known yet.
constexpr int64_t kLargestFixedC = 28;

// Verbose type and datetime/interval code of a concise C or SQL type.
void set_types(descriptor_record_t* rec, int16_t concise) {
  rec->concise_type = concise;
  rec->datetime_interval_code = 0;
  if (is_datetime_type(concise)) {
    rec->type = SQL_DATETIME;
    rec->datetime_interval_code = static_cast<int16_t>(concise > 90 ? concise - 90 : concise - 8);
  } else if (is_interval_type(concise)) {
    rec->type = SQL_INTERVAL;
    rec->datetime_interval_code = static_cast<int16_t>(concise - 100);
  } else {
    rec->type = concise;
  }
}

// count x size within the server's array cap.
bool checked_bytes(uint64_t count, uint64_t size, uint64_t* bytes) {
  if (size != 0 && count > VEKS_MAX_ARRAY_BYTES / size) return false;
  *bytes = count * size;
  return *bytes <= VEKS_MAX_ARRAY_BYTES;
}

void* zeroed(uint64_t bytes) { return std::calloc(1, bytes != 0 ? bytes : 1); }

// After a successful binding: a column at or below the count recounts, a higher one extends.
void update_count(descriptor_t* desc, int32_t number) {
  if (number <= desc->record_count)
    veks_release_desc_recs(desc, 0, RELEASE_TRIM);
  else
    desc->record_count = static_cast<int16_t>(number);
}

bool is_char_or_binary(int16_t ctype) { return ctype == SQL_C_CHAR || ctype == SQL_C_WCHAR || ctype == SQL_C_BINARY; }

// Rows the column arrays are made for: the larger of the ARD's array size and
// its ODBC 2 rowset size.
uint64_t column_rows(const descriptor_t* ard) {
  uint64_t rows = ard->array_size > ard->ext_rowset_size ? ard->array_size : ard->ext_rowset_size;
  KY_TRACE(kTraceValues, "\tVEKMAX says %lu\n", static_cast<unsigned long>(rows));
  return rows < 2 ? 1 : rows;
}

// Element size of a column's data array. A column bound as SQL_C_DEFAULT gets
// what the driver writes for the column's default C type, never less.
int64_t column_element(const statement_t* stmt, int32_t column, int16_t ctype, SQLLEN buflen) {
  int64_t size = get_type_len(ctype, buflen, KY_TYPELEN_USE_OCTET);
  if (ctype != SQL_C_DEFAULT || size < 0) return size;
  const descriptor_t* ird = stmt->current_desc[DESC_IRD];
  int64_t fixed = kLargestFixedC;
  if ((stmt->flags & STMT_DESCRIBED) != 0 && ird != nullptr && column >= 1 && column < ird->alloc_records &&
      column <= ird->record_count) {
    int16_t def = ird->records[column].default_ctype;
    fixed = get_type_len(def, buflen, KY_TYPELEN_USE_OCTET);
    if (fixed < 0) fixed = kLargestFixedC;
  }
  return size > fixed ? size : fixed;
}

SQLRETURN memory_error(statement_t* stmt, Exit& exit, const char* why) {
  exit.because("%s", why);
  return fail(stmt, sqlstate::kHY001, 0);
}

// An array beyond the server's limit for one bound array: the limit stays;
// the message says which it is and what was asked for.
SQLRETURN array_limit_error(statement_t* stmt, Exit& exit, const char* what, uint64_t rows, uint64_t element) {
  exit.because("%s array over the limit", what);
  const long double asked = static_cast<long double>(rows) * static_cast<long double>(element);
  return fail(stmt, sqlstate::kHY001.state, 0,
              "Memory allocation error: the %s array of %llu rows of %llu bytes (%.0Lf bytes) exceeds the "
              "server's limit of %llu bytes (%llu MiB) for one bound array",
              what, static_cast<unsigned long long>(rows), static_cast<unsigned long long>(element), asked,
              static_cast<unsigned long long>(VEKS_MAX_ARRAY_BYTES),
              static_cast<unsigned long long>(VEKS_MAX_ARRAY_BYTES >> 20));
}

}  // namespace

extern "C" {

int16_t sql_bind_col(void* handle, int16_t column_in, int16_t ctype_in, int32_t data_wanted, SQLULEN buflen_in,
                     SQLLEN length_wanted) {
  const char* name = KY_HANDLER_NAME(sql_bind_col);
  const SQLLEN buflen = static_cast<SQLLEN>(buflen_in);
  KY_TRACE(kTraceEntry, "%s(%p,%u,%d,%ld,%ld,%ld)\n", name, handle,
           static_cast<unsigned>(static_cast<uint16_t>(column_in)), ctype_in, static_cast<long>(data_wanted),
           static_cast<long>(buflen), static_cast<long>(length_wanted));
  statement_t* stmt = enter<statement_t>(handle, name, Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(name, [&](Exit& exit) -> SQLRETURN {
    connection_t* dbc = veks_stmt_dbc(stmt);
    const int32_t column = static_cast<uint16_t>(column_in);
    const int16_t ctype = map_c_type_odbc2(dbc, ctype_in);
    descriptor_t* ard = stmt->current_desc[DESC_ARD];
    if (ard == nullptr || column > VEKS_MAX_DESC_RECORD) return fail(stmt, sqlstate::k07009, 0);
    // GUID columns are sent in their own field arrays, so they may be bound.
    if (ctype != 0 && ctype != SQL_C_GUID && is_valid_ctype(ctype) != 0) {
      exit.because("%d is not a valid C type", ctype);
      return fail(stmt, sqlstate::kHY003, 0);
    }
    descriptor_record_t* rec =
        column >= ard->alloc_records ? veks_expand_desc_recs(ard, column) : &ard->records[column];
    if (rec == nullptr) {
      return fail(stmt, sqlstate::kHY001, 0);
    }
    const int16_t bind_type = ctype == 0 ? SQL_C_DEFAULT : ctype;

    if (!data_wanted) {
      // Unbinding the data buffer, keeping or dropping the lengths. The driver
      // is re-pointed first; arrays are freed only once it no longer holds them.
      SQLLEN* lengths = length_wanted ? rec->octet_length_array : nullptr;
      SQLLEN* made = nullptr;
      uint64_t rows = rec->row_capacity;
      if (length_wanted && lengths == nullptr) {
        uint64_t bytes = 0;
        rows = column_rows(ard);
        if (!checked_bytes(rows, sizeof(SQLLEN), &bytes) || (made = static_cast<SQLLEN*>(zeroed(bytes))) == nullptr)
          return memory_error(stmt, exit, "calloc for OctetLengthPtr failure");
        lengths = made;
      }
      SQLRETURN rc =
          SQLBindCol(stmt->driver_stmt, static_cast<SQLUSMALLINT>(column), bind_type, nullptr, buflen, lengths);
      if (!SQL_SUCCEEDED(rc)) {
        std::free(made);
        exit.because("SQLBindCol in driver failed when unbinding previously bound column");
        return rc;
      }
      if (rec->indicator != rec->octet_length_array) std::free(rec->indicator);
      if (lengths != rec->octet_length_array) std::free(rec->octet_length_array);
      rec->octet_length_array = lengths;
      rec->indicator = lengths;
      std::free(rec->data);
      rec->data = nullptr;
      rec->data_alloc_len = 0;
      rec->element_size = 0;
      rec->octet_length = 0;
      rec->row_capacity = lengths != nullptr ? rows : 0;
      if (!length_wanted)
        veks_release_desc_recs(ard, 0, RELEASE_TRIM);
      else
        update_count(ard, column);
      return rc;
    }

    // Rebinding: the record's old arrays go; the driver is re-pointed below.
    if (buflen < 0 || (is_char_or_binary(ctype) && buflen == 0)) {
      exit.because("negative type length");
      return fail(stmt, sqlstate::kHY090, 0);
    }
    const uint64_t rows = column_rows(ard);
    const int64_t element = column_element(stmt, column, bind_type, buflen);
    if (element < 0) {
      exit.because("negative type length");
      return fail(stmt, sqlstate::kHY000.state, 5,
                  "General error: Cannot determine length of datatype %d, OctetLength=%ld (sql_bind_col)", bind_type,
                  static_cast<long>(buflen));
    }
    uint64_t data_bytes = 0, len_bytes = 0;
    if (!checked_bytes(rows, static_cast<uint64_t>(element), &data_bytes))
      return array_limit_error(stmt, exit, "column", rows, static_cast<uint64_t>(element));
    void* data = zeroed(data_bytes);
    if (data == nullptr) return memory_error(stmt, exit, "calloc for DataPtr failure");
    SQLLEN* lengths = nullptr;
    if (length_wanted) {
      (void)checked_bytes(rows, sizeof(SQLLEN), &len_bytes);
      lengths = static_cast<SQLLEN*>(zeroed(len_bytes));
      if (lengths == nullptr) {
        std::free(data);
        return memory_error(stmt, exit, "calloc for OctetLengthPtr failure");
      }
    }
    SQLRETURN rc = SQLBindCol(stmt->driver_stmt, static_cast<SQLUSMALLINT>(column), bind_type, data, buflen, lengths);
    if (!SQL_SUCCEEDED(rc)) {
      // The driver keeps its previous binding; so does the record.
      std::free(data);
      std::free(lengths);
      exit.because("driver SQLBindCol failure");
      return rc;
    }
    veks_free_record_arrays(rec);
    set_types(rec, bind_type);
    rec->octet_length = buflen;
    rec->data = data;
    rec->data_alloc_len = data_bytes;
    rec->element_size = static_cast<uint64_t>(element);
    rec->octet_length_array = lengths;
    rec->indicator = lengths;
    rec->row_capacity = rows;
    update_count(ard, column);
    return rc;
  });
}

int16_t sql_bind_parameter(void* handle, int16_t number_in, int16_t io_type, int16_t ctype_in, int16_t sqltype_in,
                           int32_t data_wanted, SQLULEN column_size, int16_t digits, SQLULEN buflen_in,
                           SQLLEN length_wanted) {
  const char* name = KY_HANDLER_NAME(sql_bind_parameter);
  const SQLLEN buflen = static_cast<SQLLEN>(buflen_in);
  KY_TRACE(kTraceEntry, "%s(%p,%u,%d,%d,%d,%ld,%lu,%ld,%ld,%ld)\n", name, handle,
           static_cast<unsigned>(static_cast<uint16_t>(number_in)), io_type, ctype_in, sqltype_in,
           static_cast<long>(data_wanted), static_cast<unsigned long>(column_size), static_cast<long>(digits),
           static_cast<long>(buflen), static_cast<long>(length_wanted));
  statement_t* stmt = enter<statement_t>(handle, name, Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(name, [&](Exit& exit) -> SQLRETURN {
    connection_t* dbc = veks_stmt_dbc(stmt);
    const int32_t number = static_cast<uint16_t>(number_in);
    if (number == 0 || number > VEKS_MAX_DESC_RECORD) {
      exit.because("negative ParameterNumber");
      return fail(stmt, sqlstate::k07009, 0);
    }
    if (io_type != SQL_PARAM_INPUT && io_type != SQL_PARAM_INPUT_OUTPUT && io_type != SQL_PARAM_OUTPUT) {
      exit.because("invalid InputOutputType");
      post_error(&stmt->diags, VENDOR_SERVER, CLASS_ISO, 0, nullptr, veks_dbc_dsn(dbc), 0, 0, "ODBC 3.0",
                 sqlstate::kHY105);
      set_return_code(&stmt->diags, SQL_ERROR);
      return SQL_ERROR;
    }
    if (!data_wanted && !length_wanted && io_type != SQL_PARAM_OUTPUT) {
      exit.because("inconsistent parameters");
      return fail(stmt, sqlstate::kHY009, 0);
    }
    // GUID values come in their own field arrays, so they may be bound.
    if (ctype_in != SQL_C_GUID && is_valid_ctype(ctype_in) != 0) {
      exit.because("%d is not a valid C type", ctype_in);
      return fail(stmt, sqlstate::kHY003, 0);
    }
    if (is_valid_sqltype(sqltype_in) != 0) {
      exit.because("%d is not a valid SQL type", sqltype_in);
      return fail(stmt, sqlstate::kHY004, 0);
    }
    const bool set_param = buflen == -1;
    if (buflen < 0 && !set_param) return fail(stmt, sqlstate::kHY090, 0);
    const int16_t ctype = map_c_type_odbc2(dbc, ctype_in);
    const int16_t sqltype = map_sql_type_odbc2(dbc, sqltype_in);
    descriptor_t* apd = stmt->current_desc[DESC_APD];
    descriptor_t* ipd = stmt->current_desc[DESC_IPD];
    if (apd == nullptr || ipd == nullptr) return fail(stmt, sqlstate::k07009, 0);
    descriptor_record_t* rec =
        number >= apd->alloc_records ? veks_expand_desc_recs(apd, number) : &apd->records[number];
    if (rec == nullptr) {
      exit.because("failed to expand APD records to %d", number);
      return fail(stmt, sqlstate::kHY001, 0);
    }
    descriptor_record_t* irec =
        number >= ipd->alloc_records ? veks_expand_desc_recs(ipd, number) : &ipd->records[number];
    if (irec == nullptr) {
      exit.because("failed to expand IPD records to %d", number);
      return fail(stmt, sqlstate::kHY001, 0);
    }
    const uint64_t rows = apd->array_size < 2 ? 1 : apd->array_size;
    uint64_t len_bytes = 0;
    if (!checked_bytes(rows, sizeof(SQLLEN), &len_bytes)) return memory_error(stmt, exit, "allocating lengths");

    if (!data_wanted) {
      // Data at execution (or an output parameter without a buffer).
      SQLLEN* lengths = nullptr;
      if (length_wanted) {
        lengths = static_cast<SQLLEN*>(zeroed(len_bytes));
        if (lengths == nullptr) return memory_error(stmt, exit, "allocating OctetLengthPtr");
      }
      SQLRETURN rc = SQLBindParameter(stmt->driver_stmt, static_cast<SQLUSMALLINT>(number),
                                      set_param ? SQL_PARAM_INPUT_OUTPUT : io_type, ctype, sqltype, column_size, digits,
                                      nullptr, set_param ? 0 : buflen, lengths);
      if (!SQL_SUCCEEDED(rc)) {
        std::free(lengths);
        exit.because("driver call failed");
        return rc;
      }
      veks_free_record_arrays(rec);
      rec->octet_length_array = lengths;
      rec->indicator = lengths;
      rec->row_capacity = lengths != nullptr ? rows : 0;
      set_types(rec, ctype);
      rec->octet_length = set_param ? 0 : buflen;
      irec->parameter_type = set_param ? SQL_PARAM_INPUT_OUTPUT : io_type;
      set_types(irec, sqltype);
      irec->length = static_cast<int64_t>(column_size);
      if (!length_wanted)
        veks_release_desc_recs(apd, 0, RELEASE_TRIM);
      else
        update_count(apd, number);
      return rc;
    }

    // The C type that sizes the buffer: SQL_C_DEFAULT stands for the SQL type's default.
    int16_t size_type = ctype;
    if (ctype == SQL_C_DEFAULT && sqltype2ctype(sqltype, &size_type) != 0) {
      exit.because("sqltype2ctype failure converting %d", sqltype);
      return fail(stmt, sqlstate::kHY000.state, 6, "General error: Inconsistent ParameterValue (sql_bind_parameter)");
    }
    const uint64_t blen = buflen > 0 ? static_cast<uint64_t>(buflen) : 0;
    uint64_t size = column_size > blen ? column_size : blen;
    if (size >= kUnlimitedSize) size = blen;
    if (size < 65) size = 64;
    int64_t element = get_type_len(size_type, static_cast<int64_t>(size), KY_TYPELEN_USE_OCTET);
    if (element < 0) {
      exit.because("get_type_len failure for %d (%ld)", size_type, static_cast<long>(buflen));
      return fail(stmt, sqlstate::kHY000.state, 5,
                  "General error: Cannot determine length of datatype %d, OctetLength=%ld (%s)", size_type,
                  static_cast<long>(buflen), name);
    }
    if (element == 0) {
      uint64_t def = dbc != nullptr ? dbc->default_param_size : 0;
      element = static_cast<int64_t>(column_size >= def && column_size < kUnlimitedSize ? column_size : def);
      if (element == 0) element = 64;
    }
    uint64_t data_bytes = 0;
    if (!checked_bytes(rows, static_cast<uint64_t>(element), &data_bytes))
      return array_limit_error(stmt, exit, "parameter", rows, static_cast<uint64_t>(element));
    void* data = zeroed(data_bytes);
    if (data == nullptr) {
      exit.because("allocating %d bytes for DataPtr", static_cast<int>(data_bytes));
      return fail(stmt, sqlstate::kHY001, 0);
    }
    SQLLEN* lengths = nullptr;
    if (length_wanted) {
      lengths = static_cast<SQLLEN*>(zeroed(len_bytes));
      if (lengths == nullptr) {
        std::free(data);
        exit.because("allocating %d bytes for OctetLengthPtr", static_cast<int>(len_bytes));
        return fail(stmt, sqlstate::kHY001, 0);
      }
    }
    // The driver may write as much as it is told. A single row is told the whole
    // element; a parameter array keeps the client's stride, which the allocation
    // (rows x element, element >= buffer length) covers for every row.
    SQLLEN driver_len = buflen;
    if (set_param || (rows == 1 && is_char_or_binary(size_type))) driver_len = element;
    if (!is_char_or_binary(size_type) && driver_len > element) driver_len = element;
    SQLRETURN rc = SQLBindParameter(stmt->driver_stmt, static_cast<SQLUSMALLINT>(number),
                                    set_param ? SQL_PARAM_INPUT_OUTPUT : io_type, ctype, sqltype, column_size, digits,
                                    data, driver_len, lengths);
    if (!SQL_SUCCEEDED(rc)) {
      std::free(data);
      std::free(lengths);
      exit.because("driver call failed");
      return rc;
    }
    veks_free_record_arrays(rec);
    // Implementation record: what the parameter is on the server's side.
    irec->parameter_type = set_param ? SQL_PARAM_INPUT_OUTPUT : io_type;
    set_types(irec, sqltype);
    irec->length = static_cast<int64_t>(column_size);
    irec->precision = static_cast<int16_t>(column_size > 32767 ? 32767 : column_size);
    irec->scale = 0;
    if (sqltype == SQL_TYPE_TIME || sqltype == SQL_TIME || sqltype == SQL_TYPE_TIMESTAMP || sqltype == SQL_TIMESTAMP ||
        is_interval_type(sqltype))
      irec->precision = digits;
    else if (sqltype == SQL_NUMERIC || sqltype == SQL_DECIMAL)
      irec->scale = digits;
    // Application record: the server's arrays.
    set_types(rec, ctype);
    rec->octet_length = set_param ? 0 : buflen;
    rec->data = data;
    rec->data_alloc_len = data_bytes;
    rec->element_size = static_cast<uint64_t>(element);
    rec->octet_length_array = lengths;
    rec->indicator = lengths;
    rec->row_capacity = rows;
    update_count(apd, number);
    KY_TRACE(kTraceDetail, "\tparameter %d: %lu rows of %ld bytes\n", number, static_cast<unsigned long>(rows),
             static_cast<long>(element));
    return rc;
  });
}

}  // extern "C"
