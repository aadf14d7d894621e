// Environment and connection attributes: the environment's own values, the
// connection attributes cached before connect and passed to the server after,
// and the process-wide pooling and trace settings.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "driver.h"
#include "driver_attr.h"
#include "api.h"
#include "remote.h"
#include "scramble.h"
#include "trace.h"

namespace kyvek::driver {

std::atomic<int32_t> g_connection_pooling{0};

namespace {

std::mutex g_trace_lock;
int32_t g_trace_switch = 0;
std::string g_trace_file;  // empty: none

}  // namespace

void start_trace_log() {
  char source[1024];
  if (choose_ini_source(nullptr, nullptr, source, sizeof source, nullptr, 0, nullptr) == 0)
    init_logging("kyvekclient.log", source, 0);
}

void switch_trace_on() {
  std::lock_guard<std::mutex> g(g_trace_lock);
  g_trace_switch = 1;
  if (!g_trace_file.empty()) {
    set_log_file(g_trace_file.c_str());
  } else {
    std::string file = read_odbc_section("TraceFile");
    if (!file.empty()) {
      g_trace_file = file;
      set_log_file(file.c_str());
    }
  }
  set_trace_mask(0xFFFFFFFFu);
}

namespace {

void switch_trace_off() {
  std::lock_guard<std::mutex> g(g_trace_lock);
  g_trace_switch = 0;
  set_trace_mask(0);
  close_log();
}

enum class Kind { kInt, kPtr, kText, kBin };
enum class When { kAny, kAfter, kBefore };
enum class GetBefore { kCached, kNoConnection, kNullPointer, kGeneralError, kDefault };

struct ConnAttr {
  int32_t attr;
  Kind kind;
  When when;
  uint32_t bit;                    // 0: not cached
  int32_t client_dbc::*num;        // cached number
  std::string* client_dbc::*text;  // cached text
  GetBefore get_before;
  int32_t min, max;  // accepted values when min <= max
  bool cache_get;    // answers from the server are kept
};

using D = client_dbc;
constexpr int32_t kAnyValue = 1, kNoRange = 0;

const ConnAttr kConnAttrs[] = {
    {SQL_ATTR_ASYNC_ENABLE, Kind::kInt, When::kAny, kCaAsyncEnable, &D::async_enable, nullptr, GetBefore::kCached, 0, 1,
     true},
    {SQL_ATTR_ACCESS_MODE, Kind::kInt, When::kAny, kCaAccessMode, &D::access_mode, nullptr, GetBefore::kCached, 0, 1,
     true},
    {SQL_ATTR_AUTOCOMMIT, Kind::kInt, When::kAny, kCaAutocommit, &D::autocommit, nullptr, GetBefore::kCached, 0, 1,
     true},
    {SQL_ATTR_LOGIN_TIMEOUT, Kind::kInt, When::kAny, kCaLoginTimeout, &D::login_timeout, nullptr, GetBefore::kCached,
     kAnyValue, kNoRange, true},
    {SQL_ATTR_TRANSLATE_LIB, Kind::kText, When::kAfter, kCaTranslateLib, nullptr, &D::translate_lib,
     GetBefore::kNoConnection, kAnyValue, kNoRange, true},
    {SQL_ATTR_TRANSLATE_OPTION, Kind::kInt, When::kAfter, kCaTranslateOption, &D::translate_option, nullptr,
     GetBefore::kNoConnection, kAnyValue, kNoRange, true},
    {SQL_ATTR_TXN_ISOLATION, Kind::kInt, When::kAfter, kCaTxnIsolation, &D::txn_isolation, nullptr,
     GetBefore::kNoConnection, kAnyValue, kNoRange, true},
    {SQL_ATTR_CURRENT_CATALOG, Kind::kText, When::kAny, kCaCurrentCatalog, nullptr, &D::current_catalog,
     GetBefore::kNoConnection, kAnyValue, kNoRange, true},
    {SQL_ATTR_ODBC_CURSORS, Kind::kInt, When::kBefore, kCaOdbcCursors, &D::odbc_cursors, nullptr, GetBefore::kCached, 0,
     2, true},
    {SQL_ATTR_QUIET_MODE, Kind::kPtr, When::kAny, kCaQuietMode, nullptr, nullptr, GetBefore::kNullPointer, kAnyValue,
     kNoRange, false},
    {SQL_ATTR_PACKET_SIZE, Kind::kInt, When::kAny, kCaPacketSize, &D::packet_size, nullptr, GetBefore::kCached,
     kAnyValue, kNoRange, true},
    {SQL_ATTR_CONNECTION_TIMEOUT, Kind::kInt, When::kAny, kCaConnectionTimeout, &D::connection_timeout, nullptr,
     GetBefore::kCached, kAnyValue, kNoRange, true},
    {114, Kind::kInt, When::kAny, 0, nullptr, nullptr, GetBefore::kGeneralError, kAnyValue, kNoRange, false},
    {115, Kind::kInt, When::kAny, kCaAnsiApp, &D::ansi_app, nullptr, GetBefore::kCached, kAnyValue, kNoRange, false},
    {1224, Kind::kInt, When::kAny, kCa1224, &D::attr_1224, nullptr, GetBefore::kDefault, kAnyValue, kNoRange, false},
    {SQL_ATTR_METADATA_ID, Kind::kInt, When::kAny, kCaMetadataId, &D::metadata_id, nullptr, GetBefore::kNoConnection, 0,
     1, true},
    {SQL_ATTR_AUTO_IPD, Kind::kInt, When::kAny, 0, &D::auto_ipd, nullptr, GetBefore::kNoConnection, kAnyValue, kNoRange,
     true},
};

struct PassThrough {
  int32_t first, last;
  Kind kind;
  When when;
};

const PassThrough kPassThrough[] = {
    {1203, 1204, Kind::kInt, When::kAny},
    {1208, 1208, Kind::kInt, When::kAny},
    {1217, 1220, Kind::kInt, When::kAny},
    {1222, 1222, Kind::kInt, When::kAny},
    {1227, 1228, Kind::kInt, When::kAny},
    {1241, 1241, Kind::kInt, When::kAny},
    {1243, 1243, Kind::kInt, When::kAny},
    {1252, 1253, Kind::kInt, When::kAny},
    {1255, 1256, Kind::kInt, When::kAny},
    {1262, 1262, Kind::kInt, When::kAny},
    {1290, 1290, Kind::kInt, When::kAny},
    {1211, 1211, Kind::kInt, When::kAfter},
    {1213, 1213, Kind::kInt, When::kAfter},
    {1215, 1216, Kind::kInt, When::kAfter},
    {1257, 1259, Kind::kInt, When::kAfter},
    {1205, 1205, Kind::kPtr, When::kAny},
    {1269, 1269, Kind::kPtr, When::kAny},
    {1207, 1207, Kind::kPtr, When::kAfter},
    {1221, 1221, Kind::kText, When::kAny},
    {1225, 1226, Kind::kText, When::kAny},
    {1242, 1242, Kind::kText, When::kAny},
    {1254, 1254, Kind::kText, When::kAny},
    {1280, 1284, Kind::kText, When::kAny},
    {1212, 1212, Kind::kText, When::kAfter},
    {1214, 1214, Kind::kText, When::kAfter},
    // Statement options set on a connection apply to all its statements.
    {0, 3, Kind::kInt, When::kAny},
    {5, 12, Kind::kInt, When::kAny},
};

const ConnAttr* find_attr(int32_t attr) {
  for (const ConnAttr& a : kConnAttrs)
    if (a.attr == attr) return &a;
  return nullptr;
}

// The kind of an attribute that the tables do not list, from its length.
bool kind_from_length(SQLINTEGER len, Kind* kind, When* when) {
  *when = When::kAny;
  if (len == SQL_IS_INTEGER || len == SQL_IS_UINTEGER)
    *kind = Kind::kInt;
  else if (len == SQL_IS_POINTER)
    *kind = Kind::kPtr;
  else if (len == SQL_NTS || len >= 0)
    *kind = Kind::kText;
  else
    *kind = Kind::kBin;
  return true;
}

void classify(int32_t attr, SQLINTEGER len, const ConnAttr** known, Kind* kind, When* when, bool* listed) {
  *known = find_attr(attr);
  *listed = true;
  if (*known) {
    *kind = (*known)->kind;
    *when = (*known)->when;
    return;
  }
  for (const PassThrough& p : kPassThrough)
    if (attr >= p.first && attr <= p.last) {
      *kind = p.kind;
      *when = p.when;
      return;
    }
  *listed = false;
  if (attr == SQL_ATTR_CONNECTION_DEAD) {
    kind_from_length(len, kind, when);
    *when = When::kAfter;
    return;
  }
  kind_from_length(len, kind, when);
}

SQLRETURN set_trace_attr(client_dbc* dbc, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER len) {
  if (attr == SQL_ATTR_TRACE) {
    auto v = reinterpret_cast<intptr_t>(value);
    if (v != 0 && v != 1) {
      if (!dbc) return SQL_ERROR;
      return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY024);
    }
    if (v == 0)
      switch_trace_off();
    else
      switch_trace_on();
    return SQL_SUCCESS;
  }
  // Trace file.
  auto fail = [&](const sqlstate::Row& state) -> SQLRETURN {
    if (!dbc) return SQL_ERROR;
    return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, state);
  };
  if (!value) return fail(sqlstate::kHY009);
  if (len < 0 && len != SQL_NTS) return fail(sqlstate::kHY090);
  std::string path =
      len == SQL_NTS ? std::string(static_cast<const char*>(value)) : std::string(static_cast<const char*>(value), len);
  if (path.empty()) return fail(sqlstate::kHY024);
  std::lock_guard<std::mutex> g(g_trace_lock);
  g_trace_file = path;
  if (g_trace_switch) set_log_file(path.c_str());
  return SQL_SUCCESS;
}


