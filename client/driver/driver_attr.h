// Driver-defined connection and statement attributes (numbered from 16384):
// the driver does not know them, so the application's StringLength says how
// the value travels to the target driver.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace kyvek::driver {

// A driver-defined connection attribute set before connect, sent once connected.
struct DriverAttr {
  SQLINTEGER attr = 0;
  SQLINTEGER len = 0;  // the application's StringLength
  SQLLEN number = 0;   // for the number forms
  std::string bytes;   // for a length or SQL_NTS
};

inline bool driver_defined_attr(SQLINTEGER attr) {
  static_assert(SQL_DRIVER_CONN_ATTR_BASE == SQL_DRIVER_STMT_ATTR_BASE);
  return attr >= SQL_DRIVER_CONN_ATTR_BASE;
}

enum class DriverAttrForm {
  kNumber,   // SQL_IS_INTEGER, SQL_IS_UINTEGER, SQL_IS_SMALLINT, SQL_IS_USMALLINT: the value itself
  kBytes,    // a length >= 0 or SQL_NTS: a string or binary value
  kRefused,  // SQL_IS_POINTER and any other length: nothing that means anything on the server
};

inline DriverAttrForm driver_attr_form(SQLINTEGER len) {
  switch (len) {
    case SQL_IS_INTEGER:
    case SQL_IS_UINTEGER:
    case SQL_IS_SMALLINT:
    case SQL_IS_USMALLINT: return DriverAttrForm::kNumber;
    case SQL_NTS: return DriverAttrForm::kBytes;
    default: return len >= 0 ? DriverAttrForm::kBytes : DriverAttrForm::kRefused;
  }
}

// The HY092 text for a driver-defined attribute the driver cannot carry.
inline std::string driver_attr_refusal(SQLINTEGER attr, SQLINTEGER len) {
  const std::string form = len == SQL_IS_POINTER ? "SQL_IS_POINTER" : "StringLength " + std::to_string(len);
  return "Invalid attribute/option identifier: driver-defined attribute " + std::to_string(attr) + " with " + form +
         ": only a value (SQL_IS_INTEGER, SQL_IS_UINTEGER, SQL_IS_SMALLINT, SQL_IS_USMALLINT) or a string or "
         "binary value (a length or SQL_NTS) reaches the target driver";
}

// Writes a number read from the target in the width len asks (2 bytes for
// the small-integer forms, else 4); the width written.
inline SQLINTEGER put_driver_attr_number(void* value, SQLINTEGER len, int64_t v) {
  if (len == SQL_IS_SMALLINT || len == SQL_IS_USMALLINT) {
    const auto n = static_cast<uint16_t>(v);
    if (value) std::memcpy(value, &n, sizeof n);
    return sizeof n;
  }
  const auto n = static_cast<uint32_t>(v);
  if (value) std::memcpy(value, &n, sizeof n);
  return sizeof n;
}

}  // namespace kyvek::driver
