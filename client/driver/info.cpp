// Driver information: SQLGetFunctions and SQLGetInfo, answered locally for the
// driver's own name, versions and handles, otherwise by the server, with a
// per-connection cache of the fixed-size answers.
#include <cstring>
#include <string>

#include "driver.h"
#include "api.h"
#include "odbc_names.h"
#include "remote.h"
#include "trace.h"
#include "wide.h"

namespace kyvek::driver {

namespace {

enum class InfoKind { kNone, kSmall, kInt, kYesNo, kText, kLocal };

struct Range {
  uint16_t first, last;
};

constexpr Range kSmallTypes[] = {{0, 1},    {9, 9},     {12, 12},   {15, 15},   {22, 24},      {28, 28},
                                 {30, 35},  {46, 46},   {74, 75},   {84, 85},   {88, 88},      {93, 93},
                                 {97, 101}, {106, 107}, {114, 114}, {116, 116}, {10005, 10005}};
constexpr Range kIntTypes[] = {{8, 8},     {26, 26},   {43, 44},   {48, 72},   {78, 83},       {86, 86},
                               {91, 92},   {95, 96},   {102, 102}, {104, 105}, {108, 110},     {112, 112},
                               {115, 115}, {117, 134}, {136, 170}, {172, 173}, {10001, 10001}, {10021, 10022}};
constexpr Range kYesNoTypes[] = {{11, 11}, {19, 21},   {25, 25},   {27, 27},   {36, 37},      {73, 73},
                                 {87, 87}, {103, 103}, {111, 111}, {113, 113}, {10002, 10003}};
constexpr Range kTextTypes[] = {{2, 2},   {10, 10}, {13, 14}, {16, 18},   {29, 29},       {38, 42},      {45, 45},
                                {47, 47}, {89, 90}, {94, 94}, {171, 171}, {10000, 10000}, {10004, 10004}};
constexpr Range kLocalTypes[] = {{3, 4}, {6, 7}, {77, 77}};

template <size_t N>
bool in(const Range (&ranges)[N], unsigned type) {
  for (const Range& r : ranges)
    if (type >= r.first && type <= r.last) return true;
  return false;
}

InfoKind kind_of(unsigned type) {
  if (in(kLocalTypes, type)) return InfoKind::kLocal;
  if (in(kSmallTypes, type)) return InfoKind::kSmall;
  if (in(kIntTypes, type)) return InfoKind::kInt;
  if (in(kYesNoTypes, type)) return InfoKind::kYesNo;
  if (in(kTextTypes, type)) return InfoKind::kText;
  return InfoKind::kNone;
}

// Writes a text answer by the application's buffer length; posts 01004 when cut.
SQLRETURN answer_text(client_dbc* dbc, const char* text, SQLPOINTER value, SQLSMALLINT buflen, SQLSMALLINT* len) {
  size_t n = std::strlen(text);
  if (len) *len = static_cast<SQLSMALLINT>(n);
  if (!value) return SQL_SUCCESS;
  char* out = static_cast<char*>(value);
  if (buflen > static_cast<SQLSMALLINT>(n)) {
    std::memcpy(out, text, n + 1);
    return SQL_SUCCESS;
  }
  if (buflen > 0) {
    std::memcpy(out, text, static_cast<size_t>(buflen - 1));
    out[buflen - 1] = '\0';
  }
  post_client(&dbc->diag, dbc, 4, sqlstate::k01004, false);
  return set_return_code(&dbc->diag, SQL_SUCCESS_WITH_INFO);
}

// The cache is read and filled under the connection's lock, since an
// application may ask from several threads.
bool cache_find(client_dbc* dbc, unsigned type, InfoCacheEntry* out) {
  std::lock_guard<std::recursive_mutex> g(dbc->lock);
  for (int i = 0; i < dbc->info_count; ++i)
    if (dbc->info_cache[i].type == type) {
      *out = dbc->info_cache[i];
      return true;
    }
  return false;
}

void cache_add(client_dbc* dbc, unsigned type, int32_t value) {
  std::lock_guard<std::recursive_mutex> g(dbc->lock);
  InfoCacheEntry seen;
  if (dbc->info_count >= kInfoCacheSize || cache_find(dbc, type, &seen)) return;
  TRACE(kTraceDetail, "\nCaching %u at position %ld\n", type, static_cast<long>(dbc->info_count));
  dbc->info_cache[dbc->info_count++] = {static_cast<uint16_t>(type), value};
}

// The ODBC functions this driver exports, as SQLGetFunctions numbers them:
// made from kyvekcnt.map at build time.
constexpr SQLUSMALLINT kExportedFunctions[] = {
#include "exported_functions.inc"
};

// Entries of the ODBC 2 form of SQLGetFunctions (SQL_API_ALL_FUNCTIONS).
constexpr SQLUSMALLINT kOdbc2FunctionSlots = 100;

bool exported(SQLUSMALLINT id) {
  for (SQLUSMALLINT f : kExportedFunctions)
    if (f == id) return true;
  return false;
}

}  // namespace

bool info_answer_is_text(SQLUSMALLINT type) {
  const InfoKind kind = kind_of(type);
  return kind == InfoKind::kText || kind == InfoKind::kYesNo ||
         (kind == InfoKind::kLocal && type != SQL_DRIVER_HDBC && type != SQL_DRIVER_HENV);
}

}  // namespace kyvek::driver

