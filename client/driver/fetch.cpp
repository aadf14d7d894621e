// Fetching and column metadata: SQLBindCol, SQLFetch, SQLFetchScroll,
// SQLExtendedFetch, SQLSetPos, SQLBulkOperations, SQLNumResultCols,
// SQLDescribeCol, SQLColAttribute and the remote road of SQLGetData (the
// server's driver converts). Each fetch is one remote call, after which the
// rowset of all bound columns comes back in one more (fetch_bound_columns).
// Block fetch hooks in at three points: serving a fetch from its cache
// (block_fetch_serve), trying to start before a remote fetch
// (block_fetch_attempt) and serving SQLGetData (block_get_data).
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <vector>

#include "packing.h"
#include "remote.h"
#include "api.h"
#include "sql_types.h"
#include "block_fetch.h"
#include "statements.h"
#include "trace.h"

using namespace kyvek::driver;

namespace {

// The exit line is the guard's (odbc_api.cpp).
SQLRETURN finish(const char*, SQLRETURN rc) { return rc; }

// Follow-up of a fetch that returned SQL_NO_DATA: the parameters' status,
// processed count and output values (a procedure's results are done).
SQLRETURN after_no_data(StmtCall& c) {
  client_desc* ipd = cur_desc(c.stmt, DESC_IPD);
  if (ipd && ipd->array_status_ptr) fetch_parameter_status_array(c);
  if (ipd && ipd->rows_processed_ptr) fetch_processed_counts(c, nullptr, ipd->rows_processed_ptr);
  fetch_bound_parameters(c);
  return SQL_NO_DATA;
}

// Added rows: their bookmarks (and only those) come back in a bound column 0,
// else a fetch by what it held before would bring another row. The other
// rows of the column get the server's copies, which hold what the driver
// wrote there last.
SQLRETURN added_bookmarks(StmtCall& c) {
  client_desc* ard = cur_desc(c.stmt, DESC_ARD);
  if (!ard || ard->n_descrec < 1) return SQL_SUCCESS;
  const client_desc_rec& mark = ard->records[0];
  if (!mark.data_ptr && !mark.octet_length_ptr && !mark.indicator_ptr) return SQL_SUCCESS;
  return fetch_bound_columns(c, 0);
}

// A warning's records are taken over before the follow-up calls (row status,
// counts, bound columns) replace them on the server.
// Any call clears the server's copy, so it is cleared at once: the records are
// then read once, from the driver.
void keep_warnings(StmtCall& c, SQLRETURN rc) {
  if (rc != SQL_SUCCESS_WITH_INFO) return;
  retrieve_server_diags(c.dbc, kStmt, c.stmt, SQL_HANDLE_STMT, reinterpret_cast<uint64_t>(c.server()));
  int16_t n = 0;
  remote_sql_num_result_cols(c.rpc(), c.server(), &n);
}

// After a fetch that found no rows: the rows-fetched count the server's
// driver set to 0 is 0 here too, without asking.
void no_rows(StmtCall& c, SQLRETURN rc) {
  client_desc* ird = cur_desc(c.stmt, DESC_IRD);
  if (rc == SQL_NO_DATA && ird && ird->rows_processed_ptr) *ird->rows_processed_ptr = 0;
}

// Rows processed, row status and bound columns after a successful fetch.
SQLRETURN after_fetch(StmtCall& c, SQLRETURN rc, bool rows_into_block) {
  client_desc* ird = cur_desc(c.stmt, DESC_IRD);
  if (ird) ird->ext_status_ptr = nullptr;
  const bool block = c.stmt->flags & kStmtBlockFetchOn;
  if ((ird && ird->rows_processed_ptr) || block) {
    SQLULEN rows = 0;
    SQLRETURN prc = fetch_processed_counts(c, &rows, nullptr);
    if (prc != SQL_SUCCESS) return prc;
    if (block && rows_into_block) block_fetch_loaded(c, rows);
    if (ird && ird->rows_processed_ptr) *ird->rows_processed_ptr = block ? 1 : rows;
    if (block && rows == 0) {
      c.x->block_cursor = -1;
      return SQL_NO_DATA;
    }
  }
  if (ird && ird->array_status_ptr) {
    SQLRETURN src = fetch_row_status_array(c);
    if (src != SQL_SUCCESS) return src;
  }
  SQLRETURN brc = fetch_bound_columns(c);
  return brc != SQL_SUCCESS ? brc : rc;
}

// One rowset in one wait: the fetch and the calls that only read the server's
// arrays after it (rows processed, row status, bound columns) leave in one
// send; the server answers them in order and the replies are read in order.
// When the fetch brings no rowset (no data, an error, a block of no rows) the
// follow-ups' replies are read and dropped: nothing of the application's is
// written. A warning's records are taken over once every reply is in (the
// follow-ups leave the server's copy as it is).
class RowsetPipeline {
 public:
  using FetchRows = kyproc::client::Queued<kyproc::rows::fetch_rows_processed>;
  using RowStatus = kyproc::client::Queued<kyproc::rows::fetch_row_status>;
  using BoundCols = kyproc::client::Queued<kyproc::rows::fetch_bound_colswv>;

  explicit RowsetPipeline(StmtCall& c) : c_(c) {}
  ~RowsetPipeline() { drop_all(); }
  // After finish: whether the fetch itself succeeded.
  bool fetched() const { return fetched_; }

  // Plans the follow-ups of a fetch of this statement (fetch_kind already
  // set). false when the column transfer needs the server first.
  bool plan(bool counts_wanted) {
    client_desc* ird = cur_desc(c_.stmt, DESC_IRD);
    want_counts_ = counts_wanted;
    status_app_ = ird ? ird->array_status_ptr : nullptr;
    if (status_app_) {
      client_desc* ard = cur_desc(c_.stmt, DESC_ARD);
      SQLULEN count = ard ? ard->array_size : 1;
      if (count < 1) count = 1;
      if (!fits32(count * 2)) return false;
      status_bytes_ = static_cast<int32_t>(count * 2);
      status_array_ = status_app_;
      if (SQLUSMALLINT* cache = block_status_cache(c_.stmt)) status_array_ = cache;
    }
    return plan_bound_columns(c_, -1, columns_, true) == SQL_SUCCESS;
  }

  // Queues the follow-ups after the fetch just queued.
  void queue() {
    RpcHandle* h = c_.rpc();
    void* s = c_.server();
    if (want_counts_) counts_.emplace(h, s, &rows_, &params_);
    if (status_app_) status_.emplace(h, s, &status_bytes_, reinterpret_cast<int16_t*>(status_array_));
    if (!columns_.wv.empty()) columns_q_.emplace(h, s, static_cast<int32_t>(columns_.wv.size()), columns_.wv.data());
  }

