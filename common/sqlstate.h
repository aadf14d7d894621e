// Every SQLSTATE this system posts or translates, listed once: the state, its
// ODBC 2 form (nullptr when ODBC 2 applications see the same state) and the
// text posted with it. A call that posts a state with this text passes the row
// (sqlstate::kHY001); a call with a text of its own takes only the state
// (sqlstate::kHY000.state).
// Header-only and constexpr, so the support library, which sits below the
// common units, reads the same table.
#pragma once

#include <cstddef>
#include <string_view>

// X(id, state, ODBC 2 state, text), in the order of the states.
#define KY_SQLSTATE_ROWS(X)                                                                  \
  X(k01000, "01000", nullptr, "General warning")                                             \
  X(k01001, "01001", "01S03", "Cursor operation conflict")                                   \
  X(k01004, "01004", nullptr, "String data, right truncated")                                \
  X(k01S00, "01S00", nullptr, "Invalid connection string attribute")                         \
  X(k01S02, "01S02", nullptr, "Option value changed")                                        \
  X(k01S07, "01S07", nullptr, "Fractional truncation")                                       \
  X(k01S09, "01S09", nullptr, "Invalid keyword")                                             \
  X(k07005, "07005", "24000",                                                                \
    "Prepared statement not a cursor-spe"                                                    \
    "cification")                                                                            \
  X(k07006, "07006", nullptr, "Restricted data type attribute violation")                    \
  X(k07008, "07008", "S1000", "Invalid descriptor count")                                    \
  X(k07009, "07009", "S1002", "Invalid descriptor index")                                    \
  X(k08001, "08001", nullptr, "Client unable to establish connection")                       \
  X(k08002, "08002", nullptr, "Connection name in use")                                      \
  X(k08003, "08003", nullptr, "Connection does not exist")                                   \
  X(k08S01, "08S01", nullptr, "Communication link failure")                                  \
  X(k22002, "22002", nullptr, "Indicator variable required but not supplied")                \
  X(k22003, "22003", nullptr, "Numeric value out of range")                                  \
  X(k22007, "22007", "22008", "Invalid datetime format")                                     \
  X(k22008, "22008", nullptr, "Datetime field overflow")                                     \
  X(k22012, "22012", nullptr, "Division by zero")                                            \
  X(k22015, "22015", nullptr, "Interval field overflow")                                     \
  X(k22018, "22018", "22005",                                                                \
    "Invalid character value for cast spe"                                                   \
    "cification")                                                                            \
  X(k24000, "24000", nullptr, "Invalid cursor state")                                        \
  X(k25S01, "25S01", nullptr, "Transaction state unknown")                                   \
  X(k28000, "28000", nullptr,                                                                \
    "Invalid authorization spe"                                                              \
    "cification")                                                                            \
  X(k34000, "34000", nullptr, "Invalid cursor name")                                         \
  X(k3C000, "3C000", nullptr, "Duplicate cursor name")                                       \
  X(k42000, "42000", "37000", "Syntax error or access violation")                            \
  X(k42S01, "42S01", "S0001", "Base table or view already exists")                           \
  X(k42S02, "42S02", "S0002", "Base table or view not found")                                \
  X(k42S11, "42S11", "S0011", "Index already exists")                                        \
  X(k42S12, "42S12", "S0012", "Index not found")                                             \
  X(k42S21, "42S21", "S0021", "Column already exists")                                       \
  X(k42S22, "42S22", "S0022", "Column not found")                                            \
  X(k42S23, "42S23", "S0023", "No default for column")                                       \
  X(kHY000, "HY000", "S1000", "General error")                                               \
  X(kHY001, "HY001", "S1001", "Memory allocation error")                                     \
  X(kHY003, "HY003", "S1003", "Invalid application buffer type")                             \
  X(kHY004, "HY004", "S1004", "Invalid SQL data type")                                       \
  X(kHY007, "HY007", "S1010", "Associated statement is not prepared")                        \
  X(kHY008, "HY008", "S1008", "Operation Canceled")                                          \
  X(kHY009, "HY009", "S1009", "Invalid use of null pointer")                                 \
  X(kHY010, "HY010", "S1010", "Function sequence error")                                     \
  X(kHY011, "HY011", "S1011", "Attribute cannot be set now")                                 \
  X(kHY012, "HY012", "S1012", "Invalid transaction operation code")                          \
  X(kHY013, "HY013", nullptr, "Memory Management Error")                                     \
  X(kHY016, "HY016", nullptr, "Cannot modify an implementation row descriptor")              \
  X(kHY017, "HY017", nullptr, "Invalid use of an automatically allocated descriptor handle") \
  X(kHY018, "HY018", "70100", "Server declined cancel request")                              \
  X(kHY019, "HY019", "22003", "Non-character and non-binary data sent in pieces")            \
  X(kHY024, "HY024", "S1009", "Invalid attribute value")                                     \
  X(kHY090, "HY090", "S1090", "Invalid string or buffer length")                             \
  X(kHY091, "HY091", "S1091", "Invalid descriptor field identifier")                         \
  X(kHY092, "HY092", "S1092", "Invalid attribute/option identifier")                         \
  X(kHY096, "HY096", "S1096", "Information type out of range")                               \
  X(kHY097, "HY097", "S1097", "Column type out of range")                                    \
  X(kHY098, "HY098", "S1098", "Scope type out of range")                                     \
  X(kHY099, "HY099", "S1099", "Nullable type out of range")                                  \
  X(kHY100, "HY100", "S1100", "Uniqueness option type out of range")                         \
  X(kHY101, "HY101", "S1101", "Accuracy option type out of range")                           \
  X(kHY103, "HY103", "S1103", "Invalid retrieval code")                                      \
  X(kHY104, "HY104", "S1104", "Invalid precision or scale value")                            \
  X(kHY105, "HY105", "S1105", "Invalid parameter type")                                      \
  X(kHY106, "HY106", "S1106", "Fetch type out of range")                                     \
  X(kHY107, "HY107", "S1107", "Row value out of range")                                      \
  X(kHY108, "HY108", "S1108", "Concurrency option out of range")                             \
  X(kHY109, "HY109", "S1109", "Invalid cursor position")                                     \
  X(kHY110, "HY110", "S1110", "Invalid driver completion")                                   \
  X(kHY111, "HY111", "S1111", "Invalid bookmark value")                                      \
  X(kHYC00, "HYC00", "S1C00", "Optional feature not implemented")                            \
  X(kHYT00, "HYT00", "S1T00", "Timeout expired")                                             \
  X(kHYT01, "HYT01", nullptr, "Connection timeout expired")                                  \
  X(kIM001, "IM001", nullptr, "Driver does not support this function")                       \
  X(kIM002, "IM002", nullptr, "Data source not found and no default driver specified")       \
  X(kIM004, "IM004", nullptr, "Driver's SQLAllocHandle on SQL_HANDLE_ENV failed")            \
  X(kIM006, "IM006", nullptr, "Driver's SQLSetConnectAttr failed")                           \
  X(kIM007, "IM007", nullptr, "No data source or driver specified; dialog prohibited")       \
  X(kIM008, "IM008", nullptr, "Dialog Failed")

