// Internal functions of the driver's statement units: parameter and column
// transfer, the new-result-set step, the statement entry prologue and the
// hooks through which block fetch serves rows and values from its cache.
#ifndef KYVEK_DRIVER_STATEMENTS_H
#define KYVEK_DRIVER_STATEMENTS_H

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "driver.h"
#include "kyrpc.h"
#include "remote.h"

namespace kyvek::driver {

// ---- the statement entry prologue (execute.cpp) ------------------------------
// A statement entry point's view of its handles; holds the statement's lock.
struct StmtCall {
  client_stmt* stmt = nullptr;
  client_dbc* dbc = nullptr;
  client_stmt* x = nullptr;  // the statement again: its driver-side state
  std::unique_lock<std::recursive_mutex> lock;
  diag_header* diags() const { return &stmt->diags; }
  void* server() const { return stmt->driver_stmt; }
  RpcHandle* rpc() const { return dbc->rpc; }
  // Posts a client record (native, state, text) and returns SQL_ERROR.
  SQLRETURN fail(int32_t native, const char* state, const char* message, bool odbc3 = false) const;
  // The same with the state's text from the table.
  SQLRETURN fail(int32_t native, const sqlstate::Row& state, bool odbc3 = false) const {
    return fail(native, state.state, state.text, odbc3);
  }
  SQLRETURN failf(int32_t native, const char* state, const char* fmt, ...) const __attribute__((format(printf, 4, 5)));
};

// Tag check (SQL_INVALID_HANDLE), clearing the diagnostics, then the owning
// connection's checks with the internal error text for natives 2 and 3
// (text3 defaults to text2). SQL_SUCCESS when the call may go on.
SQLRETURN stmt_enter(SQLHSTMT handle, StmtCall& call, const char* text2, const char* text3 = nullptr);

inline client_desc* cur_desc(const client_stmt* stmt, int slot) { return stmt->current_desc[slot]; }
inline client_desc_rec* desc_rec(client_desc* desc, int n) {
  return desc && n >= 0 && n < desc->n_descrec ? &desc->records[n] : nullptr;
}

// ---- bound buffers and transfer buffers (columns.cpp, params.cpp) ------------
inline bool fits32(uint64_t n) { return n <= static_cast<uint64_t>(INT32_MAX); }

// A descriptor's bind offset, 0 without one.
inline SQLLEN offset_of(const client_desc* d) { return d->bind_offset_ptr ? *d->bind_offset_ptr : 0; }

// p moved by off bytes; null stays null.
template <class T>
T* plus(T* p, SQLLEN off) {
  return p ? reinterpret_cast<T*>(reinterpret_cast<char*>(p) + off) : nullptr;
}

// Grows one of a record's transfer buffers to at least bytes (at least one);
// null when the size passes int32 or memory runs out.
void* transfer_buffer(client_desc_rec* rec, int which, uint64_t bytes);

// After a successful execution: copies server diagnostics on
// SQL_SUCCESS_WITH_INFO, ends block-fetch mode, marks the column types as not
// yet learnt and forgets the kept column count.
void vek_new_result_set(client_stmt* stmt, int metadata, SQLRETURN result);

// ---- parameters (params.cpp) ---------------------------------------------------
// The input values of one execution, sent ahead of their answer: they leave
// in the same send as the execution queued after them, and their answer is
// read first. take() gives it (SQL_SUCCESS when nothing was queued); a
// failure there means the server refused the execution that followed, and the
// caller drops its answer. Goes before the execution's Queued object does.
struct ParamValues;
class QueuedValues {
 public:
  QueuedValues();
  ~QueuedValues();
  QueuedValues(const QueuedValues&) = delete;
  QueuedValues& operator=(const QueuedValues&) = delete;
  SQLRETURN take();