  // Reads the fetch's reply, then the follow-ups'; the result of the whole, as
  // the one-call-at-a-time road gives it. block: block-fetch mode.
  template <class Fetch>
  SQLRETURN finish(Fetch& fetch, bool block, bool rows_into_block) {
    SQLRETURN rc = fetch.take();
    c_.x->getdata_count = 0;
    fetched_ = rc_ok(rc);
    if (!fetched_) {
      drop_all();
      keep_warnings(c_, rc);
      if (rc == SQL_NO_DATA) after_no_data(c_);
      no_rows(c_, rc);
      return rc;
    }
    client_desc* ird = cur_desc(c_.stmt, DESC_IRD);
    if (ird) ird->ext_status_ptr = nullptr;
    SQLRETURN out = follow_ups(block, rows_into_block);
    keep_warnings(c_, rc);
    if (out == kTransferred) {
      SQLRETURN frc = finish_bound_columns(c_, columns_);
      return frc != SQL_SUCCESS ? frc : (column_rc_ != SQL_SUCCESS ? column_rc_ : rc);
    }
    return out == SQL_SUCCESS ? rc : out;
  }

 private:
  static constexpr SQLRETURN kTransferred = -101;

  SQLRETURN follow_ups(bool block, bool rows_into_block) {
    client_desc* ird = cur_desc(c_.stmt, DESC_IRD);
    if (counts_) {
      SQLRETURN prc = counts_->take();
      if (prc != SQL_SUCCESS) {
        TRACE(kTraceDiag, "\tfetch_rows_processed failed with %d\n", prc);
        drop_all();
        return prc;
      }
      TRACE(kTraceData, "\tfetched rows processed: %lu\n\tfetched params processed: %lu\n",
            static_cast<unsigned long>(rows_), static_cast<unsigned long>(params_));
      if (block && rows_into_block) block_fetch_loaded(c_, rows_);
      if (ird && ird->rows_processed_ptr) *ird->rows_processed_ptr = block ? 1 : rows_;
      if (block && rows_ == 0) {
        drop_all();
        c_.x->block_cursor = -1;
        return SQL_NO_DATA;
      }
    }
    if (status_) {
      SQLRETURN src = status_->take();
      if (src != SQL_SUCCESS) {
        drop_all();
        return src;
      }
      if (status_array_ != status_app_) status_app_[0] = status_array_[0];
    }
    if (!columns_q_) return SQL_SUCCESS;
    column_rc_ = columns_q_->take();
    if (!rc_ok(column_rc_)) {
      TRACE(kTraceExit, "\tremote fetch_bound_colswv failed\n");
      return column_rc_;
    }
    return kTransferred;
  }

  // In the order they were sent.
  void drop_all() {
    if (counts_) counts_->drop();
    if (status_) status_->drop();
    if (columns_q_) columns_q_->drop();
  }

  StmtCall& c_;
  bool fetched_ = false;
  bool want_counts_ = false;
  SQLULEN rows_ = 0, params_ = 0;
  SQLUSMALLINT* status_app_ = nullptr;
  SQLUSMALLINT* status_array_ = nullptr;
  int32_t status_bytes_ = 0;
  ColumnTransfer columns_;
  SQLRETURN column_rc_ = SQL_SUCCESS;
  std::optional<FetchRows> counts_;
  std::optional<RowStatus> status_;
  std::optional<BoundCols> columns_q_;
};

// Sends the ARD's row operation array when the application set one.
SQLRETURN send_row_operations(StmtCall& c) {
  client_desc* ard = cur_desc(c.stmt, DESC_ARD);
  if (!ard || !ard->array_status_ptr) return SQL_SUCCESS;
  SQLULEN n = c.stmt->fetch_kind == FETCH_EXTENDED ? ard->rowset_size : ard->array_size;
  if (n < 1) n = 1;
  if (n * 2 > INT32_MAX) return c.fail(0, sqlstate::kHY001);
  return remote_synch_row_operations_array(c.rpc(), c.server(), static_cast<int32_t>(n * 2),
                                           reinterpret_cast<const int16_t*>(ard->array_status_ptr));
}

SQLRETURN row_status_if_any(StmtCall& c) {
  client_desc* ird = cur_desc(c.stmt, DESC_IRD);
  if (!ird) return SQL_SUCCESS;
  if ((c.stmt->fetch_kind == FETCH_EXTENDED && ird->ext_status_ptr) ||
      (c.stmt->fetch_kind != FETCH_EXTENDED && ird->array_status_ptr))
    return fetch_row_status_array(c);
  return SQL_SUCCESS;
}

SQLRETURN rows_processed_if_any(StmtCall& c) {
  client_desc* ird = cur_desc(c.stmt, DESC_IRD);
  if (ird && ird->rows_processed_ptr) return fetch_processed_counts(c, ird->rows_processed_ptr, nullptr);
  return SQL_SUCCESS;
}

// The reads that follow a positioned or bulk operation (row status, the
// bookmark column of added rows or every bound column, rows processed) leave
// in the operation's send, in the order the operation asks them, when all can
// be planned now. Their replies are read in order after the operation's:
// taken when it succeeded, dropped when it failed or needs data. The first
// read that does not give SQL_SUCCESS ends the operation with its result and
// the replies after it are dropped, as the one-call-at-a-time road stops there.
class OperationFollowUps {
 public:
  enum class Step {
    kNone,        // no read at this place
    kStatus,      // row_status_if_any (SQLSetPos)
    kStatusBulk,  // the row status when the array is set (SQLBulkOperations)
    kBookmarks,   // added_bookmarks
    kColumns,     // fetch_bound_columns
    kProcessed    // rows_processed_if_any
  };
  using RowStatus = kyproc::client::Queued<kyproc::rows::fetch_row_status>;
  using BoundCols = kyproc::client::Queued<kyproc::rows::fetch_bound_colswv>;
  using Processed = kyproc::client::Queued<kyproc::rows::fetch_rows_processed>;

  explicit OperationFollowUps(StmtCall& c) : c_(c) {}
  ~OperationFollowUps() { drop_all(); }

  // False when a read needs the server or posts a record first: the caller
  // then takes the one-call-at-a-time road.
  bool plan(std::initializer_list<Step> steps) {
    for (Step s : steps)
      if (!plan_step(s)) return false;
    return true;
  }

