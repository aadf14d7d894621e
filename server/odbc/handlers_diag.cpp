// Diagnostic handlers: the server record's own records numbered first, then
// the target driver's records read through the Driver Manager.
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "handler_util.h"
#include "handlers.h"
#include "sql_log.h"
#include "trace_log.h"

using namespace kyvek::server;

namespace {

// A checked server record with its list and the driver handle behind it.
struct Target {
  diag_header* diags = nullptr;
  SQLHANDLE driver = nullptr;
  statement_t* stmt = nullptr;
  // The driver's records are listed after the server's own (not after a
  // call refused before the driver saw it).
  bool with_driver() const { return (diags->flags & DIAG_OWN_ONLY) == 0; }
};

bool find_target(int16_t type, void* handle, Target* t, const char* name) {
  static const char* kWhat[] = {"", "ENV", "DBC", "STMT", "DESC"};
  if (type < SQL_HANDLE_ENV || type > SQL_HANDLE_DESC) {
    if (trace_on(kTraceExit)) log_printf_tid("-%s()=SQL_INVALID_HANDLE (Invalid HandleType)\n", name);
    return false;
  }
  if (veks_chk_handle(type, handle) != 0) {
    if (trace_on(kTraceExit)) log_printf_tid("-%s()=SQL_INVALID_HANDLE (Invalid %s)\n", name, kWhat[type]);
    return false;
  }
  t->diags = veks_diag_of(type, handle);
  switch (type) {
    case SQL_HANDLE_ENV: t->driver = static_cast<environment_t*>(handle)->driver_env; break;
    case SQL_HANDLE_DBC: t->driver = static_cast<connection_t*>(handle)->driver_dbc; break;
    case SQL_HANDLE_STMT:
      t->stmt = static_cast<statement_t*>(handle);
      t->driver = t->stmt->driver_stmt;
      break;
    default: t->driver = static_cast<descriptor_t*>(handle)->driver_desc; break;
  }
  return true;
}

// Copies a server text field into the out buffer under the string rules.
SQLRETURN copy_text(const char* text, char* buffer, int64_t len, int32_t* block, int16_t* string_length) {
  if (text == nullptr) {
    if (string_length != nullptr) *string_length = 0;
    if (buffer != nullptr && len >= 1) {
      buffer[0] = '\0';
      if (block != nullptr) *block = 1;
      return SQL_SUCCESS;
    }
    return SQL_SUCCESS_WITH_INFO;
  }
  const int64_t l = static_cast<int64_t>(strlen(text));
  if (buffer == nullptr || len <= 0) {
    if (string_length != nullptr) *string_length = static_cast<int16_t>(std::min<int64_t>(l, INT16_MAX));
    return buffer == nullptr ? SQL_SUCCESS : SQL_SUCCESS_WITH_INFO;
  }
  if (l + 1 <= len) {
    memcpy(buffer, text, static_cast<size_t>(l) + 1);
    if (block != nullptr) *block = static_cast<int32_t>(l + 1);
    if (string_length != nullptr) *string_length = static_cast<int16_t>(std::min<int64_t>(l, INT16_MAX));
    return SQL_SUCCESS;
  }
  memcpy(buffer, text, static_cast<size_t>(len - 1));
  buffer[len - 1] = '\0';
  if (block != nullptr) *block = static_cast<int32_t>(len - 1);
  if (string_length != nullptr) *string_length = static_cast<int16_t>(len - 1);
  return SQL_SUCCESS_WITH_INFO;
}

}  // namespace

