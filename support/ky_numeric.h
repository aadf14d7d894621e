/* Exact decimal numbers in ODBC's SQL_NUMERIC_STRUCT: precision, scale (the
 * number is magnitude x 10^-scale), sign (1 positive, 0 negative) and a
 * 16-byte little-endian magnitude up to 2^128 - 1.
 * Results: 0 success, 1 success with loss (a cut text, a dropped fraction),
 * -1 error (null argument, precision outside 0-255, division by zero),
 * -2 numeric overflow (the value or scale does not fit; the output is then
 * left unchanged). A zero magnitude is zero whatever its sign. */
#ifndef KY_NUMERIC_H
#define KY_NUMERIC_H

#include <stdint.h>
#include <sqltypes.h>

#include "ky_api.h"
#include "ky_handle.h"
#include "ky_value.h"

KY_EXTERN_C_BEGIN

/* value x 10^scale (a negative scale divides, truncating toward zero). */
KY_API int int_to_numeric(int32_t value, SQL_NUMERIC_STRUCT* out, int32_t precision, int32_t scale);
KY_API int bigint_to_numeric(int64_t value, SQL_NUMERIC_STRUCT* out, int32_t precision, int32_t scale);
KY_API int int_to_numeric_noscale(int32_t value, SQL_NUMERIC_STRUCT* out, int32_t precision);
KY_API int bigint_to_numeric_noscale(int64_t value, SQL_NUMERIC_STRUCT* out, int32_t precision);

/* value x 10^scale rounded to an integer (half to even); 1 when a negative
 * scale drops a non-zero fraction; -2 for NaN, infinities and magnitudes of
 * 2^128 or more. */
KY_API int double_to_numeric(double value, SQL_NUMERIC_STRUCT* out, int32_t precision, int32_t scale);

/* Decimal text: leading blanks, an optional sign, digits with at most one
 * point; parsing stops at any other character. The digits after the point
 * are added to the scale ("12.50" with scale 0 gives 1250, scale 2). The
 * text is not changed. */
KY_API int string_to_numeric(const char* text, SQL_NUMERIC_STRUCT* out, int32_t precision, int32_t scale);

/* The text's fraction cut or zero-filled to exactly `scale` digits (for a
 * negative scale, that many integer digits dropped), giving a numeric of
 * that scale. */
KY_API int create_numeric(const char* text, SQL_NUMERIC_STRUCT* out, int32_t precision, int32_t scale);

/* Decimal text ("-12.5", "0.005", "500"; trailing fraction zeros dropped),
 * copied with the ODBC rule: 0 fits, 1 cut to capacity - 1. */
KY_API int numeric_to_string(const SQL_NUMERIC_STRUCT* num, char* out, SQLLEN capacity, SQLLEN* len_out);

/* Nearest double of the exact value. */
KY_API int numeric_to_double(const SQL_NUMERIC_STRUCT* num, double* out);

/* Integer part (fraction dropped); -2 when it lies outside the type. */
KY_API int numeric_to_int(const SQL_NUMERIC_STRUCT* num, int32_t* out);
KY_API int numeric_to_bigint(const SQL_NUMERIC_STRUCT* num, int64_t* out);

/* 1 when the magnitude is 0, else 0. */
KY_API int numeric_is_zero(const SQL_NUMERIC_STRUCT* num);

/* -1, 0 or 1 by exact value, across scales. */
KY_API int numeric_compare(const SQL_NUMERIC_STRUCT* a, const SQL_NUMERIC_STRUCT* b);

/* a op= b. The result takes the larger scale (add, subtract), the sum of
 * the scales and precision 0 (multiply), or a's precision and scale
 * (divide, rounded half away from zero). A zero result is positive. */
KY_API int add_numeric(SQL_NUMERIC_STRUCT* a, const SQL_NUMERIC_STRUCT* b);
KY_API int subtract_numeric(SQL_NUMERIC_STRUCT* a, const SQL_NUMERIC_STRUCT* b);
KY_API int mult_numeric(SQL_NUMERIC_STRUCT* a, const SQL_NUMERIC_STRUCT* b);
/* The evaluation context is not used: division by zero returns -1 and
 * leaves a unchanged; the caller posts "22012". */
KY_API int div_numeric(SQL_NUMERIC_STRUCT* a, const SQL_NUMERIC_STRUCT* b, void* context);

/* Operators of an expression evaluator on cells (KY_OP_* codes of
 * ky_value.h): arithmetic gives a number, comparisons a truth value (1, 0,
 * or 2 when an operand is NULL) written with set_trivalue_in_value; a NULL
 * operand makes an arithmetic result NULL. Other codes leave the result
 * alone. 0 when done; -1 on an error, posted on the context's statement:
 * "22012" for division by zero, "22003" when the result does not fit (it
 * is never wrapped), "HY000" for operands that are not numbers. The result
 * may be one of the operands.
 *
 * numeric_operation: one operand is a numeric cell; the other is brought to
 * numeric form (a double at the numeric's precision and scale, a 32-bit
 * integer with precision 15, a 64-bit integer or a text with precision 20),
 * and the result becomes a numeric cell. bigint_operation: both operands are
 * read as 64-bit integers and arithmetic makes the result a big integer. */
KY_API int numeric_operation(const Value* left, const Value* right, Value* result, ky_eval_context* context,
                             int32_t op);
KY_API int bigint_operation(const Value* left, const Value* right, Value* result, ky_eval_context* context, int32_t op);

KY_EXTERN_C_END

#endif