using namespace kyvek::driver;

namespace kyvek::driver::api {

SQLRETURN get_functions(SQLHDBC handle, SQLUSMALLINT id, SQLUSMALLINT* supported) {
  TRACE(kTraceEntry, "SQLGetFunctions(%p,%u,%p)\n", handle, id, static_cast<void*>(supported));
  if (vekc_chk_handle(kDbc, handle)) return SQL_INVALID_HANDLE;
  auto* dbc = static_cast<client_dbc*>(handle);
  clear_errors(&dbc->diag);
  if (vekc_chk_handle(kEnv, dbc->env)) {
    post_client(&dbc->diag, dbc, 2, sqlstate::kHY000.state, false,
                "General error: Internal client error (GetFunctions)");
    return SQL_INVALID_HANDLE;
  }
  if (!is_connected(dbc)) return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY010);
  if (supported == nullptr) return SQL_SUCCESS;
  // The answer is this driver's own exports: the Driver Manager calls only
  // what is claimed here, and the server stands in for what a data source's
  // driver lacks (descriptor records, for one).
  if (id == SQL_API_ODBC3_ALL_FUNCTIONS) {
    TRACE(kTraceDetail, "SQL_API_ODBC3_ALL_FUNCTIONS\n");
    std::memset(supported, 0, SQL_API_ODBC3_ALL_FUNCTIONS_SIZE * sizeof(SQLUSMALLINT));
    for (SQLUSMALLINT f : kExportedFunctions) supported[f >> 4] |= static_cast<SQLUSMALLINT>(1u << (f & 0xF));
  } else if (id == SQL_API_ALL_FUNCTIONS) {
    TRACE(kTraceDetail, "SQL_API_ALL_FUNCTIONS\n");
    std::memset(supported, 0, kOdbc2FunctionSlots * sizeof(SQLUSMALLINT));
    for (SQLUSMALLINT f : kExportedFunctions)
      if (f < kOdbc2FunctionSlots) supported[f] = SQL_TRUE;
  } else {
    TRACE(kTraceDetail, "SQL_API_A_FUNCTION\n");
    *supported = exported(id) ? SQL_TRUE : SQL_FALSE;
  }
  if (tracing(kTraceDetail)) log_functions_supported(id, supported);
  return SQL_SUCCESS;
}

