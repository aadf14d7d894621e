// Parameter transfer: all bound input values of an execution in one call
// ("synch_bound_paramswv", a typed-element array), output values back one
// parameter at a time, the parameter description cache, the parameter status
// array and the processed counts. Structured values travel as field arrays;
// row-wise bound parameters are gathered into (and scattered back from)
// column-wise transfer buffers owned by the APD record.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "number_text.h"
#include "packing.h"
#include "remote.h"
#include "sql_types.h"
#include "statements.h"
#include "trace.h"

namespace kyvek::driver {

// The typed-element array of one transfer and the buffers it owns.
struct ParamValues {
  std::vector<wvarray> entries;
  std::vector<void*> owned;  // freed with the builder (malloc'd)
  ParamValues() = default;
  ParamValues(const ParamValues&) = delete;
  ParamValues& operator=(const ParamValues&) = delete;
  ~ParamValues() {
    for (void* p : owned) std::free(p);
  }
  void add(const void* p, uint64_t bytes, int32_t kind) {
    entries.push_back({const_cast<void*>(p), p ? static_cast<int32_t>(bytes) : 0, kind});
  }
  void* keep(void* p) {
    if (p) owned.push_back(p);
    return p;
  }
};

QueuedValues::QueuedValues() = default;
QueuedValues::~QueuedValues() { call_.reset(); }

SQLRETURN QueuedValues::take() { return call_ ? call_->take() : SQL_SUCCESS; }

namespace {

constexpr uint32_t kFlagNoParamStatus = 0x100;  // the server keeps no parameter status array

// Element kinds are the RPC library's (kyrpc.h). A parameter's octet lengths
// go as an SQLULEN array and its indicators as an SQLLEN array; a column pairs
// them the other way round (columns.cpp). Both are kept as every peer already
// tags them: the kind travels with each element and decides how a 32-bit peer
// narrows and widens the values (signed or unsigned), so swapping either
// pair would change what such a peer reads.
constexpr int32_t kKindInt16Array = RPC_ARG_INT16_ARRAY;
constexpr int32_t kKindInt32Array = RPC_ARG_INT32_ARRAY;
constexpr int32_t kKindBlock = RPC_ARG_DESC;
constexpr int32_t kKindInt64Array = RPC_ARG_INT64_ARRAY;
constexpr int32_t kKindSqllenArray = RPC_ARG_SQLLEN_ARRAY;
constexpr int32_t kKindSqlulenArray = RPC_ARG_SQLULEN_ARRAY;

bool indicator_code_ok(SQLLEN v) {
  return v >= 0 || v == SQL_NULL_DATA || v == SQL_DATA_AT_EXEC || v == SQL_DEFAULT_PARAM || v <= -100;
}

bool char_indicator_ok(SQLLEN v) {
  return v >= 0 || v == SQL_NULL_DATA || v == SQL_DATA_AT_EXEC || v == SQL_NTS || v == SQL_DEFAULT_PARAM || v <= -100;
}

int16_t effective_ctype(const client_desc_rec* arec, const client_desc_rec* irec) {
  int16_t t = arec->concise_type;
  if (t == SQL_C_DEFAULT && sqltype2ctype(irec->concise_type, &t) != 0) return 0;
  return t;
}

// Every one of rows indicators (step bytes apart) asks for data at execution.
bool all_at_exec(const SQLLEN* ind, uint64_t rows, uint64_t step) {
  for (uint64_t r = 0; r < rows; ++r) {
    const SQLLEN v = *reinterpret_cast<const SQLLEN*>(reinterpret_cast<const char*>(ind) + r * step);
    if (v != SQL_DATA_AT_EXEC && v > SQL_LEN_DATA_AT_EXEC_OFFSET) return false;
  }
  return true;
}

// Terminator bytes of a text C type.
uint64_t terminator(int16_t t) { return t == SQL_C_CHAR ? 1 : t == SQL_C_WCHAR ? 2 : 0; }

}  // namespace

uint64_t nts_bytes(int16_t ctype, const void* data, uint64_t max) {
  if (!data) return 0;
  const auto* p = static_cast<const unsigned char*>(data);
  if (ctype == SQL_C_WCHAR) {
    for (uint64_t i = 0; i + 1 < max; i += 2)
      if (p[i] == 0 && p[i + 1] == 0) return i + 2;
    return max & ~uint64_t{1};
  }
  const void* z = std::memchr(p, 0, max);
  return z ? static_cast<uint64_t>(static_cast<const unsigned char*>(z) - p) + 1 : max;
}

int32_t count_param_markers(const SQLCHAR* text, SQLINTEGER len) {
  if (!text) return -1;
  const size_t n =
      len == SQL_NTS ? std::strlen(reinterpret_cast<const char*>(text)) : (len > 0 ? static_cast<size_t>(len) : 0);
  const auto markers = std::count(text, text + n, static_cast<SQLCHAR>('?'));
  return markers > INT32_MAX ? INT32_MAX : static_cast<int32_t>(markers);
}

namespace {

// Parameters bound beyond what the statement uses are neither read nor sent:
// they may point into memory the application no longer owns.
int used_params(const client_stmt* stmt, const client_desc* apd) {
  const int bound = apd->bound_count;
  return stmt->param_markers >= 0 && stmt->param_markers < bound ? stmt->param_markers : bound;
}

}  // namespace

SQLRETURN put_bound_parameters(StmtCall& c, int mode, QueuedValues* later) {
  client_desc* apd = cur_desc(c.stmt, DESC_APD);
  if (vekc_chk_handle(kDesc, apd))
    return c.fail(5, sqlstate::kHY000.state, "General error: Internal APD descriptor invalid");
  int count = used_params(c.stmt, apd);
  if (mode == 1) {
    if (c.dbc->param_count_support == -1) {
      int16_t yes = 0;
      int rc = remote_sql_get_function(c.rpc(), reinterpret_cast<void*>(c.dbc->server_dbc), SQL_API_SQLNUMPARAMS, &yes);
      c.dbc->param_count_support = rc_ok(rc) && yes ? 1 : 0;
      TRACE(kTraceDetail, "\tDriver supports SQLNumParams : %d\n", c.dbc->param_count_support);
    }
    if (c.dbc->param_count_support == 1 && !(c.stmt->flags & kStmtParamCountAsked)) {
      if (apd->bound_count < 1) return SQL_SUCCESS;  // nothing bound: nothing to send
      int16_t n = 0;
      if (!rc_ok(remote_sql_num_params(c.rpc(), c.server(), &n))) return SQL_ERROR;
      c.stmt->param_markers = n < 0 ? 0 : n;
      c.stmt->flags |= kStmtParamCountAsked;
      if (n < 1) return SQL_SUCCESS;
      count = used_params(c.stmt, apd);
    }
  }
  if (count < 1 || apd->bound_count < 1) return SQL_SUCCESS;
  client_desc* ipd = cur_desc(c.stmt, DESC_IPD);
  if (vekc_chk_handle(kDesc, ipd))
    return c.fail(5, sqlstate::kHY000.state, "General error: Internal IPD descriptor invalid");
  if (ipd->n_descrec < apd->bound_count + 1)
    return c.fail(40, sqlstate::kHY000.state, "General error: APD and IPD counts mismatched");

  const uint64_t A = apd->array_size < 1 ? 1 : apd->array_size;
  const SQLLEN off = offset_of(apd);
  const bool row_wise = apd->bind_type != SQL_PARAM_BIND_BY_COLUMN;
  auto values = std::make_unique<ParamValues>();
  ParamValues& wv = *values;
  wv.entries.reserve(static_cast<size_t>(count) * 5);
  diag_header* errp = c.diags();
  for (int n = 1; n <= count && n <= apd->bound_count; ++n) {
    TRACE(kTraceDetail, "\tProcessing parameter %u of %u(%d)\n", n, count, apd->bound_count);
    client_desc_rec *arec = &apd->records[n], *irec = &ipd->records[n];
    if (std::memcmp(arec->tag, "DESR", 4) || std::memcmp(irec->tag, "DESR", 4))
      return c.fail(5, sqlstate::kHY000.state, "General error: Internal descriptor record invalid");
    if (irec->parameter_type == SQL_PARAM_OUTPUT) {
      TRACE(kTraceDetail, "\tOutput-only parameter - ignored\n");
      continue;
    }
    void* data = plus(arec->data_ptr, off);
    SQLLEN* oct = plus(arec->octet_length_ptr, off);
    SQLLEN* ind = plus(arec->indicator_ptr, off);
    const uint64_t oct_bytes = oct ? A * sizeof(SQLLEN) : 0, ind_bytes = ind ? A * sizeof(SQLLEN) : 0;
    if (!fits32(oct_bytes)) return c.fail(0, sqlstate::kHY001);
    if (!data || irec->parameter_type == 0) {
      // No value buffer (data at execution, a NULL, or a parameter left unbound).
      if (ind && !indicator_code_ok(*ind)) return c.fail(0, sqlstate::kHY090);
      wv.add(oct, oct_bytes, kKindSqlulenArray);
      wv.add(ind, ind_bytes, kKindSqllenArray);
      wv.add(nullptr, 0, kKindBlock);
      continue;
    }
    const int16_t t = effective_ctype(arec, irec);
    if (t == 0)
      return c.failf(8, sqlstate::kHY000.state,
                     "General error: Unexpected sql type (%d) in IPD ConciseType (put_bound_parameters)",
                     irec->concise_type);
    const int64_t fixed = get_type_len(t, arec->octet_length, 0);
    if (fixed < 0)
      return c.failf(5, sqlstate::kHY000.state,
                     "General error: Cannot determine length of datatype %d, OctetLength=%ld (put_bound_parameters)", t,
                     static_cast<long>(arec->octet_length));
    const SQLLEN first = ind ? *ind : 0;
    uint64_t L = static_cast<uint64_t>(fixed);
    if (fixed == 0) {
      if (ind) {
        if (first == 0) {
          if (oct == ind)
            L = t == SQL_C_CHAR ? 1 : 0;
          else if (!oct)
            return c.fail(26, sqlstate::kHY000.state,
                          "General error: Cannot determine length of parameter,Indicator=0 and OctetLengthPtr=NULL");
          else
            L = static_cast<uint64_t>(*oct > 0 ? *oct : 0);
        } else if (first == SQL_DEFAULT_PARAM || first == SQL_DATA_AT_EXEC || first == SQL_NULL_DATA ||
                   first <= SQL_LEN_DATA_AT_EXEC_OFFSET) {
          L = 0;
        } else if (first == SQL_NTS) {
          L = A < 2
                  ? nts_bytes(t, data, arec->octet_length > 0 ? static_cast<uint64_t>(arec->octet_length) : UINT32_MAX)
                  : irec->length;
        } else if (first < 0) {
          return c.fail(26, sqlstate::kHY000.state, "General error: Cannot determine length of parameter,(here1)");
        } else {
          // The value with its terminator when the buffer holds one; never
          // past the application's buffer.
          L = static_cast<uint64_t>(first);
          const uint64_t term = terminator(t);
          if (term && (arec->octet_length <= 0 || L + term <= static_cast<uint64_t>(arec->octet_length))) L += term;
          // A length beyond the buffer the application bound is not read past it.
          if (arec->octet_length > 0 && L > static_cast<uint64_t>(arec->octet_length))
            L = static_cast<uint64_t>(arec->octet_length);
        }
      } else if (A < 2) {
        L = nts_bytes(t, data, arec->octet_length > 0 ? static_cast<uint64_t>(arec->octet_length) : UINT32_MAX);
        TRACE(kTraceDetail, "\tAssuming nul terminated, - length = %d\n", static_cast<int>(L));
      } else {
        L = arec->octet_length > 0 ? static_cast<uint64_t>(arec->octet_length) : 0;
        TRACE(kTraceDetail, "\tRowArraySize > 1 so using Bufferlength %d\n", static_cast<int>(L));
      }
    }
    if ((t == SQL_C_CHAR || t == SQL_C_BINARY) && ind && !char_indicator_ok(first)) return c.fail(0, sqlstate::kHY090);
    // Data at execution in every set: the data pointer is the application's
    // token, never read; the values come through SQLPutData.
    const bool token = ind && all_at_exec(ind, A, row_wise ? apd->bind_type : sizeof(SQLLEN));
    const uint64_t stride = fixed > 0 ? static_cast<uint64_t>(fixed)
                                      : (arec->octet_length > 0 ? static_cast<uint64_t>(arec->octet_length) : 0);
    if (fixed == 0 && A > 1 && stride == 0 && !token)
      return c.fail(38, sqlstate::kHY000.state, "General error: ParamSetSize > 1 and BufferLength is 0");
    if (!fits32(A * stride) || !fits32(L)) return c.fail(0, sqlstate::kHY001);
    if (token) {
      if (row_wise) {
        // Only the lengths travel, column-wise.
        auto* go = static_cast<SQLLEN*>(transfer_buffer(arec, 1, ind_bytes));
        if (!go) return c.fail(0, sqlstate::kHY001);
        for (uint64_t r = 0; r < A; ++r) go[r] = *plus(ind, static_cast<SQLLEN>(r * apd->bind_type));
        ind = go;
        oct = oct ? go : nullptr;
      }
      wv.add(oct, oct_bytes, kKindSqlulenArray);
      wv.add(ind, ind_bytes, kKindSqllenArray);
      if (fixed > 0) {
        // Structured values need zeros of their full size on the server; an
        // interval's zeros carry its kind, which the packing checks.
        data = wv.keep(std::calloc(A, static_cast<size_t>(fixed)));
        if (!data) return c.fail(0, sqlstate::kHY001);
        if (is_interval_type(t))
          for (uint64_t r = 0; r < A; ++r)
            static_cast<SQL_INTERVAL_STRUCT*>(data)[r].interval_type = static_cast<SQLINTERVAL>(t - 100);
      } else {
        wv.add(nullptr, 0, kKindBlock);
        continue;
      }
    }
    if (token) {
      // The zeros go as the value arrays of their C type, below.
    } else if (row_wise) {
      // Gather the rows into the record's column-wise transfer buffers.
      auto* gd = static_cast<char*>(transfer_buffer(arec, 0, A * stride));
      auto* go = oct ? static_cast<SQLLEN*>(transfer_buffer(arec, 1, oct_bytes)) : nullptr;
      auto* gi = ind && ind != oct ? static_cast<SQLLEN*>(transfer_buffer(arec, 2, ind_bytes)) : nullptr;
      if (!gd || (oct && !go) || (ind && ind != oct && !gi)) return c.fail(0, sqlstate::kHY001);
      std::memset(gd, 0, A * stride);
      for (uint64_t r = 0; r < A; ++r) {
        const char* src = static_cast<const char*>(data) + r * apd->bind_type;
        const SQLLEN* ro = oct ? plus(oct, static_cast<SQLLEN>(r * apd->bind_type)) : nullptr;
        const SQLLEN* ri = ind ? plus(ind, static_cast<SQLLEN>(r * apd->bind_type)) : nullptr;
        uint64_t len = stride;
        if (ro && (*ro == SQL_NULL_DATA || *ro == SQL_COLUMN_IGNORE || *ro == SQL_DATA_AT_EXEC ||
                   *ro <= SQL_LEN_DATA_AT_EXEC_OFFSET || *ro == SQL_DEFAULT_PARAM))
          len = 0;
        else if (ro && *ro == SQL_NTS)
          len = nts_bytes(t, src, stride);
        if (len > stride) len = stride;
        if (len) std::memcpy(gd + r * stride, src, len);
        if (go) go[r] = *ro;
        if (gi) gi[r] = *ri;
      }
      data = gd;
      if (go) {
        if (ind == oct) ind = go;
        oct = go;
      }
      if (gi) ind = gi;
    }
    if (!token) {
      wv.add(oct, oct_bytes, kKindSqlulenArray);
      wv.add(ind, ind_bytes, kKindSqllenArray);
    }
    const uint64_t src_bytes = A * (stride ? stride : L);
    switch (t) {
      case SQL_C_NUMERIC: {
        char* rec = nullptr;
        int32_t bytes = 0;
        if (pack_numerics(errp, data, src_bytes, A, &rec, &bytes, 0) != 0) return SQL_ERROR;
        wv.add(wv.keep(rec), static_cast<uint64_t>(bytes), kKindBlock);
        break;
      }
      case SQL_C_LONG:
      case SQL_C_ULONG:
      case SQL_C_SLONG: wv.add(data, A * 4, kKindInt32Array); break;
      case SQL_C_SHORT:
      case SQL_C_USHORT:
      case SQL_C_SSHORT: wv.add(data, A * 2, kKindInt16Array); break;
      case SQL_C_FLOAT:
      case SQL_C_DOUBLE: {
        if (!fits32(A * kyproc::kNumberTextSlot)) return c.fail(0, sqlstate::kHY001);
        auto* slots = static_cast<char*>(wv.keep(std::calloc(A, kyproc::kNumberTextSlot)));
        if (!slots) return c.fail(0, sqlstate::kHY001);
        for (uint64_t r = 0; r < A; ++r) {
          double v;
          if (t == SQL_C_FLOAT) {
            float f;
            std::memcpy(&f, static_cast<char*>(data) + r * 4, 4);
            v = f;
          } else {
            std::memcpy(&v, static_cast<char*>(data) + r * 8, 8);
          }
          kyproc::format_number_text(v, slots + r * kyproc::kNumberTextSlot);
        }
        wv.add(slots, A * kyproc::kNumberTextSlot, kKindBlock);
        break;
      }
      case SQL_C_DATE:
      case SQL_C_TYPE_DATE: {
        int16_t *years = nullptr, *pairs = nullptr;
        int32_t yb = 0, pb = 0;
        if (pack_dates(errp, data, src_bytes, A, &years, &yb, &pairs, &pb, 0) != 0) return SQL_ERROR;
        wv.add(wv.keep(years), static_cast<uint64_t>(yb), kKindInt16Array);
        wv.add(wv.keep(pairs), static_cast<uint64_t>(pb), kKindInt16Array);
        break;
      }
      case SQL_C_TIME:
      case SQL_C_TYPE_TIME: {
        int16_t* triples = nullptr;
        int32_t tb = 0;
        if (pack_times(errp, data, src_bytes, A, &triples, &tb, 0) != 0) return SQL_ERROR;
        wv.add(wv.keep(triples), static_cast<uint64_t>(tb), kKindBlock);
        break;
      }
      case SQL_C_TIMESTAMP:
      case SQL_C_TYPE_TIMESTAMP: {
        int16_t *quint = nullptr, *years = nullptr;
        int32_t* fr = nullptr;
        int32_t qb = 0, yb = 0, fb = 0;
        if (pack_timestamps(errp, data, src_bytes, A, &quint, &qb, &years, &yb, &fr, &fb, 0) != 0) {
          std::free(quint), std::free(years), std::free(fr);
          return SQL_ERROR;
        }
        // Parameters carry the quintuples first, then years and fractions.
        wv.add(wv.keep(quint), static_cast<uint64_t>(qb), kKindInt16Array);
        wv.add(wv.keep(years), static_cast<uint64_t>(yb), kKindInt16Array);
        wv.add(wv.keep(fr), static_cast<uint64_t>(fb), kKindInt32Array);
        break;
      }
      case SQL_C_SBIGINT:
      case SQL_C_UBIGINT: wv.add(data, A * 8, kKindInt64Array); break;
      case SQL_C_BIT: wv.add(data, A, kKindBlock); break;
      case SQL_C_GUID: {
        // As a GUID column travels: Data1, the Data2/Data3 pairs, Data4.
        int32_t* data1 = nullptr;
        int16_t* pairs = nullptr;
        char* data4 = nullptr;
        int32_t b1 = 0, bp = 0, b4 = 0;
        const int prc = pack_guids(errp, data, src_bytes, A, &data1, &b1, &pairs, &bp, &data4, &b4, 0);
        wv.keep(data1), wv.keep(pairs), wv.keep(data4);
        if (prc != 0) return SQL_ERROR;
        wv.add(data1, static_cast<uint64_t>(b1), kKindInt32Array);
        wv.add(pairs, static_cast<uint64_t>(bp), kKindInt16Array);
        wv.add(data4, static_cast<uint64_t>(b4), kKindBlock);
        break;
      }
      default:
        if (is_interval_type(t)) {
          int32_t* stream = nullptr;
          int16_t* pairs = nullptr;
          int32_t sb = 0, pb = 0;
          int prc = pack_intervals(errp, data, src_bytes, A, &stream, &sb, &pairs, &pb, 0);
          if (prc == -2) return c.fail(14, sqlstate::kHY000.state, "General error: Invalid interval type");
          if (prc != 0) return SQL_ERROR;
          wv.keep(stream);
          wv.keep(pairs);
          wv.add(pairs, static_cast<uint64_t>(pb), kKindInt16Array);
          wv.add(stream, static_cast<uint64_t>(sb), kKindInt32Array);
        } else {
          wv.add(data, A == 1 ? (fixed > 0 ? static_cast<uint64_t>(fixed) : L) : A * stride, kKindBlock);
        }
        break;
    }
  }
  if (wv.entries.empty()) {
    TRACE(kTraceInternal | kTraceExit, "-^%s()=SQL_SUCCESS (no input params found)\n", "put_bound_parameters");
    return SQL_SUCCESS;
  }
  if (!fits32(wv.entries.size())) return c.fail(0, sqlstate::kHY001);
  const auto n = static_cast<int32_t>(wv.entries.size());
  if (!later) return remote_synch_bound_paramswv(c.rpc(), c.server(), n, wv.entries.data());
  // Queued: the execution queued next leaves in the same send; the server
  // refuses it when these values fail.
  later->values_ = std::move(values);
  later->call_.emplace(c.rpc(), c.server(), n, later->values_->entries.data());
  return SQL_SUCCESS;
}

namespace {

// Fetches one output parameter's values into dst (column-wise, A elements of
// elem bytes; elem 0: bytes of character data), with its lengths.
SQLRETURN fetch_one_output(StmtCall& c, int n, int16_t t, void* dst, uint64_t elem, uint64_t A, SQLLEN* oct,
                           SQLLEN* ind) {
  RpcHandle* h = c.rpc();
  void* s = c.server();
  const auto num = static_cast<int16_t>(n);
  int32_t ob = oct ? static_cast<int32_t>(A * 8) : 0;
  int32_t ib = ind && ind != oct ? static_cast<int32_t>(A * 8) : 0;
  auto* o = reinterpret_cast<SQLULEN*>(oct);
  SQLLEN* i = ind && ind != oct ? ind : nullptr;
  diag_header* errp = c.diags();
  const int32_t bytes = static_cast<int32_t>(A * elem);
  if (!dst) {
    int32_t zero = 0;
    return remote_fetch_bound_param(h, s, num, &zero, nullptr, &ob, o, &ib, i);
  }
  switch (t) {
    case SQL_C_NUMERIC: {
      std::vector<char> buf(A * KY_NUMERIC_RECORD_BYTES);
      int32_t b = static_cast<int32_t>(buf.size());
      SQLRETURN rc = remote_fetch_bound_param_numeric(h, s, num, &b, buf.data(), &ob, o, &ib, i);
      if (rc != SQL_SUCCESS) return rc;
      return unpack_numerics(errp, dst, A * KY_NUMERIC_SIZE, A, buf.data(), b) == 0 ? SQL_SUCCESS : SQL_ERROR;
    }
    case SQL_C_LONG:
    case SQL_C_ULONG:
    case SQL_C_SLONG: {
      int32_t b = bytes;
      return remote_fetch_bound_param_integer(h, s, num, &b, static_cast<int32_t*>(dst), &ob, o, &ib, i);
    }
    case SQL_C_SHORT:
    case SQL_C_USHORT:
    case SQL_C_SSHORT: {
      int32_t b = bytes;
      return remote_fetch_bound_param_smallint(h, s, num, &b, static_cast<int16_t*>(dst), &ob, o, &ib, i);
    }
    case SQL_C_SBIGINT:
    case SQL_C_UBIGINT: {
      int32_t b = bytes;
      return remote_fetch_bound_param_bigint(h, s, num, &b, static_cast<int64_t*>(dst), &ob, o, &ib, i);
    }
    case SQL_C_FLOAT: {
      int32_t k = static_cast<int32_t>(A);
      return remote_fetch_bound_param_float(h, s, num, &k, static_cast<float*>(dst), &ob, o, &ib, i);
    }
    case SQL_C_DOUBLE: {
      int32_t k = static_cast<int32_t>(A);
      return remote_fetch_bound_param_double(h, s, num, &k, static_cast<double*>(dst), &ob, o, &ib, i);
    }
    case SQL_C_DATE:
    case SQL_C_TYPE_DATE: {
      std::vector<int16_t> years(A), pairs(A * 2);
      int32_t yb = static_cast<int32_t>(A * 2), pb = static_cast<int32_t>(A * 4), cb = 0;
      SQLRETURN rc = remote_fetch_bound_param_dt(h, s, num, t, 1, &yb, years.data(), &pb, pairs.data(), &cb, nullptr,
                                                 &ob, o, &ib, i);
      if (rc != SQL_SUCCESS) return rc;
      if (yb * 2 != pb)
        return c.fail(29, sqlstate::kHY000.state,
                      "General error: Internal date consistency check (fetch_bound_parameters)");
      return unpack_dates(errp, dst, A * KY_DATE_SIZE, A, years.data(), yb, pairs.data(), pb) == 0 ? SQL_SUCCESS
                                                                                                   : SQL_ERROR;
    }
    case SQL_C_TIME:
    case SQL_C_TYPE_TIME: {
      std::vector<int16_t> triples(A * 3);
      int32_t ab = 0, tb = static_cast<int32_t>(A * 6), cb = 0;
      SQLRETURN rc =
          remote_fetch_bound_param_dt(h, s, num, t, 1, &ab, nullptr, &tb, triples.data(), &cb, nullptr, &ob, o, &ib, i);
      if (rc != SQL_SUCCESS) return rc;
      if (tb % 3 != 0)
        return c.fail(29, sqlstate::kHY000.state,
                      "General error: Internal time consistency check (fetch_bound_parameters)");
      return unpack_times(errp, dst, A * KY_TIME_SIZE, A, triples.data(), tb) == 0 ? SQL_SUCCESS : SQL_ERROR;
    }
    case SQL_C_TIMESTAMP:
    case SQL_C_TYPE_TIMESTAMP: {
      std::vector<int16_t> years(A), quint(A * 5);
      std::vector<int32_t> fr(A);
      int32_t yb = static_cast<int32_t>(A * 2), qb = static_cast<int32_t>(A * 10), fb = static_cast<int32_t>(A * 4);
      SQLRETURN rc = remote_fetch_bound_param_dt(h, s, num, t, 1, &yb, years.data(), &qb, quint.data(), &fb, fr.data(),
                                                 &ob, o, &ib, i);
      if (rc != SQL_SUCCESS) return rc;
      if (yb / 2 != qb / 10 || yb / 2 != fb / 4)
        return c.fail(29, sqlstate::kHY000.state,
                      "General error: Internal timestamp consistency check (fetch_bound_parameters)");
      return unpack_timestamps(errp, dst, A * KY_TIMESTAMP_SIZE, A, years.data(), yb, quint.data(), qb, fr.data(),
                               fb) == 0
                 ? SQL_SUCCESS
                 : SQL_ERROR;
    }
    default: break;
  }
  if (is_interval_type(t)) {
    std::vector<int16_t> pairs(A * 2);
    std::vector<int32_t> stream(A * 5);
    int32_t pb = static_cast<int32_t>(A * 4), sb = static_cast<int32_t>(A * 20);
    SQLRETURN rc =
        remote_fetch_bound_param_dt_int(h, s, num, t, 1, &pb, pairs.data(), &sb, stream.data(), &ob, o, &ib, i);
    if (rc != SQL_SUCCESS) return rc;
    if (pb / 4 != static_cast<int32_t>(A))
      return c.fail(29, sqlstate::kHY000.state,
                    "General error: Internal timestamp consistency check (fetch_bound_parameters)");
    return unpack_intervals(errp, dst, A * KY_INTERVAL_SIZE, A, pairs.data(), pb, stream.data(), sb) == 0 ? SQL_SUCCESS
                                                                                                          : SQL_ERROR;
  }
  int32_t b = bytes;
  if (b < 1) return remote_fetch_bound_param(h, s, num, &b, nullptr, &ob, o, &ib, i);
  return remote_fetch_bound_param(h, s, num, &b, dst, &ob, o, &ib, i);
}

}  // namespace

// Whether a parameter is an output is read from the descriptors at each
// execution: a binding, a descriptor field, a copied or an exchanged
// descriptor may each have made one since the last.
SQLRETURN fetch_bound_parameters(StmtCall& c) {
  client_desc *apd = cur_desc(c.stmt, DESC_APD), *ipd = cur_desc(c.stmt, DESC_IPD);
  if (vekc_chk_handle(kDesc, apd))
    return c.failf(5, sqlstate::kHY000.state, "General error: Internal APD descriptor %p invalid",
                   static_cast<void*>(apd));
  if (vekc_chk_handle(kDesc, ipd))
    return c.failf(5, sqlstate::kHY000.state, "General error: Internal IPD descriptor %p invalid",
                   static_cast<void*>(ipd));
  if (apd->bound_count <= 0 || apd->n_descrec <= 0) return SQL_SUCCESS;
  if (apd->bound_count >= ipd->n_descrec)
    return c.fail(40, sqlstate::kHY000.state, "General error: APD and IPD counts mismatched");
  const uint64_t A = apd->array_size < 1 ? 1 : apd->array_size;
  const SQLLEN off = offset_of(apd);
  const bool row_wise = apd->bind_type != SQL_PARAM_BIND_BY_COLUMN;
  SQLRETURN result = SQL_SUCCESS;
  const int used = used_params(c.stmt, apd);
  for (int n = 1; n <= apd->bound_count; ++n) {
    client_desc_rec *arec = &apd->records[n], *irec = &ipd->records[n];
    if (std::memcmp(arec->tag, "DESR", 4) || std::memcmp(irec->tag, "DESR", 4))
      return c.fail(5, sqlstate::kHY000.state, "General error: Internal descriptor record invalid");
    if (irec->parameter_type != SQL_PARAM_OUTPUT && irec->parameter_type != SQL_PARAM_INPUT_OUTPUT) {
      TRACE(kTraceDetail, "\tskipping, not output\n");
      continue;
    }
    // Bound but not used by this statement: its buffers are left alone.
    if (n > used) continue;
    void* data = plus(arec->data_ptr, off);
    SQLLEN* oct = plus(arec->octet_length_ptr, off);
    SQLLEN* ind = plus(arec->indicator_ptr, off);
    int16_t t = 0;
    uint64_t elem = 0;
    if (data) {
      t = effective_ctype(arec, irec);
      if (t == 0)
        return c.failf(8, sqlstate::kHY000.state,
                       "General error: Unexpected sql type (%d) in IPD ConciseType (fetch_bound_parameters)",
                       irec->concise_type);
      const int64_t fixed = get_type_len(t, arec->octet_length, 0);
      if (fixed < 0)
        return c.failf(
            5, sqlstate::kHY000.state,
            "General error: Cannot determine length of datatype %d, OctetLength=%ld (fetch_bound_parameters)", t,
            static_cast<long>(arec->octet_length));
      elem = fixed > 0 ? static_cast<uint64_t>(fixed)
                       : (arec->octet_length > 0 ? static_cast<uint64_t>(arec->octet_length) : 0);
      if ((t == SQL_C_CHAR || t == SQL_C_BINARY) && ind && !char_indicator_ok(*ind)) return c.fail(0, sqlstate::kHY090);
    } else if (ind && !indicator_code_ok(*ind)) {
      return c.fail(0, sqlstate::kHY090);
    }
    if (!fits32(A * (elem ? elem : 1) + A * 8)) return c.fail(0, sqlstate::kHY001);
    SQLRETURN rc;
    if (!row_wise || A == 1) {
      rc = fetch_one_output(c, n, t, data, elem, A, oct, ind);
      // Wide text ends in a whole 16-bit terminator when the buffer has room.
      if (rc_ok(rc) && t == SQL_C_WCHAR && data && ind && A == 1 && *ind >= 0 &&
          static_cast<uint64_t>(*ind) + 2 <= elem)
        std::memset(static_cast<char*>(data) + *ind, 0, 2);
    } else {
      // Row-wise: receive column-wise, then scatter each row into its own
      // place so that no other field of the application's rows is touched.
      std::vector<char> gd(data ? A * elem : 0);
      std::vector<SQLLEN> go(oct ? A : 0), gi(ind && ind != oct ? A : 0);
      rc = fetch_one_output(c, n, t, data ? gd.data() : nullptr, elem, A, oct ? go.data() : nullptr,
                            ind ? (ind == oct ? go.data() : gi.data()) : nullptr);
      if (rc_ok(rc)) {
        for (uint64_t r = 0; r < A; ++r) {
          const auto step = static_cast<SQLLEN>(r * apd->bind_type);
          if (data) std::memcpy(plus(static_cast<char*>(data), step), gd.data() + r * elem, elem);
          if (oct) *plus(oct, step) = go[r];
          if (ind && ind != oct) *plus(ind, step) = gi[r];
        }
      }
    }
    if (rc != SQL_SUCCESS) {
      TRACE(kTraceExit, "-fetch_bound_parameters()=%d (fetch_bound_param_in_xyz failed for ctype:%d)\n", rc, t);
      return rc;
    }
    result = rc;
  }
  return result;
}

SQLRETURN cache_param_descriptions(StmtCall& c) {
  if (c.dbc->param_count_support == -1) {
    int16_t yes = 0;
    int rc = remote_sql_get_function(c.rpc(), reinterpret_cast<void*>(c.dbc->server_dbc), SQL_API_SQLNUMPARAMS, &yes);
    c.dbc->param_count_support = rc_ok(rc) && yes ? 1 : 0;
  }
  int count = 9999;
  const bool support = c.dbc->param_count_support == 1;
  if (support) {
    int16_t n = 0;
    SQLRETURN rc = remote_sql_num_params(c.rpc(), c.server(), &n);
    if (!rc_ok(rc)) return rc;
    count = n;
  } else {
    TRACE(kTraceDetail, "\tNo SQLNumParams in driver\n");
  }
  for (int n = 1; n <= count; ++n) {
    ParamDescription d{static_cast<int16_t>(n), 0, 0, 0, 0};
    SQLRETURN rc =
        remote_sql_describe_param(c.rpc(), c.server(), d.number, &d.data_type, &d.size, &d.digits, &d.nullable);
    if (!rc_ok(rc)) return support ? rc : SQL_SUCCESS;
    TRACE(kTraceData, "\tP%d datatype=%d size=%lu dd=%d nullable=%d\n", n, d.data_type,
          static_cast<unsigned long>(d.size), d.digits, d.nullable);
    bool replaced = false;
    for (ParamDescription& p : c.x->param_descs)
      if (p.number == n) p = d, replaced = true;
    if (!replaced) c.x->param_descs.push_back(d);
  }
  return SQL_SUCCESS;
}

int retrieve_param_description(StmtCall& c, int number, SQLSMALLINT* type, SQLULEN* size, SQLSMALLINT* digits,
                               SQLSMALLINT* nullable) {
  for (const ParamDescription& p : c.x->param_descs) {
    if (p.number != number) continue;
    if (type) *type = p.data_type;
    if (size) *size = p.size;
    if (digits) *digits = p.digits;
    if (nullable) *nullable = p.nullable;
    return 0;
  }
  return -1;
}

// The server marks every status "unavailable" before an execution: an entry
// the target driver did not write stays as the application left it, as it
// does straight on the target.
void merge_parameter_status(SQLUSMALLINT* app, const SQLUSMALLINT* got, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (got[i] != SQL_PARAM_DIAG_UNAVAILABLE) app[i] = got[i];
}

SQLRETURN fetch_parameter_status_array(StmtCall& c) {
  client_desc *apd = cur_desc(c.stmt, DESC_APD), *ipd = cur_desc(c.stmt, DESC_IPD);
  if (!ipd || !ipd->array_status_ptr) return SQL_SUCCESS;
  const uint64_t A = apd && apd->array_size > 1 ? apd->array_size : 1;
  if (!fits32(A * 2)) return c.fail(0, sqlstate::kHY001);
  int32_t bytes = static_cast<int32_t>(A * 2);
  std::vector<SQLUSMALLINT> got(A, SQL_PARAM_DIAG_UNAVAILABLE);
  const SQLRETURN rc =
      remote_fetch_parameter_status(c.rpc(), c.server(), &bytes, reinterpret_cast<int16_t*>(got.data()));
  if (rc == SQL_SUCCESS) merge_parameter_status(ipd->array_status_ptr, got.data(), got.size());
  return rc;
}

SQLRETURN fetch_processed_counts(StmtCall& c, SQLULEN* rows, SQLULEN* params) {
  SQLULEN r = 0, p = 0;
  SQLRETURN rc = remote_fetch_rows_processed(c.rpc(), c.server(), &r, &p);
  if (rc_ok(rc)) {
    if (rows) *rows = r;
    if (params) *params = p;
    TRACE(kTraceData, "\tfetched rows processed: %lu\n\tfetched params processed: %lu\n", static_cast<unsigned long>(r),
          static_cast<unsigned long>(p));
  } else {
    TRACE(kTraceDiag, "\tfetch_rows_processed failed with %d\n", rc);
  }
  return rc;
}

ExecutionFollowUps::ExecutionFollowUps(StmtCall& c, bool local_status) : c_(c) {
  client_desc *ipd = cur_desc(c.stmt, DESC_IPD), *apd = cur_desc(c.stmt, DESC_APD);
  if (!ipd) return;
  processed_ = ipd->rows_processed_ptr;
  if (ipd->array_status_ptr && !(local_status && (c.dbc->client_flags & kFlagNoParamStatus))) {
    const uint64_t A = apd && apd->array_size > 1 ? apd->array_size : 1;
    // Too long an array is refused by the one-call road, with its record.
    if (fits32(A * 2)) {
      status_ = ipd->array_status_ptr;
      status_bytes_ = static_cast<int32_t>(A * 2);
    }
  }
}

void ExecutionFollowUps::queue() {
  RpcHandle* h = c_.rpc();
  void* s = c_.server();
  if (processed_) counts_q_.emplace(h, s, &rows_, &params_);
  if (status_) {
    got_status_.assign(static_cast<size_t>(status_bytes_) / 2, SQL_PARAM_DIAG_UNAVAILABLE);
    status_q_.emplace(h, s, &status_bytes_, reinterpret_cast<int16_t*>(got_status_.data()));
  }
}

void ExecutionFollowUps::collect(SQLRETURN execution) {
  // The count and the statuses tell which sets ran and how, after a failed
  // execution as much as after a successful one; not while data is asked for.
  const bool take = rc_ok(execution) || execution == SQL_ERROR || execution == SQL_NO_DATA;
  if (counts_q_) {
    if (!take) {
      counts_q_->drop();
    } else {
      const SQLRETURN rc = counts_q_->take();
      if (rc_ok(rc)) {
        *processed_ = params_;
        TRACE(kTraceData, "\tfetched rows processed: %lu\n\tfetched params processed: %lu\n",
              static_cast<unsigned long>(rows_), static_cast<unsigned long>(params_));
      } else {
        TRACE(kTraceDiag, "\tfetch_rows_processed failed with %d\n", rc);
      }
      counts_taken_ = rc == SQL_SUCCESS;
      result_ = rc;
    }
  }
  if (status_q_) {
    // After a failed count the status is not asked for: its reply is dropped.
    if (!take || result_ != SQL_SUCCESS)
      status_q_->drop();
    else if ((result_ = status_q_->take()) == SQL_SUCCESS)
      status_taken_ = true, merge_parameter_status(status_, got_status_.data(), got_status_.size());
  }
}

void ExecutionFollowUps::drop() {
  if (counts_q_) counts_q_->drop();
  if (status_q_) status_q_->drop();
}

SQLRETURN output_phase(StmtCall& c, bool local_status, const ExecutionFollowUps* sent) {
  if (sent && sent->result() != SQL_SUCCESS) return sent->result();
  client_desc *ipd = cur_desc(c.stmt, DESC_IPD), *apd = cur_desc(c.stmt, DESC_APD);
  if (ipd && ipd->rows_processed_ptr && !(sent && sent->counts_taken())) {
    SQLRETURN rc = fetch_processed_counts(c, nullptr, ipd->rows_processed_ptr);
    if (rc != SQL_SUCCESS) return rc;
  }
  if (ipd && ipd->array_status_ptr && !(sent && sent->status_taken())) {
    if (local_status && (c.dbc->client_flags & kFlagNoParamStatus)) {
      const uint64_t A = apd && apd->array_size > 1 ? apd->array_size : 1;
      for (uint64_t r = 0; r < A; ++r) ipd->array_status_ptr[r] = SQL_PARAM_SUCCESS;
    } else {
      SQLRETURN rc = fetch_parameter_status_array(c);
      if (rc != SQL_SUCCESS) return rc;
    }
  }
  return fetch_bound_parameters(c);
}

}  // namespace kyvek::driver
