// Diagnostics: the driver's own records on each client record, then the
// server's records of the paired server handle, numbered one after the other.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver.h"
#include "api.h"
#include "kyrpc.h"
#include "remote.h"
#include "trace.h"

namespace kyvek::driver {

void post_client(diag_header* hdr, const client_dbc* dbc, int32_t native, const char* state, bool odbc3,
                 const char* fmt, ...) {
  if (!hdr) return;
  char text[KY_MAX_DIAG_MESSAGE + 1];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  const char* origin = odbc3 ? "ODBC 3.0" : "ISO 9075";
  post_error(hdr, VENDOR_CLIENT, odbc3 ? CLASS_ODBC3 : CLASS_ISO, 0, nullptr, dbc ? dbc->dsn_name : nullptr, native, 0,
             origin, state, "%s", text);
  set_return_code(hdr, SQL_ERROR);
}

SQLRETURN post_rc(diag_header* hdr, const client_dbc* dbc, SQLRETURN rc, int32_t native, const char* state,
                  const char* message) {
  post_client(hdr, dbc, native, state, false, "%s", message);
  set_return_code(hdr, rc);
  return rc;
}

void post_client(diag_header* hdr, const client_dbc* dbc, int32_t native, const sqlstate::Row& state, bool odbc3) {
  post_client(hdr, dbc, native, state.state, odbc3, "%s", state.text);
}

SQLRETURN post_rc(diag_header* hdr, const client_dbc* dbc, SQLRETURN rc, int32_t native, const sqlstate::Row& state) {
  return post_rc(hdr, dbc, rc, native, state.state, state.text);
}

bool copy_out(const char* text, char* buf, SQLLEN buflen, SQLLEN* full) {
  size_t n = text ? std::strlen(text) : 0;
  if (full) *full = static_cast<SQLLEN>(n);
  if (!buf || buflen <= 0) return n > 0 && buf != nullptr;
  if (static_cast<SQLLEN>(n) < buflen) {
    std::memcpy(buf, text ? text : "", n + 1);
    return false;
  }
  std::memcpy(buf, text, static_cast<size_t>(buflen - 1));
  buf[buflen - 1] = '\0';
  return true;
}

namespace {

struct DiagTarget {
  diag_header* hdr = nullptr;
  client_dbc* dbc = nullptr;  // the connection that speaks for the handle
  uint64_t remote = 0;        // the paired server handle
  bool valid = false;
};

DiagTarget target_of(SQLSMALLINT type, SQLHANDLE handle) {
  DiagTarget t;
  switch (type) {
    case SQL_HANDLE_ENV: {
      if (vekc_chk_handle(kEnv, handle)) return t;
      auto* env = static_cast<client_env*>(handle);
      t.hdr = &env->diag;
      t.valid = true;
      return t;
    }
    case SQL_HANDLE_DBC: {
      if (vekc_chk_handle(kDbc, handle)) return t;
      auto* dbc = static_cast<client_dbc*>(handle);
      t = {&dbc->diag, dbc, dbc->server_dbc, true};
      return t;
    }
    case SQL_HANDLE_STMT: {
      if (vekc_chk_handle(kStmt, handle)) return t;
      auto* stmt = static_cast<client_stmt*>(handle);
      t = {&stmt->diags, static_cast<client_dbc*>(stmt->owner), reinterpret_cast<uint64_t>(stmt->driver_stmt), true};
      return t;
    }
    case SQL_HANDLE_DESC: {
      if (vekc_chk_handle(kDesc, handle)) return t;
      auto* desc = static_cast<client_desc*>(handle);
      t = {&desc->diag, desc->dbc, desc->server_desc, true};
      return t;
    }
    default: return t;
  }
}

// For an environment: the connection chosen to speak for it, and its server
// environment as the remote handle.
void resolve_env(SQLSMALLINT type, SQLHANDLE handle, DiagTarget& t) {
  if (type != SQL_HANDLE_ENV) return;
  t.dbc = choose_diag_connection(static_cast<client_env*>(handle));
  t.remote = t.dbc ? t.dbc->server_env : 0;
}

void dump_diag(const DiagTarget& t, SQLSMALLINT type, const char* state, const SQLINTEGER* native, const char* msg) {
  int32_t column = -1;
  if (t.remote && t.dbc && t.dbc->rpc) {
    int32_t v = 0;
    if (rc_ok(remote_sql_get_diag_field_integer(t.dbc->rpc, type, reinterpret_cast<void*>(t.remote), 1,
                                                SQL_DIAG_COLUMN_NUMBER, &v)))
      column = v;
  }
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/vekamarc_diags.txt";
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;
  // A file in a shared directory that another user made is not written to.
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
    ::close(fd);
    return;
  }
  std::string line;
  char buf[64];
  if (state) line += "sqlstate=" + std::string(state, strnlen(state, 6)) + " ";
  if (native) {
    std::snprintf(buf, sizeof buf, "native=%ld ", static_cast<long>(*native));
    line += buf;
  }
  if (msg) line += "\"" + std::string(msg) + "\"";
  if (column == -2) {
    line += " Column=Unknown";
  } else if (column != -1) {
    std::snprintf(buf, sizeof buf, " Column=%ld", static_cast<long>(column));
    line += buf;
  }
  line += "\n";
  ssize_t w = ::write(fd, line.data(), line.size());
  (void)w;
  ::close(fd);
}

}  // namespace

}  // namespace kyvek::driver