  // Right after the operation was queued.
  void queue() {
    RpcHandle* h = c_.rpc();
    void* s = c_.server();
    for (int i = 0; i < count_; ++i) {
      switch (steps_[i]) {
        case Step::kStatus:
        case Step::kStatusBulk:
          status_q_.emplace(h, s, &status_bytes_, reinterpret_cast<int16_t*>(status_array_));
          break;
        case Step::kBookmarks:
        case Step::kColumns:
          columns_q_.emplace(h, s, static_cast<int32_t>(columns_.wv.size()), columns_.wv.data());
          break;
        case Step::kProcessed: processed_q_.emplace(h, s, &rows_, &params_); break;
        case Step::kNone: break;
      }
    }
  }

  // Right after the operation's reply (rc): SQL_SUCCESS, or the result of
  // the first read that did not succeed plainly.
  SQLRETURN collect(SQLRETURN rc) {
    if (!rc_ok(rc)) {
      drop_all();
      return SQL_SUCCESS;
    }
    for (int i = 0; i < count_; ++i) {
      const SQLRETURN r = take(steps_[i]);
      if (r != SQL_SUCCESS) {
        drop_all();
        return r;
      }
    }
    return SQL_SUCCESS;
  }

 private:
  bool plan_step(Step s) {
    client_desc *ard = cur_desc(c_.stmt, DESC_ARD), *ird = cur_desc(c_.stmt, DESC_IRD);
    const bool extended = c_.stmt->fetch_kind == FETCH_EXTENDED;
    switch (s) {
      case Step::kNone: return true;
      case Step::kStatus:
        if (!ird || !(extended ? ird->ext_status_ptr : ird->array_status_ptr)) return true;
        return plan_status();
      case Step::kStatusBulk:
        if (!ird || !ird->array_status_ptr) return true;
        return plan_status();
      case Step::kBookmarks: {
        if (!ard || ard->n_descrec < 1) return true;
        const client_desc_rec& mark = ard->records[0];
        if (!mark.data_ptr && !mark.octet_length_ptr && !mark.indicator_ptr) return true;
        return plan_columns(s, 0);
      }
      case Step::kColumns: return plan_columns(s, -1);
      case Step::kProcessed:
        if (!ird || !ird->rows_processed_ptr) return true;
        processed_app_ = ird->rows_processed_ptr;
        add(s);
        return true;
    }
    return false;
  }

  // As fetch_row_status_array asks it; false where that posts a record.
  bool plan_status() {
    client_desc *ard = cur_desc(c_.stmt, DESC_ARD), *ird = cur_desc(c_.stmt, DESC_IRD);
    const bool extended = c_.stmt->fetch_kind == FETCH_EXTENDED;
    SQLULEN count = ard ? (extended ? ard->rowset_size : ard->array_size) : 1;
    status_app_ = ird ? (extended ? ird->ext_status_ptr : ird->array_status_ptr) : nullptr;
    if (!status_app_) return false;
    status_array_ = status_app_;
    if (SQLUSMALLINT* cache = block_status_cache(c_.stmt)) status_array_ = cache;
    if (count < 1) count = 1;
    if (!fits32(count * 2)) return false;
    status_bytes_ = static_cast<int32_t>(count * 2);
    add(Step::kStatus);
    return true;
  }

  bool plan_columns(Step s, int only_column) {
    if (plan_bound_columns(c_, only_column, columns_, true) != SQL_SUCCESS) return false;
    if (!columns_.wv.empty()) add(s);
    return true;
  }

  void add(Step s) { steps_[count_++] = s; }

  SQLRETURN take(Step s) {
    switch (s) {
      case Step::kStatus:
      case Step::kStatusBulk: {
        const SQLRETURN r = status_q_->take();
        if (status_array_ != status_app_ && rc_ok(r)) status_app_[0] = status_array_[0];
        return r;
      }
      case Step::kBookmarks:
      case Step::kColumns: {
        const SQLRETURN r = columns_q_->take();
        if (!rc_ok(r)) {
          TRACE(kTraceExit, "\tremote fetch_bound_colswv failed\n");
          return r;
        }
        const SQLRETURN frc = finish_bound_columns(c_, columns_);
        return frc != SQL_SUCCESS ? frc : r;
      }
      case Step::kProcessed: {
        const SQLRETURN r = processed_q_->take();
        if (rc_ok(r)) *processed_app_ = rows_;
        return r;
      }
      case Step::kNone: break;
    }
    return SQL_SUCCESS;
  }

  // In the order they were sent.
  void drop_all() {
    for (int i = 0; i < count_; ++i) {
      switch (steps_[i]) {
        case Step::kStatus:
        case Step::kStatusBulk:
          if (status_q_) status_q_->drop();
          break;
        case Step::kBookmarks:
        case Step::kColumns:
          if (columns_q_) columns_q_->drop();
          break;
        case Step::kProcessed:
          if (processed_q_) processed_q_->drop();
          break;
        case Step::kNone: break;
      }
    }
  }

  StmtCall& c_;
  Step steps_[4] = {};
  int count_ = 0;
  SQLUSMALLINT* status_app_ = nullptr;
  SQLUSMALLINT* status_array_ = nullptr;
  int32_t status_bytes_ = 0;
  ColumnTransfer columns_;
  SQLULEN* processed_app_ = nullptr;
  SQLULEN rows_ = 0, params_ = 0;
  std::optional<RowStatus> status_q_;
  std::optional<BoundCols> columns_q_;
  std::optional<Processed> processed_q_;
};

}  // namespace

namespace kyvek::driver {

SQLRETURN follow_remote_fetch(StmtCall& c, SQLRETURN rc) {
  c.x->getdata_count = 0;
  keep_warnings(c, rc);
  if (rc == SQL_NO_DATA) after_no_data(c);
  if (!rc_ok(rc)) {
    c.x->block_cursor = -1;
    no_rows(c, rc);
    return rc;
  }
  return after_fetch(c, rc, false);
}

// The internal form: internal set by block fetch for its own bindings.
SQLRETURN bind_col(SQLHSTMT handle, SQLUSMALLINT column, SQLSMALLINT type, SQLPOINTER target, SQLLEN buflen,
                   SQLLEN* ind, int internal) {
  TRACE(kTraceEntry, "SQLBindCol(%p,%u,%d,%p,%ld,%p)\n", handle, column, type, target, static_cast<long>(buflen),
        static_cast<void*>(ind));
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (BindCol)",
                            "General error: Internal client error (BindCol");
  if (rc != SQL_SUCCESS) return rc;
  if (column == 0 && type != SQL_C_BOOKMARK && type != SQL_C_VARBOOKMARK) return c.fail(0, sqlstate::k07006);
  if (buflen < 0) return c.fail(0, sqlstate::kHY090);
  // Block-fetch mode keeps its own bindings on the server: refuse before
  // anything reaches it (the driver's own keeps the application's aside).
  if ((c.stmt->flags & kStmtBlockFetchOn) && !internal &&
      block_fetch_keeps_binding(c, column, type, target, buflen, ind, &rc))
    return rc;
  if ((c.stmt->flags & kStmtBlockFetchOn) && !internal && !block_fetch_give_way(c.stmt))
    return c.fail(2, sqlstate::kHY000.state, "General error: Already in block-fetch-mode (SQLBindCol)");
  client_desc *ard = cur_desc(c.stmt, DESC_ARD), *ird = cur_desc(c.stmt, DESC_IRD);
  if (column > INT16_MAX - 1) return c.fail(0, sqlstate::k07009);
  client_desc_rec* arec = vekc_expand_desc_recs(ard, column);
  if (!arec || !vekc_expand_desc_recs(ird, column)) return c.fail(0, sqlstate::kHY001);
  const bool same = target && ind && arec->data_ptr && arec->octet_length_ptr && arec->concise_type == type &&
                    arec->octet_length == buflen;
  TRACE(kTraceDetail, "\tPassthru:%d\n", same ? 0 : 1);
  rc = SQL_SUCCESS;
  if (!same) {
    rc = remote_sql_bind_col(c.rpc(), c.server(), static_cast<int16_t>(column), type, target ? 1 : 0,
                             static_cast<SQLULEN>(buflen), ind ? 1 : 0);
    if (!rc_ok(rc)) return rc;
  }
  set_ard_binding(ard, arec, column, type, target, buflen, ind);
  return finish("SQLBindCol", rc);
}

