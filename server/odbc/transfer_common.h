// Helpers shared by the transfer handlers (binding, status and length arrays,
// typed data, block transfer, column values, column metadata): the statement
// failure posting, row counts of the server arrays, and the copy
// routines of octet-length and indicator arrays that the block-transfer
// handlers call per column or parameter.
//
// Every size that arrives from a peer is compared with what the server
// allocated before memory is touched: copies never pass the server's arrays or
// the peer's announced capacity.
//
// Threading: a statement's records belong to the worker serving its link.
#pragma once

#include <sql.h>
#include <sqlext.h>
#include <stdint.h>

#include "handler_util.h"
#include "server_records.h"
#include "sqlstate.h"

namespace kyvek::transfer {

// Every handler starts with the one prologue of handler_util.h.
using kyvek::server::Diags;
using kyvek::server::enter;
using kyvek::server::Exit;
using kyvek::server::InvalidLine;
using kyvek::server::leave;
using kyvek::server::through_exit;

// Posts a server diagnostic on the statement, records -1 and returns SQL_ERROR.
SQLRETURN fail(statement_t* stmt, const char* sqlstate, int32_t native, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
// The same with the state's text from the table.
SQLRETURN fail(statement_t* stmt, const sqlstate::Row& state, int32_t native);

// Rows of the ARD rowset the last fetch filled: the rowset size of an extended
// fetch after one, else the ARD array size.
uint64_t fetched_rows(const statement_t* stmt);
// Array size of a descriptor (0 for none).
uint64_t array_size(const descriptor_t* desc);
// Bytes of an octet-length or indicator array of n rows (one row at least).
uint64_t length_bytes(uint64_t rows);
// Rows of the statement's ARD or APD arrays: the array size, one at least.
uint64_t ard_rows(const statement_t* stmt);
uint64_t apd_rows(const statement_t* stmt);
// rows values of width bytes each are inside the record's data array.
bool data_holds(const descriptor_record_t* rec, uint64_t rows, uint64_t width);

// The record holds at least one of its data, octet-length and indicator arrays.
bool has_arrays(const descriptor_record_t* rec);

// Bytes one row takes in the record's data array as the driver lays it out:
// the structure size of a fixed-size type; for character and binary data the
// whole array for a single row, else the buffer length.
uint64_t row_stride(const descriptor_record_t* rec, int16_t ctype, uint64_t rows);

// Bytes of the record's octet-length (and indicator) arrays.
uint64_t record_length_bytes(const descriptor_record_t* rec);

// An octet length from a peer: 0 up to the row's size, or an ODBC length code
// (SQL_NTS, SQL_NULL_DATA, SQL_DATA_AT_EXEC, SQL_LEN_DATA_AT_EXEC(n),
// SQL_DEFAULT_PARAM, SQL_COLUMN_IGNORE).
bool length_value_ok(SQLLEN value, uint64_t row_size);

// After a peer wrote both lengths and data: every SQL_NTS row of a character
// record must hold a terminator inside its row. A row that does not has its
// length set to 0 (so the driver never reads past it) and the call fails with
// HY090.
SQLRETURN check_terminated(statement_t* stmt, descriptor_record_t* rec, int16_t ctype, uint64_t rows);

}  // namespace kyvek::transfer

// Copies of one bound column's or parameter's octet lengths and indicators.
// Out: the byte-length references hold the peer's capacity on entry and
// receive the bytes written (never more than the capacity or the server's
// array). In: the byte counts must equal the server's array exactly.
extern "C" {
void copyout_col_strlen_and_ind(statement_t* stmt, int32_t column, uint64_t count, int32_t* octet_bytes,
                                SQLULEN* octet_dst, int32_t* ind_bytes, SQLLEN* ind_dst);
void copyout_param_strlen_and_ind(statement_t* stmt, int32_t parameter, int32_t* octet_bytes, SQLULEN* octet_dst,
                                  int32_t* ind_bytes, SQLLEN* ind_dst);
SQLRETURN copyin_col_strlen_and_ind(statement_t* stmt, int32_t column, int32_t octet_bytes, const SQLULEN* octet_src,
                                    int32_t ind_bytes, const SQLLEN* ind_src);
SQLRETURN copyin_param_strlen_and_ind(statement_t* stmt, int32_t parameter, int32_t octet_bytes,
                                      const SQLULEN* octet_src, int32_t ind_bytes, const SQLLEN* ind_src);
// 0 when the parameter is bound in the APD, else -1 with a diagnostic.
SQLRETURN check_bound_param(int32_t parameter, statement_t* stmt, descriptor_t* apd, const char* caller);
}