// Sends one driver-defined attribute to the server's connection.
SQLRETURN send_driver_connect_attr(client_dbc* dbc, const DriverAttr& a) {
  void* sd = reinterpret_cast<void*>(dbc->server_dbc);
  if (driver_attr_form(a.len) == DriverAttrForm::kNumber)
    return static_cast<SQLRETURN>(remote_sql_set_connect_attr_long(dbc->rpc, sd, a.attr, a.number, a.len));
  // The block always ends in a NUL: an empty value still travels as a block.
  const std::string block = a.bytes + '\0';
  return static_cast<SQLRETURN>(remote_sql_set_connect_attr_strbin(
      dbc->rpc, sd, a.attr, static_cast<int32_t>(block.size()), block.data(), a.len));
}

// A driver-defined attribute goes to the target as its StringLength
// describes it; before connect it is kept and sent once connected.
SQLRETURN set_driver_connect_attr(client_dbc* dbc, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER len) {
  DriverAttr a;
  a.attr = attr;
  a.len = len;
  switch (driver_attr_form(len)) {
    case DriverAttrForm::kRefused:
      return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY092.state, driver_attr_refusal(attr, len).c_str());
    case DriverAttrForm::kNumber: a.number = static_cast<SQLLEN>(reinterpret_cast<intptr_t>(value)); break;
    case DriverAttrForm::kBytes:
      if (!value) return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY009);
      a.bytes = len == SQL_NTS ? std::string(static_cast<const char*>(value))
                               : std::string(static_cast<const char*>(value), static_cast<size_t>(len));
      break;
  }
  if (!is_connected(dbc)) {
    std::lock_guard<std::recursive_mutex> g(dbc->lock);
    auto same = std::find_if(dbc->driver_attrs.begin(), dbc->driver_attrs.end(),
                             [&](const DriverAttr& k) { return k.attr == attr; });
    if (same != dbc->driver_attrs.end())
      *same = a;
    else
      dbc->driver_attrs.push_back(a);
    return SQL_SUCCESS;
  }
  SQLRETURN rc = send_driver_connect_attr(dbc, a);
  if (!rc_ok(rc)) retrieve_server_diags(dbc, kDbc, dbc, SQL_HANDLE_DBC, dbc->server_dbc);
  return rc;
}

