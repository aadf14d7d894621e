// The one reader of ODBC diagnostic records for tests: every record of a
// handle through SQLGetDiagRec, or through the function a test loaded itself
// (a driver opened without the Driver Manager). Header-only, so a test that
// links the driver's own exports reads through them.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <string>
#include <vector>

namespace kytest {

struct DiagRecord {
  std::string state, message;
  SQLINTEGER native = 0;
};

using GetDiagRecFn = SQLRETURN (*)(SQLSMALLINT, SQLHANDLE, SQLSMALLINT, SQLCHAR*, SQLINTEGER*, SQLCHAR*, SQLSMALLINT,
                                   SQLSMALLINT*);

// The handle's records in order (at most 64).
inline std::vector<DiagRecord> diag_records(SQLSMALLINT type, SQLHANDLE h, GetDiagRecFn get = &SQLGetDiagRec) {
  std::vector<DiagRecord> out;
  for (SQLSMALLINT i = 1; i <= 64; ++i) {
    SQLCHAR state[6] = {}, msg[1024] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT len = 0;
    SQLRETURN rc = get(type, h, i, state, &native, msg, sizeof msg, &len);
    if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) break;
    out.push_back({reinterpret_cast<char*>(state), reinterpret_cast<char*>(msg), native});
  }
  return out;
}

}  // namespace kytest