void set_ard_binding(client_desc* ard, client_desc_rec* arec, SQLUSMALLINT column, SQLSMALLINT type,
                     SQLPOINTER target, SQLLEN buflen, SQLLEN* ind) {
  arec->octet_length = buflen;
  arec->data_ptr = target;
  arec->concise_type = type;
  arec->type = type;
  arec->datetime_sub = 0;
  if (is_datetime_type(type))
    split_datetime_type(type, &arec->type, nullptr, &arec->datetime_sub, 1);
  else if (is_interval_type(type))
    split_interval_type(type, &arec->type, nullptr, &arec->datetime_sub, 1);
  arec->octet_length_ptr = ind;
  arec->indicator_ptr = ind;
  if (column > ard->bound_count)
    ard->bound_count = static_cast<int16_t>(column);
  else
    vekc_release_desc_recs(ard, 0, 0);
}

}  // namespace kyvek::driver

namespace kyvek::driver::api {

SQLRETURN fetch(SQLHSTMT handle) {
  TRACE(kTraceEntry, "SQLFetch(%p)\n", handle);
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (Fetch)");
  if (rc != SQL_SUCCESS) return rc;
  if (block_fetch_serve(c, 1, nullptr, nullptr, &rc)) return rc;
  block_fetch_attempt(c, 1);
  {
    c.stmt->fetch_kind = FETCH_PLAIN;
    const bool block = c.stmt->flags & kStmtBlockFetchOn;
    client_desc* ird = cur_desc(c.stmt, DESC_IRD);
    RowsetPipeline pipe(c);
    if (pipe.plan((ird && ird->rows_processed_ptr) || block)) {
      kyproc::client::Queued<kyproc::rows::sql_fetch> f(c.rpc(), c.server());
      if (f.queued()) pipe.queue();
      // A block set-up sent ahead of the fetch is answered first.
      const SQLRETURN setup = block_fetch_setup_taken(c);
      rc = pipe.finish(f, block, true);
      if (setup != SQL_SUCCESS) return finish("SQLFetch", block_fetch_setup_failed(c, setup));
      if (!pipe.fetched()) c.x->block_cursor = -1;
      return finish("SQLFetch", block_fetch_quiet(c, rc));
    }
  }
  if (const SQLRETURN setup = block_fetch_setup_taken(c); setup != SQL_SUCCESS)
    return finish("SQLFetch", block_fetch_setup_failed(c, setup));
  rc = remote_sql_fetch(c.rpc(), c.server());
  c.stmt->fetch_kind = FETCH_PLAIN;
  c.x->getdata_count = 0;
  keep_warnings(c, rc);
  if (rc == SQL_NO_DATA) after_no_data(c);
  if (!rc_ok(rc)) {
    c.x->block_cursor = -1;
    no_rows(c, rc);
    return finish("SQLFetch", rc);
  }
  return finish("SQLFetch", block_fetch_quiet(c, after_fetch(c, rc, true)));
}

SQLRETURN fetch_scroll(SQLHSTMT handle, SQLSMALLINT orientation, SQLLEN offset) {
  TRACE(kTraceEntry, "%s(%p,%d,%ld)\n", "SQLFetchScroll", handle, orientation, static_cast<long>(offset));
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (FetchScroll)",
                            "General error: Internal client error (fetchScroll)");
  if (rc != SQL_SUCCESS) return rc;
  if (c.stmt->flags & kStmtBlockFetchOn) {
    // The server's cursor stands at the end of the block: only NEXT is
    // served, and in block mode NEXT is SQLFetch (this block or the next).
    if (orientation != SQL_FETCH_NEXT) return c.fail(0, sqlstate::kHY106, true);
    return fetch(handle);
  }
  if (orientation == SQL_FETCH_BOOKMARK) {
    if (!c.x->fetch_bookmark_ptr) return c.fail(0, sqlstate::kHY111, true);
    SQLLEN len = 0;
    int16_t slen = 0;
    int32_t zero = 0;
    const bool known = rc_ok(remote_sql_col_attribute(c.rpc(), c.server(), 0, SQL_DESC_OCTET_LENGTH, &zero, nullptr, 0,
                                                      &slen, &len)) &&
                       len > 0;
    // A bookmark goes whole or not at all: part of one would fetch another
    // row. Where the driver does not tell the length, a fixed bookmark is 32
    // bits; a variable one cannot be carried.
    if (!known && c.x->options[SQL_USE_BOOKMARKS] == SQL_UB_FIXED)
      len = 4;
    else if (!known)
      return c.fail(5, sqlstate::kHY000.state, "General error: Unable to obtain bookmark length  (SQLFetchScroll)");
    const SQLLEN cap = c.dbc->bookmark_size > 0 ? c.dbc->bookmark_size : 32;
    if (len > cap)
      return c.failf(0, sqlstate::kHY111.state,
                     "Invalid bookmark value: a bookmark of %ld bytes is longer than MaxBookMarkSize (%ld)",
                     static_cast<long>(len), static_cast<long>(cap));
    rc = remote_synch_bookmark(c.rpc(), c.server(), static_cast<int32_t>(len), c.x->fetch_bookmark_ptr);
    if (rc != SQL_SUCCESS) return rc;
  } else if (orientation < SQL_FETCH_NEXT || orientation > SQL_FETCH_RELATIVE) {
    return c.fail(0, sqlstate::kHY106, true);
  }
  {
    const int32_t was = c.stmt->fetch_kind;
    c.stmt->fetch_kind = FETCH_SCROLL;
    client_desc* ird = cur_desc(c.stmt, DESC_IRD);
    RowsetPipeline pipe(c);
    if (!vekc_chk_handle(kDesc, ird) && pipe.plan(ird->rows_processed_ptr != nullptr)) {
      kyproc::client::Queued<kyproc::rows::sql_fetch_scroll> f(c.rpc(), c.server(), orientation,
                                                               static_cast<int32_t>(offset));
      if (f.queued()) pipe.queue();
      return finish("SQLFetchScroll", pipe.finish(f, false, false));
    }
    c.stmt->fetch_kind = was;
  }
  rc = remote_sql_fetch_scroll(c.rpc(), c.server(), orientation, static_cast<int32_t>(offset));
  keep_warnings(c, rc);
  c.stmt->fetch_kind = FETCH_SCROLL;
  c.x->getdata_count = 0;
  if (rc == SQL_NO_DATA) after_no_data(c);
  if (!rc_ok(rc)) {
    no_rows(c, rc);
    return finish("SQLFetchScroll", rc);
  }
  client_desc* ird = cur_desc(c.stmt, DESC_IRD);
  if (vekc_chk_handle(kDesc, ird))
    return c.fail(5, sqlstate::kHY000.state, "General error: Internal descriptor invalid (SQLFetchScroll)");
  ird->ext_status_ptr = nullptr;
  if (ird->rows_processed_ptr) {
    SQLRETURN prc = fetch_processed_counts(c, ird->rows_processed_ptr, nullptr);
    if (prc != SQL_SUCCESS) return prc;
  }
  if (ird->array_status_ptr) {
    SQLRETURN src = fetch_row_status_array(c);
    if (src != SQL_SUCCESS) return src;
  }
  SQLRETURN brc = fetch_bound_columns(c);
  return finish("SQLFetchScroll", brc != SQL_SUCCESS ? brc : rc);
}

