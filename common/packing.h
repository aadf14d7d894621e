// Value-array packing: dates, times, timestamps, exact numerics, intervals and
// GUIDs cross the wire as parallel field arrays of one element width each.
// A packer splits an array of ODBC structures (any stride) into field arrays;
// an unpacker joins field arrays back into a dense array of structures. The
// field-array layouts below are a wire format shared by the server and the
// client driver: element widths, order and grouping must not change.
//
//   dates       years (int16 x n), month/day pairs (2 x uint16 x n)
//   times       hour/minute/second triples (3 x uint16 x n)
//   timestamps  month/day/hour/minute/second quintuples (5 x uint16 x n),
//               years (int16 x n), fractions (uint32 x n)
//   numerics    19-byte records: precision, scale, sign, 16 value bytes
//   intervals   type/sign pairs (2 x int16 x n) and one stream of 32-bit words:
//               year, month for types 1, 2 and 7, else day, hour, minute,
//               second, fraction; elements follow one another without gaps
//               (the stream is sized 20 bytes per element)
//   GUIDs       Data1 (uint32 x n), Data2/Data3 pairs (2 x uint16 x n),
//               Data4 (8 bytes x n); server to client only
//
// Every array comes with its size in bytes. A packer's field-array argument is
// a reference: when it holds no array the routine allocates a zero-filled one
// with calloc (the caller frees it with free) and stores its byte size; when it
// holds an array, the accompanying size is that array's capacity and a
// capacity below what the call needs fails the call before anything is
// written. Sources and destinations shorter than count elements fail likewise.
// Failures post one diagnostic on errp (vendor "(Common)") and return -1;
// pack_intervals returns -2, without a diagnostic and before touching any
// array, for an interval type outside 1 to 13.
//
// Pure functions of their arguments (apart from the diagnostic list and the
// trace); safe on any thread for distinct arguments.
#pragma once

#include <stdint.h>

#include "diag_post.h"

#ifdef __cplusplus
extern "C" {
#endif

// Sizes of the ODBC structures, the default strides.
enum {
  KY_DATE_SIZE = 6,
  KY_TIME_SIZE = 6,
  KY_TIMESTAMP_SIZE = 16,
  KY_NUMERIC_SIZE = 19,
  KY_INTERVAL_SIZE = 28,
  KY_GUID_SIZE = 16,
};

// Bytes per element of each field array.
enum {
  KY_YEAR_BYTES = 2,
  KY_DATE_PAIR_BYTES = 4,
  KY_TIME_TRIPLE_BYTES = 6,
  KY_TS_QUINTUPLE_BYTES = 10,
  KY_FRACTION_BYTES = 4,
  KY_NUMERIC_RECORD_BYTES = 19,
  KY_INTERVAL_PAIR_BYTES = 4,
  KY_INTERVAL_STREAM_BYTES = 20,
  KY_GUID_DATA1_BYTES = 4,
  KY_GUID_PAIR_BYTES = 4,
  KY_GUID_DATA4_BYTES = 8,
};

// stride 0 means the structure's size; a stride below it fails the call.
// src_bytes: readable bytes at src ((count - 1) x stride + size are needed).

int pack_dates(diag_header* errp, const void* src, uint64_t src_bytes, uint64_t count, int16_t** years,
               int32_t* years_bytes, int16_t** pairs, int32_t* pairs_bytes, int32_t stride);
int unpack_dates(diag_header* errp, void* dst, uint64_t dst_bytes, uint64_t count, const int16_t* years,
                 int32_t years_bytes, const int16_t* pairs, int32_t pairs_bytes);

int pack_times(diag_header* errp, const void* src, uint64_t src_bytes, uint64_t count, int16_t** triples,
               int32_t* triples_bytes, int32_t stride);
int unpack_times(diag_header* errp, void* dst, uint64_t dst_bytes, uint64_t count, const int16_t* triples,
                 int32_t triples_bytes);

int pack_numerics(diag_header* errp, const void* src, uint64_t src_bytes, uint64_t count, char** records,
                  int32_t* records_bytes, int32_t stride);
int unpack_numerics(diag_header* errp, void* dst, uint64_t dst_bytes, uint64_t count, const char* records,
                    int32_t records_bytes);

int pack_intervals(diag_header* errp, const void* src, uint64_t src_bytes, uint64_t count, int32_t** stream,
                   int32_t* stream_bytes, int16_t** pairs, int32_t* pairs_bytes, int32_t stride);
int unpack_intervals(diag_header* errp, void* dst, uint64_t dst_bytes, uint64_t count, const int16_t* pairs,
                     int32_t pairs_bytes, const int32_t* stream, int32_t stream_bytes);

// pack_timestamps and pack_guids store the byte sizes they fill in every call.
int pack_timestamps(diag_header* errp, const void* src, uint64_t src_bytes, uint64_t count, int16_t** quintuples,
                    int32_t* quintuples_bytes, int16_t** years, int32_t* years_bytes, int32_t** fractions,
                    int32_t* fractions_bytes, int32_t stride);
int unpack_timestamps(diag_header* errp, void* dst, uint64_t dst_bytes, uint64_t count, const int16_t* years,
                      int32_t years_bytes, const int16_t* quintuples, int32_t quintuples_bytes,
                      const int32_t* fractions, int32_t fractions_bytes);

int pack_guids(diag_header* errp, const void* src, uint64_t src_bytes, uint64_t count, int32_t** data1,
               int32_t* data1_bytes, int16_t** pairs, int32_t* pairs_bytes, char** data4, int32_t* data4_bytes,
               int32_t stride);
int unpack_guids(diag_header* errp, void* dst, uint64_t dst_bytes, uint64_t count, const int32_t* data1,
                 int32_t data1_bytes, const int16_t* pairs, int32_t pairs_bytes, const char* data4,
                 int32_t data4_bytes);

// Number of 32-bit stream words an interval of this type takes (2 or 5), or 0
// for a type outside 1 to 13.
int interval_word_count(int32_t interval_type);

#ifdef __cplusplus
}  // extern "C"
#endif
