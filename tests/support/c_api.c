/* Uses every public header from C, so that they stay valid C and the
 * exported names link. Returns 0 when all checks pass, else the failing line. */
#include <stdlib.h>
#include <string.h>

#include <sql.h>
#include <sqlext.h>

#include "kysupp.h"

#define CHECK(cond)               \
  do {                            \
    if (!(cond)) return __LINE__; \
  } while (0)

static void* c_worker(void* arg) {
  thread_clear_semaphore((ky_event*)arg);
  thread_cleanup();
  return NULL;
}

/* The diagnostics, cells, operators, cursor names, trace, threads and
 * long-data units. */
static int kysupp_c_rest(mem_handle* pool) {
  ky_dbc dbc;
  ky_stmt stmt, other;
  ky_eval_context ctx;
  ErrorHeader* h;
  char out[64];
  char state[6];
  int32_t native = 0;
  int16_t len = 0;
  SQLINTEGER count = 0;
  Value *a, *b, *r, *copy, *iv;
  unsigned char dm[64];
  long_buffer *lb, *clone;
  SQLLEN llen = 0;
  SQLWCHAR wide[8];
  int fd;
  pthread_t thread;
  ky_event* ev = NULL;

  memset(&dbc, 0, sizeof dbc);
  memset(&stmt, 0, sizeof stmt);
  memset(&other, 0, sizeof other);
  dbc.head.node_kind = KY_NODE_DBC;
  dbc.head.odbc_version = 3;
  dbc.head.pool = pool;
  stmt.head = dbc.head;
  stmt.head.node_kind = KY_NODE_STMT;
  stmt.dbc = &dbc;
  other = stmt;

  /* Diagnostic records */
  h = CreateErrorHeader(pool, &stmt.head);
  CHECK(h != NULL);
  stmt.head.errors = h;
  SetupErrorHeader(h, 85);
  SetErrorCount(h, 3);
  CHECK(SetReturnCode(h, 1) == 1);
  CHECK(strcmp(PostError(h, KY_ORIGIN_ISO, 0, NULL, 5, 0, "ISO 9075", "HY000", "n=%d", 4), "[Kyronde ODBC]n=4") == 0);
  CHECK(PostDalError(&stmt, "V", 6, "HY001", "m") != NULL);
  CHECK(GetDiagRec(h, 2, state, &native, out, sizeof out, &len) == 0);
  CHECK(strcmp(state, "HY001") == 0 && native == 6 && strcmp(out, "[V]m") == 0);
  CHECK(GetDiagField(SQL_HANDLE_STMT, h, 0, SQL_DIAG_NUMBER, &count, 0, NULL) == 0 && count == 2);

  /* Typed values and the stored field form */
  a = NewValue(pool, 0);
  b = NewValue(pool, 0);
  r = NewValue(pool, 16);
  CHECK(a && b && r);
  a->value_type = KY_VT_BIGINT;
  a->data.bigint = 7;
  b->value_type = sql_to_value_type(SQL_BIGINT);
  b->data.bigint = 2;
  CHECK(get_int_from_value(a) == 7 && get_bigint_from_value(a) == 7 && get_double_from_value(a) == 7.0);
  CHECK(strcmp(get_string_from_value(a), "") == 0 && get_trivalue_from_value(a) == 1);
  CHECK(get_buffer_length(10, SQL_C_SLONG) == 4 && get_dm_length(SQL_NUMERIC, 0) == 19);
  CHECK(value_to_dm(a, dm, sizeof dm) == 0 && get_length_from_dm(dm, b) == 8);
  CHECK(compare_dm(dm, dm) == 0);
  CHECK(dm_to_value(dm, b) == 0 && compare_values(a, b) == 0);
  CHECK(strcmp(value_as_text(a, out, sizeof out), "7") == 0);
  CHECK(strcmp(value_as_text_ex(a, out, sizeof out, "", "", "", "", "", "", "", "", 0), "7") == 0);
  copy = duplicate_value(pool, a);
  CHECK(copy && duplicate_value_ex(pool, copy) == copy);
  release_value(pool, copy);
  release_value(pool, copy);
  CHECK(set_value_to_double(b, 2.9) == 0 && b->data.bigint == 2);
  CHECK(set_trivalue_in_value(r, 1) == 1);

  /* Operators on cells */
  memset(&ctx, 0, sizeof ctx);
  ctx.stmt = &stmt;
  CHECK(bigint_operation(a, b, r, &ctx, KY_OP_DIVIDE) == 0 && r->data.bigint == 3);
  b->data.bigint = 0;
  CHECK(bigint_operation(a, b, r, &ctx, KY_OP_DIVIDE) == -1 && ctx.failed == 1);
  b->value_type = KY_VT_NUMERIC;
  CHECK(string_to_numeric("0.5", &b->data.numeric, 10, 0) == 0);
  CHECK(numeric_operation(a, b, r, &ctx, KY_OP_MULTIPLY) == 0);
  CHECK(strcmp(value_as_text(r, out, sizeof out), "3.5") == 0);
  a->value_type = KY_VT_DATE;
  a->data.date.year = 2001;
  a->data.date.month = 1;
  a->data.date.day = 31;
  CHECK(date_add(r, a, 1, 0) == 0 && r->data.date.day == 28);
  CHECK(timestamp_add(r, a, 0, 86400, 0) == 0 && r->data.date.month == 2);
  CHECK(timestamp_add_noconvert(r, a, 0, 60, 0) == 0 && r->data.timestamp.minute == 1);
  CHECK(time_add(r, r, 60, 0) == 0 && r->data.timestamp.minute == 2);
  iv = NewValue(pool, 0);
  CHECK(iv != NULL);
  iv->value_type = KY_VT_INTERVAL_YM;
  iv->data.interval.interval_type = SQL_IS_MONTH;
  iv->data.interval.intval.year_month.month = 1;
  CHECK(interval_operation(a, iv, r, &ctx, KY_OP_ADD) == 0 && r->data.date.month == 2);
  set_value_to_interval(r, iv);
  CHECK(compare_interval(r, iv) == 0);

  /* Cursor names */
  CHECK(generate_cursor_name(&stmt) == 0);
  CHECK(strcmp(get_cursor_name(&stmt), "SQL_CUR00000000") == 0);
  CHECK(insert_cursor_name(&other, "mine") == 0);
  CHECK(get_stmt_by_cursor(&stmt, "mine") == &other);
  CHECK(remove_cursor_name(&stmt, "mine") == &other);

  /* Trace log (silent: the library's mask is 0) */
  log_message(__FILE__, __LINE__, 0xFFFFFFFFu, "%I", 1);

  /* Threads, events and time-outs */
  CHECK(can_connect_async() == 1 && can_statement_async() == 1);
  CHECK(odbc_thread_create(&thread, c_worker, NULL, &ev, NULL) == 0);
  /* The worker got no event argument; signal the event here. */
  thread_clear_semaphore(ev);
  CHECK(thread_wait_on_semaphore(ev, 5000) == 0);
  thread_close_semaphore(ev);
  stmt.cancel = 1;
  CHECK(check_timeout(&stmt) == -1 && stmt.cancel == 0);

  /* Long-data buffers and files */
  lb = allocate_long_buffer(pool, 0, 0, NULL, SQL_LONGVARCHAR);
  CHECK(lb != NULL);
  CHECK(append_to_long_buffer(lb, "abc", SQL_NTS) == 0 && long_buffer_length(lb) == 3);
  CHECK(extract_from_long_buffer(lb, out, sizeof out, &llen, 0) == 0 && strcmp(out, "abc") == 0);
  CHECK(rewind_long_buffer(lb) == 0 && position_long_buffer(lb, 1) == 1);
  clone = clone_long_buffer(lb, pool);
  CHECK(clone == lb);
  ky_mem_free(pool, clone);
  CHECK(extract_from_long_nbuffer(lb, wide, 8, &llen, 0) == 0 && wide[0] == 'b' && llen == 2);
  fd = open_buffer(NULL, out);
  CHECK(fd >= 0);
  CHECK(file_write("xy", 2, fd) == 2 && file_seek(fd, 0) == 0 && file_read(out, 2, fd) == 2);
  CHECK(file_close(fd) == 0);

  FreeErrorHeader(h);
  return 0;
}