SQLRETURN extended_fetch(SQLHSTMT handle, SQLUSMALLINT orientation, SQLLEN offset, SQLULEN* row_count,
                         SQLUSMALLINT* status) {
  TRACE(kTraceEntry, "SQLExtendedFetch(%p,%u,%ld,%p,%p)\n", handle, orientation, static_cast<long>(offset),
        static_cast<void*>(row_count), static_cast<void*>(status));
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (ExtendedFetch)");
  if (rc != SQL_SUCCESS) return rc;
  if ((orientation < SQL_FETCH_NEXT || orientation > SQL_FETCH_RELATIVE) && orientation != SQL_FETCH_BOOKMARK)
    return c.fail(0, sqlstate::kHY106, true);
  if (c.stmt->flags & kStmtBlockFetchOn) {
    if (orientation != SQL_FETCH_NEXT) return c.fail(0, sqlstate::kHY106, true);
    if (block_fetch_serve(c, 2, row_count, status, &rc)) return rc;
  }
  block_fetch_attempt(c, 2);
  client_desc *ard = cur_desc(c.stmt, DESC_ARD), *ird = cur_desc(c.stmt, DESC_IRD);
  const SQLULEN rowset = ard && ard->rowset_size > 0 ? ard->rowset_size : 1;
  if (rowset * 2 > INT32_MAX) return c.fail(0, sqlstate::kHY001);
  SQLULEN rows = 0;
  // In block mode the rowset is the whole block: its statuses go to the
  // block's cache, never into the application's one-row array.
  SQLUSMALLINT* statuses = status;
  if (SQLUSMALLINT* cache = block_status_cache(c.stmt)) statuses = cache;
  int32_t bytes = statuses ? static_cast<int32_t>(rowset * 2) : 0;
  // The rowset's size is the extended fetch's from here on: the column plan
  // reads it.
  c.stmt->fetch_kind = FETCH_EXTENDED;
  // One wait per rowset: the bound-column transfer leaves with the fetch when
  // it can be planned now, and its reply is dropped when no rowset comes.
  ColumnTransfer columns;
  const bool planned = plan_bound_columns(c, -1, columns, true) == SQL_SUCCESS;
  RpcHandle* h = c.rpc();
  void* s = c.server();
  kyproc::client::Queued<kyproc::rows::sql_extended_fetch> f(h, s, static_cast<int16_t>(orientation), offset, &rows,
                                                             &bytes, reinterpret_cast<int16_t*>(statuses));
  std::optional<kyproc::client::Queued<kyproc::rows::fetch_bound_colswv>> columns_q;
  if (planned && f.queued() && !columns.wv.empty())
    columns_q.emplace(h, s, static_cast<int32_t>(columns.wv.size()), columns.wv.data());
  rc = f.take();
  c.x->getdata_count = 0;
  if (ird) ird->ext_status_ptr = status;
  const bool block = c.stmt->flags & kStmtBlockFetchOn;
  const bool brought = rc_ok(rc) && !(block && rows == 0);
  SQLRETURN column_rc = SQL_SUCCESS;
  if (columns_q) {
    if (brought)
      column_rc = columns_q->take();
    else
      columns_q->drop();
  }
  keep_warnings(c, rc);
  // Past the end the count is 0, as the target driver sets it.
  if (rc == SQL_NO_DATA && row_count) *row_count = 0;
  if (!rc_ok(rc)) return finish("SQLExtendedFetch", rc);
  if (block) block_fetch_loaded(c, rows);
  if (row_count) *row_count = block ? 1 : rows;
  if (block && status && rows) *status = statuses[0];
  if (block && rows == 0) {
    c.x->block_cursor = -1;
    return SQL_NO_DATA;
  }
  if (tracing(kTraceData)) {
    TRACE(kTraceData, "\trow count %lu\n", static_cast<unsigned long>(rows));
  }
  if (!planned) {
    SQLRETURN brc = fetch_bound_columns(c);
    return finish("SQLExtendedFetch", brc != SQL_SUCCESS ? brc : rc);
  }
  if (!columns_q) return finish("SQLExtendedFetch", rc);
  if (!rc_ok(column_rc)) {
    TRACE(kTraceExit, "\tremote fetch_bound_colswv failed\n");
    return column_rc;
  }
  SQLRETURN frc = finish_bound_columns(c, columns);
  return finish("SQLExtendedFetch", frc != SQL_SUCCESS ? frc : (column_rc != SQL_SUCCESS ? column_rc : rc));
}

