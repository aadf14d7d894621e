/* SQL intervals in ODBC's SQL_INTERVAL_STRUCT (codes 1-13, sign 1 =
 * negative): totals, text (bare or as an SQL literal), normalising a total
 * into fields, and comparison. Totals are 64-bit: months for the year-month
 * codes 1, 2 and 7, seconds for the day-time codes 3-6 and 8-13. */
#ifndef KY_INTERVAL_H
#define KY_INTERVAL_H

#include <stdint.h>
#include <sqltypes.h>

#include "ky_api.h"
#include "ky_handle.h"
#include "ky_value.h"

KY_EXTERN_C_BEGIN

/* interval_compare result when one side is year-month and the other
 * day-time: such intervals have no order. */
#define KY_INTERVAL_INCOMPARABLE 2

/* Signed total over the code's fields; fraction_out (optional) gets the
 * signed fraction for codes with seconds (6, 10, 12, 13), else 0. Unknown
 * codes and null give 0. */
KY_API int64_t get_base_value(const SQL_INTERVAL_STRUCT* iv, int64_t* fraction_out);

/* Magnitude of a cell's interval in the unit of its code's last field (sign
 * not applied); fraction_out as for get_base_value, unsigned. */
KY_API int64_t get_long_from_interval(const Value* cell, int64_t* fraction_out);

/* Fills the fields of the cell's interval code from a total in months or
 * seconds and a fraction in nanoseconds (a negative fraction borrows from
 * the total). 0, -1 for an unknown code or null cell, -2 when a field
 * exceeds 32 bits. */
KY_API int normalise_interval(int64_t total, int64_t fraction, Value* cell);

/* -1, 0 or 1 by total (then fraction); KY_INTERVAL_INCOMPARABLE when one
 * is year-month and the other day-time. */
KY_API int interval_compare(const SQL_INTERVAL_STRUCT* a, const SQL_INTERVAL_STRUCT* b);
KY_API int compare_interval(const Value* a, const Value* b);

/* Text of the cell's interval: with keyword_flag set the SQL literal
 * ("INTERVAL -'3' YEAR(4)", "INTERVAL '1 02:03:04.5' DAY TO SECOND"),
 * using the cell's precisions; else the bare value ("-3", "5:07").
 * Copied with the ODBC rule: 0 fits, 1 cut to capacity - 1, -1 for an
 * unknown code or null argument. */
KY_API int interval_as_text(const Value* cell, char* out, int32_t capacity, int32_t keyword_flag);

/* The same from a bare structure with the precisions given, and the full
 * length reported in len_out (optional). */
KY_API int interval_struct_as_text(const SQL_INTERVAL_STRUCT* iv, int32_t leading_precision, int32_t seconds_precision,
                                   int32_t keyword_flag, char* out, SQLLEN capacity, SQLLEN* len_out);

/* Interval operators (KY_OP_ADD, KY_OP_SUBTRACT) on cells:
 * - interval +/- interval of the same kind: the left's value type and the
 *   combined code (YEAR and YEAR give YEAR, MONTH and MONTH give MONTH, other
 *   year-month pairs YEAR TO MONTH; day-time codes give the code from the
 *   earlier leading field to the later trailing field), the larger
 *   precisions, the sum or difference of the totals;
 * - number +/- interval: the right's type, code and precisions, its total
 *   plus or minus the number's integer value in units of the code's leading
 *   field (years count 12 months);
 * - date, time or timestamp +/- interval: through timestamp_add.
 * A NULL operand makes the result NULL; other operator codes leave it
 * alone. 0 when done; -1 on an error, posted on the context's statement:
 * "HY000" for operands that do not combine (year-month with day-time, or
 * no interval on the right), "22015" when a field overflows, "22008" when
 * a date leaves its range. The result may be one of the operands. */
KY_API int interval_operation(const Value* left, const Value* right, Value* result, ky_eval_context* context,
                              int32_t op);

KY_EXTERN_C_END

#endif
