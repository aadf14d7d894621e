/* The remote procedures of this system, written once.
 *
 * 147 rows in table order (row 0 first). The server's `server_procedure_table`,
 * its stubs `stub_<name>`, the handler declarations (server/odbc/handlers.h)
 * and the client stubs `remote_<name>` (remote_stubs.h) are all derived from
 * this list, so a change to one row changes both ends, and a handler whose
 * signature does not match its row does not compile.
 *
 * Row: X(name, role, result, argument kinds...) with the kinds of
 * procedure_kinds.h and roles client (handler and client stub), server
 * (handler only) and spare (neither; answers -1).
 *
 * Ordinals: RPCExport prepends every row, so the ordinal of row r is 146 - r
 * (spare4 is ordinal 0 and announced first, authenticate 146 and last). */
#ifndef KYVEK_CLIENT_COMMON_PROCEDURE_LIST_H
#define KYVEK_CLIENT_COMMON_PROCEDURE_LIST_H

#include "identity.h"
#include "procedure_kinds.h"

#define KY_PROCEDURE_COUNT 147

// clang-format off
#define KY_PROCEDURE_LIST(X) \
  X(authenticate,                      client, r32, rpc, text, text) \
  X(sql_alloc_handle,                  client, r16, rpc, i32, i16, ptr, out_ptr) \
  X(sql_free_handle,                   client, r16, rpc, i16, ptr) \
  X(sql_free_stmt,                     client, r16, ptr, i16) \
  X(sql_connect,                       server, r16, ptr, desc, desc, desc) \
  X(sql_driver_connect,                client, r16, ptr, desc, out_desc, i16, i16) \
  X(sql_data_sources,                  client, r16, ptr, i16, out_i16, out_desc, out_i16, out_desc) \
  X(sql_disconnect,                    client, r16, ptr) \
  X(sql_get_env_attr_integer,          server, r16, ptr, i32, out_len) \
  X(sql_get_connect_attr_integer,      client, r16, ptr, i32, out_len) \
  X(sql_get_connect_attr_handle,       client, r16, ptr, i32, out_ptr) \
  X(sql_get_connect_attr_string,       client, r16, ptr, i32, out_desc, i32, out_i32) \
  X(sql_get_connect_attr_binary,       client, r16, ptr, i32, out_desc, i32, out_i32) \
  X(sql_copy_desc,                     client, r16, ptr, ptr) \
  X(sql_set_env_attr,                  client, r16, ptr, i32, i32) \
  X(sql_set_desc_rec,                  client, r16, ptr, i16, i16, i16, i32, i16, i16, i32, i32, i32) \
  X(sql_get_desc_rec,                  client, r16, ptr, i16, out_desc, i16, out_i16, out_i16, out_i16, out_len, out_i16, out_i16, out_i16) \
  X(sql_set_desc_field_integer,        client, r16, ptr, i16, i16, len, i32) \
  X(sql_set_desc_field_smallint,       client, r16, ptr, i16, i16, i16, i32) \
  X(sql_set_desc_field_strbin,         client, r16, ptr, i16, i16, desc, i32) \
  X(sql_get_desc_field_integer,        client, r16, ptr, i16, i16, out_len, i32) \
  X(sql_get_desc_field_smallint,       client, r16, ptr, i16, i16, out_i16, i32) \
  X(sql_get_desc_field_string,         client, r16, ptr, i16, i16, out_desc, i32, out_i32) \
  X(sql_get_desc_field_binary,         client, r16, ptr, i16, i16, out_desc, i32, out_i32) \
  X(sql_get_functions_odbc3_all,       client, r16, ptr, i16, out_a16_fix<500>) \
  X(sql_get_functions_all,             client, r16, ptr, i16, out_a16_fix<200>) \
  X(sql_get_function,                  client, r16, ptr, i16, out_i16) \
  X(sql_get_info_string,               client, r16, ptr, i16, out_desc, i16, out_i16) \
  X(sql_get_info_smallint,             client, r16, ptr, i16, out_i16, i16, out_i16) \
  X(sql_get_info_integer,              client, r16, ptr, i16, out_i32, i16, out_i16) \
  X(sql_get_stmt_attr_integer,         client, r16, ptr, i32, out_len) \
  X(sql_get_stmt_attr_string,          client, r16, ptr, i32, out_desc, i32, out_i32) \
  X(sql_get_stmt_attr_binary,          client, r16, ptr, i32, out_desc, i32, out_i32) \
  X(sql_get_stmt_attr_handle,          client, r16, ptr, i32, out_ptr) \
  X(sql_set_stmt_attr_integer,         client, r16, ptr, i32, len, i32) \
  X(sql_set_stmt_attr_handle,          client, r16, ptr, i32, ptr, i32) \
  X(sql_set_stmt_attr_strbin,          client, r16, ptr, i32, desc, i32) \
  X(sql_set_connect_option_integer,    client, r16, ptr, i16, len) \
  X(sql_set_connect_attr_strbin,       client, r16, ptr, i32, desc, i32) \
  X(sql_set_connect_attr_long,         client, r16, ptr, i32, len, i32) \
  X(sql_set_connect_attr_ptr,          client, r16, ptr, i32, ptr, i32) \
  X(sql_get_desc_field,                client, r16, ptr, i16, i16, out_ptr, i32, out_i32) \
  X(sql_native_sql,                    client, r16, ptr, desc, out_desc, i32, out_i32) \
  X(sql_primary_keys,                  client, r16, ptr, desc, i16, desc, i16, desc, i16) \
  X(sql_set_cursor_name,               client, r16, ptr, desc) \
  X(sql_tables,                        client, r16, ptr, desc, i16, desc, i16, desc, i16, desc, i16) \
  X(sql_table_privileges,              client, r16, ptr, desc, i16, desc, i16, desc, i16) \
  X(sql_fetch,                         client, r16, ptr) \
  X(sql_get_data,                      client, r16, ptr, i16, i16, out_desc_filled, ulen, out_len) \
  X(sql_num_result_cols,               client, r16, ptr, out_i16) \
  X(sql_describe_col,                  client, r16, ptr, i16, out_desc, i16, out_i16, out_i16, out_ulen, out_i16, out_i16) \
  X(sql_describe_param,                client, r16, ptr, i16, out_i16, out_ulen, out_i16, out_i16) \
  X(sql_more_results,                  client, r16, ptr) \
  X(sql_prepare,                       client, r16, ptr, desc, i32) \
  X(sql_execute,                       client, r16, ptr) \
  X(sql_exec_direct,                   client, r16, ptr, desc) \
  X(sql_columns,                       client, r16, ptr, desc, i16, desc, i16, desc, i16, desc, i16) \
  X(sql_get_type_info,                 client, r16, ptr, i16) \
  X(sql_procedures,                    client, r16, ptr, desc, i16, desc, i16, desc, i16) \
  X(sql_procedure_columns,             client, r16, ptr, desc, i16, desc, i16, desc, i16, desc, i16) \
  X(sql_statistics,                    client, r16, ptr, desc, i16, desc, i16, desc, i16, i16, i16) \
  X(sql_special_columns,               client, r16, ptr, i16, desc, i16, desc, i16, desc, i16, i16, i16) \
  X(sql_bind_col,                      client, r16, ptr, i16, i16, i32, ulen, len) \
  X(sql_bind_parameter,                client, r16, ptr, i16, i16, i16, i16, i32, ulen, i16, ulen, len) \
  X(sql_fetch_scroll,                  client, r16, ptr, i16, i32) \
  X(sql_extended_fetch,                client, r16, ptr, i16, len, out_ulen, out_a16) \
  X(sql_cancel,                        client, r16, ptr) \
  X(sql_get_cursor_name,               client, r16, ptr, out_desc, i16, out_i16) \
  X(sql_col_attribute,                 client, r16, ptr, i16, i16, out_desc, i16, out_i16, out_len) \
  X(sql_close_cursor,                  client, r16, ptr) \
  X(sql_column_privileges,             client, r16, ptr, desc, desc, desc, desc) \
  X(sql_row_count,                     client, r16, ptr, out_len) \
  X(sql_num_params,                    client, r16, ptr, out_i16) \
  X(sql_end_tran,                      client, r16, i16, ptr, i16) \
  X(sql_get_diag_rec,                  client, r16, i16, ptr, i16, out_desc_fix<6>, out_i32, out_desc, i16, out_i16) \
  X(sql_get_diag_field_integer,        client, r16, i16, ptr, i16, i16, out_i32) \
  X(sql_get_diag_field_smallint,       client, r16, i16, ptr, i16, i16, out_i16) \
  X(sql_get_diag_field_string,         client, r16, i16, ptr, i16, i16, out_desc, i16, out_i16) \
  X(sql_foreign_keys,                  client, r16, ptr, desc, i16, desc, i16, desc, i16, desc, i16, desc, i16, desc, i16) \
  X(sql_bulk_operations,               client, r16, ptr, i16) \
  X(sql_setpos,                        client, r16, ptr, i16, i16, i16) \
  X(sql_param_data,                    client, r16, ptr, out_i16) \
  X(sql_put_data,                      client, r16, ptr, desc, len) \
  X(sql_error,                         client, r16, ptr, ptr, ptr, out_desc, out_i32, out_desc, i16, out_i16) \
  X(fetch_bound_colswv,                client, r16, ptr, out_wv) \
  X(fetch_bound_col,                   server, r16, ptr, i16, out_desc, out_aulen, out_alen) \
  X(fetch_bound_col_smallint,          server, r16, ptr, i16, out_a16, out_aulen, out_alen) \
  X(fetch_bound_col_integer,           client, r16, ptr, i16, out_a32, out_aulen, out_alen) \
  X(fetch_bound_col_numeric,           server, r16, ptr, i16, out_desc, out_aulen, out_alen) \
  X(fetch_bound_col_float,             server, r16, ptr, i16, out_real_fa, out_aulen, out_alen) \
  X(fetch_bound_col_double,            server, r16, ptr, i16, out_real_da, out_aulen, out_alen) \
  X(fetch_bound_col_dt,                server, r16, ptr, i16, i16, i16, out_a16, out_a16, out_a32, out_aulen, out_alen) \
  X(fetch_bound_col_dt_int,            server, r16, ptr, i16, i16, i16, out_a16, out_a16, out_a32, out_aulen, out_alen) \
  X(fetch_rows_processed,              client, r16, ptr, out_ulen, out_ulen) \
  X(fetch_row_status,                  client, r16, ptr, out_a16) \
  X(fetch_parameter_status,            client, r16, ptr, out_a16) \
  X(synch_row_operations_array,        client, r16, ptr, a16) \
  X(synch_parameter_operations_array,  client, r16, ptr, a16) \
  X(get_data_short,                    client, r16, ptr, i16, i16, out_i16, out_len) \
  X(get_data_long,                     client, r16, ptr, i16, i16, out_i32, out_len) \
  X(get_data_float,                    client, r16, ptr, i16, i16, out_real_f, out_len) \
  X(get_data_double,                   client, r16, ptr, i16, i16, out_real_d, out_len) \
  X(get_data_time,                     client, r16, ptr, i16, i16, out_a16_fix<6>, out_len) \
  X(get_data_date,                     client, r16, ptr, i16, i16, out_i16, out_a16_fix<4>, out_len) \
  X(get_data_timestamp,                client, r16, ptr, i16, i16, out_i16, out_a16_fix<10>, out_i32, out_len) \
  X(get_data_interval,                 client, r16, ptr, i16, i16, out_i16, out_i16, out_a32_fix<20>, out_len) \
  X(get_data_numeric,                  client, r16, ptr, i16, i16, out_desc, out_len) \
  X(put_data_smallint,                 client, r16, ptr, i16, len) \
  X(put_data_integer,                  client, r16, ptr, i32, len) \
  X(put_data_float,                    client, r16, ptr, real_f, len) \
  X(put_data_double,                   client, r16, ptr, real_d, len) \
  X(put_data_numeric,                  client, r16, ptr, desc, len) \
  X(put_data_date,                     client, r16, ptr, i16, a16_fix<4>, len) \
  X(put_data_time,                     client, r16, ptr, a16_fix<6>, len) \
  X(put_data_timestamp,                client, r16, ptr, i16, a16_fix<10>, i32, len) \
  X(put_data_interval,                 client, r16, ptr, a32_fix<20>, a16_fix<4>, len) \
  X(synch_bound_colin,                 client, r16, ptr, i16, desc, aulen, alen) \
  X(synch_bound_colin_integer,         client, r16, ptr, i16, a32, aulen, alen) \
  X(synch_bound_colin_smallint,        client, r16, ptr, i16, a16, aulen, alen) \
  X(synch_bound_colin_float,           client, r16, ptr, i16, real_fa, aulen, alen) \
  X(synch_bound_colin_double,          client, r16, ptr, i16, real_da, aulen, alen) \
  X(synch_bound_colin_numeric,         client, r16, ptr, i16, desc, aulen, alen) \
  X(synch_bound_colin_date,            client, r16, ptr, i16, a16, a16, aulen, alen) \
  X(synch_bound_colin_time,            client, r16, ptr, i16, a16, aulen, alen) \
  X(synch_bound_colin_interval,        client, r16, ptr, i16, a32, a16, aulen, alen) \
  X(synch_bound_colin_timestamp,       client, r16, ptr, i16, a16, a16, a32, aulen, alen) \
  X(fetch_bound_param_integer,         client, r16, ptr, i16, out_a32, out_aulen, out_alen) \
  X(fetch_bound_param_smallint,        client, r16, ptr, i16, out_a16, out_aulen, out_alen) \
  X(fetch_bound_param_bigint,          client, r16, ptr, i16, out_a64, out_aulen, out_alen) \
  X(fetch_bound_param_numeric,         client, r16, ptr, i16, out_desc, out_aulen, out_alen) \
  X(fetch_bound_param_float,           client, r16, ptr, i16, out_real_fa, out_aulen, out_alen) \
  X(fetch_bound_param_double,          client, r16, ptr, i16, out_real_da, out_aulen, out_alen) \
  X(fetch_bound_param_dt,              client, r16, ptr, i16, i16, i16, out_a16, out_a16, out_a32, out_aulen, out_alen) \
  X(fetch_bound_param_dt_int,          client, r16, ptr, i16, i16, i16, out_a16, out_a32, out_aulen, out_alen) \
  X(fetch_bound_param,                 client, r16, ptr, i16, out_desc, out_aulen, out_alen) \
  X(get_all_col_types,                 client, r16, ptr, out_a16) \
  X(set_config_param,                  client, r16, ptr, i32, i32, desc) \
  X(synch_bookmark,                    client, r16, ptr, desc) \
  X(describe_col_all,                  client, r16, ptr, i16, out_desc, out_a16, out_a32, out_a16, out_a16) \
  X(synch_bound_paramswv,              client, r16, ptr, wv) \
  X(server_get_info,                   client, r32, i32, out_desc) \
  X(server_set_attribute,              client, r32, rpc, i32, desc) \
  X(get_attributes_all,                server, r32, ptr, a16, out_i16, out_desc) \
  X(spare1,                            spare,  r16, ptr, wv) \
  X(spare2,                            spare,  r16, ptr, out_wv) \
  X(spare3,                            spare,  r16, ptr, a16, a32, out_a16, out_a32) \
  X(spare4,                            spare,  r16, ptr, desc, out_desc) \
  /* end of list */
// clang-format on

namespace kyproc::rows {
using namespace kyproc::kinds;
#define KY_PROC_ROW_TYPE(name, role, result, ...) \
  using name = ::kyproc::Row<#name, ::kyproc::Role::role, result, __VA_ARGS__>;
KY_PROCEDURE_LIST(KY_PROC_ROW_TYPE)
#undef KY_PROC_ROW_TYPE
#define KY_PROC_COUNT_ONE(...) +1
static_assert(0 KY_PROCEDURE_LIST(KY_PROC_COUNT_ONE) == KY_PROCEDURE_COUNT);
#undef KY_PROC_COUNT_ONE
}  // namespace kyproc::rows

#endif