// Reads a driver-defined attribute from the target: a number in the width
// StringLength asks, or the bytes the target wrote.
SQLRETURN get_driver_connect_attr(client_dbc* dbc, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER buflen,
                                  SQLINTEGER* len) {
  const DriverAttrForm form = driver_attr_form(buflen);
  if (form == DriverAttrForm::kRefused)
    return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY092.state, driver_attr_refusal(attr, buflen).c_str());
  if (!is_connected(dbc)) return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::k08003);
  void* sd = reinterpret_cast<void*>(dbc->server_dbc);
  SQLRETURN rc;
  if (form == DriverAttrForm::kNumber) {
    SQLLEN v = 0;
    rc = static_cast<SQLRETURN>(remote_sql_get_connect_attr_integer(dbc->rpc, sd, attr, &v));
    if (rc_ok(rc)) {
      SQLINTEGER width = put_driver_attr_number(value, buflen, v);
      if (len) *len = width;
    }
  } else {
    const int32_t cap = value && buflen > 0 ? buflen : 0;
    int32_t got = cap, full = 0;
    rc = static_cast<SQLRETURN>(remote_sql_get_connect_attr_binary(dbc->rpc, sd, attr, &got, value, cap, &full));
    if (rc_ok(rc)) {
      // A text the target wrote whole gets its NUL; the bytes are as it wrote them.
      if (value && got >= 0 && got < cap) static_cast<char*>(value)[got] = '\0';
      if (len) *len = full;
    }
  }
  if (!rc_ok(rc)) retrieve_server_diags(dbc, kDbc, dbc, SQL_HANDLE_DBC, dbc->server_dbc);
  return rc;
}

}  // namespace