extern "C" int16_t sql_get_diag_rec(int16_t type, void* handle, int16_t number, char* sqlstate, int32_t* native,
                                    int32_t* block, char* message, int16_t buffer_length, int16_t* text_length) {
  static const char* kName = KY_HANDLER_NAME(sql_get_diag_rec);
  const int32_t cap = block != nullptr ? *block : 0;
  if (block != nullptr) *block = 0;
  Target t;
  if (!find_target(type, handle, &t, kName)) return SQL_INVALID_HANDLE;
  return through_exit(kName, [&](Exit& exit) -> SQLRETURN {
    const int64_t len = capped(buffer_length, &cap, message);
    SQLRETURN rc;
    SQLINTEGER nat = 0;
    diag_lock(t.diags);
    const int32_t count = t.diags->record_count;
    const error_record* r = number >= 1 ? diag_record(t.diags, number) : nullptr;
    if (r != nullptr) {
      if (trace_on(kTraceDiag)) log_printf_tid("\tFound error record %d on server\n", number);
      if (sqlstate != nullptr) snprintf(sqlstate, 6, "%s", r->sqlstate != nullptr ? r->sqlstate : "");
      nat = r->native_error;
      if (native != nullptr) *native = nat;
      const int64_t full = r->message_text != nullptr ? static_cast<int64_t>(strlen(r->message_text)) : 0;
      rc = SQL_SUCCESS;
      if (message != nullptr) {
        int64_t l = full;
        if (l + 1 > len) {
          l = len > 0 ? len - 1 : 0;
          rc = SQL_SUCCESS_WITH_INFO;
        }
        if (l >= 1) {
          memcpy(message, r->message_text, static_cast<size_t>(l));
          message[l] = '\0';
          if (block != nullptr) *block = static_cast<int32_t>(l + 1);
        }
      }
      if (text_length != nullptr) *text_length = static_cast<int16_t>(std::min<int64_t>(full, INT16_MAX));
      diag_unlock(t.diags);
    } else {
      diag_unlock(t.diags);
      if (text_length != nullptr) *text_length = 0;
      if (!t.with_driver()) {
        exit.because("no driver records after a refusal");
        return SQL_NO_DATA;
      }
      char state[6] = {0};
      std::vector<char> scratch(static_cast<size_t>(len) + 1, 0);
      SQLSMALLINT tl = 0;
      rc = SQLGetDiagRec(type, t.driver, static_cast<SQLSMALLINT>(number - count), (SQLCHAR*)state, &nat,
                         (SQLCHAR*)scratch.data(), static_cast<SQLSMALLINT>(len), &tl);
      if (!succeeded(rc)) {
        exit.because("Drivers SQLGetDiagRec failed");
        return rc;
      }
      if (sqlstate != nullptr) memcpy(sqlstate, state, sizeof(state));
      if (native != nullptr) *native = nat;
      if (text_length != nullptr) *text_length = tl;
      if (message != nullptr && len > 0) {
        memcpy(message, scratch.data(), static_cast<size_t>(len));
        if (block != nullptr) *block = text_block(message, len, tl);
      }
    }
    if (trace_on(kTraceDiag)) dump_diag_line(sqlstate, native, message);
    if (t.stmt != nullptr && t.stmt->log_next_diag) {
      log_sql_diag(t.stmt, sqlstate, nat, message != nullptr ? message : "");
    }
    return rc;
  });
}

extern "C" int16_t sql_get_diag_field_integer(int16_t type, void* handle, int16_t number, int16_t id, int32_t* value) {
  static const char* kName = KY_HANDLER_NAME(sql_get_diag_field_integer);
  Target t;
  if (!find_target(type, handle, &t, kName)) return SQL_INVALID_HANDLE;
  return through_exit(kName, [&](Exit& exit) -> SQLRETURN {
    SQLSMALLINT asked = number;
    switch (id) {
      case SQL_DIAG_NUMBER: break;
      case SQL_DIAG_ROW_COUNT:
      case SQL_DIAG_CURSOR_ROW_COUNT:
      case SQL_DIAG_DYNAMIC_FUNCTION_CODE:
        if (type != SQL_HANDLE_STMT) {
          exit.because("Invalid DiagIdentifier for non-statement-handle");
          return SQL_ERROR;
        }
        break;
      case SQL_DIAG_NATIVE:
      case SQL_DIAG_ROW_NUMBER:
      case SQL_DIAG_COLUMN_NUMBER: {
        if (number < 1) {
          exit.because("Invalid RecNumber for DiagIdentifier");
          return SQL_ERROR;
        }
        diag_lock(t.diags);
        const error_record* r = diag_record(t.diags, number);
        const int32_t count = t.diags->record_count;
        if (r != nullptr) {
          int64_t v = id == SQL_DIAG_NATIVE       ? r->native_error
                      : id == SQL_DIAG_ROW_NUMBER ? r->row_number
                                                  : r->column_number;
          diag_unlock(t.diags);
          if (value != nullptr) *value = static_cast<int32_t>(v);
          return SQL_SUCCESS;
        }
        diag_unlock(t.diags);
        if (!t.with_driver()) return SQL_NO_DATA;
        asked = static_cast<SQLSMALLINT>(number - count);
        break;
      }
      default: exit.because("Invalid DiagIdentifier"); return SQL_ERROR;
    }
    if (id == SQL_DIAG_NUMBER && !t.with_driver()) {
      if (value != nullptr) *value = t.diags->record_count;
      exit.because("Value=%ld", (long)t.diags->record_count);
      return SQL_SUCCESS;
    }
    // Row counts and row numbers are SQLLEN: read them whole, then narrow.
    SQLLEN wide = 0;
    SQLINTEGER narrow = 0;
    const bool is_len = id == SQL_DIAG_ROW_COUNT || id == SQL_DIAG_CURSOR_ROW_COUNT || id == SQL_DIAG_ROW_NUMBER;
    SQLRETURN rc =
        SQLGetDiagField(type, t.driver, asked, id, is_len ? static_cast<SQLPOINTER>(&wide) : &narrow, 0, nullptr);
    if (!succeeded(rc)) {
      exit.because("Drivers SQLGetDiagField failed");
      return rc;
    }
    int64_t v = is_len ? wide : narrow;
    if (id == SQL_DIAG_NUMBER) v += t.diags->record_count;
    v = std::clamp<int64_t>(v, INT32_MIN, INT32_MAX);
    if (value != nullptr) *value = static_cast<int32_t>(v);
    exit.because("Value=%ld", (long)v);
    return rc;
  });
}

