/* Uses every public header from C, so that they stay valid C and the
 * exported names link. Returns 0 when all checks pass, else the failing line. */
#include <string.h>

#include "kysupp.h"

#define CHECK(cond) \
    do { \
        if (!(cond)) return __LINE__; \
    } while (0)

int kysupp_c_smoke(void) {
    mem_handle *pool = ky_mem_alloc_handle(NULL);
    con_str cs;
    char out[64];
    int16_t len = 0;
    hash_table *table;
    hash_item *item;
    List *list = NULL;
    int a = 1;
    SQL_NUMERIC_STRUCT num;
    SQL_INTERVAL_STRUCT iv;
    SQLLEN wide_len = 0;

    CHECK(pool != NULL);
    init_con_str(&cs);
    CHECK(parse_connection_string(&cs, pool, "DSN=x;PWD={a;b}", KY_CONSTR_NTS, 0) == 0);
    CHECK(strcmp(get_attribute_value(&cs, "pwd"), "a;b") == 0);
    CHECK(strcmp(generate_connection_string(&cs, out, sizeof out), "DSN=x;PWD={a;b};") == 0);

    CHECK(copy_str_buffer(out, 4, &len, "hello") == 1 && len == 5 && strcmp(out, "hel") == 0);

    list = ListAppend(&a, list, pool);
    CHECK(ListCount(list) == 1 && ListData(ListFirst(list)) == &a);

    table = ky_make_hash_table(0);
    item = ky_add_hash_item("key", table);
    CHECK(item != NULL && ky_find_hash_item("key", table) == item);
    ky_flush_hash_table(table, NULL, 0);
    ky_dispose_hash_table(table);

    CHECK(string_to_numeric("-12.50", &num, 10, 0) == 0 && num.scale == 2);
    CHECK(numeric_to_string(&num, out, sizeof out, &wide_len) == 0 && strcmp(out, "-12.5") == 0);
    CHECK(ymd_to_jdnl(2000, 1, 1, KY_CALENDAR_AUTO) == 2451545);
    memset(&iv, 0, sizeof iv);
    iv.interval_type = SQL_IS_HOUR_TO_MINUTE;
    iv.intval.day_second.hour = 2;
    iv.intval.day_second.minute = 30;
    CHECK(get_base_value(&iv, NULL) == 9000);
    CHECK(interval_struct_as_text(&iv, 2, 6, 1, out, sizeof out, NULL) == 0);
    CHECK(strcmp(out, "INTERVAL '2:30' HOUR TO MINUTE") == 0);

    CHECK(mutex_entry(KY_LOCK_MEMORY) == 0);
    mutex_exit(KY_LOCK_MEMORY);
    ky_mem_release_handle(pool);
    return 0;
}