int send_kept_driver_attrs(client_dbc* dbc) {
  std::vector<DriverAttr> kept;
  {
    std::lock_guard<std::recursive_mutex> g(dbc->lock);
    kept = dbc->driver_attrs;
  }
  int failed = 0;
  for (const DriverAttr& a : kept) {
    SQLRETURN rc = send_driver_connect_attr(dbc, a);
    if (!rc_ok(rc)) {
      TRACE(kTraceDiag, "\t\tSetting driver-defined attribute %d failed with %d\n", a.attr, rc);
      failed = 1;
    }
  }
  return failed;
}

bool cache_connect_option(client_dbc* dbc, int32_t option, SQLULEN value) {
  const ConnAttr* a = find_attr(option);
  if (!a || !a->bit) return false;
  if (a->num) dbc->*(a->num) = static_cast<int32_t>(value);
  if (option == SQL_ATTR_QUIET_MODE) dbc->quiet_mode = reinterpret_cast<void*>(value);
  dbc->attr_set_mask |= a->bit;
  return true;
}

}  // namespace kyvek::driver

using namespace kyvek::driver;

namespace kyvek::driver::api {

SQLRETURN set_env_attr(SQLHENV handle, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER len) {
  TRACE(kTraceEntry, "SQLSetEnvAttr(%p,%d,%p,%d)\n", handle, attr, value, len);
  auto v = static_cast<int32_t>(reinterpret_cast<intptr_t>(value));
  if (attr == SQL_ATTR_CONNECTION_POOLING) {
    if (v < 0 || v > 2) return SQL_ERROR;
    g_connection_pooling = v;
    return SQL_SUCCESS;
  }
  if (vekc_chk_handle(kEnv, handle)) return SQL_INVALID_HANDLE;
  auto* env = static_cast<client_env*>(handle);
  clear_errors(&env->diag);
  {
    std::lock_guard<std::recursive_mutex> g(env->lock);
    if (env->connections) return post_rc(&env->diag, nullptr, SQL_ERROR, 0, sqlstate::kHY011);
  }
  auto invalid = [&] { return post_rc(&env->diag, nullptr, SQL_ERROR, 0, sqlstate::kHY024); };
  switch (attr) {
    case SQL_ATTR_ODBC_VERSION:
      // ODBC 3.80 applications are served as ODBC 3.
      if (v != SQL_OV_ODBC2 && v != SQL_OV_ODBC3 && v != 380) return invalid();
      env->odbc_version = v == SQL_OV_ODBC2 ? 2 : 3;
      env->set_mask |= kEnvSetVersion;
      return SQL_SUCCESS;
    case SQL_ATTR_CP_MATCH:
      if (v != 0 && v != 1) return invalid();
      env->cp_match = v;
      env->set_mask |= kEnvSetCpMatch;
      return SQL_SUCCESS;
    case SQL_ATTR_OUTPUT_NTS:
      if (v != 0 && v != 1) return invalid();
      env->output_nts = v;
      env->set_mask |= kEnvSetOutputNts;
      return SQL_SUCCESS;
    default: return post_rc(&env->diag, nullptr, SQL_ERROR, 0, sqlstate::kHY092.state, "Option type out of range");
  }
}

SQLRETURN get_env_attr(SQLHENV handle, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER buflen, SQLINTEGER* len) {
  TRACE(kTraceEntry, "SQLGetEnvAttr(%p,%d,%p,%d,%p)\n", handle, attr, value, buflen, static_cast<void*>(len));
  if (vekc_chk_handle(kEnv, handle)) return SQL_INVALID_HANDLE;
  auto* env = static_cast<client_env*>(handle);
  clear_errors(&env->diag);
  int32_t v;
  switch (attr) {
    case SQL_ATTR_ODBC_VERSION:
      if (!(env->set_mask & kEnvSetVersion)) {
        TRACE(kTraceExit, "-SQLGetEnvAttr()=SQL_ERROR (No default for SQL_ATTR_ODBC_VERSION)\n");
        return SQL_ERROR;
      }
      v = env->odbc_version;
      break;
    case SQL_ATTR_CONNECTION_POOLING: v = g_connection_pooling; break;
    case SQL_ATTR_CP_MATCH: v = (env->set_mask & kEnvSetCpMatch) ? env->cp_match : 0; break;
    case SQL_ATTR_OUTPUT_NTS: v = (env->set_mask & kEnvSetOutputNts) ? env->output_nts : 1; break;
    case 1065: v = 1; break;
    default: return post_rc(&env->diag, nullptr, SQL_ERROR, 0, sqlstate::kHY092.state, "Option type out of range");
  }
  if (value) *static_cast<SQLINTEGER*>(value) = v;
  if (len) *len = sizeof(SQLINTEGER);
  return SQL_SUCCESS;
}

SQLRETURN set_connect_attr(SQLHDBC handle, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER len) {
  TRACE(kTraceEntry, "SQLSetConnectAttr(%p,%d,%p,%d)\n", handle, attr, value, len);
  bool trace_attr = attr == SQL_ATTR_TRACE || attr == SQL_ATTR_TRACEFILE;
  if (!handle && trace_attr) return set_trace_attr(nullptr, attr, value, len);
  if (vekc_chk_handle(kDbc, handle)) return SQL_INVALID_HANDLE;
  auto* dbc = static_cast<client_dbc*>(handle);
  clear_errors(&dbc->diag);
  if (trace_attr) return set_trace_attr(dbc, attr, value, len);
  if (attr == SQL_ATTR_AUTO_IPD || attr == 2451)
    return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY092.state, "Option type out of range");
  if (attr == 1041 || attr == 1042) return SQL_SUCCESS;
  if (driver_defined_attr(attr)) return set_driver_connect_attr(dbc, attr, value, len);

