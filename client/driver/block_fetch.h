// Block fetch: the driver binds every result column on the server to a cache
// of its own, fetches block-size rows per remote call and serves SQLFetch,
// SQLFetchScroll(NEXT), SQLExtendedFetch and SQLGetData from that cache. The
// fetch functions reach it through the hooks of statements.h; this header
// holds the cache and the pieces that can be checked without a server.
#ifndef KYVEK_DRIVER_BLOCK_FETCH_H
#define KYVEK_DRIVER_BLOCK_FETCH_H

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "convert.h"
#include "driver.h"

namespace kyvek::driver {

// Largest cache cell of one column; a column that needs more is not
// block-fetched.
constexpr SQLLEN kMaxBlockSlot = 64 * 1024;
// Smallest cell of a text or binary column: some drivers report a declared
// size that stored values exceed.
constexpr SQLLEN kMinVariableSlot = 256;

// One result column in the cache.
struct BlockColumn {
  int16_t sql_type = 0;      // as described (after the wide disguise)
  int16_t c_type = 0;        // C type the server writes into the cache
  int16_t natural_type = 0;  // default C type of the column (SQL_C_DEFAULT)
  SQLULEN column_size = 0;
  int16_t digits = 0;
  int16_t nullable = 0;
  SQLLEN slot = 0;                  // bytes per row
  // The cell holds what the target's driver wrote for c_type, the C type the
  // application asked on the first row (the driver's own block fetch): a read
  // in that type gets the target's bytes, length and truncation unchanged.
  bool typed = false;
  std::string wide_text;  // a typed wide cell as UTF-8, for a read in another type
  // A value longer than its cell, read whole from the target for row
  // whole_row of the block (terminator included), where the cursor cannot go
  // back; the reads of that row take it instead of the cell.
  std::vector<unsigned char> whole;
  int32_t whole_row = -1;
  std::vector<unsigned char> data;  // block size x slot
  std::vector<SQLLEN> ind;          // one per row
  PieceState piece;                 // SQLGetData state on the current row
};

// A set-up call sent ahead of the fetch it prepares; take() reads its reply.
struct PendingCall {
  virtual ~PendingCall() = default;
  virtual int take() = 0;
};

struct BlockCache {
  std::vector<BlockColumn> columns;      // [0] is column 1
  std::vector<SQLUSMALLINT> row_status;  // one per row of the block
  int32_t size = 0;                      // rows per block in use
  int real_style = kRealShortest;        // text of reals, as the target shows them
  int32_t cursor = -1;                   // row served; -1 after the end
  SQLULEN rows = 0;                      // rows of the last block
  // What metadata block fetch overwrote, restored when the mode ends.
  bool metadata_switched = false;
  int32_t saved_size = 0;
  uint32_t saved_bits = 0;
  // The driver's own block fetch (no BLOCKFETCHSIZE given): its blocks grow
  // from kAutoFirstBlock to automatic_last_block rows, and its set-up travels with
  // the fetch that follows it (pending, replies read in order).
  bool automatic = false;
  std::vector<std::unique_ptr<PendingCall>> pending;
  // The first row of a result set the driver may read ahead on is read
  // remotely; the C type its SQLGetData calls ask per column ([0] column 1,
  // 0 not asked) bind the cache when the second fetch starts the mode.
  bool watching = false;
  std::vector<int16_t> asked;
  // A row array size the application set while rows of the block were still
  // unread: read back as set, sent to the server when the mode gives way.
  SQLULEN app_array_size = 0;
  bool app_array_size_set = false;
  // Columns the application bound while rows of the block were unread:
  // filled from the cache as each row is served, bound on the server when
  // the mode gives way.
  struct AppBinding {
    SQLUSMALLINT column;
    SQLSMALLINT type;
    SQLPOINTER target;
    SQLLEN buflen;
    SQLLEN* ind;
  };
  std::vector<AppBinding> app_binds;
  // Row numbers in the result set (from 1) of the block's first row and of
  // the next block's; the first row of the block with a value longer than
  // its cell (-1: none), which is fetched again from the target when the
  // server's cursor can go back to it (asked once: scroll_known, scrolls).
  int64_t base_row = 0, next_base = 0;
  int32_t cut_row = -1;
  bool scroll_known = false, scrolls = false;
};

constexpr int32_t kAutoFirstBlock = 10;
constexpr int32_t kAutoLastBlock = 640;
// Cache bytes a block of the driver's own grows to at most (it stops at 100
// rows whatever its rows' size).
constexpr int64_t kAutoBlockBytes = 2 * 1024 * 1024;

// Rows of the largest block the driver's own block fetch grows to for rows
// of row_bytes cache bytes: kAutoLastBlock, fewer for wide rows, at least 100.
int32_t automatic_last_block(int64_t row_bytes);

// Whether reading ahead is invisible to the application on this statement
// (the driver's own block fetch may run): forward-only and not scrollable,
// read-only concurrency, no bookmarks, data retrieved, no cursor name asked
// or set, an ODBC 3 application, and nothing bound (row array size 1, bound
// by column, no offset).
bool read_ahead_invisible(const client_stmt* stmt, const client_desc* ard, int odbc_version);

// Bytes of one cache cell for a column cached as c_type, in bytes whatever
// the column's size unit (characters for text: four bytes each); -1 when
// the column cannot be cached (unknown size, or more than kMaxBlockSlot).
SQLLEN block_slot_bytes(int16_t c_type, SQLULEN column_size);

// Bytes of a cell that holds the target's own conversion of a column to
// c_type, the C type the application asked on the first row: text gets room
// for the column's display form whatever its SQL type (4 bytes a character,
// at least kMinVariableSlot characters); -1 for a C type no cell is bound in
// (numeric, interval, GUID) or a cell over kMaxBlockSlot.
SQLLEN typed_slot_bytes(int16_t c_type, SQLULEN column_size);

// Serves one SQLGetData call from a typed cell as the target's driver answers
// it for a buffer of buffer_length bytes: fixed types whole, text and binary
// in pieces with the length left, 01004 on a cut piece. SQL_ERROR (diag set)
// when a piece would need bytes beyond what the cell holds (a value longer
// than its cell).
SQLRETURN serve_typed_cell(int16_t c_type, const unsigned char* cell, SQLLEN slot, SQLLEN indicator,
                           SQLPOINTER target, SQLLEN buffer_length, SQLLEN* length_or_ind, PieceState* piece,
                           ConvDiag* diag);

// The step a fetch takes in block mode, from the cursor before it.
enum class BlockStep { kServe, kNoData, kFetch };
BlockStep block_next_step(int32_t cursor, SQLULEN rows, int32_t size);

// The statement's cache, made on first use.
BlockCache& block_cache(client_stmt* x);

// The internal functions of the mode (kind 1 SQLFetch, 2 SQLExtendedFetch,
// 3 never; flags 0x1 row array size, 0x2 rowset size with a status array).
SQLRETURN block_fetch_possible(client_dbc* dbc, client_stmt* stmt, int kind, unsigned* possible);
SQLRETURN start_block_fetch_mode(client_dbc* dbc, client_stmt* stmt, int flags);
SQLRETURN stop_block_fetch_mode(client_stmt* stmt);

// Where a block-mode SQLExtendedFetch puts the block's row statuses (one
// per row of the block), or null outside block mode.
SQLUSMALLINT* block_status_cache(client_stmt* stmt);

}  // namespace kyvek::driver

#endif