static void c_enumerate(void* data, void* arg, int last) {
  (void)data;
  (void)last;
  ++*(int*)arg;
}

static void c_destroy(void* p) { (void)p; }

/* The rest of the earlier units, so that every exported name is called from
 * C at least once. Configuration calls touch only keys that do not exist. */
static int kysupp_c_earlier(mem_handle* pool) {
  ConfigHandle* cfg = open_registry();
  con_str cs, extra;
  char out[64], tok[16];
  char* cursor = NULL;
  SQLWCHAR wide[8];
  SQLLEN llen = 0;
  int32_t ilen = 0, y = 0, m = 0, d = 0, i32 = 0;
  int64_t i64 = 0;
  double dbl = 0;
  int16_t len = 0;
  int n = 0, a = 1, b = 2;
  List* list = NULL;
  void* blk;
  hash_table* table;
  hash_item* item;
  SQL_NUMERIC_STRUCT x, z;
  SQL_DATE_STRUCT d1, d2;
  SQL_TIME_STRUCT t1;
  SQL_TIMESTAMP_STRUCT ts1;
  SQL_INTERVAL_STRUCT iv;
  Value* cell;
  ky_stmt_node sn;

  /* Configuration */
  CHECK(cfg != NULL);
  CHECK(set_config(cfg, KY_CONFIG_DEFAULT_ROOT) == 0 && set_dsn(cfg, NULL) == 0);
  set_ini_function(cfg, NULL);
  CHECK(get_profile_string(cfg, 0, "kysupp-c-none", "k", "dflt", out, sizeof out) >= 0);
  CHECK(set_profile_string(cfg, 0, "kysupp-c-none", "k", "v") == -1 && registry_error(cfg) != NULL);
  CHECK(get_default(cfg, "kysupp_c_none", out, sizeof out) == 0);
  close_registry(cfg);

  /* Connection strings */
  init_con_str(&cs);
  init_con_str(&extra);
  CHECK(parse_connection_string(&cs, pool, "DSN=a;UID=u", KY_CONSTR_NTS, 0) == 0);
  CHECK(parse_connection_string(&extra, pool, "PWD=p", KY_CONSTR_NTS, 1) == 0);
  CHECK(append_pair(&cs, "X", "1", pool) == 0);
  CHECK(merge_connection_string(&cs, &extra, pool) == 0);
  CHECK(modify_connection_string(&cs, "X", "2", pool) == 0);
  CHECK(change_connection_string(&cs, "X", "Y", pool) == 0);
  CHECK(replace_connection_string(&cs, "Y", "Z", pool) == 0);
  CHECK(delete_connection_string(&cs, "Z", pool) == 0);
  CHECK(generate_connection_string_ex(&cs, out, sizeof out) != NULL);
  CHECK(strcmp(out, "DSN=a;UID=u;PWD=p;") == 0);
  CHECK(generate_connection_string_config(&cs, out, sizeof out) == out && strcmp(out, "DSN=a") == 0);

  /* Dates */
  CHECK(current_year() >= 2000 && current_month() >= 1 && current_day() >= 1);
  d1.year = 2000;
  d1.month = 1;
  d1.day = 1;
  d2 = d1;
  d2.day = 2;
  CHECK(date_compare(&d1, &d2) < 0);
  t1.hour = 1;
  t1.minute = 2;
  t1.second = 3;
  CHECK(time_compare(&t1, &t1) == 0);
  memset(&ts1, 0, sizeof ts1);
  CHECK(timestamp_compare(&ts1, &ts1) == 0);
  CHECK(jdnl_to_ymd(2451545, &y, &m, &d, KY_CALENDAR_AUTO) == 2000 && m == 1 && d == 1);
  CHECK(jdnl_to_dow(2451545) == 6);

  /* Hash tables */
  table = ky_make_hash_table(0);
  CHECK(ky_add_hash_item("gone", table) != NULL);
  item = ky_remove_hash_item("gone", table);
  CHECK(item != NULL);
  free(item);
  CHECK(ky_hash_key("a") == 97);
  ky_dispose_hash_table(table);

  /* Intervals */
  cell = NewValue(pool, 0);
  CHECK(cell != NULL);
  cell->value_type = KY_VT_INTERVAL_DS;
  cell->data.interval.interval_type = SQL_IS_DAY_TO_SECOND;
  CHECK(normalise_interval(90061, 0, cell) == 0 && cell->data.interval.intval.day_second.day == 1);
  CHECK(get_long_from_interval(cell, NULL) == 90061);
  iv = cell->data.interval;
  CHECK(interval_compare(&iv, &cell->data.interval) == 0);
  CHECK(interval_as_text(cell, out, sizeof out, 0) == 0 && strcmp(out, "1 01:01:01") == 0);

  /* Lists and nodes */
  list = ListAppend(&a, list, pool);
  list = ListAppend(&b, list, pool);
  CHECK(list != NULL && ListNext(ListFirst(list)) == ListLast(list));
  CHECK(ListPrior(ListLast(list)) == ListFirst(list));
  ListRewrite(ListLast(list), &a);
  ListEnumerate(list, c_enumerate, &n);
  CHECK(n == 2);
  CHECK(ListMerge(list, NULL) == list);
  CHECK(ListDelete(list, ListFirst(list), pool) != NULL && ListCount(list) == 1);
  CHECK(newNode(16, 400, pool) != NULL);
  sn.node_kind = 1;
  sn.select = &a;
  CHECK(extract_select(&sn) == &a);

  /* Locks and memory */
  CHECK(odbc_thread_init(0) == 0 && thread_term(0) == 0);
  ky_mem_trace_init();
  ky_mem_trace_term();
  blk = ky_mem_alloc(pool, 8);
  CHECK(blk != NULL && ky_mem_clone(pool, blk) == blk);
  ky_mem_free(pool, blk);
  ky_mem_free(pool, blk);
  ky_mem_free(pool, ky_mem_alloc_ex(pool, 8, c_destroy));

  /* Numerics */
  CHECK(int_to_numeric(-5, &x, 10, 1) == 0 && numeric_to_int(&x, &i32) == 0 && i32 == -5);
  CHECK(bigint_to_numeric(7, &z, 10, 0) == 0 && numeric_to_bigint(&z, &i64) == 0 && i64 == 7);
  CHECK(int_to_numeric_noscale(3, &z, 10) == 0 && bigint_to_numeric_noscale(3, &x, 10) == 0);
  CHECK(numeric_compare(&x, &z) == 0 && numeric_is_zero(&x) == 0);
  CHECK(add_numeric(&x, &z) == 0 && subtract_numeric(&x, &z) == 0 && mult_numeric(&x, &z) == 0);
  CHECK(div_numeric(&x, &z, NULL) == 0 && numeric_to_double(&x, &dbl) == 0 && dbl == 3.0);
  CHECK(double_to_numeric(1.5, &x, 10, 1) == 0 && create_numeric("2.345", &z, 10, 2) == 0);
  CHECK(numeric_to_string(&z, out, sizeof out, &llen) == 0 && strcmp(out, "2.34") == 0);

  /* Text */
  CHECK(copy_str_bufferi(out, sizeof out, &ilen, "abc") == 0 && ilen == 3);
  CHECK(copy_str_bufferl(out, sizeof out, &llen, "abcd") == 0 && llen == 4);
  CHECK(copy_nstr_bufferl(wide, 8, &llen, "\xE9") == 0 && wide[0] == 0xE9);
  out[0] = '\0';
  CHECK(cat_str_buffer(out, sizeof out, &len, "x") == 0 && cat_str_buffer(out, sizeof out, &len, "y") == 0);
  CHECK(strcmp(out, "xy") == 0 && string_compare("AB", "ab") == 0);
  CHECK(strcmp(string_duplicate("dup", pool), "dup") == 0);
  strcpy(tok, "a,b");
  CHECK(strcmp(safe_strtok(tok, ",", &cursor), "a") == 0 && strcmp(safe_strtok(NULL, ",", &cursor), "b") == 0);
  return 0;
}

int kysupp_c_smoke(void) {
  mem_handle* pool = ky_mem_alloc_handle(NULL);
  con_str cs;
  char out[64];
  int16_t len = 0;
  hash_table* table;
  hash_item* item;
  List* list = NULL;
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
  CHECK(kysupp_c_rest(pool) == 0);
  CHECK(kysupp_c_earlier(pool) == 0);
  ky_mem_release_handle(pool);
  return 0;
}
