// Diagnostic records: posting, the ODBC 2 SQLSTATE translation and reading
// back by record or by field. A message is formatted first and the vendor
// prefix is added as data, so no caller text is ever used as a format.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include <sql.h>
#include <sqlext.h>

#include "diag_internal.h"
#include "ky_diag.h"
#include "ky_list.h"
#include "ky_string.h"
#include "sqlstate.h"

namespace {

constexpr std::pair<int32_t, const char*> kDynamicFunctions[] = {
    {-2, "DROP INDEX"},
    {-1, "CREATE INDEX"},
    {4, "ALTER TABLE"},
    {19, "DELETE WHERE"},
    {32, "DROP TABLE"},
    {36, "DROP VIEW"},
    {38, "DYNAMIC DELETE CURSOR"},
    {48, "GRANT"},
    {50, "INSERT"},
    {59, "REVOKE"},
    {77, "CREATE TABLE"},
    {81, "DYNAMIC UPDATE CURSOR"},
    {82, "UPDATE WHERE"},
    {84, "CREATE VIEW"},
    {85, "SELECT CURSOR"},
};

// The ODBC 2 form of a state, or the state itself when it has none.
const char* odbc2_state(const char* state) {
  const char* odbc2 = kyvek::sqlstate::odbc2_of(state);
  return odbc2 ? odbc2 : state;
}

const char* dynamic_function_name(int32_t code) {
  for (const auto& [c, name] : kDynamicFunctions) {
    if (c == code) return name;
  }
  return "";
}

void drop_records(ErrorHeader* h) {
  for (ErrorRecord* r = h->first; r;) {
    ErrorRecord* next = r->next;
    ky_mem_free(h->pool, r->vendor);
    ky_mem_free(h->pool, r->message);
    ky_mem_free(h->pool, r->sqlstate);
    ky_mem_free(h->pool, r->subclass_origin);
    ky_mem_free(h->pool, r);
    r = next;
  }
  h->first = h->last = nullptr;
  h->count = 0;
  h->row_count = 0;
}

ErrorRecord* record_at(ErrorHeader* h, int32_t number) {
  ErrorRecord* r = h->first;
  for (int32_t i = 1; r && i < number; ++i) r = r->next;
  return r;
}

std::string vformat(const char* format, va_list args) {
  if (!format) return {};
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  std::string s;
  if (n > 0) {
    s.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(s.data(), s.size(), format, again);
    s.resize(static_cast<size_t>(n));
  }
  va_end(again);
  return s;
}

char* post(ErrorHeader* h, int32_t origin, int32_t column, const char* vendor, int32_t native, int64_t row,
           const char* subclass, const char* state, const std::string& text) {
  if (!h) return nullptr;
  if (h->odbc_version < static_cast<int32_t>(SQL_OV_ODBC3) && state) state = odbc2_state(state);
  if (!vendor) vendor = KY_DIAG_VENDOR;
  auto* r = static_cast<ErrorRecord*>(newNode(sizeof(ErrorRecord), KY_NODE_ERROR_RECORD, h->pool));
  if (!r) return nullptr;
  r->origin_kind = origin;
  r->column = column;
  r->native_error = native;
  r->row = row;
  const std::string message = "[" + std::string(vendor) + "]" + text;
  r->vendor = string_duplicate(vendor, h->pool);
  r->sqlstate = string_duplicate(state, h->pool);
  r->subclass_origin = string_duplicate(subclass, h->pool);
  r->message = string_duplicate(message.c_str(), h->pool);
  if (!r->vendor || !r->sqlstate || !r->subclass_origin || !r->message) {
    ky_mem_free(h->pool, r->vendor);
    ky_mem_free(h->pool, r->sqlstate);
    ky_mem_free(h->pool, r->subclass_origin);
    ky_mem_free(h->pool, r->message);
    ky_mem_free(h->pool, r);
    return nullptr;
  }
  if (h->last) {
    h->last->next = r;
  } else {
    h->first = r;
  }
  h->last = r;
  h->count++;
  return r->message;
}

ErrorHeader* header_of(void* object) {
  auto* head = static_cast<ky_handle*>(object);
  if (!head) return nullptr;
  if (head->node_kind != KY_NODE_ENV && head->node_kind != KY_NODE_DBC && head->node_kind != KY_NODE_STMT)
    return nullptr;
  return head->errors;
}

template <class T>
int put(void* out, T value) {
  if (out) std::memcpy(out, &value, sizeof value);
  return 0;
}

int put_text(void* out, int32_t capacity, int16_t* len_out, const char* text) {
  return copy_str_buffer(static_cast<char*>(out), capacity, len_out, text);
}

enum class FieldKind { kHeader, kHeaderStatement, kRecord };

struct FieldInfo {
  int32_t id;
  FieldKind kind;
};

constexpr FieldInfo kFields[] = {
    {SQL_DIAG_RETURNCODE, FieldKind::kHeader},
    {SQL_DIAG_NUMBER, FieldKind::kHeader},
    {SQL_DIAG_ROW_COUNT, FieldKind::kHeaderStatement},
    {SQL_DIAG_SQLSTATE, FieldKind::kRecord},
    {SQL_DIAG_NATIVE, FieldKind::kRecord},
    {SQL_DIAG_MESSAGE_TEXT, FieldKind::kRecord},
    {SQL_DIAG_DYNAMIC_FUNCTION, FieldKind::kHeaderStatement},
    {SQL_DIAG_CLASS_ORIGIN, FieldKind::kRecord},
    {SQL_DIAG_SUBCLASS_ORIGIN, FieldKind::kRecord},
    {SQL_DIAG_CONNECTION_NAME, FieldKind::kRecord},
    {SQL_DIAG_SERVER_NAME, FieldKind::kRecord},
    {SQL_DIAG_DYNAMIC_FUNCTION_CODE, FieldKind::kHeaderStatement},
    {SQL_DIAG_CURSOR_ROW_COUNT, FieldKind::kHeaderStatement},
    {SQL_DIAG_ROW_NUMBER, FieldKind::kRecord},
    {SQL_DIAG_COLUMN_NUMBER, FieldKind::kRecord},
};

const FieldInfo* field_info(int32_t id) {
  for (const auto& f : kFields) {
    if (f.id == id) return &f;
  }
  return nullptr;
}

}  // namespace

