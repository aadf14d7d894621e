// Block fetch: starting and ending the mode, serving rows from the cache and
// answering SQLGetData from it.
//
// While the mode is on, every result column is bound on the server to a
// column-wise cache of block-size cells (ARD records mirror those bindings,
// so the ordinary bound-column transfer fills the cache), and the server's
// row array size is the block size. Cells are sized in bytes; a text column
// of n characters gets 4n bytes (UTF-8), at least kMinVariableSlot.
#include "block_fetch.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "convert_parts.h"
#include "remote.h"
#include "sql_types.h"
#include "wide.h"
#include "statements.h"
#include "trace.h"

namespace kyvek::driver {

namespace {

void* server_of(const client_stmt* stmt) { return stmt->driver_stmt; }
client_dbc* dbc_of(const client_stmt* stmt) { return static_cast<client_dbc*>(stmt->owner); }

SQLRETURN set_server_attr(client_dbc* dbc, client_stmt* stmt, int32_t attr, SQLLEN value) {
  TRACE(kTraceDetail, "\tPassthru: sql_set_stmt_attr_integer(%d,%ld)\n", attr, static_cast<long>(value));
  return remote_sql_set_stmt_attr_integer(dbc->rpc, server_of(stmt), attr, value, 0);
}

// The SQLSTATE of the server statement's first diagnostic record.
std::string server_sqlstate(client_dbc* dbc, client_stmt* stmt) {
  char state[8] = {};
  int32_t len = sizeof state - 1;
  int16_t out = 0;
  int rc = remote_sql_get_diag_field_string(dbc->rpc, SQL_HANDLE_STMT, server_of(stmt), 1, SQL_DIAG_SQLSTATE, &len,
                                            state, 7, &out);
  return rc_ok(rc) ? std::string(state, strnlen(state, 7)) : std::string();
}

// Clears the ARD's mirror of the cache bindings.
void clear_ard_bindings(client_desc* ard, int n) {
  if (!ard) return;
  for (int i = 1; i <= n && i < ard->n_descrec; ++i) {
    client_desc_rec& r = ard->records[i];
    r.data_ptr = nullptr;
    r.octet_length_ptr = r.indicator_ptr = nullptr;
    r.concise_type = r.type = r.datetime_sub = 0;
    r.octet_length = 0;
  }
  ard->bound_count = 0;
}

// Takes back everything a start did on the server: bindings and row counts.
// posted: the calls leave with the next call and nobody waits for them (the
// driver's own block fetch, whose undoing cannot fail on a valid handle).
SQLRETURN undo_server_state(client_dbc* dbc, client_stmt* stmt, int n, bool posted = false) {
  client_desc* ard = cur_desc(stmt, DESC_ARD);
  SQLRETURN result = SQL_SUCCESS;
  if (posted) {
    if (ard && ard->bound_count > 0)
      kyproc::client::post<kyproc::rows::sql_free_stmt>(dbc->rpc, server_of(stmt), int16_t{SQL_UNBIND});
    clear_ard_bindings(ard, n);
    if (ard && ard->array_size != 1)
      kyproc::client::post<kyproc::rows::sql_set_stmt_attr_integer>(dbc->rpc, server_of(stmt),
                                                                    int32_t{SQL_ATTR_ROW_ARRAY_SIZE}, SQLLEN{1},
                                                                    int32_t{0});
    if (ard) ard->array_size = 1;
    return result;
  }
  if (ard && ard->bound_count > 0) {
    int rc = remote_sql_free_stmt(dbc->rpc, server_of(stmt), SQL_UNBIND);
    if (rc > 1 || rc < 0) result = static_cast<SQLRETURN>(rc);
  }
  clear_ard_bindings(ard, n);
  if (ard && ard->array_size != 1) {
    int rc = set_server_attr(dbc, stmt, SQL_ATTR_ROW_ARRAY_SIZE, 1);
    if (rc > 1 || rc < 0) result = static_cast<SQLRETURN>(rc);
    ard->array_size = 1;
  }
  if (ard && ard->rowset_size != 1) {
    int rc = set_server_attr(dbc, stmt, SQL_ROWSET_SIZE, 1);
    if (rc > 1 || rc < 0) result = static_cast<SQLRETURN>(rc);
    ard->rowset_size = 1;
  }
  return result;
}

void reset_pieces(BlockCache& cache) {
  for (BlockColumn& col : cache.columns) col.piece = PieceState{};
}

bool is_long_type(int16_t t) { return t == SQL_LONGVARBINARY || t == SQL_LONGVARCHAR || t == SQL_WLONGVARCHAR; }

template <class Q>
struct PendingOf final : PendingCall {
  template <class... A>
  explicit PendingOf(A... a) : q(a...) {}
  Q q;
  int take() override { return q.queued() ? q.take() : -1; }
};

// The column count, asked with the first fetch of a result set the driver
// may read ahead on, so that starting the mode waits for the descriptions
// alone; nobody depends on it, so its failure is no set-up failure.
struct PendingColumnCount final : PendingCall {
  PendingColumnCount(RpcHandle* h, void* server, client_stmt* stmt) : stmt_(stmt), q(h, server, &count_) {}
  int take() override {
    if (q.queued() && q.take() == SQL_SUCCESS && stmt_->result_columns < 0) stmt_->result_columns = count_;
    return SQL_SUCCESS;
  }

