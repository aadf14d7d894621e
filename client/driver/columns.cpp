// Column transfer: the result set's column count and types, the rowset of all
// bound columns in one call ("fetch_bound_colswv"), the row status array, and
// the bound column values sent for positioned updates and inserts. Row-wise
// binding is served through column-wise transfer buffers of the ARD record;
// every value is scattered into its own row by the bind type and offset.
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "number_text.h"
#include "packing.h"
#include "remote.h"
#include "sql_types.h"
#include "block_fetch.h"
#include "statements.h"
#include "trace.h"

namespace kyvek::driver {

void* transfer_buffer(client_desc_rec* rec, int which, uint64_t bytes) {
  if (bytes == 0) bytes = 1;
  if (!fits32(bytes)) return nullptr;
  if (rec->transfer_cap[which] < bytes) {
    void* p = std::realloc(rec->transfer[which], bytes);
    if (!p) return nullptr;
    rec->transfer[which] = p;
    rec->transfer_cap[which] = static_cast<uint32_t>(bytes);
  }
  return rec->transfer[which];
}

namespace {

// The C type a bound column's values travel in.
int16_t column_ctype(const client_desc_rec* arec, const client_desc_rec* irec) {
  int16_t t = arec->concise_type;
  if (t == SQL_C_DEFAULT) {
    t = irec ? irec->default_ctype : 0;
    if (t == SQL_C_NUMERIC) t = SQL_C_CHAR;
    if (t == 0) t = SQL_C_BINARY;
  }
  return t;
}

}  // namespace

// Field arrays of one structured column, joined after the call.
struct ColumnPacket {
  int column;
  int16_t ctype;
  void* dst;
  uint64_t rows;
  std::vector<char> a, b, c;
  int32_t ia, ib, ic;  // entry indexes
};

ColumnTransfer::ColumnTransfer() = default;
ColumnTransfer::~ColumnTransfer() = default;

SQLULEN transfer_rows(const client_stmt* stmt) {
  const client_desc* ard = cur_desc(stmt, DESC_ARD);
  if (!ard) return 1;
  SQLULEN r = stmt->fetch_kind == FETCH_EXTENDED ? ard->rowset_size : ard->array_size;
  return r < 1 ? 1 : r;
}

const std::vector<DescribedColumn>* described_columns(StmtCall& c, bool with_dbms) {
  client_stmt* stmt = c.stmt;
  client_dbc* dbc = c.dbc;
  if (stmt->described_asked) return stmt->described.empty() ? nullptr : &stmt->described;
  stmt->described_asked = true;
  int16_t n = stmt->result_columns;
  if (n < 0) {
    if (remote_sql_num_result_cols(c.rpc(), c.server(), &n) != SQL_SUCCESS) return nullptr;
    stmt->result_columns = n;
  }
  if (n <= 0) return nullptr;
  char dbms[64] = {};
  int32_t dbms_len = sizeof dbms - 1;
  int16_t dbms_out = 0;
  std::optional<kyproc::client::Queued<kyproc::rows::sql_get_info_string>> dbms_q;
  if (with_dbms && !dbc->target_dbms_known)
    dbms_q.emplace(c.rpc(), reinterpret_cast<void*>(dbc->server_dbc), int16_t{SQL_DBMS_NAME}, &dbms_len, dbms,
                   int16_t{sizeof dbms - 1}, &dbms_out);
  constexpr size_t kNameSlot = 128;  // the server keeps names of up to 127 bytes
  std::vector<char> names(static_cast<size_t>(n) * kNameSlot);
  std::vector<int16_t> types(n), digits(n), nulls(n);
  std::vector<int32_t> sizes(n);
  int32_t names_len = static_cast<int32_t>(names.size());
  int32_t types_b = n * 2, sizes_b = n * 4, digits_b = n * 2, nulls_b = n * 2;
  kyproc::client::Queued<kyproc::rows::describe_col_all> all(c.rpc(), c.server(), n, &names_len, names.data(),
                                                              &types_b, types.data(), &sizes_b, sizes.data(),
                                                              &digits_b, digits.data(), &nulls_b, nulls.data());
  if (dbms_q && rc_ok(dbms_q->take())) {
    dbc->target_dbms.assign(dbms, strnlen(dbms, sizeof dbms));
    dbc->target_dbms_known = true;
  }
  if (all.take() != SQL_SUCCESS || types_b < n * 2 || sizes_b < n * 4 || digits_b < n * 2 || nulls_b < n * 2)
    return nullptr;
  std::vector<DescribedColumn> out(static_cast<size_t>(n));
  size_t at = 0;
  const size_t end = std::min(static_cast<size_t>(std::max(names_len, 0)), names.size());
  for (int i = 0; i < n; ++i) {
    if (at >= end) return nullptr;
    const size_t len = strnlen(names.data() + at, end - at);
    out[i].name.assign(names.data() + at, len);
    at += len + 1;
    out[i].type = types[i];
    out[i].size = static_cast<SQLULEN>(sizes[i] < 0 ? 0 : sizes[i]);
    out[i].digits = digits[i];
    out[i].nullable = nulls[i];
  }
  stmt->described = std::move(out);
  return &stmt->described;
}

SQLRETURN fetch_column_descriptions(StmtCall& c, SQLSMALLINT* count) {
  if (!(c.stmt->flags & kStmtNewResult) && c.stmt->result_columns >= 0) {
    if (count) *count = c.stmt->result_columns;
    return SQL_SUCCESS;
  }
  client_desc *ard = cur_desc(c.stmt, DESC_ARD), *ird = cur_desc(c.stmt, DESC_IRD);
  if (vekc_chk_handle(kDesc, ard) || vekc_chk_handle(kDesc, ird))
    return c.fail(5, sqlstate::kHY000.state, "General error: Internal descriptor invalid (fetch_column_descriptions)");
  int16_t n = -1;
  c.stmt->result_columns = -1;
  if (!rc_ok(remote_sql_num_result_cols(c.rpc(), c.server(), &n)))
    return c.fail(27, sqlstate::kHY000.state, "General error: Failed to obtain number of resultant columns");
  c.stmt->result_columns = n;
  if (count) *count = n;
  if (n < 1) {
    TRACE(kTraceDetail, "\t(no rows in result set)\n");
    c.stmt->flags &= ~static_cast<uint32_t>(kStmtNewResult);
    return SQL_SUCCESS;
  }
  if (!vekc_expand_desc_recs(ird, n)) return c.fail(0, sqlstate::kHY001);
  std::vector<int16_t> types(static_cast<size_t>(n) + 1);
  int32_t bytes = static_cast<int32_t>(types.size() * 2);
  SQLRETURN rc = remote_get_all_col_types(c.rpc(), c.server(), &bytes, types.data());
  if (!rc_ok(rc)) {
    c.fail(2, sqlstate::kHY000.state, "General error: retrieving column types (GetData)");
    return rc;
  }
  if (bytes != static_cast<int32_t>(types.size() * 2)) {
    TRACE(kTraceDetail, "\t\tget_all_col_types returns %ld columns but we calculated %d\n",
          static_cast<long>(bytes / 2), n + 1);
    return c.fail(36, sqlstate::kHY000.state,
                  "General error: retrieving column types client/server disagree (GetData)");
  }
  for (int i = 0; i <= n; ++i) {
    client_desc_rec* r = &ird->records[i];
    r->concise_type = types[static_cast<size_t>(i)];
    int16_t ct = 0;
    if (sqltype2ctype(r->concise_type, &ct) != 0) {
      // The bookmark column of a statement without bookmarks has no type.
      if (i == 0) {
        r->default_ctype = SQL_C_BINARY;
        continue;
      }
      return c.failf(8, sqlstate::kHY000.state,
                     "General error: unexpected sql type %d in IRD ConciseType (fetch_column_descriptions)",
                     r->concise_type);
    }
    r->default_ctype = ct;
  }
  c.stmt->flags &= ~static_cast<uint32_t>(kStmtNewResult);
  return SQL_SUCCESS;
}

SQLRETURN plan_bound_columns(StmtCall& c, int only_column, ColumnTransfer& plan, bool quiet) {
  // Quiet: a plan that would post or ask the server leaves it to the caller.
  auto failed = [&](SQLRETURN rc) { return quiet ? kPlanLater : rc; };
  client_desc *ard = cur_desc(c.stmt, DESC_ARD), *ird = cur_desc(c.stmt, DESC_IRD);
  plan.wv.clear();
  plan.packets.clear();
  plan.only_column = only_column;
  if (!ard || ard->n_descrec < 1) return SQL_SUCCESS;
  if (ard->bound_count < 1 && !ard->records[0].data_ptr) return SQL_SUCCESS;
  // Column types are needed only to resolve SQL_C_DEFAULT bindings.
  for (int col = 0; col <= ard->bound_count && col < ard->n_descrec; ++col)
    if (ard->records[col].concise_type == SQL_C_DEFAULT) {
      if (quiet && ((c.stmt->flags & kStmtNewResult) || c.stmt->result_columns < 0)) return kPlanLater;
      SQLRETURN rc = fetch_column_descriptions(c, nullptr);
      if (rc >= 2 || rc < 0) return rc;
      break;
    }
  const uint64_t R = transfer_rows(c.stmt);
  const SQLLEN off = offset_of(ard);
  const bool row_wise = ard->bind_type != SQL_BIND_BY_COLUMN;
  std::vector<wvarray>& wv = plan.wv;
  wv.reserve(static_cast<size_t>(ard->bound_count + 1) * 5);
  std::vector<std::unique_ptr<ColumnPacket>>& packets = plan.packets;
  auto add = [&](void* p, uint64_t n, int32_t kind) {
    wv.push_back({p, p ? static_cast<int32_t>(n) : 0, kind});
    return static_cast<int32_t>(wv.size() - 1);
  };
  const int last = ard->bound_count;
  for (int col = 0; col <= last && col < ard->n_descrec; ++col) {
    client_desc_rec* arec = &ard->records[col];
    client_desc_rec* irec = desc_rec(ird, col);
    if (std::memcmp(arec->tag, "DESR", 4) || (irec && std::memcmp(irec->tag, "DESR", 4)))
      return failed(c.fail(5, sqlstate::kHY000.state, "General error: Internal descriptor record invalid"));
    if (!arec->data_ptr && !arec->octet_length_ptr && !arec->indicator_ptr) {
      add(nullptr, 0, RPC_ARG_DESC);
      add(nullptr, 0, RPC_ARG_DESC);
      continue;
    }
    if (only_column >= 0 && col != only_column) {
      // Left as it is: empty elements take nothing from the server.
      add(nullptr, 0, RPC_ARG_SQLLEN_ARRAY);
      if (arec->indicator_ptr != arec->octet_length_ptr) add(nullptr, 0, RPC_ARG_SQLULEN_ARRAY);
      add(nullptr, 0, RPC_ARG_DESC);
      continue;
    }
    const int16_t t = column_ctype(arec, irec);
    uint64_t n = 0, elem = 0;
    if (arec->data_ptr) {
      const int64_t fixed = get_type_len(t, arec->octet_length, 0);
      if (fixed < 0)
        return quiet ? kPlanLater
                     : c.failf(5, sqlstate::kHY000.state,
                               "General error: Cannot determine length of datatype %d, OctetLength=%ld (%s)", t,
                               static_cast<long>(arec->octet_length), "fetch_bound_columns");
      elem = fixed > 0 ? static_cast<uint64_t>(fixed)
                       : (arec->octet_length > 0 ? static_cast<uint64_t>(arec->octet_length) : 0);
      n = R * elem;
    }
    const bool shared = arec->indicator_ptr == arec->octet_length_ptr;
    const uint64_t ob = arec->octet_length_ptr ? R * 8 : 0;
    const uint64_t ib = arec->indicator_ptr && !shared ? R * 8 : 0;
    if (!fits32(n) || !fits32(ob)) return failed(c.fail(0, sqlstate::kHY001));
    void* data;
    SQLLEN *oct, *ind;
    if (row_wise) {
      data = arec->data_ptr ? transfer_buffer(arec, 0, n) : nullptr;
      oct = ob ? static_cast<SQLLEN*>(transfer_buffer(arec, 1, ob)) : nullptr;
      ind = ib ? static_cast<SQLLEN*>(transfer_buffer(arec, 2, ib)) : nullptr;
      if ((arec->data_ptr && !data) || (ob && !oct) || (ib && !ind)) return failed(c.fail(0, sqlstate::kHY001));
    } else {
      data = plus(arec->data_ptr, off);
      oct = plus(arec->octet_length_ptr, off);
      ind = shared ? nullptr : plus(arec->indicator_ptr, off);
    }
    // Octet lengths as an SQLLEN array, indicators as an SQLULEN array: the
    // reverse of parameters (params.cpp says why both pairings stay).
    add(oct, ob, RPC_ARG_SQLLEN_ARRAY);
    if (!shared) add(ind, ib, RPC_ARG_SQLULEN_ARRAY);
    if (!data) {
      add(nullptr, 0, RPC_ARG_DESC);
      continue;
    }
    auto packet = [&](uint64_t a, uint64_t b, uint64_t cc) {
      auto p = std::make_unique<ColumnPacket>();
      p->column = col;
      p->ctype = t;
      p->dst = data;
      p->rows = R;
      p->a.resize(a);
      p->b.resize(b);
      p->c.resize(cc);
      ColumnPacket* raw = p.get();
      packets.push_back(std::move(p));
      return raw;
    };
    switch (t) {
      case SQL_C_LONG:
      case SQL_C_ULONG:
      case SQL_C_SLONG: add(data, n, R < 2 ? RPC_ARG_INT32 : RPC_ARG_INT32_ARRAY); break;
      case SQL_C_SHORT:
      case SQL_C_USHORT:
      case SQL_C_SSHORT: add(data, n, R < 2 ? RPC_ARG_INT16 : RPC_ARG_INT16_ARRAY); break;
      case SQL_C_FLOAT: add(data, n, RPC_ARG_FLOAT_ARRAY); break;
      case SQL_C_DOUBLE: add(data, n, RPC_ARG_DOUBLE_ARRAY); break;
      case SQL_C_SBIGINT:
      case SQL_C_UBIGINT: add(data, n, R < 2 ? RPC_ARG_INT64 : RPC_ARG_INT64_ARRAY); break;
      case SQL_C_NUMERIC: {
        ColumnPacket* p = packet(R * 19, 0, 0);
        p->ia = add(p->a.data(), R * 19, RPC_ARG_DESC);
        break;
      }
      case SQL_C_TIME:
      case SQL_C_TYPE_TIME: {
        ColumnPacket* p = packet(R * 6, 0, 0);
        p->ia = add(p->a.data(), R * 6, RPC_ARG_INT16_ARRAY);
        break;
      }
      case SQL_C_DATE:
      case SQL_C_TYPE_DATE: {
        ColumnPacket* p = packet(R * 2, R * 4, 0);
        p->ia = add(p->a.data(), R * 2, RPC_ARG_INT16_ARRAY);
        p->ib = add(p->b.data(), R * 4, RPC_ARG_INT16_ARRAY);
        break;
      }
      case SQL_C_TIMESTAMP:
      case SQL_C_TYPE_TIMESTAMP: {
        ColumnPacket* p = packet(R * 2, R * 10, R * 4);
        p->ia = add(p->a.data(), R * 2, RPC_ARG_INT16_ARRAY);
        p->ib = add(p->b.data(), R * 10, RPC_ARG_INT16_ARRAY);
        p->ic = add(p->c.data(), R * 4, RPC_ARG_INT32_ARRAY);
        break;
      }
      case SQL_C_GUID: {
        ColumnPacket* p = packet(R * 4, R * 4, R * 8);
        p->ia = add(p->a.data(), R * 4, RPC_ARG_INT32_ARRAY);
        p->ib = add(p->b.data(), R * 4, RPC_ARG_INT16_ARRAY);
        p->ic = add(p->c.data(), R * 8, RPC_ARG_DESC);
        break;
      }
      default:
        if (is_interval_type(t)) {
          ColumnPacket* p = packet(R * 4, R * 20, 0);
          p->ia = add(p->a.data(), R * 4, RPC_ARG_INT16_ARRAY);
          p->ib = add(p->b.data(), R * 20, RPC_ARG_INT32_ARRAY);
        } else if (t == SQL_C_CHAR || t == SQL_C_BINARY || t == SQL_C_WCHAR || t == SQL_C_TINYINT ||
                   t == SQL_C_STINYINT || t == SQL_C_UTINYINT || t == SQL_C_BIT) {
          add(data, n, RPC_ARG_DESC);
        } else {
          return quiet ? kPlanLater
                       : c.failf(8, sqlstate::kHY000.state, "General error: Unknown SQL C type %d (fetch_bound_column)",
                                 t);
        }
        break;
    }
  }
  if (!fits32(wv.size())) return failed(c.fail(0, sqlstate::kHY001));
  return SQL_SUCCESS;
}

SQLRETURN finish_bound_columns(StmtCall& c, ColumnTransfer& plan) {
  client_desc *ard = cur_desc(c.stmt, DESC_ARD), *ird = cur_desc(c.stmt, DESC_IRD);
  const std::vector<wvarray>& wv = plan.wv;
  const uint64_t R = transfer_rows(c.stmt);
  const SQLLEN off = offset_of(ard);
  const bool row_wise = ard->bind_type != SQL_BIND_BY_COLUMN;
  const int last = ard->bound_count;
  const int only_column = plan.only_column;
  diag_header* errp = c.diags();
  for (const auto& p : plan.packets) {
    const wvarray& a = wv[static_cast<size_t>(p->ia)];
    const wvarray* b = p->b.empty() ? nullptr : &wv[static_cast<size_t>(p->ib)];
    const wvarray* cc = p->c.empty() ? nullptr : &wv[static_cast<size_t>(p->ic)];
    int urc = 0;
    switch (p->ctype) {
      case SQL_C_NUMERIC:
        urc = unpack_numerics(errp, p->dst, p->rows * KY_NUMERIC_SIZE, p->rows, p->a.data(), a.iovec_len);
        break;
      case SQL_C_TIME:
      case SQL_C_TYPE_TIME:
        urc = unpack_times(errp, p->dst, p->rows * KY_TIME_SIZE, p->rows, reinterpret_cast<int16_t*>(p->a.data()),
                           a.iovec_len);
        break;
      case SQL_C_DATE:
      case SQL_C_TYPE_DATE:
        urc = unpack_dates(errp, p->dst, p->rows * KY_DATE_SIZE, p->rows, reinterpret_cast<int16_t*>(p->a.data()),
                           a.iovec_len, reinterpret_cast<int16_t*>(p->b.data()), b->iovec_len);
        break;
      case SQL_C_TIMESTAMP:
      case SQL_C_TYPE_TIMESTAMP:
        urc = unpack_timestamps(errp, p->dst, p->rows * KY_TIMESTAMP_SIZE, p->rows,
                                reinterpret_cast<int16_t*>(p->a.data()), a.iovec_len,
                                reinterpret_cast<int16_t*>(p->b.data()), b->iovec_len,
                                reinterpret_cast<int32_t*>(p->c.data()), cc->iovec_len);
        break;
      case SQL_C_GUID:
        urc = unpack_guids(errp, p->dst, p->rows, reinterpret_cast<int32_t*>(p->a.data()), a.iovec_len,
                           reinterpret_cast<int16_t*>(p->b.data()), b->iovec_len, p->c.data(), cc->iovec_len);
        break;
      default:
        urc =
            unpack_intervals(errp, p->dst, p->rows * KY_INTERVAL_SIZE, p->rows, reinterpret_cast<int16_t*>(p->a.data()),
                             a.iovec_len, reinterpret_cast<int32_t*>(p->b.data()), b->iovec_len);
        break;
    }
    // A partial last rowset leaves later rows empty; the rows fetched are whole.
    (void)urc;
  }
  if (row_wise) {
    // Scatter each column into the application's rows.
    for (int col = 0; col <= last && col < ard->n_descrec; ++col) {
      client_desc_rec* arec = &ard->records[col];
      if (!arec->data_ptr && !arec->octet_length_ptr && !arec->indicator_ptr) continue;
      if (only_column >= 0 && col != only_column) continue;
      const int16_t t = column_ctype(arec, desc_rec(ird, col));
      const int64_t fixed = get_type_len(t, arec->octet_length, 0);
      const uint64_t elem = fixed > 0 ? static_cast<uint64_t>(fixed)
                                      : (arec->octet_length > 0 ? static_cast<uint64_t>(arec->octet_length) : 0);
      const bool shared = arec->indicator_ptr == arec->octet_length_ptr;
      TRACE(kTraceDetail, "\tUsing row size %lu\n", static_cast<unsigned long>(ard->bind_type));
      for (uint64_t r = 0; r < R; ++r) {
        const auto step = static_cast<SQLLEN>(off + r * ard->bind_type);
        if (arec->data_ptr && elem)
          std::memcpy(plus(static_cast<char*>(arec->data_ptr), step), static_cast<char*>(arec->transfer[0]) + r * elem,
                      elem);
        if (arec->octet_length_ptr) *plus(arec->octet_length_ptr, step) = static_cast<SQLLEN*>(arec->transfer[1])[r];
        if (arec->indicator_ptr && !shared)
          *plus(arec->indicator_ptr, step) = static_cast<SQLLEN*>(arec->transfer[2])[r];
      }
    }
  }
  return SQL_SUCCESS;
}

OtherRowsKept::OtherRowsKept(StmtCall& c, SQLSETPOSIROW row) {
  client_desc *ard = cur_desc(c.stmt, DESC_ARD), *ird = cur_desc(c.stmt, DESC_IRD);
  if (!ard || row == 0) return;
  const uint64_t R = transfer_rows(c.stmt);
  const SQLLEN off = offset_of(ard);
  const uint64_t bt = ard->bind_type;
  for (int col = 0; col <= ard->bound_count && col < ard->n_descrec; ++col) {
    client_desc_rec* arec = &ard->records[col];
    if (!arec->data_ptr && !arec->octet_length_ptr && !arec->indicator_ptr) continue;
    const int16_t t = column_ctype(arec, desc_rec(ird, col));
    const int64_t fixed = get_type_len(t, arec->octet_length, 0);
    const uint64_t elem = fixed > 0 ? static_cast<uint64_t>(fixed)
                                    : (arec->octet_length > 0 ? static_cast<uint64_t>(arec->octet_length) : 0);
    const bool shared = arec->indicator_ptr == arec->octet_length_ptr;
    for (uint64_t r = 0; r < R; ++r) {
      if (r == row - 1) continue;
      const auto rs = static_cast<SQLLEN>(r);
      if (arec->data_ptr && elem)
        keep(plus(static_cast<char*>(arec->data_ptr), off + rs * static_cast<SQLLEN>(bt ? bt : elem)), elem);
      const SQLLEN len_step = off + rs * static_cast<SQLLEN>(bt ? bt : sizeof(SQLLEN));
      if (arec->octet_length_ptr) keep(plus(arec->octet_length_ptr, len_step), sizeof(SQLLEN));
      if (arec->indicator_ptr && !shared) keep(plus(arec->indicator_ptr, len_step), sizeof(SQLLEN));
    }
  }
}

void OtherRowsKept::keep(void* at, size_t bytes) {
  slots_.push_back({at, bytes});
  const auto* from = static_cast<const char*>(at);
  saved_.insert(saved_.end(), from, from + bytes);
}

OtherRowsKept::~OtherRowsKept() {
  size_t at = 0;
  for (const Slot& s : slots_) {
    std::memcpy(s.at, saved_.data() + at, s.bytes);
    at += s.bytes;
  }
}

SQLRETURN fetch_bound_columns(StmtCall& c, int only_column) {
  ColumnTransfer t;
  SQLRETURN rc = plan_bound_columns(c, only_column, t, false);
  if (rc != SQL_SUCCESS || t.wv.empty()) return rc;
  rc = remote_fetch_bound_colswv(c.rpc(), c.server(), static_cast<int32_t>(t.wv.size()), t.wv.data());
  if (!rc_ok(rc)) {
    TRACE(kTraceExit, "\tremote fetch_bound_colswv failed\n");
    return rc;
  }
  SQLRETURN frc = finish_bound_columns(c, t);
  return frc != SQL_SUCCESS ? frc : rc;
}

SQLRETURN fetch_row_status_array(StmtCall& c) {
  client_desc *ard = cur_desc(c.stmt, DESC_ARD), *ird = cur_desc(c.stmt, DESC_IRD);
  SQLULEN count;
  SQLUSMALLINT* array;
  if (c.stmt->fetch_kind == FETCH_EXTENDED) {
    count = ard ? ard->rowset_size : 1;
    array = ird ? ird->ext_status_ptr : nullptr;
    TRACE(kTraceDetail, "\tLAST_EXTENDED_FETCH - using status %p\n", static_cast<void*>(array));
  } else {
    count = ard ? ard->array_size : 1;
    array = ird ? ird->array_status_ptr : nullptr;
    TRACE(kTraceDetail, "\tLAST_FETCH - using status %p\n", static_cast<void*>(array));
  }
  if (!array)
    return c.fail(5, sqlstate::kHY000.state, "General error: Inconsistent Row Status Array (fetch_row_status_array)\n");
  // In block mode the server's rowset is the whole block: its statuses go to
  // the block's cache, and the application's one-row array gets the first.
  SQLUSMALLINT* app = array;
  if (SQLUSMALLINT* cache = block_status_cache(c.stmt)) array = cache;
  if (count < 1) count = 1;
  if (!fits32(count * 2)) return c.fail(0, sqlstate::kHY001);
  int32_t bytes = static_cast<int32_t>(count * 2);
  SQLRETURN rc = remote_fetch_row_status(c.rpc(), c.server(), &bytes, reinterpret_cast<int16_t*>(array));
  if (array != app && rc_ok(rc)) app[0] = array[0];
  return rc;
}

namespace {

// Sends one column's values (A rows, gathered column-wise).
SQLRETURN synch_a_bound_col(StmtCall& c, int col, int16_t t, void* data, uint64_t len, uint64_t A, SQLLEN* oct,
                            SQLLEN* ind) {
  RpcHandle* h = c.rpc();
  void* s = c.server();
  const auto num = static_cast<int16_t>(col);
  const int32_t ob = oct ? static_cast<int32_t>(A * 8) : 0, ib = ind ? static_cast<int32_t>(A * 8) : 0;
  const auto* o = reinterpret_cast<const SQLULEN*>(oct);
  const auto l = static_cast<int32_t>(len);
  diag_header* errp = c.diags();
  const uint64_t src = data ? len : 0;
  if (!data || len == 0) return remote_synch_bound_colin(h, s, num, 0, nullptr, ob, o, ib, ind);
  switch (t) {
    case SQL_C_NUMERIC: {
      char* recs = nullptr;
      int32_t rb = 0;
      if (pack_numerics(errp, data, src, A, &recs, &rb, 0) != 0) return SQL_ERROR;
      SQLRETURN rc = remote_synch_bound_colin_numeric(h, s, num, rb, recs, ob, o, ib, ind);
      std::free(recs);
      return rc;
    }
    case SQL_C_LONG:
    case SQL_C_ULONG:
    case SQL_C_SLONG:
      return remote_synch_bound_colin_integer(h, s, num, l, static_cast<int32_t*>(data), ob, o, ib, ind);
    case SQL_C_SHORT:
    case SQL_C_USHORT:
    case SQL_C_SSHORT:
      return remote_synch_bound_colin_smallint(h, s, num, l, static_cast<int16_t*>(data), ob, o, ib, ind);
    case SQL_C_FLOAT:
      return remote_synch_bound_colin_float(h, s, num, l / 4, static_cast<float*>(data), ob, o, ib, ind);
    case SQL_C_DOUBLE:
      return remote_synch_bound_colin_double(h, s, num, l / 8, static_cast<double*>(data), ob, o, ib, ind);
    case SQL_C_DATE:
    case SQL_C_TYPE_DATE: {
      int16_t *years = nullptr, *pairs = nullptr;
      int32_t yb = 0, pb = 0;
      if (pack_dates(errp, data, src, A, &years, &yb, &pairs, &pb, 0) != 0) return SQL_ERROR;
      SQLRETURN rc = remote_synch_bound_colin_date(h, s, num, yb, years, pb, pairs, ob, o, ib, ind);
      std::free(years), std::free(pairs);
      return rc;
    }
    case SQL_C_TIME:
    case SQL_C_TYPE_TIME: {
      int16_t* tr = nullptr;
      int32_t tb = 0;
      if (pack_times(errp, data, src, A, &tr, &tb, 0) != 0) return SQL_ERROR;
      SQLRETURN rc = remote_synch_bound_colin_time(h, s, num, tb, tr, ob, o, ib, ind);
      std::free(tr);
      return rc;
    }
    case SQL_C_TIMESTAMP:
    case SQL_C_TYPE_TIMESTAMP: {
      int16_t *q = nullptr, *y = nullptr;
      int32_t* f = nullptr;
      int32_t qb = 0, yb = 0, fb = 0;
      SQLRETURN rc = SQL_ERROR;
      if (pack_timestamps(errp, data, src, A, &q, &qb, &y, &yb, &f, &fb, 0) == 0)
        rc = remote_synch_bound_colin_timestamp(h, s, num, qb, q, yb, y, fb, f, ob, o, ib, ind);
      std::free(q), std::free(y), std::free(f);
      return rc;
    }
    default: break;
  }
  if (is_interval_type(t)) {
    int32_t* stream = nullptr;
    int16_t* pairs = nullptr;
    int32_t sb = 0, pb = 0;
    int prc = pack_intervals(errp, data, src, A, &stream, &sb, &pairs, &pb, 0);
    if (prc == -2) return c.fail(14, sqlstate::kHY000.state, "General error: Invalid interval type");
    if (prc != 0) return SQL_ERROR;
    SQLRETURN rc = remote_synch_bound_colin_interval(h, s, num, sb, stream, pb, pairs, ob, o, ib, ind);
    std::free(stream), std::free(pairs);
    return rc;
  }
  if ((t == SQL_C_CHAR || t == SQL_C_BINARY) && ind) {
    const SQLLEN v = *ind;
    if (v < 0 && v != SQL_NULL_DATA && v != SQL_DATA_AT_EXEC && v != SQL_NTS && v != SQL_DEFAULT_PARAM &&
        v != SQL_COLUMN_IGNORE && v > -100)
      return c.fail(0, sqlstate::kHY090);
  }
  return remote_synch_bound_colin(h, s, num, l, data, ob, o, ib, ind);
}

// rows: 0 sends all rows of the rowset, k > 0 row k alone.
SQLRETURN synch_columns(StmtCall& c, SQLSETPOSIROW row, bool bookmarks_in) {
  SQLSMALLINT cols = 0;
  SQLRETURN rc = fetch_column_descriptions(c, &cols);
  if (rc >= 2 || rc < 0) return rc;
  client_desc *ard = cur_desc(c.stmt, DESC_ARD), *ird = cur_desc(c.stmt, DESC_IRD);
  if (!ard) return SQL_SUCCESS;
  const uint64_t A = row ? 1 : (ard->array_size < 1 ? 1 : ard->array_size);
  const SQLLEN off = offset_of(ard);
  const uint64_t bt = ard->bind_type;
  // The bookmark column goes only where it is input; elsewhere its buffers
  // may hold anything (an add writes the new bookmarks there).
  for (int col = bookmarks_in ? 0 : 1; col <= ard->bound_count && col < ard->n_descrec && col <= cols; ++col) {
    client_desc_rec* arec = &ard->records[col];
    if (std::memcmp(arec->tag, "DESR", 4))
      return c.fail(5, sqlstate::kHY000.state, "General error: Internal descriptor record invalid");
    if (arec->data_ptr && !arec->octet_length_ptr)
      return c.fail(30, sqlstate::kHY000.state, "General error: No OctetLengthPtr (synch_bound_columns)");
    if (!arec->data_ptr && !arec->octet_length_ptr && !arec->indicator_ptr) {
      TRACE(kTraceDetail, "\tno bound data for column\n");
      continue;
    }
    const int16_t t = column_ctype(arec, desc_rec(ird, col));
    const int64_t fixed = get_type_len(t, arec->octet_length, 0);
    if (fixed < 0)
      return c.failf(5, sqlstate::kHY000.state,
                     "General error: Cannot determine length of datatype %d, OctetLength=%ld (synch_bound_columns)", t,
                     static_cast<long>(arec->octet_length));
    const uint64_t elem = fixed > 0 ? static_cast<uint64_t>(fixed)
                                    : (arec->octet_length > 0 ? static_cast<uint64_t>(arec->octet_length) : 0);
    // The first row sent: row k, or row 1.
    const uint64_t first_row = row ? row - 1 : 0;
    const SQLLEN row_step = bt ? static_cast<SQLLEN>(bt) : 0;
    auto data_at = [&](uint64_t r) -> char* {
      if (!arec->data_ptr) return nullptr;
      return plus(static_cast<char*>(arec->data_ptr),
                  off + static_cast<SQLLEN>(r) * (bt ? row_step : static_cast<SQLLEN>(elem)));
    };
    auto len_at = [&](SQLLEN* p, uint64_t r) -> SQLLEN* {
      if (!p) return nullptr;
      return plus(p, off + static_cast<SQLLEN>(r) * (bt ? row_step : static_cast<SQLLEN>(sizeof(SQLLEN))));
    };
    const bool shared = arec->indicator_ptr == arec->octet_length_ptr;
    if (!fits32(A * (elem ? elem : 1))) return c.fail(0, sqlstate::kHY001);
    uint64_t len = 0;
    void* data = nullptr;
    SQLLEN *oct = nullptr, *ind = nullptr;
    if (A == 1 && !bt) {
      data = data_at(first_row);
      oct = len_at(arec->octet_length_ptr, first_row);
      ind = shared ? nullptr : len_at(arec->indicator_ptr, first_row);
      if (data) {
        const SQLLEN v = oct ? *oct : 0;
        if (v == SQL_COLUMN_IGNORE || v == SQL_NULL_DATA)
          len = 0;
        else if (v == SQL_NTS)
          len = nts_bytes(t, data, elem ? elem : UINT32_MAX);
        else
          len = elem;
      }
    } else {
      // Every row goes, each in a slot of its own (a NULL or SQL_NTS first
      // row does not size the others).
      auto* gd = arec->data_ptr ? static_cast<char*>(transfer_buffer(arec, 0, A * elem)) : nullptr;
      auto* go = arec->octet_length_ptr ? static_cast<SQLLEN*>(transfer_buffer(arec, 1, A * 8)) : nullptr;
      auto* gi = arec->indicator_ptr && !shared ? static_cast<SQLLEN*>(transfer_buffer(arec, 2, A * 8)) : nullptr;
      if ((arec->data_ptr && !gd) || (arec->octet_length_ptr && !go) || (arec->indicator_ptr && !shared && !gi))
        return c.fail(0, sqlstate::kHY001);
      if (gd) std::memset(gd, 0, A * elem);
      for (uint64_t r = 0; r < A; ++r) {
        const uint64_t src_row = first_row + r;
        SQLLEN* ro = len_at(arec->octet_length_ptr, src_row);
        uint64_t n = elem;
        if (ro && (*ro == SQL_COLUMN_IGNORE || *ro == SQL_NULL_DATA))
          n = 0;
        else if (ro && *ro == SQL_NTS)
          n = nts_bytes(t, data_at(src_row), elem);
        if (n > elem) n = elem;
        if (gd && n) std::memcpy(gd + r * elem, data_at(src_row), n);
        if (go) go[r] = *ro;
        if (gi) gi[r] = *len_at(arec->indicator_ptr, src_row);
      }
      data = gd;
      oct = go;
      ind = gi;
      len = gd ? A * elem : 0;
    }
    rc = synch_a_bound_col(c, col, t, data, len, A, oct, shared ? oct : ind);
    if (rc != SQL_SUCCESS) {
      TRACE(kTraceInternal | kTraceExit, "\t-^%s()=%d (synch_a_bound_col(%d) failed)\n", "synch_bound_columns", rc,
            col);
      return rc;
    }
  }
  return SQL_SUCCESS;
}

}  // namespace

SQLRETURN synch_bound_columns(StmtCall& c, bool bookmarks_in) { return synch_columns(c, 0, bookmarks_in); }

SQLRETURN synch_bound_columns_specific_row(StmtCall& c, SQLSETPOSIROW row) { return synch_columns(c, row, false); }

int unpack_guids(diag_header* errp, void* dst, uint64_t count, const int32_t* data1, int32_t data1_bytes,
                 const int16_t* pairs, int32_t pairs_bytes, const char* data4, int32_t data4_bytes) {
  if (count == 0 || !data1 || !pairs || !data4) {
    post_error(errp, VENDOR_COMMON, CLASS_ISO, 0, nullptr, "", 7, 0, "ISO 9075", sqlstate::kHY000.state,
               "general error: unpack_guids, no data to unpack");
    set_return_code(errp, SQL_ERROR);
    return -1;
  }
  if (!dst) {
    post_error(errp, VENDOR_COMMON, CLASS_ISO, 0, nullptr, "", 7, 0, "ISO 9075", sqlstate::kHY000.state,
               "general error: unpack_guids, nowhere to unpack");
    set_return_code(errp, SQL_ERROR);
    return -1;
  }
  // Only whole elements that every field array holds.
  uint64_t n = count;
  n = std::min<uint64_t>(n, static_cast<uint64_t>(data1_bytes > 0 ? data1_bytes : 0) / 4);
  n = std::min<uint64_t>(n, static_cast<uint64_t>(pairs_bytes > 0 ? pairs_bytes : 0) / 4);
  n = std::min<uint64_t>(n, static_cast<uint64_t>(data4_bytes > 0 ? data4_bytes : 0) / 8);
  for (uint64_t i = 0; i < n; ++i) {
    SQLGUID g;
    g.Data1 = static_cast<uint32_t>(data1[i]);
    g.Data2 = static_cast<uint16_t>(pairs[2 * i]);
    g.Data3 = static_cast<uint16_t>(pairs[2 * i + 1]);
    std::memcpy(g.Data4, data4 + 8 * i, 8);
    std::memcpy(static_cast<char*>(dst) + 16 * i, &g, 16);
  }
  return 0;
}

}  // namespace kyvek::driver