 private:
  friend SQLRETURN put_bound_parameters(StmtCall& c, int mode, QueuedValues* later);
  std::unique_ptr<ParamValues> values_;  // what the queued call was given, kept until its answer
  std::optional<kyproc::client::Queued<kyproc::rows::synch_bound_paramswv>> call_;
};
// Sends the bound input values of an execution (mode 1: SQLExecute, which
// asks the parameter count first when the statement's is not known; 2:
// SQLExecDirect). With later, the transfer is queued there instead of sent.
SQLRETURN put_bound_parameters(StmtCall& c, int mode, QueuedValues* later = nullptr);
// Question marks in a statement text: the most parameter markers it can hold.
int32_t count_param_markers(const SQLCHAR* text, SQLINTEGER len);
SQLRETURN fetch_bound_parameters(StmtCall& c);
SQLRETURN cache_param_descriptions(StmtCall& c);
int retrieve_param_description(StmtCall& c, int number, SQLSMALLINT* type, SQLULEN* size, SQLSMALLINT* digits,
                               SQLSMALLINT* nullable);
SQLRETURN fetch_parameter_status_array(StmtCall& c);
// rows/params: where the two counts go (null: not wanted).
SQLRETURN fetch_processed_counts(StmtCall& c, SQLULEN* rows, SQLULEN* params);
// The output phase's reads of the server's arrays (parameters processed,
// parameter status) sent in the execution's send: queue() right after the
// execution is queued, collect() right after its reply is read and before any
// other call. Their replies are taken when the execution succeeded and
// dropped otherwise (need data, no data, an error): nothing of the
// application's is written then. They leave the server's diagnostics alone.
// Statuses received from the server into the application's array: an entry
// the target driver left unwritten (SQL_PARAM_DIAG_UNAVAILABLE) is not copied.
void merge_parameter_status(SQLUSMALLINT* app, const SQLUSMALLINT* got, size_t n);

class ExecutionFollowUps {
 public:
  ExecutionFollowUps(StmtCall& c, bool local_status);
  ExecutionFollowUps(const ExecutionFollowUps&) = delete;
  ExecutionFollowUps& operator=(const ExecutionFollowUps&) = delete;
  void queue();
  void collect(SQLRETURN execution);
  // Drops both replies: the execution did not run.
  void drop();
  // After collect: whether each came back, and the first failure among them.
  bool counts_taken() const { return counts_taken_; }
  bool status_taken() const { return status_taken_; }
  SQLRETURN result() const { return result_; }

 private:
  StmtCall& c_;
  SQLULEN* processed_ = nullptr;
  SQLUSMALLINT* status_ = nullptr;
  std::vector<SQLUSMALLINT> got_status_;  // the server's statuses, merged into status_
  int32_t status_bytes_ = 0;
  SQLULEN rows_ = 0, params_ = 0;
  bool counts_taken_ = false, status_taken_ = false;
  SQLRETURN result_ = SQL_SUCCESS;
  std::optional<kyproc::client::Queued<kyproc::rows::fetch_rows_processed>> counts_q_;
  std::optional<kyproc::client::Queued<kyproc::rows::fetch_parameter_status>> status_q_;
};
// Output phase after a successful execution (status written locally when the
// server keeps no parameter status array and local_status is set); what came
// back with the execution already (sent) is not asked again.
SQLRETURN output_phase(StmtCall& c, bool local_status, const ExecutionFollowUps* sent = nullptr);

// Bytes of a NUL-terminated text of the C type (wide text counts 16-bit
// units), terminator included; at most max bytes are examined.
uint64_t nts_bytes(int16_t ctype, const void* data, uint64_t max);

// ---- columns (columns.cpp) ---------------------------------------------------
// Learns the result column count and the IRD types once per result set.
SQLRETURN fetch_column_descriptions(StmtCall& c, SQLSMALLINT* count);
// The current result set's columns as SQLDescribeCol gives them, asked all
// at once (describe_col_all) the first time; null when the statement has no
// columns or the server could not give them. with_dbms: the target's DBMS
// name travels in the same wait when the connection does not know it yet.
const std::vector<DescribedColumn>* described_columns(StmtCall& c, bool with_dbms = false);
// Copies the fetched rowset of all bound columns into the application's buffers.
// only_column >= 0: that column alone (the others are left untouched).
SQLRETURN fetch_bound_columns(StmtCall& c, int only_column = -1);
// The same in three steps, for a transfer sent with the fetch: the plan (the
// row array to send; empty when nothing is bound), the remote call, then
// finish_bound_columns, which joins and scatters what came back. A quiet plan
// posts nothing and asks the server nothing: it returns kPlanLater when it
// would, and the caller takes the one-call-at-a-time road.
struct ColumnPacket;
struct ColumnTransfer {
  ColumnTransfer();
  ~ColumnTransfer();
  std::vector<wvarray> wv;
  std::vector<std::unique_ptr<ColumnPacket>> packets;
  int only_column = -1;
};
inline constexpr SQLRETURN kPlanLater = -100;
SQLRETURN plan_bound_columns(StmtCall& c, int only_column, ColumnTransfer& t, bool quiet);
SQLRETURN finish_bound_columns(StmtCall& c, ColumnTransfer& t);
// The application's bound buffers of every row of the rowset but one (row is
// 1-based), put back when it goes: a refresh of one row brings the whole
// rowset from the server, and must leave the other rows as the application
// left them.
class OtherRowsKept {
 public:
  OtherRowsKept(StmtCall& c, SQLSETPOSIROW row);
  ~OtherRowsKept();
  OtherRowsKept(const OtherRowsKept&) = delete;
  OtherRowsKept& operator=(const OtherRowsKept&) = delete;