SQLRETURN set_pos(SQLHSTMT handle, SQLSETPOSIROW row, SQLUSMALLINT op, SQLUSMALLINT lock) {
  TRACE(kTraceEntry, "SQLSetPos(%p,%lu,%u,%u)\n", handle, static_cast<unsigned long>(row), op, lock);
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (SetPos)");
  if (rc != SQL_SUCCESS) return rc;
  if (lock > SQL_LOCK_UNLOCK) return c.fail(0, sqlstate::kHY092.state, "Option type out of range");
  if (row == 0 && op == SQL_POSITION) return c.fail(0, sqlstate::kHY109, true);
  if (op > SQL_ADD) return c.fail(0, sqlstate::kHY092.state, "Option type out of range");
  if (row > INT16_MAX) return c.fail(0, sqlstate::kHY107);
  if (op == SQL_UPDATE || op == SQL_DELETE || op == SQL_ADD) {
    if ((rc = send_row_operations(c)) != SQL_SUCCESS) return rc;
  }
  if (op == SQL_UPDATE || (op == SQL_ADD && row == 0)) {
    if ((rc = synch_bound_columns(c, false)) != SQL_SUCCESS) return rc;
  } else if (op == SQL_ADD) {
    if ((rc = synch_bound_columns_specific_row(c, row)) != SQL_SUCCESS) return rc;
  }
  // A refresh of one row brings every row of the rowset; the others go back
  // to what the application had in them.
  std::optional<OtherRowsKept> others;
  if (op == SQL_REFRESH && row != 0) others.emplace(c, row);
  if (op != SQL_POSITION) {
    using Step = OperationFollowUps::Step;
    OperationFollowUps follow(c);
    if (follow.plan({Step::kStatus, op == SQL_ADD ? Step::kBookmarks : Step::kNone,
                     op == SQL_REFRESH ? Step::kColumns : Step::kNone, Step::kProcessed})) {
      kyproc::client::Queued<kyproc::rows::sql_setpos> p(c.rpc(), c.server(), static_cast<int16_t>(row),
                                                         static_cast<int16_t>(op), static_cast<int16_t>(lock));
      if (p.queued()) follow.queue();
      rc = p.take();
      const SQLRETURN frc = follow.collect(rc);
      keep_warnings(c, rc);
      if (rc == SQL_NEED_DATA && (op == SQL_UPDATE || op == SQL_ADD)) c.stmt->need_data_source = NEED_DATA_SETPOS;
      if (!rc_ok(rc)) return finish("SQLSetPos", rc);
      return frc != SQL_SUCCESS ? frc : finish("SQLSetPos", rc);
    }
  }
  rc = remote_sql_setpos(c.rpc(), c.server(), static_cast<int16_t>(row), static_cast<int16_t>(op),
                         static_cast<int16_t>(lock));
  keep_warnings(c, rc);
  if (rc == SQL_NEED_DATA && (op == SQL_UPDATE || op == SQL_ADD)) c.stmt->need_data_source = NEED_DATA_SETPOS;
  if (!rc_ok(rc) || op == SQL_POSITION) return finish("SQLSetPos", rc);
  SQLRETURN frc = row_status_if_any(c);
  if (frc != SQL_SUCCESS) return frc;
  if (op == SQL_ADD && (frc = added_bookmarks(c)) != SQL_SUCCESS) return frc;
  if (op == SQL_REFRESH) {
    frc = fetch_bound_columns(c);
    if (frc != SQL_SUCCESS) return frc;
  }
  frc = rows_processed_if_any(c);
  if (frc != SQL_SUCCESS) return frc;
  return finish("SQLSetPos", rc);
}

SQLRETURN bulk_operations(SQLHSTMT handle, SQLSMALLINT op) {
  TRACE(kTraceEntry, "SQLBulkOperations(%p,%d)\n", handle, op);
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (SQLBulkOperations)");
  if (rc != SQL_SUCCESS) return rc;
  if (op < SQL_ADD || op > SQL_FETCH_BY_BOOKMARK) return c.fail(0, sqlstate::kHY092.state, "Option type out of range");
  if ((rc = send_row_operations(c)) != SQL_SUCCESS) return rc;
  if ((rc = synch_bound_columns(c, op != SQL_ADD)) != SQL_SUCCESS) return rc;
  {
    using Step = OperationFollowUps::Step;
    OperationFollowUps follow(c);
    if (follow.plan({op == SQL_FETCH_BY_BOOKMARK ? Step::kColumns : Step::kNone,
                     op == SQL_ADD ? Step::kBookmarks : Step::kNone, Step::kProcessed, Step::kStatusBulk})) {
      kyproc::client::Queued<kyproc::rows::sql_bulk_operations> b(c.rpc(), c.server(), op);
      if (b.queued()) follow.queue();
      rc = b.take();
      const SQLRETURN frc = follow.collect(rc);
      keep_warnings(c, rc);
      if (rc == SQL_NEED_DATA) c.stmt->need_data_source = NEED_DATA_BULK;
      if (!rc_ok(rc)) return finish("SQLBulkOperations", rc);
      return frc != SQL_SUCCESS ? frc : finish("SQLBulkOperations", rc);
    }
  }
  rc = remote_sql_bulk_operations(c.rpc(), c.server(), op);
  keep_warnings(c, rc);
  if (rc == SQL_NEED_DATA) c.stmt->need_data_source = NEED_DATA_BULK;
  if (!rc_ok(rc)) return finish("SQLBulkOperations", rc);
  SQLRETURN frc;
  if (op == SQL_FETCH_BY_BOOKMARK && (frc = fetch_bound_columns(c)) != SQL_SUCCESS) return frc;
  if (op == SQL_ADD && (frc = added_bookmarks(c)) != SQL_SUCCESS) return frc;
  if ((frc = rows_processed_if_any(c)) != SQL_SUCCESS) return frc;
  client_desc* ird = cur_desc(c.stmt, DESC_IRD);
  if (ird && ird->array_status_ptr && (frc = fetch_row_status_array(c)) != SQL_SUCCESS) return frc;
  return finish("SQLBulkOperations", rc);
}

SQLRETURN num_result_cols(SQLHSTMT handle, SQLSMALLINT* count) {
  TRACE(kTraceEntry, "SQLNumResultCols(%p,%p)\n", handle, static_cast<void*>(count));
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (NumResultCols)");
  if (rc != SQL_SUCCESS) return rc;
  int16_t n = 0;
  if (c.stmt->result_columns >= 0) {
    // Learnt for this result set already: the same answer without a call.
    n = c.stmt->result_columns;
  } else {
    rc = remote_sql_num_result_cols(c.rpc(), c.server(), &n);
    if (!rc_ok(rc)) return rc;
    if (rc == SQL_SUCCESS) c.stmt->result_columns = n;
  }
  if (count) *count = n;
  TRACE(kTraceData, "\tcolumns = %d\n", n);
  return finish("SQLNumResultCols", rc);
}