extern "C" int16_t sql_get_diag_field_smallint(int16_t type, void* handle, int16_t number, int16_t id, int16_t* value) {
  static const char* kName = KY_HANDLER_NAME(sql_get_diag_field_smallint);
  Target t;
  if (!find_target(type, handle, &t, kName)) return SQL_INVALID_HANDLE;
  return through_exit(kName, [&](Exit& exit) -> SQLRETURN {
    if (id != SQL_DIAG_RETURNCODE) {
      exit.because("Request for short diag field for something other than SQL_DIAG_RETURNECODE");
      return SQL_ERROR;
    }
    if (t.diags->flags & DIAG_RC_RECORDED) {
      if (value != nullptr) *value = t.diags->return_code;
      exit.because("Value=%d", t.diags->return_code);
      return SQL_SUCCESS;
    }
    SQLRETURN v = 0;
    SQLRETURN rc = SQLGetDiagField(type, t.driver, number, SQL_DIAG_RETURNCODE, &v, 0, nullptr);
    if (succeeded(rc) && value != nullptr) *value = v;
    exit.because("Value=%d", v);
    return rc;
  });
}

extern "C" int16_t sql_get_diag_field_string(int16_t type, void* handle, int16_t number, int16_t id, int32_t* block,
                                             char* buffer, int16_t buffer_length, int16_t* string_length) {
  static const char* kName = KY_HANDLER_NAME(sql_get_diag_field_string);
  const int32_t cap = block != nullptr ? *block : 0;
  if (block != nullptr) *block = 0;
  Target t;
  if (!find_target(type, handle, &t, kName)) return SQL_INVALID_HANDLE;
  return through_exit(kName, [&](Exit& exit) -> SQLRETURN {
    const int64_t len = capped(buffer_length, &cap, buffer);
    SQLSMALLINT asked = number;
    switch (id) {
      case SQL_DIAG_DYNAMIC_FUNCTION:
        if (type != SQL_HANDLE_STMT) {
          exit.because("Query for SQL_DIAG_DYNAMIC_FUNCTION on non statement handle");
          return SQL_ERROR;
        }
        break;
      case SQL_DIAG_SQLSTATE:
      case SQL_DIAG_MESSAGE_TEXT:
      case SQL_DIAG_CLASS_ORIGIN:
      case SQL_DIAG_SUBCLASS_ORIGIN:
      case SQL_DIAG_CONNECTION_NAME:
      case SQL_DIAG_SERVER_NAME: {
        if (number < 1) {
          exit.because("Negative RecNumber and request for non-header field");
          return SQL_ERROR;
        }
        diag_lock(t.diags);
        const error_record* r = diag_record(t.diags, number);
        const int32_t count = t.diags->record_count;
        if (r != nullptr) {
          const char* text = id == SQL_DIAG_SQLSTATE          ? r->sqlstate
                             : id == SQL_DIAG_MESSAGE_TEXT    ? r->message_text
                             : id == SQL_DIAG_CLASS_ORIGIN    ? r->class_origin
                             : id == SQL_DIAG_SUBCLASS_ORIGIN ? r->subclass_origin
                             : id == SQL_DIAG_CONNECTION_NAME ? r->connection_name
                                                              : r->server_name;
          SQLRETURN rc = copy_text(text, buffer, len, block, string_length);
          diag_unlock(t.diags);
          exit.because("*StringLengthPtr=%d", string_length != nullptr ? *string_length : 0);
          return rc;
        }
        diag_unlock(t.diags);
        if (!t.with_driver()) return SQL_NO_DATA;
        asked = static_cast<SQLSMALLINT>(number - count);
        break;
      }
      default: exit.because("Invalid DiagIdentifier"); return SQL_ERROR;
    }
    std::vector<char> scratch(static_cast<size_t>(len) + 1, 0);
    SQLSMALLINT sl = 0;
    SQLRETURN rc = SQLGetDiagField(type, t.driver, asked, id, scratch.data(), static_cast<SQLSMALLINT>(len), &sl);
    if (!succeeded(rc)) {
      exit.because("Drivers SQLGetDiagField failed");
      return rc;
    }
    if (string_length != nullptr) *string_length = sl;
    if (buffer != nullptr && len > 0) {
      memcpy(buffer, scratch.data(), static_cast<size_t>(len));
      if (block != nullptr) *block = text_block(buffer, len, sl);
    }
    return rc;
  });
}

