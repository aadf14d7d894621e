// The internal functions behind the driver's exports (odbc_api.cpp). Each
// takes the arguments of its ODBC function and does the work; odbc_api.cpp
// wraps each in the entry guard. Code inside the driver calls these (or the
// units' own functions), never an exported SQL* function, so no call lock is
// taken twice by one call.
#ifndef KYVEK_DRIVER_API_H
#define KYVEK_DRIVER_API_H

#include <sql.h>
#include <sqlext.h>

namespace kyvek::driver::api {

// handles.cpp
SQLRETURN alloc_handle(SQLSMALLINT type, SQLHANDLE input, SQLHANDLE* out);
SQLRETURN free_handle(SQLSMALLINT type, SQLHANDLE handle);
SQLRETURN free_stmt(SQLHSTMT handle, SQLUSMALLINT option);

// attributes.cpp
SQLRETURN set_env_attr(SQLHENV handle, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER len);
SQLRETURN get_env_attr(SQLHENV handle, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER buflen, SQLINTEGER* len);
SQLRETURN set_connect_attr(SQLHDBC handle, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER len);
SQLRETURN get_connect_attr(SQLHDBC handle, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER buflen, SQLINTEGER* len);

// connect.cpp
SQLRETURN driver_connect(SQLHDBC handle, SQLHWND hwnd, SQLCHAR* in, SQLSMALLINT inlen, SQLCHAR* out, SQLSMALLINT outmax,
                         SQLSMALLINT* outlen, SQLUSMALLINT completion);
SQLRETURN connect(SQLHDBC handle, SQLCHAR* server, SQLSMALLINT server_len, SQLCHAR* user, SQLSMALLINT user_len,
                  SQLCHAR* password, SQLSMALLINT password_len);
SQLRETURN disconnect(SQLHDBC handle);

// browse.cpp
SQLRETURN browse_connect(SQLHDBC handle, SQLCHAR* in, SQLSMALLINT inlen, SQLCHAR* out, SQLSMALLINT outmax,
                         SQLSMALLINT* outlen);

// info.cpp
SQLRETURN get_functions(SQLHDBC handle, SQLUSMALLINT id, SQLUSMALLINT* supported);
SQLRETURN get_info(SQLHDBC handle, SQLUSMALLINT type, SQLPOINTER value, SQLSMALLINT buflen, SQLSMALLINT* len);

// execute.cpp
SQLRETURN prepare(SQLHSTMT handle, SQLCHAR* text, SQLINTEGER len);
SQLRETURN exec_direct(SQLHSTMT handle, SQLCHAR* text, SQLINTEGER len);
SQLRETURN execute(SQLHSTMT handle);
SQLRETURN bind_parameter(SQLHSTMT handle, SQLUSMALLINT number, SQLSMALLINT io_type, SQLSMALLINT value_type,
                         SQLSMALLINT param_type, SQLULEN column_size, SQLSMALLINT digits, SQLPOINTER value,
                         SQLLEN buflen, SQLLEN* ind);
SQLRETURN describe_param(SQLHSTMT handle, SQLUSMALLINT number, SQLSMALLINT* type, SQLULEN* size, SQLSMALLINT* digits,
                         SQLSMALLINT* nullable);
SQLRETURN num_params(SQLHSTMT handle, SQLSMALLINT* count);
SQLRETURN native_sql(SQLHDBC handle, SQLCHAR* in, SQLINTEGER in_len, SQLCHAR* out, SQLINTEGER out_max,
                     SQLINTEGER* out_len);
SQLRETURN more_results(SQLHSTMT handle);
SQLRETURN row_count(SQLHSTMT handle, SQLLEN* count);
SQLRETURN cancel(SQLHSTMT handle);
SQLRETURN close_cursor(SQLHSTMT handle);

// data_at_exec.cpp
SQLRETURN param_data(SQLHSTMT handle, SQLPOINTER* value);
SQLRETURN put_data(SQLHSTMT handle, SQLPOINTER data, SQLLEN len);

// fetch.cpp
SQLRETURN fetch(SQLHSTMT handle);
SQLRETURN fetch_scroll(SQLHSTMT handle, SQLSMALLINT orientation, SQLLEN offset);
SQLRETURN extended_fetch(SQLHSTMT handle, SQLUSMALLINT orientation, SQLLEN offset, SQLULEN* row_count,
                         SQLUSMALLINT* status);
SQLRETURN set_pos(SQLHSTMT handle, SQLSETPOSIROW row, SQLUSMALLINT op, SQLUSMALLINT lock);
SQLRETURN bulk_operations(SQLHSTMT handle, SQLSMALLINT op);
SQLRETURN num_result_cols(SQLHSTMT handle, SQLSMALLINT* count);
SQLRETURN describe_col(SQLHSTMT handle, SQLUSMALLINT column, SQLCHAR* name, SQLSMALLINT buflen, SQLSMALLINT* name_len,
                       SQLSMALLINT* sql_type, SQLULEN* size, SQLSMALLINT* digits, SQLSMALLINT* nullable);
SQLRETURN col_attribute(SQLHSTMT handle, SQLUSMALLINT column, SQLUSMALLINT field, SQLPOINTER buf, SQLSMALLINT buflen,
                        SQLSMALLINT* str_len, SQLLEN* num);
SQLRETURN get_data(SQLHSTMT handle, SQLUSMALLINT column, SQLSMALLINT type, SQLPOINTER target, SQLLEN buflen,
                   SQLLEN* ind);

// stmt_attr.cpp
SQLRETURN set_stmt_attr(SQLHSTMT handle, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER len);
SQLRETURN get_stmt_attr(SQLHSTMT handle, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER buflen, SQLINTEGER* out_len);
SQLRETURN get_cursor_name(SQLHSTMT handle, SQLCHAR* name, SQLSMALLINT buflen, SQLSMALLINT* name_len);
SQLRETURN set_cursor_name(SQLHSTMT handle, SQLCHAR* name, SQLSMALLINT len);
SQLRETURN end_tran(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT completion);

// diag.cpp
SQLRETURN get_diag_rec(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT rec, SQLCHAR* state, SQLINTEGER* native,
                       SQLCHAR* msg, SQLSMALLINT buflen, SQLSMALLINT* textlen);
SQLRETURN get_diag_field(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT rec, SQLSMALLINT id, SQLPOINTER buf,
                         SQLSMALLINT buflen, SQLSMALLINT* strlen_ptr);

// descriptors.cpp
SQLRETURN get_desc_field(SQLHDESC h, SQLSMALLINT n, SQLSMALLINT field, SQLPOINTER value, SQLINTEGER buflen,
                         SQLINTEGER* len);
SQLRETURN get_desc_rec(SQLHDESC h, SQLSMALLINT n, SQLCHAR* name, SQLSMALLINT buflen, SQLSMALLINT* name_len,
                       SQLSMALLINT* type, SQLSMALLINT* subtype, SQLLEN* length, SQLSMALLINT* precision,
                       SQLSMALLINT* scale, SQLSMALLINT* nullable);
SQLRETURN set_desc_field(SQLHDESC h, SQLSMALLINT n, SQLSMALLINT field, SQLPOINTER value, SQLINTEGER buflen);
SQLRETURN set_desc_rec(SQLHDESC h, SQLSMALLINT n, SQLSMALLINT type, SQLSMALLINT subtype, SQLLEN length,
                       SQLSMALLINT precision, SQLSMALLINT scale, SQLPOINTER data, SQLLEN* octet_ptr, SQLLEN* ind_ptr);
SQLRETURN copy_desc(SQLHDESC source, SQLHDESC target);

// catalog.cpp
SQLRETURN tables(SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn, SQLCHAR* t, SQLSMALLINT tn,
                 SQLCHAR* y, SQLSMALLINT yn);
SQLRETURN columns(SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn, SQLCHAR* t, SQLSMALLINT tn,
                  SQLCHAR* o, SQLSMALLINT on);
SQLRETURN column_privileges(SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn, SQLCHAR* t,
                            SQLSMALLINT tn, SQLCHAR* o, SQLSMALLINT on);
SQLRETURN table_privileges(SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn, SQLCHAR* t,
                           SQLSMALLINT tn);
SQLRETURN primary_keys(SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn, SQLCHAR* t, SQLSMALLINT tn);
SQLRETURN procedures(SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn, SQLCHAR* p, SQLSMALLINT pn);
SQLRETURN statistics(SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn, SQLCHAR* t, SQLSMALLINT tn,
                     SQLUSMALLINT unique, SQLUSMALLINT reserved);
SQLRETURN special_columns(SQLHSTMT h, SQLUSMALLINT id_type, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn,
                          SQLCHAR* t, SQLSMALLINT tn, SQLUSMALLINT scope, SQLUSMALLINT nullable);
SQLRETURN procedure_columns(SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn, SQLCHAR* p,
                            SQLSMALLINT pn, SQLCHAR* o, SQLSMALLINT on);
SQLRETURN foreign_keys(SQLHSTMT h, SQLCHAR* pc, SQLSMALLINT pcn, SQLCHAR* ps, SQLSMALLINT psn, SQLCHAR* pt,
                       SQLSMALLINT ptn, SQLCHAR* fc, SQLSMALLINT fcn, SQLCHAR* fs, SQLSMALLINT fsn, SQLCHAR* ft,
                       SQLSMALLINT ftn);
SQLRETURN get_type_info(SQLHSTMT h, SQLSMALLINT type);

// odbc2.cpp: the ODBC 2 functions
SQLRETURN odbc2_alloc_env(SQLHENV* out);
SQLRETURN odbc2_alloc_connect(SQLHENV env, SQLHDBC* out);
SQLRETURN odbc2_alloc_stmt(SQLHDBC dbc, SQLHSTMT* out);
SQLRETURN odbc2_free_env(SQLHENV env);
SQLRETURN odbc2_free_connect(SQLHDBC dbc);
SQLRETURN transact(SQLHENV env, SQLHDBC dbc, SQLUSMALLINT completion);
SQLRETURN col_attributes(SQLHSTMT stmt, SQLUSMALLINT column, SQLUSMALLINT field, SQLPOINTER buf, SQLSMALLINT buflen,
                         SQLSMALLINT* str_len, SQLLEN* num);
SQLRETURN param_options(SQLHSTMT stmt, SQLULEN rows, SQLULEN* processed);
SQLRETURN set_stmt_option(SQLHSTMT stmt, SQLUSMALLINT option, SQLULEN value);
SQLRETURN get_stmt_option(SQLHSTMT stmt, SQLUSMALLINT option, SQLPOINTER value);
SQLRETURN set_connect_option(SQLHDBC dbc, SQLUSMALLINT option, SQLULEN value);
SQLRETURN get_connect_option(SQLHDBC dbc, SQLUSMALLINT option, SQLPOINTER value);
SQLRETURN set_scroll_options(SQLHSTMT stmt, SQLUSMALLINT concurrency, SQLLEN keyset, SQLUSMALLINT rowset);
SQLRETURN error(SQLHENV env, SQLHDBC dbc, SQLHSTMT stmt, SQLCHAR* state, SQLINTEGER* native, SQLCHAR* msg,
                SQLSMALLINT buflen, SQLSMALLINT* textlen);

}  // namespace kyvek::driver::api

#endif