 private:
  void keep(void* at, size_t bytes);
  struct Slot {
    void* at;
    size_t bytes;
  };
  std::vector<Slot> slots_;
  std::vector<char> saved_;
};
SQLRETURN fetch_row_status_array(StmtCall& c);
// bookmarks_in: the bookmark column is input too (the bulk operations by bookmark).
SQLRETURN synch_bound_columns(StmtCall& c, bool bookmarks_in);
SQLRETURN synch_bound_columns_specific_row(StmtCall& c, SQLSETPOSIROW row);
// Rows of a rowset transfer: the rowset size after SQLExtendedFetch, else the array size.
SQLULEN transfer_rows(const client_stmt* stmt);
int unpack_guids(diag_header* errp, void* dst, uint64_t count, const int32_t* data1, int32_t data1_bytes,
                 const int16_t* pairs, int32_t pairs_bytes, const char* data4, int32_t data4_bytes);

// SQLBindCol's internal form (fetch.cpp): internal 1 is block fetch's own binding.
SQLRETURN bind_col(SQLHSTMT handle, SQLUSMALLINT column, SQLSMALLINT type, SQLPOINTER target, SQLLEN buflen,
                   SQLLEN* ind, int internal);

// ---- block fetch hooks (block_hooks.cpp; block fetch replaces them) -----------
// kind: 1 SQLFetch, 2 SQLExtendedFetch. Returns true when the call was
// answered from the block cache; *rc is then its result.
bool block_fetch_serve(StmtCall& c, int kind, SQLULEN* row_count, SQLUSMALLINT* status, SQLRETURN* rc);
// Tries to switch block fetch on before a remote fetch (kind as above).
void block_fetch_attempt(StmtCall& c, int kind);
// After a remote fetch in block mode: the block's row count arrived.
void block_fetch_loaded(StmtCall& c, SQLULEN rows);
// True when SQLGetData is answered from the block cache (*rc its result).
bool block_get_data(StmtCall& c, SQLUSMALLINT column, SQLSMALLINT type, SQLPOINTER target, SQLLEN buflen, SQLLEN* ind,
                    SQLRETURN* rc);
// Leaves block-fetch mode (new result set, close).
void block_fetch_stop(client_stmt* stmt);
// After a close: block fetch the driver chose itself ends with the cursor.
void block_fetch_closed(client_stmt* stmt);
// A new result set: what the driver's own block fetch learnt of the last ends.
void block_fetch_new_result(client_stmt* stmt);
// A remote SQLGetData on the first row of a result set the driver may read
// ahead on: the C type asked (after SQL_C_DEFAULT) binds the column's cells.
void block_fetch_note_read(client_stmt* stmt, SQLUSMALLINT column, SQLSMALLINT c_type);
// A remote fetch of the driver's own block fetch: the block's warnings are
// dropped, and a row with a value longer than its cell is fetched again from
// the target when it comes up (where the server's cursor can go back).
SQLRETURN block_fetch_quiet(StmtCall& c, SQLRETURN rc);
// Right after a fetch was queued: reads the replies of the block set-up sent
// ahead of it (SQL_SUCCESS when there was none or all went well).
SQLRETURN block_fetch_setup_taken(StmtCall& c);
// After a fetch whose block set-up failed: the mode ends, the fetch fails.
SQLRETURN block_fetch_setup_failed(StmtCall& c, SQLRETURN setup);
// SQLBindCol while the driver's own block fetch runs: when no row of the
// cache is left unread the mode ends (true); else it stays (false).
bool block_fetch_give_way(client_stmt* stmt);
// While the driver's own block fetch runs, the application's row array size
// (the server's is the block's): true with *value set for such an attribute.
bool block_fetch_hides(client_stmt* stmt, SQLINTEGER attr, SQLULEN* value);
// SQLSetStmtAttr(SQL_ATTR_ROW_ARRAY_SIZE) while the driver's own block fetch
// runs: the size is kept (true) and takes over at the fetch after the
// block's last row, where the mode ends (the current row stays readable).
bool block_fetch_keeps_array_size(client_stmt* stmt, SQLULEN size);
// SQLBindCol likewise: the binding is kept, filled from the cache for the
// block's rows still to come (true, *rc the result) and bound on the server
// when the mode ends; false when the mode is not the driver's own.
bool block_fetch_keeps_binding(StmtCall& c, SQLUSMALLINT column, SQLSMALLINT type, SQLPOINTER target, SQLLEN buflen,
                               SQLLEN* ind, SQLRETURN* rc);
// SQLFreeStmt(SQL_UNBIND) while the driver's own block fetch runs: the kept
// bindings go (true); false when the mode is not the driver's own.
bool block_fetch_drops_bindings(client_stmt* stmt);
// After a remote fetch the driver made itself (rc its result): the warnings,
// rows fetched, row statuses and bound columns, as after SQLFetch (fetch.cpp).
SQLRETURN follow_remote_fetch(StmtCall& c, SQLRETURN rc);
// Records a column binding in the ARD as SQLBindCol does (fetch.cpp).
void set_ard_binding(client_desc* ard, client_desc_rec* arec, SQLUSMALLINT column, SQLSMALLINT type,
                     SQLPOINTER target, SQLLEN buflen, SQLLEN* ind);

}  // namespace kyvek::driver

#endif