SQLRETURN get_info(SQLHDBC handle, SQLUSMALLINT type, SQLPOINTER value, SQLSMALLINT buflen, SQLSMALLINT* len) {
  TRACE(kTraceEntry, "SQLGetInfo(%p,%u[%u],%p,%d,%p)\n", handle, type, type, value, buflen, static_cast<void*>(len));
  if (vekc_chk_handle(kDbc, handle)) return SQL_INVALID_HANDLE;
  auto* dbc = static_cast<client_dbc*>(handle);
  clear_errors(&dbc->diag);
  bool passthru = dbc->client_flags & kFlagGetInfoPassthru;
  InfoKind kind = kind_of(type);
  if (kind == InfoKind::kLocal && (passthru || (type == SQL_DRIVER_NAME && len && *len == 4607)) &&
      type != SQL_DRIVER_HDBC && type != SQL_DRIVER_HENV)
    kind = InfoKind::kText;

  if (kind == InfoKind::kLocal) {
    switch (type) {
      case SQL_DRIVER_HDBC:
        if (value) *static_cast<SQLULEN*>(value) = reinterpret_cast<SQLULEN>(dbc);
        if (len) *len = sizeof(SQLULEN);
        return SQL_SUCCESS;
      case SQL_DRIVER_HENV:
        if (value) *static_cast<SQLULEN*>(value) = reinterpret_cast<SQLULEN>(dbc->env);
        if (len) *len = sizeof(SQLULEN);
        return SQL_SUCCESS;
      case SQL_DRIVER_NAME:
        if (!value && !len) return SQL_ERROR;
        return answer_text(dbc, "kyvekclient", value, buflen, len);
      case SQL_DRIVER_VER: return answer_text(dbc, "02.04.0003", value, buflen, len);
      default: return answer_text(dbc, "03.00", value, buflen, len);
    }
  }
  if (kind == InfoKind::kNone) {
    post_client(&dbc->diag, dbc, 0, sqlstate::kHY096, false);
    return SQL_ERROR;
  }
  const char* fallback = type == SQL_DM_VER ? "03.00.0000.0000" : type == SQL_ODBC_VER ? "03.00" : nullptr;
  if (!is_connected(dbc)) {
    if (fallback) return answer_text(dbc, fallback, value, buflen, len);
    return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::k08003);
  }

  bool cached_kind = kind == InfoKind::kSmall || kind == InfoKind::kInt ||
                     (kind == InfoKind::kYesNo && type != SQL_ACCESSIBLE_PROCEDURES);
  if (cached_kind) {
    InfoCacheEntry entry;
    if (cache_find(dbc, type, &entry)) {
      const InfoCacheEntry* hit = &entry;
      if (kind == InfoKind::kInt) {
        TRACE(kTraceDetail, "\tCache HIT\n");
        if (value) *static_cast<SQLUINTEGER*>(value) = static_cast<SQLUINTEGER>(hit->value);
        if (len) *len = 4;
        return SQL_SUCCESS;
      }
      if (kind == InfoKind::kSmall) {
        TRACE(kTraceDetail, "\tCache HIT\n");
        if (value) *static_cast<SQLUSMALLINT*>(value) = static_cast<SQLUSMALLINT>(hit->value);
        if (len) *len = 2;
        return SQL_SUCCESS;
      }
      if (len) {
        TRACE(kTraceDetail, "\tCache HIT\n");
        char text[2] = {static_cast<char>(hit->value), '\0'};
        return answer_text(dbc, text, value, buflen, len);
      }
    }
  }

  void* sd = reinterpret_cast<void*>(dbc->server_dbc);
  bool override_len = dbc->client_flags & kFlagOverrideLength;
  SQLRETURN rc = SQL_ERROR;
  if (kind == InfoKind::kInt) {
    int32_t v = 0;
    rc =
        static_cast<SQLRETURN>(remote_sql_get_info_integer(dbc->rpc, sd, type, &v, override_len ? 4 : buflen, nullptr));
    if (rc_ok(rc)) {
      if (value) *static_cast<SQLUINTEGER*>(value) = static_cast<SQLUINTEGER>(v);
      if (len) *len = 4;
      if (rc == SQL_SUCCESS) cache_add(dbc, type, v);
      TRACE(kTraceData, "\tValue: 0x%lx\n", static_cast<unsigned long>(static_cast<uint32_t>(v)));
    }
  } else if (kind == InfoKind::kSmall) {
    int16_t v = 0;
    rc = static_cast<SQLRETURN>(
        remote_sql_get_info_smallint(dbc->rpc, sd, type, &v, override_len ? 2 : buflen, nullptr));
    if (rc_ok(rc)) {
      if (value) *static_cast<SQLUSMALLINT*>(value) = static_cast<SQLUSMALLINT>(v);
      if (len) *len = 2;
      if (rc == SQL_SUCCESS) cache_add(dbc, type, static_cast<uint16_t>(v));
      TRACE(kTraceData, "\tValue: 0x%lx\n", static_cast<unsigned long>(static_cast<uint16_t>(v)));
    }
  } else {
    if (buflen < 0) return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY090);
    // The server's text arrives in a buffer of our own and is copied by the
    // application's buffer length.
    std::string buf(static_cast<size_t>(buflen) + 1, '\0');
    int32_t cap = value ? buflen : 0;
    int16_t out_len = buflen;
    rc = static_cast<SQLRETURN>(
        remote_sql_get_info_string(dbc->rpc, sd, type, &cap, buf.data(), value ? buflen : 0, &out_len));
    if (rc_ok(rc)) {
      if (value && buflen > 0) {
        size_t n = strnlen(buf.c_str(), static_cast<size_t>(buflen - 1));
        std::memcpy(value, buf.data(), n);
        static_cast<char*>(value)[n] = '\0';
      }
      if (len) *len = out_len;
      if (kind == InfoKind::kYesNo && rc == SQL_SUCCESS && cached_kind) {
        if (out_len == 1)
          cache_add(dbc, type, static_cast<unsigned char>(buf[0]));
        else if (out_len == 0)
          cache_add(dbc, type, 0);
      }
      TRACE(kTraceData, "\tValue: %s\n", buf.c_str());
    } else if (fallback) {
      return answer_text(dbc, fallback, value, buflen, len);
    }
  }
  if (!rc_ok(rc)) retrieve_server_diags(dbc, kDbc, dbc, SQL_HANDLE_DBC, dbc->server_dbc);
  TRACE(kTraceExit, "-SQLGetInfo(%p,%u,%p,%d,%p)=%d\n", handle, type, value, buflen, static_cast<void*>(len), rc);
  return rc;
}

}  // namespace kyvek::driver::api