namespace kyvek::sqlstate {

struct Row {
  const char* state;  // five characters
  const char* odbc2;  // the ODBC 2 state, or nullptr when it is the same
  const char* text;
};

inline constexpr Row kRows[] = {
#define KY_SQLSTATE_ROW(id, state, odbc2, text) {state, odbc2, text},
    KY_SQLSTATE_ROWS(KY_SQLSTATE_ROW)
#undef KY_SQLSTATE_ROW
};

namespace detail {
enum Index : std::size_t {
#define KY_SQLSTATE_INDEX(id, ...) id,
  KY_SQLSTATE_ROWS(KY_SQLSTATE_INDEX)
#undef KY_SQLSTATE_INDEX
};
}  // namespace detail

// One named reference per row: kHY001.state, kHY001.text.
#define KY_SQLSTATE_ID(id, ...) inline constexpr const Row& id = kRows[detail::id];
KY_SQLSTATE_ROWS(KY_SQLSTATE_ID)
#undef KY_SQLSTATE_ID

// The row of a state, or nullptr for a state the table does not list.
constexpr const Row* find(std::string_view state) {
  for (const Row& r : kRows)
    if (state == r.state) return &r;
  return nullptr;
}

// The ODBC 2 form of an ODBC 3 state, or nullptr when it has none (the state
// itself then stands in both versions).
constexpr const char* odbc2_of(std::string_view state) {
  const Row* r = find(state);
  return r ? r->odbc2 : nullptr;
}

}  // namespace kyvek::sqlstate

// Call sites outside namespace kyvek name rows the same way: sqlstate::kHY001.
namespace sqlstate = kyvek::sqlstate;