namespace ky {

int eval_error(ky_eval_context* ctx, const char* sqlstate, const char* message, const char* subclass_origin) {
  if (!ctx) return -1;
  ctx->failed = 1;
  if (ctx->stmt && ctx->stmt->head.errors) {
    ErrorHeader* h = ctx->stmt->head.errors;
    SetReturnCode(h, SQL_ERROR);
    post(h, KY_ORIGIN_ISO, 0, nullptr, 0, 0, subclass_origin, sqlstate, message);
  }
  return -1;
}

}  // namespace ky

extern "C" {

KY_API ErrorHeader* CreateErrorHeader(mem_handle* pool, const ky_handle* owner) {
  auto* h = static_cast<ErrorHeader*>(newNode(sizeof(ErrorHeader), KY_NODE_ERROR_HEADER, pool));
  if (!h) return nullptr;
  h->pool = pool;
  h->odbc_version = owner ? owner->odbc_version : static_cast<int32_t>(SQL_OV_ODBC3);
  return h;
}

KY_API void SetupErrorHeader(ErrorHeader* header, int32_t dynamic_function_code) {
  if (!header) return;
  drop_records(header);
  header->dynamic_function_code = dynamic_function_code;
  header->return_code = 0;
}

KY_API void SetErrorCount(ErrorHeader* header, int32_t row_count) {
  if (header) header->row_count = row_count;
}

KY_API int16_t SetReturnCode(ErrorHeader* header, int16_t return_code) {
  if (header) header->return_code = return_code;
  return return_code;
}

KY_API char* PostError(ErrorHeader* header, int32_t origin_kind, int32_t column, const char* vendor,
                       int32_t native_error, int64_t row, const char* subclass_origin, const char* sqlstate,
                       const char* format, ...) {
  if (!header) return nullptr;
  va_list args;
  va_start(args, format);
  const std::string text = vformat(format, args);
  va_end(args);
  return post(header, origin_kind, column, vendor, native_error, row, subclass_origin, sqlstate, text);
}

KY_API char* PostDalError(void* object, const char* vendor, int32_t native_error, const char* sqlstate,
                          const char* message) {
  ErrorHeader* h = header_of(object);
  if (!h) return nullptr;
  SetReturnCode(h, SQL_ERROR);
  return post(h, KY_ORIGIN_ISO, 0, vendor, native_error, 0, "ISO 9075", sqlstate, message ? message : "");
}

KY_API void FreeErrorHeader(ErrorHeader* header) {
  if (!header) return;
  drop_records(header);
  ky_mem_free(header->pool, header);
}

KY_API int GetDiagRec(ErrorHeader* header, int32_t number, char* sqlstate_out, int32_t* native_out, char* message,
                      int32_t capacity, int16_t* len_out) {
  if (!header || number <= 0) return SQL_ERROR;
  if (number > header->count) return SQL_NO_DATA;
  const ErrorRecord* r = record_at(header, number);
  if (sqlstate_out) {
    std::strncpy(sqlstate_out, r->sqlstate, 5);
    sqlstate_out[5] = '\0';
  }
  if (native_out) *native_out = r->native_error;
  return copy_str_buffer(message, capacity, len_out, r->message);
}

KY_API int GetDiagField(int32_t handle_type, ErrorHeader* header, int32_t number, int32_t identifier, void* out,
                        int32_t capacity, int16_t* len_out) {
  if (!header || number < 0) return SQL_ERROR;
  if (number > header->count) return SQL_NO_DATA;
  const FieldInfo* f = field_info(identifier);
  if (!f) return SQL_ERROR;
  if (f->kind == FieldKind::kHeaderStatement && handle_type != SQL_HANDLE_STMT) return SQL_ERROR;
  if (f->kind == FieldKind::kRecord && number == 0) return SQL_ERROR;
  const ErrorRecord* r = f->kind == FieldKind::kRecord ? record_at(header, number) : nullptr;
  switch (identifier) {
    case SQL_DIAG_RETURNCODE: return put<SQLSMALLINT>(out, header->return_code);
    case SQL_DIAG_NUMBER: return put<SQLINTEGER>(out, header->count);
    case SQL_DIAG_ROW_COUNT: return put<SQLLEN>(out, header->row_count);
    case SQL_DIAG_DYNAMIC_FUNCTION:
      return put_text(out, capacity, len_out, dynamic_function_name(header->dynamic_function_code));
    case SQL_DIAG_DYNAMIC_FUNCTION_CODE: return put<SQLINTEGER>(out, header->dynamic_function_code);
    case SQL_DIAG_CURSOR_ROW_COUNT: return put<SQLLEN>(out, -1);
    case SQL_DIAG_SQLSTATE: return put_text(out, capacity, len_out, r->sqlstate);
    case SQL_DIAG_NATIVE: return put<SQLINTEGER>(out, r->native_error);
    case SQL_DIAG_MESSAGE_TEXT: return put_text(out, capacity, len_out, r->message);
    case SQL_DIAG_CLASS_ORIGIN:
      return put_text(out, capacity, len_out, r->origin_kind == KY_ORIGIN_ODBC3 ? "ODBC 3.0" : "ISO 9075");
    case SQL_DIAG_SUBCLASS_ORIGIN: return put_text(out, capacity, len_out, r->subclass_origin);
    case SQL_DIAG_CONNECTION_NAME: return put_text(out, capacity, len_out, r->vendor);
    case SQL_DIAG_SERVER_NAME: return put_text(out, capacity, len_out, "Kyronde ODBC 3.0");
    case SQL_DIAG_ROW_NUMBER: return put<SQLLEN>(out, r->row);
    case SQL_DIAG_COLUMN_NUMBER: return put<SQLINTEGER>(out, r->column);
    default: return SQL_ERROR;
  }
}

}  // extern "C"