SQLRETURN describe_col(SQLHSTMT handle, SQLUSMALLINT column, SQLCHAR* name, SQLSMALLINT buflen, SQLSMALLINT* name_len,
                       SQLSMALLINT* sql_type, SQLULEN* size, SQLSMALLINT* digits, SQLSMALLINT* nullable) {
  TRACE(kTraceEntry, "SQLDescribeCol(%p,%u,%p,%d)\n", handle, column, static_cast<void*>(name), buflen);
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (DescribeCol)");
  if (rc != SQL_SUCCESS) return rc;
  if (buflen < 0) return c.fail(0, sqlstate::kHY090);
  int32_t cap = name && buflen > 0 ? buflen : 0;
  int16_t nl = 0, t = 0, d = 0, nu = 0;
  SQLULEN sz = 0;
  // From the result set's descriptions, asked once for all columns, when
  // the answer is whole: a name that fits and may not have been cut by the
  // server (127 bytes), a size that travelled whole.
  const std::vector<DescribedColumn>* all = column >= 1 ? described_columns(c) : nullptr;
  const DescribedColumn* known = all && column <= all->size() ? &(*all)[column - 1] : nullptr;
  if (known && known->name.size() < 127 && known->size < static_cast<SQLULEN>(INT32_MAX) &&
      (!name || known->name.size() < static_cast<size_t>(buflen))) {
    if (name) std::memcpy(name, known->name.c_str(), known->name.size() + 1);
    nl = static_cast<int16_t>(known->name.size());
    t = known->type;
    sz = known->size;
    d = known->digits;
    nu = known->nullable;
    rc = SQL_SUCCESS;
  } else {
    rc = remote_sql_describe_col(c.rpc(), c.server(), static_cast<int16_t>(column), &cap, name,
                                 static_cast<int16_t>(name ? buflen : 0), &nl, &t, &sz, &d, &nu);
    if (!rc_ok(rc)) return rc;
    if (name && buflen > 0) name[cap < buflen ? cap : buflen - 1] = '\0';
  }
  if ((c.dbc->client_flags & kFlagDisguiseWide) && sql_type) {
    const int16_t was = t;
    if (t == SQL_WLONGVARCHAR)
      t = SQL_LONGVARCHAR;
    else if (t == SQL_WVARCHAR)
      t = SQL_VARCHAR;
    else if (t == SQL_WCHAR)
      t = SQL_CHAR;
    if (t != was) TRACE(kTraceData, "\tDisguising Wide\n\t%d disguised as %d\n", was, t);
  }
  if (name_len) *name_len = nl;
  if (sql_type) *sql_type = t;
  if (size) *size = sz;
  if (digits) *digits = d;
  if (nullable) *nullable = nu;
  TRACE(kTraceDetail, "\tColumn:%u Name:%s Type:%d Size:%lu DD:%d N:%d\n", column,
        name ? reinterpret_cast<char*>(name) : "", t, static_cast<unsigned long>(sz), d, nu);
  return finish("SQLDescribeCol", rc);
}

SQLRETURN col_attribute(SQLHSTMT handle, SQLUSMALLINT column, SQLUSMALLINT field, SQLPOINTER buf, SQLSMALLINT buflen,
                        SQLSMALLINT* str_len, SQLLEN* num) {
  TRACE(kTraceEntry, "SQLColAttribute(%p,%u,%u,%p,%d)\n", handle, column, field, buf, buflen);
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (ColAttribute)");
  if (rc != SQL_SUCCESS) return rc;
  static constexpr unsigned kText[] = {1, 14, 15, 16, 17, 18, 22, 23, 27, 28, 29, 1011};
  static constexpr unsigned kNumber[] = {2,  3,  4,  5,    6,    7,    8,    9,    10,   11,   12,
                                         13, 32, 35, 1001, 1002, 1003, 1005, 1006, 1008, 1012, 1013};
  const bool text = std::find(std::begin(kText), std::end(kText), field) != std::end(kText);
  const bool number = std::find(std::begin(kNumber), std::end(kNumber), field) != std::end(kNumber);
  if (!text && !number) return c.fail(0, sqlstate::kHY091);
  int16_t sl = 0;
  SQLLEN nv = 0;
  if (text) {
    if (buflen < 0 && buflen != SQL_NTS) return c.fail(0, sqlstate::kHY090);
    int32_t cap = buf && buflen > 0 ? buflen : 0;
    rc = remote_sql_col_attribute(c.rpc(), c.server(), static_cast<int16_t>(column), static_cast<int16_t>(field), &cap,
                                  buf, static_cast<int16_t>(buflen > 0 ? buflen : 0), &sl, &nv);
    if (rc_ok(rc) && buf && buflen > 0) static_cast<char*>(buf)[cap < buflen ? cap : buflen - 1] = '\0';
  } else {
    int32_t zero = 0;
    rc = remote_sql_col_attribute(c.rpc(), c.server(), static_cast<int16_t>(column), static_cast<int16_t>(field), &zero,
                                  nullptr, 0, &sl, &nv);
  }
  if (rc_ok(rc)) {
    if (str_len) *str_len = sl;
    if (num) *num = nv;
  }
  return finish("SQLColAttribute", rc);
}

