// The wide (UTF-16) entry points: each converts the application's text to
// UTF-8, calls the narrow internal function of api.h, and converts the text
// it answers back, lengths counted in SQLWCHARs (or in bytes where ODBC counts
// a wide buffer in bytes). Conversions are exact: a surrogate pair becomes one
// character, an unpaired surrogate (or text from the server that is not
// UTF-8) is an error, never a substitute. Text cut to the application's
// buffer gives 01004 and the whole length.
#ifndef KYVEK_DRIVER_WIDE_H
#define KYVEK_DRIVER_WIDE_H

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "driver.h"

namespace kyvek::driver {

// The diagnostic list of a live handle of a kind, and the connection that
// names it (odbc_api.cpp).
diag_header* handle_diag(int kind, void* h, const client_dbc** dbc);

// Whether SQLGetInfo answers the type with text (info.cpp).
bool info_answer_is_text(SQLUSMALLINT type);

namespace wide {

// UTF-16 (n units, or SQL_NTS) to UTF-8. False at an unpaired surrogate, with
// *bad its unit index.
bool to_utf8(const SQLWCHAR* in, SQLLEN n, std::string* out, size_t* bad);
// UTF-8 to UTF-16. False at a byte that does not start or continue a
// well-formed character, with *bad its index.
bool to_utf16(std::string_view in, std::u16string* out, size_t* bad);

}  // namespace wide

namespace api {

SQLRETURN connect_w(SQLHDBC h, SQLWCHAR* dsn, SQLSMALLINT dsn_len, SQLWCHAR* uid, SQLSMALLINT uid_len, SQLWCHAR* pwd,
                    SQLSMALLINT pwd_len);
SQLRETURN driver_connect_w(SQLHDBC h, SQLHWND hwnd, SQLWCHAR* in, SQLSMALLINT inlen, SQLWCHAR* out, SQLSMALLINT outmax,
                           SQLSMALLINT* outlen, SQLUSMALLINT completion);
SQLRETURN browse_connect_w(SQLHDBC h, SQLWCHAR* in, SQLSMALLINT inlen, SQLWCHAR* out, SQLSMALLINT outmax,
                           SQLSMALLINT* outlen);
SQLRETURN exec_direct_w(SQLHSTMT h, SQLWCHAR* text, SQLINTEGER len);
SQLRETURN prepare_w(SQLHSTMT h, SQLWCHAR* text, SQLINTEGER len);
SQLRETURN native_sql_w(SQLHDBC h, SQLWCHAR* in, SQLINTEGER inlen, SQLWCHAR* out, SQLINTEGER outmax,
                       SQLINTEGER* outlen);
SQLRETURN describe_col_w(SQLHSTMT h, SQLUSMALLINT col, SQLWCHAR* name, SQLSMALLINT cap, SQLSMALLINT* name_len,
                         SQLSMALLINT* type, SQLULEN* size, SQLSMALLINT* digits, SQLSMALLINT* nullable);
SQLRETURN col_attribute_w(SQLHSTMT h, SQLUSMALLINT col, SQLUSMALLINT field, SQLPOINTER buf, SQLSMALLINT cap,
                          SQLSMALLINT* len, SQLLEN* num);
SQLRETURN col_attributes_w(SQLHSTMT h, SQLUSMALLINT col, SQLUSMALLINT field, SQLPOINTER buf, SQLSMALLINT cap,
                           SQLSMALLINT* len, SQLLEN* num);
SQLRETURN get_diag_rec_w(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT rec, SQLWCHAR* state, SQLINTEGER* native,
                         SQLWCHAR* msg, SQLSMALLINT cap, SQLSMALLINT* len);
SQLRETURN get_diag_field_w(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT rec, SQLSMALLINT id, SQLPOINTER buf,
                           SQLSMALLINT cap, SQLSMALLINT* len);
SQLRETURN error_w(SQLHENV env, SQLHDBC dbc, SQLHSTMT stmt, SQLWCHAR* state, SQLINTEGER* native, SQLWCHAR* msg,
                  SQLSMALLINT cap, SQLSMALLINT* len);
SQLRETURN get_info_w(SQLHDBC h, SQLUSMALLINT type, SQLPOINTER value, SQLSMALLINT cap, SQLSMALLINT* len);
SQLRETURN set_connect_attr_w(SQLHDBC h, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER len);
SQLRETURN get_connect_attr_w(SQLHDBC h, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER cap, SQLINTEGER* len);
SQLRETURN set_connect_option_w(SQLHDBC h, SQLUSMALLINT option, SQLULEN value);
SQLRETURN get_connect_option_w(SQLHDBC h, SQLUSMALLINT option, SQLPOINTER value);
SQLRETURN get_cursor_name_w(SQLHSTMT h, SQLWCHAR* name, SQLSMALLINT cap, SQLSMALLINT* len);
SQLRETURN set_cursor_name_w(SQLHSTMT h, SQLWCHAR* name, SQLSMALLINT len);
SQLRETURN get_desc_field_w(SQLHDESC h, SQLSMALLINT rec, SQLSMALLINT field, SQLPOINTER value, SQLINTEGER cap,
                           SQLINTEGER* len);
SQLRETURN set_desc_field_w(SQLHDESC h, SQLSMALLINT rec, SQLSMALLINT field, SQLPOINTER value, SQLINTEGER len);
SQLRETURN get_desc_rec_w(SQLHDESC h, SQLSMALLINT rec, SQLWCHAR* name, SQLSMALLINT cap, SQLSMALLINT* name_len,
                         SQLSMALLINT* type, SQLSMALLINT* subtype, SQLLEN* length, SQLSMALLINT* precision,
                         SQLSMALLINT* scale, SQLSMALLINT* nullable);
SQLRETURN tables_w(SQLHSTMT h, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn, SQLWCHAR* t, SQLSMALLINT tn,
                   SQLWCHAR* y, SQLSMALLINT yn);
SQLRETURN columns_w(SQLHSTMT h, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn, SQLWCHAR* t, SQLSMALLINT tn,
                    SQLWCHAR* o, SQLSMALLINT on);
SQLRETURN column_privileges_w(SQLHSTMT h, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn, SQLWCHAR* t,
                              SQLSMALLINT tn, SQLWCHAR* o, SQLSMALLINT on);
SQLRETURN table_privileges_w(SQLHSTMT h, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn, SQLWCHAR* t,
                             SQLSMALLINT tn);
SQLRETURN primary_keys_w(SQLHSTMT h, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn, SQLWCHAR* t,
                         SQLSMALLINT tn);
SQLRETURN procedures_w(SQLHSTMT h, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn, SQLWCHAR* p,
                       SQLSMALLINT pn);
SQLRETURN statistics_w(SQLHSTMT h, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn, SQLWCHAR* t,
                       SQLSMALLINT tn, SQLUSMALLINT unique, SQLUSMALLINT reserved);
SQLRETURN special_columns_w(SQLHSTMT h, SQLUSMALLINT id, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn,
                            SQLWCHAR* t, SQLSMALLINT tn, SQLUSMALLINT scope, SQLUSMALLINT nullable);
SQLRETURN procedure_columns_w(SQLHSTMT h, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn, SQLWCHAR* p,
                              SQLSMALLINT pn, SQLWCHAR* o, SQLSMALLINT on);
SQLRETURN foreign_keys_w(SQLHSTMT h, SQLWCHAR* pc, SQLSMALLINT pcn, SQLWCHAR* ps, SQLSMALLINT psn, SQLWCHAR* pt,
                         SQLSMALLINT ptn, SQLWCHAR* fc, SQLSMALLINT fcn, SQLWCHAR* fs, SQLSMALLINT fsn, SQLWCHAR* ft,
                         SQLSMALLINT ftn);

}  // namespace api
}  // namespace kyvek::driver

#endif