  const ConnAttr* known;
  Kind kind;
  When when;
  bool listed;
  classify(attr, len, &known, &kind, &when, &listed);
  auto iv = reinterpret_cast<intptr_t>(value);
  if (kind == Kind::kInt && known && known->min <= known->max && (iv < known->min || iv > known->max))
    return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY024);
  if (kind == Kind::kPtr && !listed)
    return post_rc(&dbc->diag, dbc, SQL_ERROR, 23, sqlstate::kHY000.state,
                   "General error: Driver specific SQL_POINTER valuenot supported (SetConnectAttr)");
  std::string text;
  if (kind == Kind::kText) {
    if (!value) return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY009);
    if (len < 0 && len != SQL_NTS) return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY090);
    text = len == SQL_NTS ? std::string(static_cast<const char*>(value))
                          : std::string(static_cast<const char*>(value), static_cast<size_t>(len));
    if (attr == SQL_ATTR_TRANSLATE_LIB && text.empty()) return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY024);
  }
  if (kind == Kind::kBin && len >= -100)
    return post_rc(&dbc->diag, dbc, SQL_ERROR, 21, sqlstate::kHY000.state,
                   "General error: Invalid binary length (SetConnectAttr)");
  if (when == When::kAfter && !is_connected(dbc)) {
    TRACE(kTraceExit, "-%s()=SQL_ERROR (attempt to set attribute before connected)\n", "SQLSetConnectAttr");
    return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::k08003);
  }
  if (when == When::kBefore && is_connected(dbc)) return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::k08002);

  SQLRETURN rc = SQL_SUCCESS;
  if (is_connected(dbc)) {
    void* sd = reinterpret_cast<void*>(dbc->server_dbc);
    switch (kind) {
      case Kind::kInt:
        rc = static_cast<SQLRETURN>(
            remote_sql_set_connect_attr_long(dbc->rpc, sd, attr, static_cast<SQLLEN>(iv), SQL_IS_INTEGER));
        break;
      case Kind::kPtr:
        rc = static_cast<SQLRETURN>(remote_sql_set_connect_attr_ptr(dbc->rpc, sd, attr, value, SQL_IS_POINTER));
        break;
      case Kind::kText:
        rc = static_cast<SQLRETURN>(remote_sql_set_connect_attr_strbin(
            dbc->rpc, sd, attr, static_cast<int32_t>(text.size() + 1), text.c_str(), SQL_NTS));
        break;
      case Kind::kBin: {
        int32_t n = -len - 100;
        rc = static_cast<SQLRETURN>(remote_sql_set_connect_attr_strbin(dbc->rpc, sd, attr, n, value, n));
        break;
      }
    }
    if (!rc_ok(rc)) {
      retrieve_server_diags(dbc, kDbc, dbc, SQL_HANDLE_DBC, dbc->server_dbc);
      return rc;
    }
  }
  // The value is kept only once the server took it (or before connect).
  if (known && known->bit) dbc->attr_set_mask |= known->bit;
  if (known && known->num) dbc->*(known->num) = static_cast<int32_t>(iv);
  if (known && known->text) {
    auto* copy = new (std::nothrow) std::string(text);
    if (!copy) return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY001);
    delete (dbc->*(known->text));
    dbc->*(known->text) = copy;
  }
  if (attr == SQL_ATTR_QUIET_MODE) dbc->quiet_mode = value;
  if (attr >= 0 && attr <= 12 && attr != 4) vek_setoption_allstmts(dbc, attr, static_cast<SQLULEN>(iv));
  return rc;
}