 private:
  client_stmt* stmt_;
  int16_t count_ = -1;
  kyproc::client::Queued<kyproc::rows::sql_num_result_cols> q;
};

// Queues a set-up call of the driver's block fetch; it leaves with the fetch.
template <class RowT, class... A>
void queue_setup(BlockCache& cache, A... a) {
  cache.pending.push_back(std::make_unique<PendingOf<kyproc::client::Queued<RowT>>>(a...));
}

void queue_bind(BlockCache& cache, client_stmt* stmt, int column, const BlockColumn& col) {
  client_dbc* dbc = dbc_of(stmt);
  queue_setup<kyproc::rows::sql_bind_col>(cache, dbc->rpc, server_of(stmt), static_cast<int16_t>(column), col.c_type,
                                          int32_t{1}, static_cast<SQLULEN>(col.slot), SQLLEN{1});
}

// Points the ARD record of a column at its cells in the cache.
void mirror_column(client_desc* ard, int column, BlockColumn& col) {
  client_desc_rec& r = ard->records[column];
  r.data_ptr = col.data.data();
  r.octet_length = col.slot;
  r.octet_length_ptr = r.indicator_ptr = col.ind.data();
  r.concise_type = r.type = col.c_type;
  r.datetime_sub = 0;
  if (is_datetime_type(col.c_type))
    split_datetime_type(col.c_type, &r.type, nullptr, &r.datetime_sub, 0x1);
  else if (is_interval_type(col.c_type))
    split_interval_type(col.c_type, &r.type, nullptr, &r.datetime_sub, 0x1);
}

// Sizes the cache for blocks of size rows and queues the server's matching
// row array size and bindings (the server sizes its arrays when it binds).
void size_automatic_blocks(BlockCache& cache, client_stmt* stmt, int32_t size) {
  client_dbc* dbc = dbc_of(stmt);
  client_desc* ard = cur_desc(stmt, DESC_ARD);
  queue_setup<kyproc::rows::sql_set_stmt_attr_integer>(cache, dbc->rpc, server_of(stmt),
                                                       int32_t{SQL_ATTR_ROW_ARRAY_SIZE}, SQLLEN{size}, int32_t{0});
  for (size_t i = 0; i < cache.columns.size(); ++i) {
    BlockColumn& col = cache.columns[i];
    col.data.assign(static_cast<size_t>(col.slot) * static_cast<size_t>(size), 0);
    col.ind.assign(static_cast<size_t>(size), 0);
    mirror_column(ard, static_cast<int>(i + 1), col);
    queue_bind(cache, stmt, static_cast<int>(i + 1), col);
  }
  ard->array_size = static_cast<SQLULEN>(size);
  ard->bound_count = static_cast<int16_t>(cache.columns.size());
  cache.row_status.assign(static_cast<size_t>(size), SQL_ROW_SUCCESS);
  cache.size = size;
}

SQLRETURN cache_columns(client_dbc* dbc, client_stmt* stmt, int n, const int16_t* types, const int32_t* sizes,
                        const int16_t* digits, const int16_t* nulls, std::vector<BlockColumn>& columns,
                        bool quiet = false);

// Starts the driver's own block fetch before the first fetch of a result
// set. Waits: the columns' descriptions unless SQLDescribeCol asked them
// already (with the target's DBMS name, the first time on the connection),
// and the column count when nobody asked it yet; the set-up itself is
// queued and leaves with the fetch.
SQLRETURN start_automatic(StmtCall& c) {
  client_dbc* dbc = c.dbc;
  client_stmt* stmt = c.stmt;
  const std::vector<DescribedColumn>* described = described_columns(c, true);
  if (!described || described->empty()) return SQL_ERROR;
  if (!dbc->target_dbms_known) {
    // The descriptions were known already: the name alone, once per connection.
    char dbms[64] = {};
    int32_t dbms_len = sizeof dbms - 1;
    int16_t dbms_out = 0;
    if (!rc_ok(remote_sql_get_info_string(c.rpc(), reinterpret_cast<void*>(dbc->server_dbc), SQL_DBMS_NAME, &dbms_len,
                                          dbms, sizeof dbms - 1, &dbms_out)))
      return SQL_ERROR;
    dbc->target_dbms.assign(dbms, strnlen(dbms, sizeof dbms));
    dbc->target_dbms_known = true;
  }
  const int n = static_cast<int>(described->size());
  client_desc* ard = cur_desc(stmt, DESC_ARD);
  client_desc* ird = cur_desc(stmt, DESC_IRD);
  if (!ard || !ird || !vekc_expand_desc_recs(ard, n) || !vekc_expand_desc_recs(ird, n)) return SQL_ERROR;
  std::vector<int16_t> types(n), digits(n), nulls(n);
  std::vector<int32_t> sizes(n);
  for (int i = 0; i < n; ++i) {
    const DescribedColumn& d = (*described)[static_cast<size_t>(i)];
    types[i] = d.type;
    sizes[i] = static_cast<int32_t>(std::min<SQLULEN>(d.size, INT32_MAX));
    digits[i] = d.digits;
    nulls[i] = d.nullable;
  }
  std::vector<BlockColumn> columns(n);
  if (cache_columns(dbc, stmt, n, types.data(), sizes.data(), digits.data(), nulls.data(), columns, true) !=
      SQL_SUCCESS)
    return SQL_ERROR;
  BlockCache& cache = block_cache(stmt);
  // Each column in the C type the application asked on the first row, so
  // that the target's driver converts it as it did there.
  for (int i = 0; i < n && static_cast<size_t>(i) < cache.asked.size(); ++i) {
    const int16_t asked = cache.asked[static_cast<size_t>(i)];
    if (asked == 0) continue;
    const SQLLEN slot = typed_slot_bytes(asked, columns[static_cast<size_t>(i)].column_size);
    if (slot < 0) continue;  // read through the driver's own conversion
    BlockColumn& col = columns[static_cast<size_t>(i)];
    col.c_type = asked;
    col.slot = slot;
    col.typed = true;
  }
  cache.pending.clear();
  cache.columns = std::move(columns);
  cache.real_style = dbc->target_dbms == "SQLite" ? kRealSqlite : kRealShortest;
  cache.automatic = true;
  queue_setup<kyproc::rows::sql_set_stmt_attr_integer>(cache, c.rpc(), c.server(), int32_t{SQL_ATTR_ROW_BIND_TYPE},
                                                       SQLLEN{SQL_BIND_BY_COLUMN}, int32_t{0});
  if (!ird->rows_processed_ptr)
    queue_setup<kyproc::rows::sql_set_stmt_attr_integer>(cache, c.rpc(), c.server(),
                                                         int32_t{SQL_ATTR_ROWS_FETCHED_PTR}, SQLLEN{1}, int32_t{0});
  size_automatic_blocks(cache, stmt, kAutoFirstBlock);
  cache.rows = 0;
  cache.next_base = 2;  // the first row was read remotely
  cache.cut_row = -1;
  cache.scroll_known = false;
  stmt->flags |= kStmtBlockFetchOn;
  stmt->block_cursor = 0;
  TRACE(kTraceDetail, "\tBlock-fetch-mode on (the driver's own): %d columns, %d rows per block\n", n, cache.size);
  return SQL_SUCCESS;
}

// The cache's columns from the columns' descriptions (and the IRD records
// filled from them). SQL_ERROR when the result set cannot be cached: a long
// column, no cell size to trust, a type the cache cannot convert from; a
// record is posted only for a type the driver does not know.
SQLRETURN cache_columns(client_dbc* dbc, client_stmt* stmt, int n, const int16_t* types, const int32_t* sizes,
                        const int16_t* digits, const int16_t* nulls, std::vector<BlockColumn>& columns,
                        bool quiet) {
  client_desc* ird = cur_desc(stmt, DESC_IRD);
  int failed_type = 0;
  bool failed = false;
  for (int i = 0; i < n; ++i) {
    int16_t t = types[i];
    if (dbc->client_flags & kFlagDisguiseWide) {
      int16_t d = t == SQL_WLONGVARCHAR ? SQL_LONGVARCHAR
                  : t == SQL_WVARCHAR   ? SQL_VARCHAR
                  : t == SQL_WCHAR      ? SQL_CHAR
                                        : t;
      if (d != t) TRACE(kTraceData, "\t%d disguised as %d\n", t, d);
      t = d;
    }
    if (is_long_type(t)) {
      TRACE(kTraceDetail, "\tFound SQL LONG type column, disabling block-fetch-mode\n");
      return SQL_ERROR;
    }
    int16_t c = 0;
    if (sqltype2ctype(t, &c) != 0) {
      failed = true;
      failed_type = t;
      continue;
    }
    BlockColumn& col = columns[i];
    col.sql_type = t;
    col.natural_type = c;
    // Integers travel as 64 bits whatever their declared width: some drivers
    // (SQLite's) hold wider values than the declared type, and a narrower
    // cell would wrap them silently. The conversions range-check instead.
    col.c_type = source_class_of(c) == kClassInteger && c != SQL_C_BIT ? SQL_C_SBIGINT : c;
    // Reals travel as doubles too: a float cell would round what a driver
    // holds as a double (SQLite's REAL).
    if (c == SQL_C_FLOAT) col.c_type = SQL_C_DOUBLE;
    col.column_size = sizes[i] < 0 ? 0 : static_cast<SQLULEN>(sizes[i]);
    col.digits = digits[i];
    col.nullable = nulls[i];
    col.slot = block_slot_bytes(col.c_type, col.column_size);
    client_desc_rec& r = ird->records[i + 1];
    r.concise_type = t;
    r.default_ctype = c;
    r.scale = digits[i];
    r.length = col.column_size;
    if (col.slot < 0) {
      // No cell size to trust (no size, or too large), or a type the cache
      // cannot convert from (GUID): the result set is served remotely.
      TRACE(kTraceDetail, "\tColumn %d (type %d, size %lu) cannot be cached, disabling block-fetch-mode\n", i + 1, t,
            static_cast<unsigned long>(col.column_size));
      return SQL_ERROR;
    }
  }
  if (failed && quiet) return SQL_ERROR;
  if (failed) {
    post_client(&stmt->diags, dbc, 8, sqlstate::kHY000.state, false,
                "General error: Unexpected sql type %d in IRD ConciseType (start_block_fetch_mode)", failed_type);
    return SQL_ERROR;
  }
  return SQL_SUCCESS;
}

}  // namespace

SQLLEN block_slot_bytes(int16_t c_type, SQLULEN column_size) {
  if (c_type == SQL_C_CHAR || c_type == SQL_C_BINARY) {
    if (column_size == 0 || column_size >= static_cast<SQLULEN>(INT32_MAX)) return -1;
    const uint64_t per_char = c_type == SQL_C_CHAR ? 4 : 1;
    const uint64_t bytes = static_cast<uint64_t>(column_size) * per_char;
    if (bytes >= static_cast<uint64_t>(kMaxBlockSlot)) return -1;
    uint64_t slot = bytes < static_cast<uint64_t>(kMinVariableSlot) ? kMinVariableSlot : bytes;
    return static_cast<SQLLEN>(c_type == SQL_C_CHAR ? slot + 1 : slot);
  }
  if (source_class_of(c_type) == kClassNone) return -1;
  return static_cast<SQLLEN>(get_type_len(c_type, 0, 0));
}

SQLLEN typed_slot_bytes(int16_t c_type, SQLULEN column_size) {
  const bool text = c_type == SQL_C_CHAR || c_type == SQL_C_WCHAR;
  if (text || c_type == SQL_C_BINARY) {
    if (column_size >= static_cast<SQLULEN>(kMaxBlockSlot)) return -1;
    const uint64_t chars = std::max<uint64_t>(column_size, static_cast<uint64_t>(kMinVariableSlot));
    const uint64_t bytes = chars * 4 + (c_type == SQL_C_CHAR ? 1 : c_type == SQL_C_WCHAR ? 2 : 0);
    return bytes > static_cast<uint64_t>(kMaxBlockSlot) ? -1 : static_cast<SQLLEN>(bytes);
  }
  switch (source_class_of(c_type)) {
    case kClassNone:
    case kClassNumeric:
    case kClassYearMonth:
    case kClassDayTime: return -1;
    default: return static_cast<SQLLEN>(get_type_len(c_type, 0, 0));
  }
}

SQLRETURN serve_typed_cell(int16_t c_type, const unsigned char* cell, SQLLEN slot, SQLLEN indicator,
                           SQLPOINTER target, SQLLEN buffer_length, SQLLEN* ind, PieceState* piece, ConvDiag* diag) {
  using namespace conversion;
  if (piece->done) return SQL_NO_DATA;
  if (indicator == SQL_NULL_DATA) {
    if (!ind) return fail(diag, sqlstate::k22002);
    *ind = SQL_NULL_DATA;
    piece->done = true;
    return SQL_SUCCESS;
  }
  if (c_type != SQL_C_CHAR && c_type != SQL_C_WCHAR && c_type != SQL_C_BINARY) {
    if (target) std::memcpy(target, cell, static_cast<size_t>(get_type_len(c_type, 0, 0)));
    if (ind) *ind = indicator;
    piece->done = true;
    return SQL_SUCCESS;
  }
  const SQLLEN term = c_type == SQL_C_CHAR ? 1 : c_type == SQL_C_WCHAR ? 2 : 0;
  const SQLLEN held = slot - term;  // the most value bytes a cell holds
  const bool cut = indicator == SQL_NO_TOTAL || indicator > held;
  const SQLLEN left = indicator == SQL_NO_TOTAL ? SQL_NO_TOTAL : indicator - piece->offset;
  const SQLLEN avail = (cut ? held : indicator) - piece->offset;
  SQLLEN room = target ? std::max<SQLLEN>(buffer_length - term, 0) : 0;
  if (c_type == SQL_C_WCHAR) room &= ~SQLLEN{1};
  auto* out = static_cast<unsigned char*>(target);
  if (!cut && avail <= room) {
    if (out) {
      std::memcpy(out, cell + piece->offset, static_cast<size_t>(avail));
      std::memset(out + avail, 0, static_cast<size_t>(term));
    }
    if (ind) *ind = avail;
    piece->offset += avail;
    piece->done = true;
    return SQL_SUCCESS;
  }
  if (room > avail) {
    static thread_local char msg[160];
    std::snprintf(msg, sizeof msg, "General error: value of %ld bytes exceeds the block-fetch cache of %ld bytes",
                  static_cast<long>(indicator), static_cast<long>(held));
    return fail(diag, sqlstate::kHY000.state, msg);
  }
  if (out && buffer_length >= term) {
    std::memcpy(out, cell + piece->offset, static_cast<size_t>(room));
    std::memset(out + room, 0, static_cast<size_t>(term));
  }
  if (ind) *ind = left;
  piece->offset += room;
  return warn(diag, sqlstate::k01004);
}

int32_t automatic_last_block(int64_t row_bytes) {
  const int64_t fit = row_bytes > 0 ? kAutoBlockBytes / row_bytes : kAutoLastBlock;
  return static_cast<int32_t>(std::clamp<int64_t>(fit, 100, kAutoLastBlock));
}

BlockStep block_next_step(int32_t cursor, SQLULEN rows, int32_t size) {
  if (cursor < 0) return BlockStep::kFetch;
  const int64_t next = static_cast<int64_t>(cursor) + 1;
  if (next >= size) return BlockStep::kFetch;
  if (static_cast<uint64_t>(next) < rows) return BlockStep::kServe;
  return BlockStep::kNoData;
}

BlockCache& block_cache(client_stmt* x) {
  if (!x->block) x->block = std::make_shared<BlockCache>();
  return *x->block;
}

SQLUSMALLINT* block_status_cache(client_stmt* stmt) {
  client_stmt* x = stmt;
  if (!x || !(stmt->flags & kStmtBlockFetchOn) || !x->block) return nullptr;
  return x->block->row_status.data();
}

SQLRETURN block_fetch_possible(client_dbc* dbc, client_stmt* stmt, int kind, unsigned* possible) {
  TRACE(kTraceInternal, "\t^block_fetch_possible(%p,%p,%d)\n", static_cast<void*>(dbc), static_cast<void*>(stmt), kind);
  if (!possible) return SQL_ERROR;
  *possible = 0;
  if (kind == 3) return SQL_SUCCESS;
  SQLLEN access = 0;
  int rc = remote_sql_get_connect_attr_integer(dbc->rpc, reinterpret_cast<void*>(dbc->server_dbc), SQL_ATTR_ACCESS_MODE,
                                               &access);
  if (!rc_ok(rc)) return static_cast<SQLRETURN>(rc);
  TRACE(kTraceDetail, "\tAccess Mode: %lu\n", static_cast<unsigned long>(access));
  SQLLEN cursor_type = 0;
  rc = remote_sql_get_stmt_attr_integer(dbc->rpc, server_of(stmt), SQL_ATTR_CURSOR_TYPE, &cursor_type);
  if (!rc_ok(rc)) return static_cast<SQLRETURN>(rc);
  // Some drivers (SQLite's) give every statement a static cursor. One that
  // the application never asked for (no cursor type, not scrollable) is read
  // forward only, so it is served like a forward-only one; block mode refuses
  // every orientation but NEXT.
  const client_stmt* x = stmt;
  const bool asked = x && (x->options[SQL_CURSOR_TYPE] != SQL_CURSOR_FORWARD_ONLY ||
                           x->attr_copies[2] != SQL_NONSCROLLABLE);  // [2]: SQL_ATTR_CURSOR_SCROLLABLE
  const bool forward = cursor_type == SQL_CURSOR_FORWARD_ONLY || (cursor_type == SQL_CURSOR_STATIC && x && !asked);
  client_desc* ard = cur_desc(stmt, DESC_ARD);
  if (!ard) return SQL_SUCCESS;
  SQLULEN size = 0;
  if (kind == 1)
    size = ard->array_size;
  else if (kind == 2)
    size = ard->rowset_size;
  else
    return SQL_SUCCESS;
  char name[256] = {};
  int32_t name_len = sizeof name - 1;
  int16_t out_len = 0;
  remote_sql_get_info_string(dbc->rpc, reinterpret_cast<void*>(dbc->server_dbc), SQL_DRIVER_NAME, &name_len, name,
                             sizeof name - 1, &out_len);
  bool refused = false;
  if (dbc->env && dbc->env->odbc_version < 3 &&
      (std::strcmp(name, "SQLSRV32.DLL") == 0 || std::strcmp(name, "sqlncli11.dll") == 0))
    refused = true;
  *possible =
      forward && size == 1 && ard->bound_count < 1 && !refused && (ard->bind_offset_ptr == nullptr || kind == 2);
  TRACE(kTraceDetail, "\tblock fetch %s (cursor %ld, size %lu, bound %d)\n", *possible ? "possible" : "not possible",
        static_cast<long>(cursor_type), static_cast<unsigned long>(size), ard->bound_count);
  return SQL_SUCCESS;
}

SQLRETURN start_block_fetch_mode(client_dbc* dbc, client_stmt* stmt, int flags) {
  TRACE(kTraceInternal, "\t^start_block_fetch_mode(%p,%p,%d)\n", static_cast<void*>(dbc), static_cast<void*>(stmt),
        flags);
  client_stmt* x = stmt;
  if (!x) return SQL_ERROR;
  BlockCache& cache = block_cache(x);
  int16_t n = 0;
  int rc = remote_sql_num_result_cols(dbc->rpc, server_of(stmt), &n);
  if (!rc_ok(rc)) return static_cast<SQLRETURN>(rc);
  if (n <= 0) return SQL_ERROR;
  client_desc* ard = cur_desc(stmt, DESC_ARD);
  client_desc* ird = cur_desc(stmt, DESC_IRD);
  if (!vekc_expand_desc_recs(ard, n) || !vekc_expand_desc_recs(ird, n)) {
    post_client(&stmt->diags, dbc, 0, sqlstate::kHY001, false);
    return SQL_ERROR;
  }
  // Column descriptions in one call.
  std::vector<char> names(static_cast<size_t>(n) * 50);
  std::vector<int16_t> types(n), digits(n), nulls(n);
  std::vector<int32_t> sizes(n);
  int32_t names_len = static_cast<int32_t>(names.size());
  int32_t types_b = n * 2, sizes_b = n * 4, digits_b = n * 2, nulls_b = n * 2;
  rc = remote_describe_col_all(dbc->rpc, server_of(stmt), n, &names_len, names.data(), &types_b, types.data(), &sizes_b,
                               sizes.data(), &digits_b, digits.data(), &nulls_b, nulls.data());
  if (!rc_ok(rc) || types_b < n * 2 || sizes_b < n * 4) {
    post_client(&stmt->diags, dbc, 6, sqlstate::kHY000.state, false,
                "General error: Server's describe_col_all RPC failed");
    return SQL_ERROR;
  }
  std::vector<BlockColumn> columns(n);
  rc = cache_columns(dbc, stmt, n, types.data(), sizes.data(), digits.data(), nulls.data(), columns);
  if (rc != SQL_SUCCESS) return static_cast<SQLRETURN>(rc);
  int32_t size = x->block_fetch_size > 0 ? x->block_fetch_size : 1;
  // From here on the server's statement changes; a failure takes it all back.
  auto undo = [&](SQLRETURN r) {
    undo_server_state(dbc, stmt, n);
    return r;
  };
  const int32_t attr = (flags & 0x1) ? SQL_ATTR_ROW_ARRAY_SIZE : SQL_ROWSET_SIZE;
  rc = set_server_attr(dbc, stmt, attr, size);
  if (rc > 1 || rc < 0) return undo(static_cast<SQLRETURN>(rc));
  if (rc == SQL_SUCCESS_WITH_INFO && server_sqlstate(dbc, stmt) == "01S02") {
    SQLLEN adopted = 0;
    if (!rc_ok(remote_sql_get_stmt_attr_integer(dbc->rpc, server_of(stmt), attr, &adopted)) || adopted < 1 ||
        adopted > INT32_MAX)
      return undo(SQL_ERROR);
    TRACE(kTraceDetail, "\tServer changed the block size to %ld\n", static_cast<long>(adopted));
    size = static_cast<int32_t>(adopted);
    x->block_fetch_size = size;
  }
  if (attr == SQL_ATTR_ROW_ARRAY_SIZE)
    ard->array_size = size;
  else
    ard->rowset_size = size;
  rc = set_server_attr(dbc, stmt, SQL_ATTR_ROW_BIND_TYPE, SQL_BIND_BY_COLUMN);
  if (rc > 1 || rc < 0) return undo(static_cast<SQLRETURN>(rc));
  ard->bind_type = SQL_BIND_BY_COLUMN;
  if (!ird->rows_processed_ptr) {
    rc = set_server_attr(dbc, stmt, SQL_ATTR_ROWS_FETCHED_PTR, 1);
    if (!rc_ok(rc)) return undo(static_cast<SQLRETURN>(rc));
  }
  if (flags & 0x2) {
    rc = set_server_attr(dbc, stmt, SQL_ATTR_ROW_STATUS_PTR, 1);
    if (!rc_ok(rc)) return undo(static_cast<SQLRETURN>(rc));
  }
  // The cache, sized in bytes for the block (in 64 bits; cells are capped).
  for (BlockColumn& col : columns) {
    col.data.assign(static_cast<size_t>(col.slot) * static_cast<size_t>(size), 0);
    col.ind.assign(static_cast<size_t>(size), 0);
  }
  for (int i = 1; i <= n; ++i) {
    BlockColumn& col = columns[i - 1];
    rc = remote_sql_bind_col(dbc->rpc, server_of(stmt), static_cast<int16_t>(i), col.c_type, 1,
                             static_cast<SQLULEN>(col.slot), 1);
    if (rc > 1 || rc < 0) return undo(static_cast<SQLRETURN>(rc));
    client_desc_rec& r = ard->records[i];
    r.data_ptr = col.data.data();
    r.octet_length = col.slot;
    r.octet_length_ptr = r.indicator_ptr = col.ind.data();
    r.concise_type = r.type = col.c_type;
    r.datetime_sub = 0;
    if (is_datetime_type(col.c_type))
      split_datetime_type(col.c_type, &r.type, nullptr, &r.datetime_sub, 0x1);
    else if (is_interval_type(col.c_type))
      split_interval_type(col.c_type, &r.type, nullptr, &r.datetime_sub, 0x1);
    ard->bound_count = static_cast<int16_t>(i);
  }
  // Reals read as text the way the target's driver writes them.
  char dbms[64] = {};
  int32_t dbms_len = sizeof dbms - 1;
  int16_t dbms_out = 0;
  remote_sql_get_info_string(dbc->rpc, reinterpret_cast<void*>(dbc->server_dbc), SQL_DBMS_NAME, &dbms_len, dbms,
                             sizeof dbms - 1, &dbms_out);
  cache.real_style = std::strcmp(dbms, "SQLite") == 0 ? kRealSqlite : kRealShortest;
  cache.columns = std::move(columns);
  cache.row_status.assign(static_cast<size_t>(size), SQL_ROW_SUCCESS);
  cache.size = size;
  cache.rows = 0;
  stmt->flags |= kStmtBlockFetchOn;
  x->block_cursor = 0;
  TRACE(kTraceDetail, "\tBlock-fetch-mode on: %d columns, %d rows per block\n", n, size);
  return SQL_SUCCESS;
}

SQLRETURN stop_block_fetch_mode(client_stmt* stmt) {
  if (!(stmt->flags & kStmtBlockFetchOn)) return SQL_SUCCESS;
  TRACE(kTraceInternal, "\t^stop_block_fetch_mode(%p)\n", static_cast<void*>(stmt));
  client_dbc* dbc = dbc_of(stmt);
  client_stmt* x = stmt;
  const int n = x && x->block ? static_cast<int>(x->block->columns.size()) : 0;
  SQLRETURN rc = SQL_SUCCESS;
  const bool automatic = x && x->block && x->block->automatic;
  if (x && x->block) x->block->pending.clear();  // replies read and dropped, in order
  if (dbc && is_connected(dbc) && !dbc->dead)
    rc = undo_server_state(dbc, stmt, n, automatic);
  else
    clear_ard_bindings(cur_desc(stmt, DESC_ARD), n);
  if (automatic) {
    client_desc* ard = cur_desc(stmt, DESC_ARD);
    if (ard) ard->array_size = 1;
    x->block->automatic = false;
    if (client_desc* bound = cur_desc(stmt, DESC_ARD); bound && dbc && is_connected(dbc) && !dbc->dead) {
      // The bindings the application made while the block was read.
      for (const BlockCache::AppBinding& b : x->block->app_binds) {
        kyproc::client::post<kyproc::rows::sql_bind_col>(dbc->rpc, server_of(stmt), static_cast<int16_t>(b.column),
                                                         b.type, int32_t{b.target ? 1 : 0},
                                                         static_cast<SQLULEN>(b.buflen), SQLLEN{b.ind ? 1 : 0});
        if (client_desc_rec* arec = vekc_expand_desc_recs(bound, b.column))
          set_ard_binding(bound, arec, b.column, b.type, b.target, b.buflen, b.ind);
      }
    }
    x->block->app_binds.clear();
    if (x->block->app_array_size_set) {
      // The row array size the application set while the block was read.
      const SQLULEN size = x->block->app_array_size;
      x->block->app_array_size_set = false;
      if (dbc && is_connected(dbc) && !dbc->dead)
        kyproc::client::post<kyproc::rows::sql_set_stmt_attr_integer>(
            dbc->rpc, server_of(stmt), int32_t{SQL_ATTR_ROW_ARRAY_SIZE}, static_cast<SQLLEN>(size), int32_t{0});
      if (ard) ard->array_size = size;
    }
  }
  // The local state ends whatever the server said.
  stmt->flags &= ~static_cast<uint32_t>(kStmtBlockFetchOn);
  if (x) {
    x->block_cursor = 0;
    if (x->block) {
      BlockCache& cache = *x->block;
      cache.rows = 0;
      reset_pieces(cache);
      if (cache.metadata_switched) {
        x->block_fetch_size = cache.saved_size;
        stmt->flags =
            (stmt->flags & ~static_cast<uint32_t>(kStmtBlockFetchWanted)) | (cache.saved_bits & kStmtBlockFetchWanted);
        cache.metadata_switched = false;
      }
    }
  }
  return rc > 1 || rc < 0 ? rc : SQL_SUCCESS;
}

bool read_ahead_invisible(const client_stmt* stmt, const client_desc* ard, int odbc_version) {
  const SQLULEN* o = stmt->options;
  return odbc_version >= 3 && o[SQL_CURSOR_TYPE] == SQL_CURSOR_FORWARD_ONLY &&
         stmt->attr_copies[2] == SQL_NONSCROLLABLE &&  // [2]: SQL_ATTR_CURSOR_SCROLLABLE
         (o[SQL_CONCURRENCY] == 0 || o[SQL_CONCURRENCY] == SQL_CONCUR_READ_ONLY) && o[SQL_USE_BOOKMARKS] == SQL_UB_OFF &&
         o[SQL_RETRIEVE_DATA] == SQL_RD_ON && !(stmt->flags & (kStmtCursorNamed | kStmtMetadata)) && ard != nullptr &&
         ard->array_size == 1 && ard->bound_count < 1 && ard->bind_type == SQL_BIND_BY_COLUMN &&
         ard->bind_offset_ptr == nullptr;
}

// ---- hooks of the fetch functions ----------------------------------------------

static bool fetch_cut_row_again(StmtCall& c, int32_t row, SQLRETURN* rc);
static bool fetch_again_from(StmtCall& c, int64_t number, SQLRETURN* rc);
static int32_t first_cut_row(const BlockCache& cache, int32_t from = 0);

void block_fetch_stop(client_stmt* stmt) { stop_block_fetch_mode(stmt); }

void block_fetch_closed(client_stmt* stmt) {
  if ((stmt->flags & kStmtBlockFetchOn) && stmt->block && stmt->block->automatic) stop_block_fetch_mode(stmt);
  block_fetch_new_result(stmt);
}

void block_fetch_new_result(client_stmt* stmt) {
  if (!stmt->block) return;
  stmt->block->watching = false;
  stmt->block->asked.clear();
  stmt->block->app_array_size_set = false;
  stmt->block->app_binds.clear();
}

void block_fetch_note_read(client_stmt* stmt, SQLUSMALLINT column, SQLSMALLINT c_type) {
  if (!stmt->block || !stmt->block->watching || column == 0 || (stmt->flags & kStmtBlockFetchOn)) return;
  std::vector<int16_t>& asked = stmt->block->asked;
  if (asked.size() < column) asked.resize(column, 0);
  if (asked[column - 1] == 0) asked[column - 1] = c_type;
}

SQLRETURN block_fetch_quiet(StmtCall& c, SQLRETURN rc) {
  if (!rc_ok(rc) || !(c.stmt->flags & kStmtBlockFetchOn) || !c.x->block || !c.x->block->automatic) return rc;
  if (rc == SQL_SUCCESS_WITH_INFO) {
    // The block's warnings are about its cells (a cut value, a lossy
    // conversion), which the application reads, and is warned of, one by one.
    clear_errors(&c.stmt->diags);
    rc = SQL_SUCCESS;
  }
  // A block just came in: the first of its rows with a value longer than its cell.
  if (c.x->block_cursor == 0) c.x->block->cut_row = first_cut_row(*c.x->block);
  if (c.x->block_cursor == 0 && c.x->block->cut_row == 0) fetch_cut_row_again(c, 0, &rc);
  return rc;
}

SQLRETURN block_fetch_setup_taken(StmtCall& c) {
  if (!c.x->block || c.x->block->pending.empty()) return SQL_SUCCESS;
  SQLRETURN result = SQL_SUCCESS;
  // In the order they were sent; a changed row array size (01S02) counts as
  // a failure too: the cache was sized for the size asked.
  for (std::unique_ptr<PendingCall>& p : c.x->block->pending) {
    const int rc = p->take();
    if (rc != SQL_SUCCESS && result == SQL_SUCCESS) result = rc < 0 || rc > 1 ? static_cast<SQLRETURN>(rc) : SQL_ERROR;
  }
  c.x->block->pending.clear();
  return result;
}

SQLRETURN block_fetch_setup_failed(StmtCall& c, SQLRETURN setup) {
  TRACE(kTraceDetail, "\tBlock-fetch set-up failed (%d): the mode ends\n", setup);
  stop_block_fetch_mode(c.stmt);
  c.stmt->flags |= kStmtBlockFetchTried;
  c.x->block_cursor = -1;
  post_client(&c.stmt->diags, c.dbc, 0, sqlstate::kHY000.state, false,
              "General error: the server refused the block fetch set-up; the rows of this fetch are lost");
  return set_return_code(&c.stmt->diags, SQL_ERROR);
}

bool block_fetch_give_way(client_stmt* stmt) {
  if (!(stmt->flags & kStmtBlockFetchOn) || !stmt->block || !stmt->block->automatic) return false;
  const BlockCache& cache = *stmt->block;
  const int64_t cursor = stmt->block_cursor;
  if (cursor >= 0 && static_cast<uint64_t>(cursor) + 1 < cache.rows) return false;
  stop_block_fetch_mode(stmt);
  stmt->flags |= kStmtBlockFetchTried;  // the rest of the result set goes row by row
  return true;
}

bool block_fetch_hides(client_stmt* stmt, SQLINTEGER attr, SQLULEN* value) {
  if (!(stmt->flags & kStmtBlockFetchOn) || !stmt->block || !stmt->block->automatic) return false;
  if (attr != SQL_ATTR_ROW_ARRAY_SIZE) return false;
  // The application's own size: 1 unless it set one while rows were unread.
  *value = stmt->block->app_array_size_set ? stmt->block->app_array_size : 1;
  return true;
}

bool block_fetch_keeps_binding(StmtCall& c, SQLUSMALLINT column, SQLSMALLINT type, SQLPOINTER target, SQLLEN buflen,
                               SQLLEN* ind, SQLRETURN* rc) {
  client_stmt* stmt = c.stmt;
  if (!(stmt->flags & kStmtBlockFetchOn) || !stmt->block || !stmt->block->automatic) return false;
  BlockCache& cache = *stmt->block;
  // What the target's driver checks when it binds.
  if (column < 1 || column > cache.columns.size()) {
    *rc = c.fail(0, sqlstate::k07009);
    return true;
  }
  if (type != SQL_C_DEFAULT && is_valid_ctype(type) != 0) {
    *rc = c.fail(0, sqlstate::kHY003);
    return true;
  }
  std::vector<BlockCache::AppBinding>& binds = cache.app_binds;
  binds.erase(std::remove_if(binds.begin(), binds.end(),
                             [column](const BlockCache::AppBinding& b) { return b.column == column; }),
              binds.end());
  if (target || ind) binds.push_back({column, type, target, buflen, ind});
  *rc = SQL_SUCCESS;
  return true;
}

bool block_fetch_drops_bindings(client_stmt* stmt) {
  if (!(stmt->flags & kStmtBlockFetchOn) || !stmt->block || !stmt->block->automatic) return false;
  stmt->block->app_binds.clear();
  return true;
}

bool block_fetch_keeps_array_size(client_stmt* stmt, SQLULEN size) {
  if (!(stmt->flags & kStmtBlockFetchOn) || !stmt->block || !stmt->block->automatic || size == 0) return false;
  stmt->block->app_array_size = size;
  stmt->block->app_array_size_set = true;
  return true;
}

void block_fetch_attempt(StmtCall& c, int kind) {
  client_stmt* stmt = c.stmt;
  if (stmt->flags & kStmtBlockFetchOn) {
    // The driver's own blocks grow, the new size set with the next fetch.
    BlockCache& on = block_cache(c.x);
    if (on.automatic && (on.app_array_size_set || !on.app_binds.empty())) {
      // The block is read: the application's row array size takes over and
      // the rest of the result set is fetched as it asks.
      stop_block_fetch_mode(stmt);
      stmt->flags |= kStmtBlockFetchTried;
      return;
    }
    if (kind == 1 && on.automatic && on.pending.empty()) {
      int64_t row_bytes = 0;
      for (const BlockColumn& col : on.columns) row_bytes += col.slot;
      const int32_t last = automatic_last_block(row_bytes);
      if (on.size < last) size_automatic_blocks(on, stmt, std::min(on.size * 4, last));
    }
    return;
  }
  BlockCache& cache = block_cache(c.x);
  bool turned_on = false;
  if (kind == 1 && (stmt->flags & kStmtMetadata) && (c.dbc->client_flags & kFlagMetadataBlockFetch) &&
      !cache.metadata_switched) {
    if (c.x->getdata_count > 0 && stmt->result_columns <= 0) {
      int16_t n = 0;
      if (rc_ok(remote_sql_num_result_cols(c.rpc(), c.server(), &n))) stmt->result_columns = n;
    }
    const int cols = stmt->result_columns;
    const int64_t share = cols > 0 ? static_cast<int64_t>(c.x->getdata_count) * 100 / cols : 0;
    cache.saved_size = c.x->block_fetch_size;
    cache.saved_bits = stmt->flags;
    if (share >= 20) {
      stmt->flags |= kStmtBlockFetchWanted;
      c.x->block_fetch_size = 10;
      cache.metadata_switched = true;
      turned_on = true;
      TRACE(kTraceDetail, "Turning on metadata block-fetch-mode\n");
    }
    c.x->getdata_count = 0;
  }
  const bool wanted = ((stmt->flags & kStmtBlockFetchWanted) && !(stmt->flags & kStmtMetadata)) || turned_on;
  if (wanted && !(stmt->flags & kStmtBlockFetchTried)) {
    stmt->flags |= kStmtBlockFetchTried;
    unsigned possible = 0;
    if (rc_ok(block_fetch_possible(c.dbc, stmt, kind, &possible)) && possible) {
      stmt->flags &= ~static_cast<uint32_t>(kStmtBlockFetchTried);
      if (start_block_fetch_mode(c.dbc, stmt, kind == 1 ? 0x1 : 0x2) != SQL_SUCCESS)
        stmt->flags |= kStmtBlockFetchTried;
    }
  }
  // No BLOCKFETCHSIZE given: read ahead where the application cannot tell.
  if (!wanted && kind == 1 && (c.dbc->client_flags & kFlagBlockFetchDefault) && c.x->block_fetch_size == 0 &&
      !(stmt->flags & kStmtBlockFetchTried) &&
      read_ahead_invisible(stmt, cur_desc(stmt, DESC_ARD), c.dbc->env ? c.dbc->env->odbc_version : 3)) {
    if (!cache.watching) {
      // The first row is read remotely: its SQLGetData calls choose the
      // C types the cache is bound in.
      cache.watching = true;
      cache.asked.clear();
      if (stmt->result_columns < 0 && cache.pending.empty())
        cache.pending.push_back(std::make_unique<PendingColumnCount>(c.rpc(), c.server(), stmt));
    } else {
      cache.watching = false;
      stmt->flags |= kStmtBlockFetchTried;
      if (start_automatic(c) == SQL_SUCCESS) stmt->flags &= ~static_cast<uint32_t>(kStmtBlockFetchTried);
    }
  } else {
    cache.watching = false;
  }
  if (turned_on && !(stmt->flags & kStmtBlockFetchOn)) {
    // Metadata block fetch did not start: what it changed goes back.
    c.x->block_fetch_size = cache.saved_size;
    stmt->flags =
        (stmt->flags & ~static_cast<uint32_t>(kStmtBlockFetchWanted)) | (cache.saved_bits & kStmtBlockFetchWanted);
    cache.metadata_switched = false;
  }
}

static SQLRETURN fill_app_bindings(StmtCall& c, BlockCache& cache, int32_t row);

bool block_fetch_serve(StmtCall& c, int kind, SQLULEN* row_count, SQLUSMALLINT* status, SQLRETURN* rc) {
  if (!(c.stmt->flags & kStmtBlockFetchOn) || !c.x->block) return false;
  BlockCache& cache = *c.x->block;
  reset_pieces(cache);
  client_desc* ird = cur_desc(c.stmt, DESC_IRD);
  // SQLFetch reports through the IRD's pointers; SQLExtendedFetch through
  // its arguments (and its status array is remembered on the IRD).
  if (kind == 1 && ird) {
    row_count = ird->rows_processed_ptr;
    status = ird->array_status_ptr;
  } else if (kind == 2 && ird) {
    ird->ext_status_ptr = status;
  }
  switch (block_next_step(c.x->block_cursor, cache.rows, cache.size)) {
    case BlockStep::kServe: {
      const int32_t row = ++c.x->block_cursor;
      if (row_count) *row_count = 1;
      if (status) *status = cache.row_status[static_cast<size_t>(row)];
      if (cache.automatic && row == cache.cut_row && fetch_cut_row_again(c, row, rc)) return true;
      // A row array size or bindings the application set while the block was
      // read: the rest as it asks, from the target, where the cursor can go back.
      if (cache.automatic && kind == 1 &&
          ((cache.app_array_size_set && cache.app_array_size != 1) || !cache.app_binds.empty()) &&
          fetch_again_from(c, cache.base_row + row, rc))
        return true;
      *rc = cache.app_binds.empty() ? SQL_SUCCESS : fill_app_bindings(c, cache, row);
      TRACE(kTraceExit, "-SQLFetch()=SQL_SUCCESS (cursor=%d out of %ld)\n", row, static_cast<long>(cache.rows));
      return true;
    }
    case BlockStep::kNoData:
      c.x->block_cursor = -1;
      cache.rows = 0;
      if (row_count) *row_count = 0;
      *rc = SQL_NO_DATA;
      return true;
    case BlockStep::kFetch: c.x->block_cursor = 0; return false;
  }
  return false;
}

// The first row of the block with a typed text or binary cell the value did
// not fit (the target reported a longer length, or none), or -1.
// Bytes of a terminator the target writes after text of the C type.
static SQLLEN terminator_bytes(int16_t c_type) {
  return c_type == SQL_C_CHAR ? 1 : c_type == SQL_C_WCHAR ? 2 : 0;
}

// Whether the typed text or binary cell of row r holds less than the value.
static bool cell_cut(const BlockColumn& col, int32_t r) {
  if (!col.typed || (col.c_type != SQL_C_CHAR && col.c_type != SQL_C_WCHAR && col.c_type != SQL_C_BINARY))
    return false;
  const SQLLEN ind = col.ind[static_cast<size_t>(r)];
  return ind == SQL_NO_TOTAL || ind > col.slot - terminator_bytes(col.c_type);
}

static int32_t first_cut_row(const BlockCache& cache, int32_t from) {
  for (int32_t r = from < 0 ? 0 : from; r < static_cast<int32_t>(cache.rows); ++r)
    for (const BlockColumn& col : cache.columns)
      if (cell_cut(col, r)) return r;
  return -1;
}

// Reads one value of the server's current row whole, piece by piece, in the
// cell's C type; the bytes end with the type's terminator. false when the
// target cannot give it so.
static bool read_whole_value(StmtCall& c, int column, int16_t c_type, std::vector<unsigned char>* out) {
  constexpr SQLLEN kPiece = 64 * 1024;
  const SQLLEN term = terminator_bytes(c_type);
  std::vector<unsigned char> piece(static_cast<size_t>(kPiece));
  out->clear();
  for (;;) {
    int32_t len = static_cast<int32_t>(kPiece);
    SQLLEN got = 0;
    const int rc = remote_sql_get_data(c.rpc(), c.server(), static_cast<int16_t>(column), c_type, &len, piece.data(),
                                       static_cast<SQLULEN>(kPiece), &got);
    if (rc == SQL_NO_DATA && !out->empty()) break;
    if (!rc_ok(rc) || got == SQL_NULL_DATA || out->size() > static_cast<size_t>(INT32_MAX)) return false;
    const SQLLEN room = kPiece - term;
    const SQLLEN n = rc == SQL_SUCCESS && got != SQL_NO_TOTAL && got >= 0 && got <= room ? got : room;
    out->insert(out->end(), piece.begin(), piece.begin() + n);
    if (rc == SQL_SUCCESS) break;
  }
  out->insert(out->end(), static_cast<size_t>(term), 0);
  return true;
}

// On a cursor that cannot go back, the block is still the server's rowset:
// the row is positioned there and every value longer than its cell is read
// whole from the target, for the reads of the row to take. false when the
// target refuses either step (the reads past the cell then fail).
static bool read_cut_values(StmtCall& c, int32_t row) {
  BlockCache& cache = *c.x->block;
  if (c.dbc->server_flags & kServerOtherByteOrder) return false;
  bool positioned = false;
  for (size_t i = 0; i < cache.columns.size(); ++i) {
    BlockColumn& col = cache.columns[i];
    if (!cell_cut(col, row)) continue;
    if (!positioned) {
      TRACE(kTraceDetail, "	Row %d of the block holds values longer than their cells: read whole\n", row + 1);
      if (!rc_ok(remote_sql_setpos(c.rpc(), c.server(), static_cast<int16_t>(row + 1), SQL_POSITION,
                                   SQL_LOCK_NO_CHANGE)))
        return false;
      positioned = true;
    }
    if (!read_whole_value(c, static_cast<int>(i + 1), col.c_type, &col.whole)) return false;
    col.whole_row = row;
  }
  return true;
}

void block_fetch_loaded(StmtCall& c, SQLULEN rows) {
  if (!(c.stmt->flags & kStmtBlockFetchOn) || !c.x->block) return;
  BlockCache& cache = *c.x->block;
  cache.rows = rows > static_cast<SQLULEN>(cache.size) ? static_cast<SQLULEN>(cache.size) : rows;
  c.x->block_cursor = rows ? 0 : -1;
  reset_pieces(cache);
  for (BlockColumn& col : cache.columns) {
    col.whole.clear();
    col.whole_row = -1;
  }
  if (c.stmt->fetch_kind != FETCH_EXTENDED) cache.row_status.assign(cache.row_status.size(), SQL_ROW_SUCCESS);
  if (cache.automatic) {
    cache.base_row = cache.next_base;
    cache.next_base += static_cast<int64_t>(cache.rows);
    cache.cut_row = -1;  // known once the block's cells are in (block_fetch_quiet)
  }
}

// Fetches again from the target, from row number (of the result set) on,
// when the server's cursor can go back to it (asked once per result set):
// the mode ends, the rest of the result set is read as the application asks,
// and *rc is that fetch's result. false where the cursor cannot go back.
static bool fetch_again_from(StmtCall& c, int64_t number, SQLRETURN* rc) {
  BlockCache& cache = *c.x->block;
  if (!cache.scroll_known) {
    SQLLEN type = SQL_CURSOR_FORWARD_ONLY;
    cache.scrolls = rc_ok(remote_sql_get_stmt_attr_integer(c.rpc(), c.server(), SQL_ATTR_CURSOR_TYPE, &type)) &&
                    type != SQL_CURSOR_FORWARD_ONLY;
    cache.scroll_known = true;
  }
  if (!cache.scrolls || number > INT32_MAX) return false;
  TRACE(kTraceDetail, "\tRows from %ld on fetched again\n", static_cast<long>(number));
  stop_block_fetch_mode(c.stmt);
  c.stmt->flags |= kStmtBlockFetchTried;
  *rc = follow_remote_fetch(c, static_cast<SQLRETURN>(remote_sql_fetch_scroll(c.rpc(), c.server(), SQL_FETCH_ABSOLUTE,
                                                                             static_cast<int32_t>(number))));
  return true;
}

// The served row holds a value longer than its cell: it is fetched again
// from the target, so that every read of it is the target's; false where
// the cursor cannot go back (reads past the cell then fail).
static bool fetch_cut_row_again(StmtCall& c, int32_t row, SQLRETURN* rc) {
  c.x->block->cut_row = -1;
  if (fetch_again_from(c, c.x->block->base_row + row, rc)) return true;
  if (row <= INT16_MAX - 1 && read_cut_values(c, row)) c.x->block->cut_row = first_cut_row(*c.x->block, row + 1);
  return false;
}

// A read in another C type than the cell's: the driver's own conversion,
// from the value the cell holds (a typed wide cell read as UTF-8 text).
static SQLRETURN convert_cell(const BlockCache& cache, BlockColumn& col, const unsigned char* cell, SQLLEN slot,
                              SQLLEN cell_ind, SQLSMALLINT type, SQLPOINTER target, SQLLEN buflen, SQLLEN* ind,
                              PieceState* piece, ConvDiag* diag) {
  CachedValue v;
  if (col.typed && col.c_type == SQL_C_WCHAR) {
    v = cached_value_from_cell(SQL_C_CHAR, nullptr, slot, cell_ind, static_cast<int16_t>(col.column_size),
                               col.digits);
    if (cell_ind != SQL_NULL_DATA) {
      const SQLLEN held = slot - 2;
      const SQLLEN bytes = cell_ind == SQL_NO_TOTAL || cell_ind > held ? held : cell_ind;
      size_t bad = 0;
      col.wide_text.clear();
      wide::to_utf8(reinterpret_cast<const SQLWCHAR*>(cell), bytes / 2, &col.wide_text, &bad);
      v.data = reinterpret_cast<const unsigned char*>(col.wide_text.data());
      v.length = static_cast<SQLLEN>(col.wide_text.size());
      // A cut cell stays cut: the conversion refuses it.
      v.indicator = bytes < cell_ind || cell_ind == SQL_NO_TOTAL ? v.length + 1 : v.length;
    }
  } else {
    v = cached_value_from_cell(col.c_type, cell, slot, cell_ind, static_cast<int16_t>(col.column_size), col.digits);
    if (!col.typed) {
      // A widened integer keeps its column's class (and raw size).
      v.c_type = col.natural_type;
      v.source_class = source_class_of(col.natural_type);
    }
  }
  v.real_style = cache.real_style;
  return convert_cached_value(v, type, target, buflen, ind, piece, diag);
}

// One value of the served row for the application: the target's bytes from
// a cell of the type asked, else the driver's conversion.
static SQLRETURN read_cell(const BlockCache& cache, BlockColumn& col, int32_t row, SQLSMALLINT type, SQLPOINTER target,
                           SQLLEN buflen, SQLLEN* ind, PieceState* piece, ConvDiag* diag) {
  // The value read whole for a cut cell, else the cell.
  const bool whole = col.whole_row == row;
  const unsigned char* cell =
      whole ? col.whole.data() : col.data.data() + static_cast<size_t>(row) * static_cast<size_t>(col.slot);
  const SQLLEN slot = whole ? static_cast<SQLLEN>(col.whole.size()) : col.slot;
  const SQLLEN cell_ind = whole ? slot - terminator_bytes(col.c_type) : col.ind[static_cast<size_t>(row)];
  if (type == SQL_C_DEFAULT || type == SQL_ARD_TYPE)
    type = col.natural_type == SQL_C_NUMERIC ? SQL_C_CHAR : col.natural_type;
  if (col.typed && type == col.c_type)
    return serve_typed_cell(col.c_type, cell, slot, cell_ind, target, buflen, ind, piece, diag);
  return convert_cell(cache, col, cell, slot, cell_ind, type, target, buflen, ind, piece, diag);
}

// The application's bindings kept aside, filled for the row just served:
// the fetch's result as a bound fetch of the row gives it.
static SQLRETURN fill_app_bindings(StmtCall& c, BlockCache& cache, int32_t row) {
  SQLRETURN out = SQL_SUCCESS;
  for (const BlockCache::AppBinding& b : cache.app_binds) {
    if (b.column < 1 || b.column > cache.columns.size()) continue;
    PieceState piece;
    ConvDiag diag;
    const SQLRETURN r = read_cell(cache, cache.columns[b.column - 1], row, b.type, b.target, b.buflen, b.ind, &piece,
                                  &diag);
    if (diag.sqlstate && (r == SQL_ERROR || r == SQL_SUCCESS_WITH_INFO))
      post_client(&c.stmt->diags, c.dbc, 0, diag.sqlstate, diag.odbc3, "%s", diag.message);
    if (r == SQL_ERROR)
      out = SQL_ERROR;
    else if (r == SQL_SUCCESS_WITH_INFO && out == SQL_SUCCESS)
      out = SQL_SUCCESS_WITH_INFO;
  }
  if (out != SQL_SUCCESS) set_return_code(&c.stmt->diags, out);
  return out;
}

bool block_get_data(StmtCall& c, SQLUSMALLINT column, SQLSMALLINT type, SQLPOINTER target, SQLLEN buflen, SQLLEN* ind,
                    SQLRETURN* rc) {
  if (!(c.stmt->flags & kStmtBlockFetchOn) || !c.x->block) return false;
  BlockCache& cache = *c.x->block;
  if (column < 1 || column > cache.columns.size()) {
    *rc = c.fail(0, sqlstate::k07009);
    return true;
  }
  const int32_t row = c.x->block_cursor;
  if (row < 0 || static_cast<SQLULEN>(row) >= cache.rows) {
    *rc = c.fail(0, sqlstate::k24000);
    return true;
  }
  BlockColumn& col = cache.columns[column - 1];
  if (type == SQL_C_DEFAULT || type == SQL_ARD_TYPE)
    type = col.natural_type == SQL_C_NUMERIC ? SQL_C_CHAR : col.natural_type;
  ConvDiag diag;
  *rc = read_cell(cache, col, row, type, target, buflen, ind, &col.piece, &diag);
  if (diag.sqlstate && (*rc == SQL_ERROR || *rc == SQL_SUCCESS_WITH_INFO)) {
    post_client(&c.stmt->diags, c.dbc, 0, diag.sqlstate, diag.odbc3, "%s", diag.message);
    set_return_code(&c.stmt->diags, *rc);
  }
  if (tracing(kTraceValues) && type == SQL_C_CHAR && target && rc_ok(*rc)) {
    std::string shown;
    const auto* p = static_cast<const unsigned char*>(target);
    for (SQLLEN i = 0; i < 50 && i < buflen && p[i]; ++i) {
      char b[8];
      std::snprintf(b, sizeof b, p[i] >= 0x20 && p[i] < 0x7F ? "%c" : "<%02x>", p[i]);
      shown += b;
    }
    TRACE(kTraceValues, "\t%s\n", shown.c_str());
  }
  return true;
}

}  // namespace kyvek::driver