extern "C" int16_t sql_error(void* env_handle, void* dbc_handle, void* stmt_handle, int32_t* state_block,
                             char* sqlstate, int32_t* native, int32_t* message_block, char* message,
                             int16_t buffer_length, int16_t* text_length) {
  const int32_t state_cap = state_block != nullptr ? *state_block : 0;
  const int32_t cap = message_block != nullptr ? *message_block : 0;
  if (state_block != nullptr) *state_block = 0;
  if (message_block != nullptr) *message_block = 0;
  if (trace_on(kTraceEntry)) {
    log_printf_tid("sql_error(%p,%p,%p,%p,%p,%p,%p,%p,%d,%p)\n", env_handle, dbc_handle, stmt_handle,
                   (void*)state_block, (void*)sqlstate, (void*)native, (void*)message_block, (void*)message,
                   buffer_length, (void*)text_length);
  }
  // Every handle given must be one this link holds.
  environment_t* env = env_handle != nullptr ? as_env(env_handle) : nullptr;
  connection_t* dbc = dbc_handle != nullptr ? as_dbc(dbc_handle) : nullptr;
  statement_t* stmt = stmt_handle != nullptr ? as_stmt(stmt_handle) : nullptr;
  if ((env_handle != nullptr && env == nullptr) || (dbc_handle != nullptr && dbc == nullptr) ||
      (stmt_handle != nullptr && stmt == nullptr)) {
    return SQL_INVALID_HANDLE;
  }
  const int64_t len = capped(buffer_length, &cap, message);
  char state[6] = {0};
  std::vector<char> scratch(static_cast<size_t>(len) + 1, 0);
  SQLINTEGER nat = 0;
  SQLSMALLINT tl = 0;
  SQLRETURN rc = SQLError(env != nullptr ? env->driver_env : nullptr, dbc != nullptr ? dbc->driver_dbc : nullptr,
                          stmt != nullptr ? stmt->driver_stmt : nullptr, (SQLCHAR*)state, &nat,
                          (SQLCHAR*)scratch.data(), static_cast<SQLSMALLINT>(len), &tl);
  if (succeeded(rc)) {
    if (sqlstate != nullptr && state_cap > 0) {
      const int32_t n = std::min<int32_t>(state_cap, sizeof(state));
      memcpy(sqlstate, state, static_cast<size_t>(n));
      if (state_block != nullptr) *state_block = n;
    }
    if (native != nullptr) *native = nat;
    if (text_length != nullptr) *text_length = tl;
    if (message != nullptr && len > 0) {
      memcpy(message, scratch.data(), static_cast<size_t>(len));
      if (message_block != nullptr) *message_block = text_block(message, len, tl);
    }
  }
  if (trace_on(kTraceExit)) log_printf_tid("-sql_error()=%d\n", rc);
  return rc;
}
