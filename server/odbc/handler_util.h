// Small helpers shared by the request handlers: finding a record from a
// received handle, posting server diagnostics, checking lengths the peer sent
// beside a block, and computing how much of an out buffer goes back.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "server_diag.h"
#include "server_records.h"
#include "procedure_list.h"
#include "trace_log.h"

// The name of a procedure as its row gives it (a name without a row does not
// compile).
#define KY_HANDLER_NAME(procedure) (::kyproc::rows::procedure::name)

namespace kyvek::server {

// The record behind a received handle, or null when the link did not issue
// such a record (never reads memory before the registry vouches for it).
inline environment_t* as_env(void* h) {
  return veks_chk_handle(VEKS_ENV, h) == 0 ? static_cast<environment_t*>(h) : nullptr;
}
inline connection_t* as_dbc(void* h) {
  return veks_chk_handle(VEKS_DBC, h) == 0 ? static_cast<connection_t*>(h) : nullptr;
}
inline statement_t* as_stmt(void* h) {
  return veks_chk_handle(VEKS_STMT, h) == 0 ? static_cast<statement_t*>(h) : nullptr;
}
inline descriptor_t* as_desc(void* h) {
  return veks_chk_handle(VEKS_DESC, h) == 0 ? static_cast<descriptor_t*>(h) : nullptr;
}

// The handle kind of each server record.
template <class Rec>
struct RecordKind;
template <>
struct RecordKind<environment_t> {
  static constexpr int16_t kind = VEKS_ENV;
};
template <>
struct RecordKind<connection_t> {
  static constexpr int16_t kind = VEKS_DBC;
};
template <>
struct RecordKind<statement_t> {
  static constexpr int16_t kind = VEKS_STMT;
};
template <>
struct RecordKind<descriptor_t> {
  static constexpr int16_t kind = VEKS_DESC;
};

// Whether a handler clears its record's diagnostics on entry: it does where
// ODBC clears them for the function the procedure carries (every function but
// the diagnostic readers); the transfer procedures that only move bound data
// keep them, as they are parts of one application call.
enum class Diags { keep, clear };
// Whether an unknown handle writes the exit line (a few handlers never trace).
enum class InvalidLine { traced, silent };

// The prologue of every handler on a record: the record behind the received
// handle (checked through the link's registry), its diagnostics cleared when
// asked; null for a handle the link did not issue as such a record, after its
// exit line "-name()=SQL_INVALID_HANDLE". The name is the procedure's, from
// its row (KY_HANDLER_NAME). Every exit after it goes through leave().
template <class Rec>
Rec* enter(void* h, const char* name, Diags diags, InvalidLine line = InvalidLine::traced) {
  if (veks_chk_handle(RecordKind<Rec>::kind, h) != 0) {
    if (line == InvalidLine::traced && trace_on(kTraceExit)) log_printf_tid("-%s()=SQL_INVALID_HANDLE\n", name);
    return nullptr;
  }
  Rec* rec = static_cast<Rec*>(h);
  if (diags == Diags::clear) clear_errors(&rec->diags);
  return rec;
}

// The epilogue: a handler's exit line and result.
inline int16_t leave(const char* name, SQLRETURN rc) {
  if (trace_on(kTraceExit)) log_printf_tid("-%s()=%d\n", name, rc);
  return rc;
}

// The epilogue of a handler with several exits: the handler runs its body
// through it after the prologue (through_exit), so every exit the body takes,
// an early failure as much as the last return, writes the one exit line
// "-name()=rc". A body may say why it leaves (because()); the line then ends
// with the reason in parentheses.
class Exit {
 public:
  explicit Exit(const char* name) : name_(name) {}
  Exit(const Exit&) = delete;
  Exit& operator=(const Exit&) = delete;

  void because(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (!trace_on(kTraceExit)) return;
    va_list args;
    va_start(args, format);
    vsnprintf(reason_, sizeof reason_, format, args);
    va_end(args);
  }
  const char* name() const { return name_; }
  int16_t leave(SQLRETURN rc) const {
    if (reason_[0] == '\0') return server::leave(name_, rc);
    if (trace_on(kTraceExit)) log_printf_tid("-%s()=%d (%s)\n", name_, rc, reason_);
    return rc;
  }

 private:
  const char* name_;
  char reason_[200] = "";
};

// Runs body(exit) and leaves through the exit line with its result.
template <class Body>
int16_t through_exit(const char* name, Body&& body) {
  Exit exit(name);
  if constexpr (std::is_invocable_v<Body&, Exit&>)
    return exit.leave(body(exit));
  else
    return exit.leave(body());
}

// Room for any fixed-size value a driver might write whatever length it is told.
union Scratch {
  SQLLEN len;
  SQLULEN ulen;
  SQLINTEGER i32;
  SQLSMALLINT i16;
  void* ptr;
  char bytes[64];
};

// Server records on statements: vendor "Kyronde ODBC (Server)", "ISO 9075",
// the connection's data source name.
// Without a format the state's text from the table is posted.
#define KY_POST_STMT(stmt, state, native, ...) \
  veks_post(&(stmt)->diags, veks_stmt_dbc(stmt), state, native __VA_OPT__(, ) __VA_ARGS__)
#define KY_POST_DBC(dbc, state, native, ...) veks_post(&(dbc)->diags, dbc, state, native __VA_OPT__(, ) __VA_ARGS__)

// A call refused before the driver is called: the driver's records on the
// handle belong to an earlier call, so only the server's own are listed
// until the next call clears the list.
inline void refused_before_driver(diag_header* diags) {
  diag_lock(diags);
  diags->flags |= DIAG_OWN_ONLY;
  diag_unlock(diags);
}

// A text block from the peer with the length the application gave. The
// length the driver sees never runs past the block: SQL_NTS is accepted only
// when a NUL lies inside it. False (HY090 to post) for anything else.
inline bool text_length(const char* block, int32_t block_len, int64_t given, SQLINTEGER* out) {
  if (block == nullptr || block_len < 0) return false;
  if (given == SQL_NTS) {
    if (memchr(block, '\0', static_cast<size_t>(block_len)) == nullptr) return false;
    *out = SQL_NTS;
    return true;
  }
  if (given < 0 || given > block_len) return false;
  *out = static_cast<SQLINTEGER>(given);
  return true;
}

// The buffer length to give the driver: the peer's value, never more than
// the out buffer's real capacity.
inline int64_t capped(int64_t peer_length, const int32_t* capacity, const void* buffer) {
  if (buffer == nullptr || capacity == nullptr || *capacity <= 0 || peer_length <= 0) return 0;
  return peer_length < *capacity ? peer_length : *capacity;
}

// Bytes of a text out buffer to send back: the reported length + 1 (the
// NUL-terminated length + 1 for SQL_NTS), at most the buffer length.
inline int32_t text_block(const char* buf, int64_t buf_len, int64_t reported) {
  if (buf == nullptr || buf_len <= 0) return 0;
  int64_t n;
  if (reported == SQL_NTS)
    n = static_cast<int64_t>(strnlen(buf, static_cast<size_t>(buf_len))) + 1;
  else if (reported < 0)
    return 0;
  else
    n = reported + 1;
  return static_cast<int32_t>(n < buf_len ? n : buf_len);
}

inline bool succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

}  // namespace kyvek::server