SQLRETURN get_data(SQLHSTMT handle, SQLUSMALLINT column, SQLSMALLINT type, SQLPOINTER target, SQLLEN buflen,
                   SQLLEN* ind) {
  TRACE(kTraceEntry, "SQLGetData(%p,%u,%d,%p,%ld,%p)\n", handle, column, type, target, static_cast<long>(buflen),
        static_cast<void*>(ind));
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (GetData)");
  if (rc != SQL_SUCCESS) return rc;
  if (buflen < 0) return c.fail(0, sqlstate::kHY090);
  client_desc *ard = cur_desc(c.stmt, DESC_ARD), *ird = cur_desc(c.stmt, DESC_IRD);
  // Column numbers are checked before any record is looked at.
  if (type == SQL_ARD_TYPE && (!ard || column >= ard->n_descrec)) return c.fail(0, sqlstate::k07009);
  if (block_get_data(c, column, type, target, buflen, ind, &rc)) return rc;
  int16_t t = type;
  if (t == SQL_C_DEFAULT) {
    if ((c.stmt->flags & kStmtNewResult) || c.stmt->result_columns < 0) {
      rc = fetch_column_descriptions(c, nullptr);
      if (rc != SQL_SUCCESS) return rc;
    }
    client_desc_rec* irec = desc_rec(ird, column);
    if (!irec || column > c.stmt->result_columns) return c.fail(0, sqlstate::k07009);
    t = irec->default_ctype;
    if (t == SQL_C_NUMERIC) t = SQL_C_CHAR;
    TRACE(kTraceDetail, "\tMapping SQL_C_DEFAULT to C-Type %d (actual type %d)\n", t, irec->concise_type);
  } else if (t == SQL_ARD_TYPE) {
    t = ard->records[column].concise_type;
  }
  if (is_valid_ctype(t) != 0 && t != SQL_C_GUID) return c.fail(0, sqlstate::kHY003);
  if (column == 0 && t != SQL_C_BOOKMARK && t != SQL_C_VARBOOKMARK) return c.fail(0, sqlstate::kHY003);
  const int64_t tlen = get_type_len(t, target ? buflen : 0, 0);
  if (tlen < 0)
    return c.failf(5, sqlstate::kHY000.state,
                   "General error: Cannot determine length of datatype %d, OctetLength=%ld (SQLGetData)", t,
                   static_cast<long>(buflen));
  block_fetch_note_read(c.stmt, column, t);
  RpcHandle* h = c.rpc();
  void* s = c.server();
  const auto col = static_cast<int16_t>(column);
  SQLLEN got = 0;
  auto store = [&](const void* value, size_t size) {
    if (target && rc_ok(rc) && got != SQL_NULL_DATA) std::memcpy(target, value, size);
  };
  switch (t) {
    case SQL_C_NUMERIC: {
      char v[KY_NUMERIC_RECORD_BYTES] = {};
      int32_t len = sizeof v;
      rc = remote_get_data_numeric(h, s, col, t, &len, v, &got);
      store(v, sizeof(SQL_NUMERIC_STRUCT));
      break;
    }
    case SQL_C_LONG:
    case SQL_C_ULONG:
    case SQL_C_SLONG: {
      int32_t v = 0;
      rc = remote_get_data_long(h, s, col, t, &v, &got);
      store(&v, 4);
      break;
    }
    case SQL_C_SHORT:
    case SQL_C_USHORT:
    case SQL_C_SSHORT: {
      int16_t v = 0;
      rc = remote_get_data_short(h, s, col, t, &v, &got);
      store(&v, 2);
      break;
    }
    case SQL_C_FLOAT: {
      float v = 0;
      rc = remote_get_data_float(h, s, col, t, &v, &got);
      store(&v, 4);
      break;
    }
    case SQL_C_DOUBLE: {
      double v = 0;
      rc = remote_get_data_double(h, s, col, t, &v, &got);
      store(&v, 8);
      break;
    }
    case SQL_C_DATE:
    case SQL_C_TYPE_DATE: {
      int16_t year = 0, md[2] = {};
      rc = remote_get_data_date(h, s, col, t, &year, md, &got);
      SQL_DATE_STRUCT d{year, static_cast<SQLUSMALLINT>(md[0]), static_cast<SQLUSMALLINT>(md[1])};
      store(&d, sizeof d);
      break;
    }
    case SQL_C_TIME:
    case SQL_C_TYPE_TIME: {
      int16_t f[3] = {};
      rc = remote_get_data_time(h, s, col, t, f, &got);
      SQL_TIME_STRUCT v{static_cast<SQLUSMALLINT>(f[0]), static_cast<SQLUSMALLINT>(f[1]),
                        static_cast<SQLUSMALLINT>(f[2])};
      store(&v, sizeof v);
      break;
    }
    case SQL_C_TIMESTAMP:
    case SQL_C_TYPE_TIMESTAMP: {
      int16_t year = 0, f[5] = {};
      int32_t frac = 0;
      rc = remote_get_data_timestamp(h, s, col, t, &year, f, &frac, &got);
      SQL_TIMESTAMP_STRUCT v{year,
                             static_cast<SQLUSMALLINT>(f[0]),
                             static_cast<SQLUSMALLINT>(f[1]),
                             static_cast<SQLUSMALLINT>(f[2]),
                             static_cast<SQLUSMALLINT>(f[3]),
                             static_cast<SQLUSMALLINT>(f[4]),
                             static_cast<SQLUINTEGER>(frac)};
      TRACE(kTraceValues, "\t%4d-%2u-%2u %2u:%2u:%2u.%lu\n", v.year, v.month, v.day, v.hour, v.minute, v.second,
            static_cast<unsigned long>(v.fraction));
      store(&v, sizeof v);
      break;
    }
    default:
      if (is_interval_type(t)) {
        int16_t itype = 0, sign = 0;
        int32_t w[5] = {};
        rc = remote_get_data_interval(h, s, col, t, &itype, &sign, w, &got);
        SQL_INTERVAL_STRUCT v{};
        v.interval_type = static_cast<SQLINTERVAL>(t - 100);
        v.interval_sign = sign;
        if (t == SQL_C_INTERVAL_YEAR || t == SQL_C_INTERVAL_MONTH || t == SQL_C_INTERVAL_YEAR_TO_MONTH) {
          v.intval.year_month.year = static_cast<SQLUINTEGER>(w[0]);
          v.intval.year_month.month = static_cast<SQLUINTEGER>(w[1]);
        } else {
          v.intval.day_second.day = static_cast<SQLUINTEGER>(w[0]);
          v.intval.day_second.hour = static_cast<SQLUINTEGER>(w[1]);
          v.intval.day_second.minute = static_cast<SQLUINTEGER>(w[2]);
          v.intval.day_second.second = static_cast<SQLUINTEGER>(w[3]);
          v.intval.day_second.fraction = static_cast<SQLUINTEGER>(w[4]);
        }
        store(&v, sizeof v);
      } else {
        const SQLLEN cap = target ? std::min<SQLLEN>(buflen, INT32_MAX) : 0;
        int32_t len = static_cast<int32_t>(cap);
        rc = remote_sql_get_data(h, s, col, t, &len, target, static_cast<SQLULEN>(cap), &got);
        if (t == SQL_C_WCHAR && (c.dbc->server_flags & kServerOtherByteOrder) && rc_ok(rc) && target &&
            got != SQL_NULL_DATA) {
          // A server of the other byte order: every 16-bit unit turned round.
          SQLLEN n = rc == SQL_SUCCESS && got >= 0 ? std::min<SQLLEN>(got, cap) : cap;
          n = std::min<SQLLEN>(n, len) & ~SQLLEN{1};
          auto* p = static_cast<unsigned char*>(target);
          for (SQLLEN i = 0; i + 1 < n; i += 2) std::swap(p[i], p[i + 1]);
        }
      }
      break;
  }
  if (rc_ok(rc)) {
    if (ind) *ind = got;
    ++c.x->getdata_count;
  }
  return finish("SQLGetData", rc);
}

}  // namespace kyvek::driver::api
