// Typed data retrieval and sending: "get_data_short" ... "get_data_numeric"
// fetch one value of a fixed-size C type with SQLGetData and split it into
// plain outputs (the field layouts of packing.h); "put_data_smallint" ...
// "put_data_interval" rebuild the structure from plain arguments and hand it
// to SQLPutData.
//
// A peer-chosen C type is accepted only from the handler's own family: the
// driver writes as much as the type says, whatever buffer length it is given.
// Values are read into a buffer larger than any C structure and copied out
// only when the driver succeeded; a length sent with a value never exceeds it.
#include <cstring>

#include "handlers.h"
#include "odbc_trace.h"
#include "packing.h"
#include "server_diag.h"
#include "transfer_common.h"

namespace {

using kyvek::odbc::kTraceEntry;
using namespace kyvek::transfer;

// Room for any fixed-size C structure the driver may write.
union Value {
  int16_t i16;
  int32_t i32;
  float f;
  double d;
  SQL_DATE_STRUCT date;
  SQL_TIME_STRUCT time;
  SQL_TIMESTAMP_STRUCT ts;
  SQL_INTERVAL_STRUCT iv;
  SQL_NUMERIC_STRUCT num;
  unsigned char bytes[64];
};

enum class Family { kShort, kLong, kFloat, kDouble, kTime, kDate, kTimestamp, kInterval, kNumeric };

bool in_family(Family f, int16_t t) {
  switch (f) {
    case Family::kShort:
      return t == SQL_C_SHORT || t == SQL_C_SSHORT || t == SQL_C_USHORT || t == SQL_C_TINYINT || t == SQL_C_STINYINT ||
             t == SQL_C_UTINYINT || t == SQL_C_BIT;
    case Family::kLong: return t == SQL_C_LONG || t == SQL_C_SLONG || t == SQL_C_ULONG;
    case Family::kFloat: return t == SQL_C_FLOAT;
    case Family::kDouble: return t == SQL_C_DOUBLE;
    case Family::kTime: return t == SQL_C_TIME || t == SQL_C_TYPE_TIME;
    case Family::kDate: return t == SQL_C_DATE || t == SQL_C_TYPE_DATE;
    case Family::kTimestamp: return t == SQL_C_TIMESTAMP || t == SQL_C_TYPE_TIMESTAMP;
    case Family::kInterval: return t >= SQL_C_INTERVAL_YEAR && t <= SQL_C_INTERVAL_MINUTE_TO_SECOND;
    case Family::kNumeric: return t == SQL_C_NUMERIC;
  }
  return false;
}

// Common part of the get_data family: checks, type mapping and the driver
// call into v. Returns the driver's result, or -1/-2 from the checks.
SQLRETURN fetch_value(const char* name, void* handle, int16_t column, int16_t ctype_in, Family family,
                      SQLLEN buffer_length, Value* v, SQLLEN* ind) {
  statement_t* stmt = enter<statement_t>(handle, name, Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(name, [&](Exit& exit) -> SQLRETURN {
    if (veks_chk_handle(VEKS_DBC, stmt->owner) != 0) {
      exit.because("invalid back DBC pointer %p", stmt->owner);
      return fail(stmt, sqlstate::kHY000.state, 2, "General error: Internal server error (sql_get_data)");
    }
    const int16_t ctype = map_c_type_odbc2(static_cast<connection_t*>(stmt->owner), ctype_in);
    if (!in_family(family, ctype)) {
      exit.because("%d is not a valid C type", ctype);
      return fail(stmt, sqlstate::kHY003, 0);
    }
    std::memset(v, 0, sizeof *v);
    SQLLEN driver_ind = 0;
    SQLRETURN rc =
        SQLGetData(stmt->driver_stmt, static_cast<SQLUSMALLINT>(column), ctype, v, buffer_length, &driver_ind);
    if (SQL_SUCCEEDED(rc) && ind != nullptr) *ind = driver_ind;
    return rc;
  });
}

template <class T>
void store(void* dst, size_t index, T value) {
  std::memcpy(static_cast<char*>(dst) + index * sizeof(T), &value, sizeof(T));
}

template <class T>
T load(const void* src, size_t index) {
  T v;
  std::memcpy(&v, static_cast<const char*>(src) + index * sizeof(T), sizeof(T));
  return v;
}

// A length or indicator sent with a value of size bytes: the driver may read
// as many bytes as it says, so it may not say more than the value holds.
bool put_length_ok(SQLLEN len, SQLLEN size) {
  return len == SQL_NULL_DATA || len == SQL_DEFAULT_PARAM || (len >= 0 && len <= size);
}

SQLRETURN put_value(const char* name, void* handle, const void* value, SQLLEN size, SQLLEN len) {
  statement_t* stmt = enter<statement_t>(handle, name, Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(name, [&]() -> SQLRETURN {
    if (!put_length_ok(len, size)) return fail(stmt, sqlstate::kHY090, 0);
    return SQLPutData(stmt->driver_stmt, const_cast<void*>(value), len);
  });
}

}  // namespace

extern "C" {

int16_t get_data_short(void* handle, int16_t column, int16_t ctype, int16_t* value, SQLLEN* ind) {
  KY_TRACE(kTraceEntry, "%s(%p,%u,%d,%p,%p)\n", "get_data_short", handle,
           static_cast<unsigned>(static_cast<uint16_t>(column)), ctype, static_cast<void*>(value),
           static_cast<void*>(ind));
  Value v;
  SQLRETURN rc = fetch_value("get_data_short", handle, column, ctype, Family::kShort, 2, &v, ind);
  if (SQL_SUCCEEDED(rc) && value != nullptr) {
    // One-byte types fill the low byte only.
    *value = v.i16;
  }
  return rc;
}

int16_t get_data_long(void* handle, int16_t column, int16_t ctype, int32_t* value, SQLLEN* ind) {
  KY_TRACE(kTraceEntry, "%s(%p,%u,%d,%p,%p)\n", "get_data_long", handle,
           static_cast<unsigned>(static_cast<uint16_t>(column)), ctype, static_cast<void*>(value),
           static_cast<void*>(ind));
  Value v;
  SQLRETURN rc = fetch_value("get_data_long", handle, column, ctype, Family::kLong, 4, &v, ind);
  if (SQL_SUCCEEDED(rc) && value != nullptr) *value = v.i32;
  return rc;
}

int16_t get_data_float(void* handle, int16_t column, int16_t ctype, float* value, SQLLEN* ind) {
  KY_TRACE(kTraceEntry, "%s(%p,%u,%d,%p,%p)\n", "get_data_float", handle,
           static_cast<unsigned>(static_cast<uint16_t>(column)), ctype, static_cast<void*>(value),
           static_cast<void*>(ind));
  Value v;
  SQLRETURN rc = fetch_value("get_data_float", handle, column, ctype, Family::kFloat, 4, &v, ind);
  if (SQL_SUCCEEDED(rc) && value != nullptr) *value = v.f;
  return rc;
}

int16_t get_data_double(void* handle, int16_t column, int16_t ctype, double* value, SQLLEN* ind) {
  KY_TRACE(kTraceEntry, "%s(%p,%u,%d,%p,%p)\n", "get_data_double", handle,
           static_cast<unsigned>(static_cast<uint16_t>(column)), ctype, static_cast<void*>(value),
           static_cast<void*>(ind));
  Value v;
  SQLRETURN rc = fetch_value("get_data_double", handle, column, ctype, Family::kDouble, 8, &v, ind);
  if (SQL_SUCCEEDED(rc) && value != nullptr) *value = v.d;
  return rc;
}

int16_t get_data_time(void* handle, int16_t column, int16_t ctype, int16_t* triple, SQLLEN* ind) {
  KY_TRACE(kTraceEntry, "%s(%p,%u,%d,%p,%p)\n", "get_data_time", handle,
           static_cast<unsigned>(static_cast<uint16_t>(column)), ctype, static_cast<void*>(triple),
           static_cast<void*>(ind));
  Value v;
  SQLRETURN rc = fetch_value("get_data_time", handle, column, ctype, Family::kTime, 6, &v, ind);
  if (SQL_SUCCEEDED(rc) && triple != nullptr) {
    store<uint16_t>(triple, 0, v.time.hour);
    store<uint16_t>(triple, 1, v.time.minute);
    store<uint16_t>(triple, 2, v.time.second);
  }
  return rc;
}

int16_t get_data_date(void* handle, int16_t column, int16_t ctype, int16_t* year, int16_t* pair, SQLLEN* ind) {
  KY_TRACE(kTraceEntry, "%s(%p,%u,%d,%p,%p,%p)\n", "get_data_date", handle,
           static_cast<unsigned>(static_cast<uint16_t>(column)), ctype, static_cast<void*>(year),
           static_cast<void*>(pair), static_cast<void*>(ind));
  Value v;
  SQLRETURN rc = fetch_value("get_data_date", handle, column, ctype, Family::kDate, 6, &v, ind);
  if (SQL_SUCCEEDED(rc)) {
    if (year != nullptr) *year = v.date.year;
    if (pair != nullptr) {
      store<uint16_t>(pair, 0, v.date.month);
      store<uint16_t>(pair, 1, v.date.day);
    }
  }
  return rc;
}

int16_t get_data_timestamp(void* handle, int16_t column, int16_t ctype, int16_t* year, int16_t* quintuple,
                           int32_t* fraction, SQLLEN* ind) {
  KY_TRACE(kTraceEntry, "%s(%p,%u,%d,%p,%p,%p,%p)\n", "get_data_timestamp", handle,
           static_cast<unsigned>(static_cast<uint16_t>(column)), ctype, static_cast<void*>(year),
           static_cast<void*>(quintuple), static_cast<void*>(fraction), static_cast<void*>(ind));
  Value v;
  SQLRETURN rc = fetch_value("get_data_timestamp", handle, column, ctype, Family::kTimestamp, 16, &v, ind);
  if (SQL_SUCCEEDED(rc)) {
    if (year != nullptr) *year = v.ts.year;
    if (quintuple != nullptr) {
      store<uint16_t>(quintuple, 0, v.ts.month);
      store<uint16_t>(quintuple, 1, v.ts.day);
      store<uint16_t>(quintuple, 2, v.ts.hour);
      store<uint16_t>(quintuple, 3, v.ts.minute);
      store<uint16_t>(quintuple, 4, v.ts.second);
    }
    if (fraction != nullptr) *fraction = static_cast<int32_t>(v.ts.fraction);
  }
  return rc;
}

int16_t get_data_interval(void* handle, int16_t column, int16_t ctype, int16_t* type, int16_t* sign, int32_t* words,
                          SQLLEN* ind) {
  KY_TRACE(kTraceEntry, "%s(%p,%u,%d,%p,%p,%p,%p)\n", "get_data_interval", handle,
           static_cast<unsigned>(static_cast<uint16_t>(column)), ctype, static_cast<void*>(type),
           static_cast<void*>(sign), static_cast<void*>(words), static_cast<void*>(ind));
  Value v;
  SQLRETURN rc = fetch_value("get_data_interval", handle, column, ctype, Family::kInterval, 28, &v, ind);
  if (!SQL_SUCCEEDED(rc)) return rc;
  const int32_t itype = static_cast<int32_t>(v.iv.interval_type);
  if (type != nullptr) *type = static_cast<int16_t>(itype & 0xFFFF);
  if (sign != nullptr) *sign = v.iv.interval_sign;
  if (words != nullptr) {
    if (itype == 1 || itype == 2 || itype == 7) {
      store<uint32_t>(words, 0, v.iv.intval.year_month.year);
      store<uint32_t>(words, 1, v.iv.intval.year_month.month);
    } else {
      store<uint32_t>(words, 0, v.iv.intval.day_second.day);
      store<uint32_t>(words, 1, v.iv.intval.day_second.hour);
      store<uint32_t>(words, 2, v.iv.intval.day_second.minute);
      store<uint32_t>(words, 3, v.iv.intval.day_second.second);
      store<uint32_t>(words, 4, v.iv.intval.day_second.fraction);
    }
  }
  return rc;
}

int16_t get_data_numeric(void* handle, int16_t column, int16_t ctype, int32_t* bytes, char* record, SQLLEN* ind) {
  KY_TRACE(kTraceEntry, "%s(%p,%u,%d,%p,%p,%p)\n", "get_data_numeric", handle,
           static_cast<unsigned>(static_cast<uint16_t>(column)), ctype, static_cast<void*>(bytes),
           static_cast<void*>(record), static_cast<void*>(ind));
  if (bytes == nullptr || record == nullptr || *bytes < KY_NUMERIC_RECORD_BYTES) {
    if (bytes != nullptr) *bytes = 0;
    statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(get_data_numeric), Diags::clear);
    if (stmt == nullptr) return SQL_INVALID_HANDLE;
    return leave(KY_HANDLER_NAME(get_data_numeric), fail(stmt, sqlstate::kHY090, 0));
  }
  *bytes = 0;
  Value v;
  SQLRETURN rc = fetch_value("get_data_numeric", handle, column, ctype, Family::kNumeric, 19, &v, ind);
  if (SQL_SUCCEEDED(rc)) {
    std::memcpy(record, &v.num, KY_NUMERIC_RECORD_BYTES);
    *bytes = KY_NUMERIC_RECORD_BYTES;
  }
  return rc;
}

int16_t put_data_smallint(void* handle, int16_t value, SQLLEN len) {
  return put_value(KY_HANDLER_NAME(put_data_smallint), handle, &value, sizeof value, len);
}

int16_t put_data_integer(void* handle, int32_t value, SQLLEN len) {
  return put_value(KY_HANDLER_NAME(put_data_integer), handle, &value, sizeof value, len);
}

int16_t put_data_float(void* handle, float value, SQLLEN len) {
  return put_value(KY_HANDLER_NAME(put_data_float), handle, &value, sizeof value, len);
}

int16_t put_data_double(void* handle, double value, SQLLEN len) {
  return put_value(KY_HANDLER_NAME(put_data_double), handle, &value, sizeof value, len);
}

int16_t put_data_numeric(void* handle, int32_t bytes, char* record, SQLLEN len) {
  statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(put_data_numeric), Diags::keep);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  if (record == nullptr || bytes < KY_NUMERIC_RECORD_BYTES) {
    clear_errors(&stmt->diags);
    return leave(KY_HANDLER_NAME(put_data_numeric), fail(stmt, sqlstate::kHY090, 0));
  }
  SQL_NUMERIC_STRUCT n;
  std::memcpy(&n, record, sizeof n);
  return put_value(KY_HANDLER_NAME(put_data_numeric), handle, &n, sizeof n, len);
}

int16_t put_data_date(void* handle, int16_t year, int16_t* pair, SQLLEN len) {
  SQL_DATE_STRUCT d{};
  d.year = year;
  d.month = load<uint16_t>(pair, 0);
  d.day = load<uint16_t>(pair, 1);
  return put_value(KY_HANDLER_NAME(put_data_date), handle, &d, sizeof d, len);
}

int16_t put_data_time(void* handle, int16_t* triple, SQLLEN len) {
  SQL_TIME_STRUCT t{};
  t.hour = load<uint16_t>(triple, 0);
  t.minute = load<uint16_t>(triple, 1);
  t.second = load<uint16_t>(triple, 2);
  return put_value(KY_HANDLER_NAME(put_data_time), handle, &t, sizeof t, len);
}

int16_t put_data_timestamp(void* handle, int16_t year, int16_t* quintuple, int32_t fraction, SQLLEN len) {
  SQL_TIMESTAMP_STRUCT t{};
  t.year = year;
  t.month = load<uint16_t>(quintuple, 0);
  t.day = load<uint16_t>(quintuple, 1);
  t.hour = load<uint16_t>(quintuple, 2);
  t.minute = load<uint16_t>(quintuple, 3);
  t.second = load<uint16_t>(quintuple, 4);
  t.fraction = static_cast<uint32_t>(fraction);
  return put_value(KY_HANDLER_NAME(put_data_timestamp), handle, &t, sizeof t, len);
}

int16_t put_data_interval(void* handle, int32_t* words, int16_t* pair, SQLLEN len) {
  SQL_INTERVAL_STRUCT v{};
  const int32_t type = load<int16_t>(pair, 0);
  v.interval_type = static_cast<SQLINTERVAL>(type);
  v.interval_sign = load<int16_t>(pair, 1);
  if (type == 1 || type == 2 || type == 7) {
    v.intval.year_month.year = load<uint32_t>(words, 0);
    v.intval.year_month.month = load<uint32_t>(words, 1);
  } else {
    v.intval.day_second.day = load<uint32_t>(words, 0);
    v.intval.day_second.hour = load<uint32_t>(words, 1);
    v.intval.day_second.minute = load<uint32_t>(words, 2);
    v.intval.day_second.second = load<uint32_t>(words, 3);
    v.intval.day_second.fraction = load<uint32_t>(words, 4);
  }
  return put_value(KY_HANDLER_NAME(put_data_interval), handle, &v, sizeof v, len);
}

}  // extern "C"
