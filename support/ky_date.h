/* Calendar support: today's date parts, comparison of ODBC date, time and
 * timestamp structures, and Julian day numbers with the switch from the
 * Julian to the Gregorian calendar in September 1752 (2 September 1752 is
 * followed by 14 September). Years before 1 are negative, without a year 0
 * (1 BC is -1). */
#ifndef KY_DATE_H
#define KY_DATE_H

#include <stdint.h>
#include <sqltypes.h>

#include "ky_api.h"
#include "ky_value.h"

KY_EXTERN_C_BEGIN

/* Calendar flag of the day-number functions. */
#define KY_CALENDAR_AUTO (-1) /* any negative value: by date */
#define KY_CALENDAR_GREGORIAN 0
#define KY_CALENDAR_JULIAN 1 /* any positive value */

/* From the local time now. */
KY_API int32_t current_year(void);
KY_API int32_t current_month(void);
KY_API int32_t current_day(void);

/* Difference of the first differing field (year, month, day, then hour,
 * minute, second, then fraction); 0 when equal. A null structure sorts
 * first. */
KY_API int32_t date_compare(const SQL_DATE_STRUCT* a, const SQL_DATE_STRUCT* b);
KY_API int32_t time_compare(const SQL_TIME_STRUCT* a, const SQL_TIME_STRUCT* b);
KY_API int32_t timestamp_compare(const SQL_TIMESTAMP_STRUCT* a, const SQL_TIMESTAMP_STRUCT* b);

/* Day number of a date; automatic choice: Julian before 1752-09-03. */
KY_API int32_t ymd_to_jdnl(int32_t year, int32_t month, int32_t day, int32_t calendar);

/* Date of a day number (automatic choice: Julian below 2361222); any of the
 * outs may be null. Returns the year. */
KY_API int32_t jdnl_to_ymd(int32_t jdn, int32_t* year, int32_t* month, int32_t* day, int32_t calendar);

/* Day of the week, 0 Sunday to 6 Saturday. */
KY_API int32_t jdnl_to_dow(int32_t jdn);

/* Arithmetic on date, time and timestamp cells. The result may be the
 * source; a NULL source gives a NULL result. Months keep the day of the
 * month unless the new month is shorter (31 January + 1 month is the last
 * day of February). Dates with a year below 1 are not moved. Fractions are
 * in nanoseconds, as in SQL_TIMESTAMP_STRUCT.
 * Results: 0; -1 for a null argument or a source of another type; -2 when a
 * moved date leaves the years 1-9999 (the result is then left alone). */

/* Days first, then months, on a date or timestamp source (a timestamp
 * result gets midnight); a time source is copied unchanged. */
KY_API int date_add(Value* result, const Value* source, int32_t months, int32_t days);

/* Seconds (and the whole seconds of fraction) added to the time of day: a
 * time wraps around midnight; a timestamp carries into its date and gets a
 * zero fraction. */
KY_API int time_add(Value* result, const Value* source, int64_t seconds, int64_t fraction);

/* Fraction, seconds with their carry into days, then months; the result
 * keeps the source's type (a time drops the day carry). */
KY_API int timestamp_add(Value* result, const Value* source, int32_t months, int64_t seconds, int64_t fraction);

/* As timestamp_add, the result always a timestamp: a time source has a
 * zero date, a date source midnight. */
KY_API int timestamp_add_noconvert(Value* result, const Value* source, int32_t months, int64_t seconds,
                                   int64_t fraction);

KY_EXTERN_C_END

#endif
