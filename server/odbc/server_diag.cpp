// Copying the Driver Manager's diagnostic records into server records, the
// server's posting helper, and the ODBC 2 type mappings.
#include "server_diag.h"

#include <sqlext.h>

#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <vector>

#include "odbc_trace.h"

namespace {

using kyvek::odbc::kTraceDiag;
using kyvek::odbc::kTraceExit;

// A text field of a driver record; "NULL" when the driver cannot give it.
bool read_text(int16_t type, SQLHANDLE h, SQLSMALLINT rec, SQLSMALLINT field, char* buf, SQLSMALLINT size) {
  memset(buf, 0, size);
  SQLSMALLINT len = 0;
  SQLRETURN rc = SQLGetDiagField(type, h, rec, field, buf, size, &len);
  if (!SQL_SUCCEEDED(rc)) snprintf(buf, size, "NULL");
  buf[size - 1] = '\0';
  return SQL_SUCCEEDED(rc);
}

SQLINTEGER read_int(int16_t type, SQLHANDLE h, SQLSMALLINT rec, SQLSMALLINT field) {
  SQLINTEGER v = 0;
  if (!SQL_SUCCEEDED(SQLGetDiagField(type, h, rec, field, &v, SQL_IS_INTEGER, nullptr))) return 0;
  return v;
}

}  // namespace

extern "C" {

diag_header* veks_diag_of(int16_t kind, void* record) {
  if (record == nullptr) return nullptr;
  switch (kind) {
    case VEKS_ENV: return &static_cast<environment_t*>(record)->diags;
    case VEKS_DBC: return &static_cast<connection_t*>(record)->diags;
    case VEKS_STMT: return &static_cast<statement_t*>(record)->diags;
    case VEKS_DESC: return &static_cast<descriptor_t*>(record)->diags;
    default: return nullptr;
  }
}

void veks_post(diag_header* errp, const connection_t* dbc, const char* sqlstate, int32_t native_error,
               const char* format, ...) {
  char text[KY_MAX_DIAG_MESSAGE + 1];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  post_error(errp, VENDOR_SERVER, CLASS_ISO, 0, nullptr, veks_dbc_dsn(dbc), native_error, 0, "ISO 9075", sqlstate, "%s",
             text);
}

void load_sql_diags(int16_t server_type, void* server_record, int16_t driver_type, SQLHANDLE driver_handle) {
  diag_header* errp = veks_diag_of(server_type, server_record);
  if (errp == nullptr) {
    KY_TRACE(kTraceExit, "\t-%s() (default hit - unrecognised handle)\n", "load_sql_diags");
    return;
  }
  SQLINTEGER count = 0;
  SQLRETURN rc = SQLGetDiagField(driver_type, driver_handle, 0, SQL_DIAG_NUMBER, &count, SQL_IS_INTEGER, nullptr);
  if (!SQL_SUCCEEDED(rc)) {
    KY_TRACE(kTraceExit, "\t-%s() (remote SQLGetDiagField=%d)\n", "load_sql_diags", rc);
    return;
  }
  KY_TRACE(kTraceDiag, "\t%ld diags found in driver\n", static_cast<long>(count));
  if (count > INT16_MAX) count = INT16_MAX;
  for (SQLSMALLINT i = 1; i <= count; ++i) {
    // The record as an application reads it, in a buffer of 1,024 bytes (a
    // driver may cut a long text into records of that size); a longer text
    // is read again whole. A record the driver does not deliver ends the
    // list: the number it reported may count more than it holds.
    char sqlstate[6] = {0};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    std::vector<char> message(1024, '\0');
    rc = SQLGetDiagRec(driver_type, driver_handle, i, reinterpret_cast<SQLCHAR*>(sqlstate), &native,
                       reinterpret_cast<SQLCHAR*>(message.data()), static_cast<SQLSMALLINT>(message.size()), &length);
    if (SQL_SUCCEEDED(rc) && length >= static_cast<SQLSMALLINT>(message.size())) {
      message.assign(std::min<size_t>(static_cast<size_t>(length) + 1, INT16_MAX), '\0');
      rc = SQLGetDiagRec(driver_type, driver_handle, i, reinterpret_cast<SQLCHAR*>(sqlstate), &native,
                         reinterpret_cast<SQLCHAR*>(message.data()), static_cast<SQLSMALLINT>(message.size()), &length);
    }
    if (!SQL_SUCCEEDED(rc)) {
      KY_TRACE(kTraceDiag, "\tdriver gave %d of %ld records\n", i - 1, static_cast<long>(count));
      break;
    }
    message.back() = '\0';
    char class_origin[100], connection_name[256], subclass[100];
    read_text(driver_type, driver_handle, i, SQL_DIAG_CLASS_ORIGIN, class_origin, sizeof(class_origin));
    SQLINTEGER column = read_int(driver_type, driver_handle, i, SQL_DIAG_COLUMN_NUMBER);
    // A connection name the driver cannot give counts as none, so the record
    // carries the plain vendor text rather than "[NULL]".
    if (!read_text(driver_type, driver_handle, i, SQL_DIAG_CONNECTION_NAME, connection_name, sizeof(connection_name))) {
      connection_name[0] = '\0';
    }
    // SQL_DIAG_ROW_NUMBER is an SQLLEN.
    SQLLEN row = 0;
    if (!SQL_SUCCEEDED(
            SQLGetDiagField(driver_type, driver_handle, i, SQL_DIAG_ROW_NUMBER, &row, SQL_IS_INTEGER, nullptr))) {
      row = 0;
    }
    read_text(driver_type, driver_handle, i, SQL_DIAG_SUBCLASS_ORIGIN, subclass, sizeof(subclass));
    if (i == 1) KY_TRACE(kTraceDiag, "\tLoading %ld diags from driver into server\n", static_cast<long>(count));
    post_error(errp, 0, class_origin[0] == 'I' ? CLASS_ISO : CLASS_ODBC3, column,
               connection_name[0] != '\0' ? connection_name : nullptr, nullptr, native, row, subclass, sqlstate, "%s",
               message.data());
  }
}

int16_t map_sql_type_odbc2(const connection_t* dbc, int16_t sqltype) {
  if (dbc == nullptr || dbc->env == nullptr || dbc->env->odbc_version != 2) return sqltype;
  switch (sqltype) {
    case SQL_TYPE_DATE: return SQL_DATE;
    case SQL_TYPE_TIME: return SQL_TIME;
    case SQL_TYPE_TIMESTAMP: return SQL_TIMESTAMP;
    case SQL_WLONGVARCHAR: return SQL_LONGVARCHAR;
    default: return sqltype;
  }
}

int16_t map_c_type_odbc2(const connection_t* dbc, int16_t ctype) {
  if (dbc == nullptr || dbc->env == nullptr || dbc->env->odbc_version != 2) return ctype;
  switch (ctype) {
    case SQL_C_TYPE_DATE: return SQL_C_DATE;
    case SQL_C_TYPE_TIME: return SQL_C_TIME;
    case SQL_C_TYPE_TIMESTAMP: return SQL_C_TIMESTAMP;
    default: return ctype;
  }
}

}  // extern "C"