SQLRETURN get_connect_attr(SQLHDBC handle, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER buflen, SQLINTEGER* len) {
  TRACE(kTraceEntry, "SQLGetConnectAttr(%p,%d,%p,%d,%p)\n", handle, attr, value, buflen, static_cast<void*>(len));
  if (attr == SQL_ATTR_TRACE) {
    if (value) *static_cast<SQLUINTEGER*>(value) = static_cast<SQLUINTEGER>(g_trace_switch);
    return SQL_SUCCESS;
  }
  if (attr == SQL_ATTR_TRACEFILE) {
    std::string file;
    {
      std::lock_guard<std::mutex> g(g_trace_lock);
      file = g_trace_file;
    }
    if (len) *len = static_cast<SQLINTEGER>(file.size());
    bool cut = copy_out(file.c_str(), static_cast<char*>(value), buflen, nullptr);
    if (cut && vekc_chk_handle(kDbc, handle) == 0) {
      auto* dbc = static_cast<client_dbc*>(handle);
      clear_errors(&dbc->diag);
      post_client(&dbc->diag, dbc, 4, sqlstate::k01004, false);
      return set_return_code(&dbc->diag, SQL_SUCCESS_WITH_INFO);
    }
    return cut ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
  }
  if (vekc_chk_handle(kDbc, handle)) return SQL_INVALID_HANDLE;
  auto* dbc = static_cast<client_dbc*>(handle);
  clear_errors(&dbc->diag);
  if (driver_defined_attr(attr)) return get_driver_connect_attr(dbc, attr, value, buflen, len);

  const ConnAttr* known;
  Kind kind;
  When when;
  bool listed;
  classify(attr, buflen, &known, &kind, &when, &listed);

  if (is_connected(dbc)) {
    if (attr == SQL_ATTR_CONNECTION_DEAD) {
      if (value) *static_cast<SQLUINTEGER*>(value) = dbc->dead ? SQL_CD_TRUE : SQL_CD_FALSE;
      return SQL_SUCCESS;
    }
    if (attr == SQL_ATTR_QUIET_MODE) {
      if (value) *static_cast<SQLPOINTER*>(value) = nullptr;
      return SQL_SUCCESS;
    }
    void* sd = reinterpret_cast<void*>(dbc->server_dbc);
    SQLRETURN rc = SQL_ERROR;
    switch (kind) {
      case Kind::kInt: {
        SQLLEN v = 0;
        rc = static_cast<SQLRETURN>(remote_sql_get_connect_attr_integer(dbc->rpc, sd, attr, &v));
        if (rc_ok(rc)) {
          if (value) *static_cast<SQLUINTEGER*>(value) = static_cast<SQLUINTEGER>(v);
          if (len) *len = sizeof(SQLUINTEGER);
          if (known && known->cache_get && known->num) dbc->*(known->num) = static_cast<int32_t>(v);
          TRACE(kTraceData, "\tValue: 0x%lx\n", static_cast<unsigned long>(static_cast<uint32_t>(v)));
        }
        break;
      }
      case Kind::kPtr: {
        void* v = nullptr;
        rc = static_cast<SQLRETURN>(remote_sql_get_connect_attr_handle(dbc->rpc, sd, attr, &v));
        if (rc_ok(rc) && value) *static_cast<SQLPOINTER*>(value) = v;
        TRACE(kTraceData, "\tValue: %p\n", v);
        break;
      }
      case Kind::kText:
      case Kind::kBin: {
        SQLINTEGER cap = buflen;
        if (kind == Kind::kText && buflen < 0 && buflen != SQL_NTS)
          return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY090);
        if (kind == Kind::kBin) cap = -buflen - 100;
        if (cap < 0) cap = 0;
        std::string buf(static_cast<size_t>(cap) + 1, '\0');
        int32_t got_cap = cap;
        int32_t out_len = 0;
        if (kind == Kind::kText)
          rc = static_cast<SQLRETURN>(
              remote_sql_get_connect_attr_string(dbc->rpc, sd, attr, &got_cap, buf.data(), cap, &out_len));
        else
          rc = static_cast<SQLRETURN>(
              remote_sql_get_connect_attr_binary(dbc->rpc, sd, attr, &got_cap, buf.data(), cap, &out_len));
        if (rc_ok(rc)) {
          size_t n = static_cast<size_t>(std::min<int64_t>(std::max<int32_t>(got_cap, 0), cap));
          if (value && cap > 0) {
            std::memcpy(value, buf.data(), n);
            if (kind == Kind::kText) static_cast<char*>(value)[std::min<size_t>(n, cap - 1)] = '\0';
          }
          if (len) *len = out_len;
          if (kind == Kind::kText && known && known->cache_get && known->text) {
            auto* copy = new (std::nothrow) std::string(buf.c_str());
            if (copy) {
              delete (dbc->*(known->text));
              dbc->*(known->text) = copy;
            }
          }
          TRACE(kTraceData, "\tValue: %s\n", kind == Kind::kText ? buf.c_str() : "(binary)");
        }
        break;
      }
    }
    if (!rc_ok(rc)) retrieve_server_diags(dbc, kDbc, dbc, SQL_HANDLE_DBC, dbc->server_dbc);
    return rc;
  }

  // Not connected.
  GetBefore gb = known ? known->get_before : GetBefore::kDefault;
  if (gb == GetBefore::kNoConnection || when == When::kAfter) {
    TRACE(kTraceExit, "-SQLGetConnectAttr()=SQL_ERROR (GETTABLE_AFTER_CONNECTED) and no RPC handle)\n");
    return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::k08003);
  }
  if (gb == GetBefore::kNullPointer) {
    if (value) *static_cast<SQLPOINTER*>(value) = nullptr;
    return SQL_SUCCESS;
  }
  if (gb == GetBefore::kCached && known->num) {
    if (value) *static_cast<SQLUINTEGER*>(value) = static_cast<SQLUINTEGER>(dbc->*(known->num));
    if (len) *len = sizeof(SQLUINTEGER);
    return SQL_SUCCESS;
  }
  return post_rc(&dbc->diag, dbc, SQL_ERROR, 6, sqlstate::kHY000.state, "General error: Unexpectedly hit default");
}

}  // namespace kyvek::driver::api