using namespace kyvek::driver;

namespace kyvek::driver::api {

SQLRETURN get_diag_rec(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT rec, SQLCHAR* state, SQLINTEGER* native,
                       SQLCHAR* msg, SQLSMALLINT buflen, SQLSMALLINT* textlen) {
  TRACE(kTraceEntry, "%s(%d,%p,%d,%p,%p,%p,%d,%p)\n", "SQLGetDiagRec", type, handle, rec, static_cast<void*>(state),
        static_cast<void*>(native), static_cast<void*>(msg), buflen, static_cast<void*>(textlen));
  DiagTarget t = target_of(type, handle);
  if (!t.valid) return SQL_INVALID_HANDLE;
  if (rec < 1 || buflen < 0) return SQL_ERROR;
  int32_t client_count = t.hdr->record_count;
  TRACE(kTraceDiag, "\t%d records on client according to header\n", client_count);
  char* msgc = reinterpret_cast<char*>(msg);
  SQLRETURN rc = SQL_ERROR;
  if (rec <= client_count) {
    const error_record* r = diag_record(t.hdr, rec);
    if (!r) return SQL_NO_DATA;
    if (state) {
      if (r->sqlstate) {
        std::memcpy(state, r->sqlstate, 5);
        state[5] = '\0';
      } else {
        state[0] = '\0';
      }
    }
    if (native) *native = r->native_error;
    SQLLEN full = 0;
    bool cut = copy_out(r->message_text, msgc, buflen, &full);
    if (textlen) *textlen = static_cast<SQLSMALLINT>(full > 32767 ? 32767 : full);
    rc = cut ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
  } else {
    TRACE(kTraceDiag, "\trecord %d NOT found on client\n", rec);
    if (t.hdr->flags & kDiagServerTaken) return SQL_NO_DATA;
    resolve_env(type, handle, t);
    if (type == SQL_HANDLE_ENV && !t.dbc) return SQL_NO_DATA;
    client_dbc* dbc = t.dbc;
    if (vekc_chk_handle(kDbc, dbc)) return SQL_ERROR;
    if (!dbc->rpc || !RPCIsConnected(dbc->rpc) || dbc->dead) return SQL_ERROR;
    if (!t.remote) return SQL_NO_DATA;
    char server_state[6] = {};
    int32_t nat = 0;
    // The server's text arrives in a buffer of our own and is then copied by
    // the application's buffer length, so no reply can overrun the caller.
    std::string text(static_cast<size_t>(buflen > 0 ? buflen : 1) + 1, '\0');
    int32_t text_cap = static_cast<int32_t>(text.size() - 1);
    int16_t len = 0;
    rc = static_cast<SQLRETURN>(remote_sql_get_diag_rec(dbc->rpc, type, reinterpret_cast<void*>(t.remote),
                                                        static_cast<int16_t>(rec - client_count), server_state, &nat,
                                                        &text_cap, text.data(), buflen, &len));
    if (rc_ok(rc)) {
      if (state) {
        std::memcpy(state, server_state, 5);
        state[5] = '\0';
      }
      if (native) *native = nat;
      text[text.size() - 1] = '\0';
      if (msgc && buflen > 0) {
        size_t n = strnlen(text.data(), static_cast<size_t>(buflen - 1));
        std::memcpy(msgc, text.data(), n);
        msgc[n] = '\0';
      }
      if (textlen) *textlen = len;
    }
  }
  if (rc_ok(rc) && tracing(kTraceDiag)) dump_diag(t, type, reinterpret_cast<char*>(state), native, msgc);
  return rc;
}

SQLRETURN get_diag_field(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT rec, SQLSMALLINT id, SQLPOINTER buf,
                         SQLSMALLINT buflen, SQLSMALLINT* strlen_ptr) {
  TRACE(kTraceEntry, "SQLGetDiagField(%d,%p,%d,%d,%p,%d,%p)\n", type, handle, rec, id, buf, buflen,
        static_cast<void*>(strlen_ptr));
  DiagTarget t = target_of(type, handle);
  if (!t.valid) return SQL_INVALID_HANDLE;

  enum class Cls { kHeader, kRecord, kNone };
  enum class Kind { kSmall, kInt, kString };
  Cls cls = Cls::kNone;
  Kind kind = Kind::kInt;
  switch (id) {
    case SQL_DIAG_RETURNCODE:
      cls = Cls::kHeader;
      kind = Kind::kSmall;
      break;
    case SQL_DIAG_NUMBER:
    case SQL_DIAG_ROW_COUNT:
    case SQL_DIAG_DYNAMIC_FUNCTION_CODE:
    case SQL_DIAG_CURSOR_ROW_COUNT: cls = Cls::kHeader; break;
    case SQL_DIAG_DYNAMIC_FUNCTION:
      cls = Cls::kHeader;
      kind = Kind::kString;
      break;
    case SQL_DIAG_SQLSTATE:
    case SQL_DIAG_MESSAGE_TEXT:
    case SQL_DIAG_CLASS_ORIGIN:
    case SQL_DIAG_SUBCLASS_ORIGIN:
    case SQL_DIAG_CONNECTION_NAME:
    case SQL_DIAG_SERVER_NAME:
      cls = Cls::kRecord;
      kind = Kind::kString;
      break;
    case SQL_DIAG_NATIVE:
    case SQL_DIAG_ROW_NUMBER:
    case SQL_DIAG_COLUMN_NUMBER: cls = Cls::kRecord; break;
    default: break;
  }
  if (cls == Cls::kNone) return SQL_ERROR;
  if (cls == Cls::kRecord && rec < 1) return SQL_ERROR;
  if (kind == Kind::kString && buflen < 0) {
    TRACE(kTraceExit, "-SQLGetDiagField=SQL_ERROR (invalid BufferLength)\n");
    return SQL_ERROR;
  }
  bool stmt_only = id == SQL_DIAG_ROW_COUNT || id == SQL_DIAG_DYNAMIC_FUNCTION ||
                   id == SQL_DIAG_DYNAMIC_FUNCTION_CODE || id == SQL_DIAG_CURSOR_ROW_COUNT;
  if (stmt_only && type != SQL_HANDLE_STMT) {
    TRACE(kTraceExit, "-SQLGetDiagField=SQL_ERROR (invalid DiagIdentifier)\n");
    return SQL_ERROR;
  }
  int32_t client_count = t.hdr->record_count;
  if (id == SQL_DIAG_RETURNCODE && (t.hdr->flags & DIAG_RC_RECORDED)) {
    if (buf) *static_cast<SQLRETURN*>(buf) = t.hdr->return_code;
    return SQL_SUCCESS;
  }
  if (cls == Cls::kRecord && rec <= client_count) {
    const error_record* r = diag_record(t.hdr, rec);
    if (!r) return SQL_NO_DATA;
    const char* text = nullptr;
    switch (id) {
      case SQL_DIAG_NATIVE:
        if (buf) *static_cast<SQLINTEGER*>(buf) = r->native_error;
        return SQL_SUCCESS;
      case SQL_DIAG_ROW_NUMBER:
        if (buf) *static_cast<SQLLEN*>(buf) = static_cast<SQLLEN>(r->row_number);
        return SQL_SUCCESS;
      case SQL_DIAG_COLUMN_NUMBER:
        if (buf) *static_cast<SQLINTEGER*>(buf) = r->column_number;
        return SQL_SUCCESS;
      case SQL_DIAG_SQLSTATE: text = r->sqlstate; break;
      case SQL_DIAG_MESSAGE_TEXT: text = r->message_text; break;
      case SQL_DIAG_CLASS_ORIGIN: text = r->class_origin; break;
      case SQL_DIAG_SUBCLASS_ORIGIN: text = r->subclass_origin; break;
      case SQL_DIAG_CONNECTION_NAME: text = r->connection_name; break;
      case SQL_DIAG_SERVER_NAME: text = r->server_name; break;
    }
    SQLLEN full = 0;
    bool cut = copy_out(text, static_cast<char*>(buf), buflen, &full);
    if (strlen_ptr) *strlen_ptr = static_cast<SQLSMALLINT>(full > 32767 ? 32767 : full);
    return cut ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
  }
  if (cls == Cls::kHeader) TRACE(kTraceDiag, "\theader field - client records ignored\n");

  auto client_number = [&]() -> SQLRETURN {
    if (buf) *static_cast<SQLINTEGER*>(buf) = client_count;
    return SQL_SUCCESS;
  };
  // The server's records were copied here already: the list is complete.
  if (t.hdr->flags & kDiagServerTaken) {
    if (id == SQL_DIAG_NUMBER) return client_number();
    if (cls == Cls::kRecord) return SQL_NO_DATA;
  }
  resolve_env(type, handle, t);
  client_dbc* dbc = t.dbc;
  if (type == SQL_HANDLE_ENV && !dbc) return id == SQL_DIAG_NUMBER ? client_number() : SQL_NO_DATA;
  if (vekc_chk_handle(kDbc, dbc)) return SQL_NO_DATA;
  if (!dbc->rpc) return id == SQL_DIAG_NUMBER && buf ? client_number() : SQL_NO_DATA;
  if (!RPCIsConnected(dbc->rpc) || dbc->dead) return id == SQL_DIAG_NUMBER ? client_number() : SQL_ERROR;
  if (!t.remote) return id == SQL_DIAG_NUMBER ? client_number() : SQL_NO_DATA;

  int16_t remote_rec = cls == Cls::kRecord ? static_cast<int16_t>(rec - client_count) : rec;
  void* rh = reinterpret_cast<void*>(t.remote);
  SQLRETURN rc = SQL_ERROR;
  switch (kind) {
    case Kind::kSmall: {
      int16_t v = 0;
      rc = static_cast<SQLRETURN>(remote_sql_get_diag_field_smallint(dbc->rpc, type, rh, remote_rec, id, &v));
      if (rc_ok(rc) && buf) *static_cast<SQLSMALLINT*>(buf) = v;
      break;
    }
    case Kind::kInt: {
      int32_t v = 0;
      rc = static_cast<SQLRETURN>(remote_sql_get_diag_field_integer(dbc->rpc, type, rh, remote_rec, id, &v));
      if (rc_ok(rc) && buf) {
        if (id == SQL_DIAG_NUMBER) v += client_count;
        if (id == SQL_DIAG_ROW_COUNT || id == SQL_DIAG_CURSOR_ROW_COUNT || id == SQL_DIAG_ROW_NUMBER)
          *static_cast<SQLLEN*>(buf) = v;
        else
          *static_cast<SQLINTEGER*>(buf) = v;
      }
      break;
    }
    case Kind::kString: {
      std::string text(static_cast<size_t>(buflen) + 1, '\0');
      int32_t cap = buflen;
      int16_t len = 0;
      rc = static_cast<SQLRETURN>(
          remote_sql_get_diag_field_string(dbc->rpc, type, rh, remote_rec, id, &cap, text.data(), buflen, &len));
      if (rc_ok(rc)) {
        char* out = static_cast<char*>(buf);
        if (out && buflen > 0) {
          size_t n = strnlen(text.data(), static_cast<size_t>(buflen - 1));
          std::memcpy(out, text.data(), n);
          out[n] = '\0';
        }
        if (strlen_ptr) *strlen_ptr = len;
      }
      break;
    }
  }
  return rc;
}

}  // namespace kyvek::driver::api
