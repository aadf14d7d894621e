/* An ODBC 2 application: the whole life cycle with the ODBC 2 functions only,
 * one line of output per answer, so that runs can be compared line by line.
 * It calls the functions of the library it is given: the client driver itself
 * (no Driver Manager) or the unixODBC Driver Manager.
 *
 *   odbc2_app <library> <connection string> <table>
 *
 * Exit status 0 when every step ran (the answers are in the output), 2 when
 * the library or a function is missing, 3 when the connection failed. */
#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define FUNCTIONS(X)                                                                                                \
  X(SQLAllocEnv, (SQLHENV*))                                                                                        \
  X(SQLAllocConnect, (SQLHENV, SQLHDBC*))                                                                           \
  X(SQLAllocStmt, (SQLHDBC, SQLHSTMT*))                                                                             \
  X(SQLDriverConnect, (SQLHDBC, SQLHWND, SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT, SQLSMALLINT*, SQLUSMALLINT)) \
  X(SQLSetConnectOption, (SQLHDBC, SQLUSMALLINT, SQLULEN))                                                          \
  X(SQLGetConnectOption, (SQLHDBC, SQLUSMALLINT, SQLPOINTER))                                                       \
  X(SQLSetStmtOption, (SQLHSTMT, SQLUSMALLINT, SQLULEN))                                                            \
  X(SQLGetStmtOption, (SQLHSTMT, SQLUSMALLINT, SQLPOINTER))                                                         \
  X(SQLExecDirect, (SQLHSTMT, SQLCHAR*, SQLINTEGER))                                                                \
  X(SQLNumResultCols, (SQLHSTMT, SQLSMALLINT*))                                                                     \
  X(SQLColAttributes, (SQLHSTMT, SQLUSMALLINT, SQLUSMALLINT, SQLPOINTER, SQLSMALLINT, SQLSMALLINT*, SQLLEN*))       \
  X(SQLFetch, (SQLHSTMT))                                                                                           \
  X(SQLGetData, (SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLPOINTER, SQLLEN, SQLLEN*))                                 \
  X(SQLParamOptions, (SQLHSTMT, SQLULEN, SQLULEN*))                                                                 \
  X(SQLSetScrollOptions, (SQLHSTMT, SQLUSMALLINT, SQLLEN, SQLUSMALLINT))                                            \
  X(SQLError, (SQLHENV, SQLHDBC, SQLHSTMT, SQLCHAR*, SQLINTEGER*, SQLCHAR*, SQLSMALLINT, SQLSMALLINT*))             \
  X(SQLFreeStmt, (SQLHSTMT, SQLUSMALLINT))                                                                          \
  X(SQLTransact, (SQLHENV, SQLHDBC, SQLUSMALLINT))                                                                  \
  X(SQLDisconnect, (SQLHDBC))                                                                                       \
  X(SQLFreeConnect, (SQLHDBC))                                                                                      \
  X(SQLFreeEnv, (SQLHENV))

#define DECLARE(name, args) static SQLRETURN(SQL_API* p_##name) args;
FUNCTIONS(DECLARE)

static SQLHENV env;
static SQLHDBC dbc;
static SQLHSTMT stmt;

/* The message without the bracketed vendor prefixes, which differ by road. */
static const char* bare(const char* msg) {
  const char* end = strrchr(msg, ']');
  return end ? end + 1 : msg;
}

/* Walks the statement's records with SQLError until there are no more, then
 * once more: the walk starts over. */
static void errors(const char* what) {
  for (int i = 0; i < 10; ++i) {
    SQLCHAR state[6] = "", msg[512] = "";
    SQLINTEGER native = 0;
    SQLSMALLINT len = 0;
    SQLRETURN rc = p_SQLError(env, dbc, stmt, state, &native, msg, sizeof msg, &len);
    if (rc == SQL_NO_DATA_FOUND) {
      printf("%s: no more records, state %s, message \"%s\"\n", what, (char*)state, (char*)msg);
      break;
    }
    printf("%s: rc %d state %s\n", what, rc, (char*)state);
    if (i == 0 && strlen((char*)msg) != (size_t)len) printf("%s: message length %d is wrong\n", what, len);
  }
  SQLCHAR state[6] = "";
  SQLCHAR msg[512] = "";
  SQLINTEGER native = 0;
  SQLRETURN rc = p_SQLError(env, dbc, stmt, state, &native, msg, sizeof msg, NULL);
  printf("%s: again rc %d state %s%s\n", what, rc, (char*)state, rc == SQL_SUCCESS ? bare((char*)msg) : "");
}

static void rows(const char* what, SQLCHAR* query) {
  SQLRETURN rc = p_SQLExecDirect(stmt, query, SQL_NTS);
  printf("%s: execute %s\n", what, SQL_SUCCEEDED(rc) ? "ok" : "failed");
  if (!SQL_SUCCEEDED(rc)) {
    errors(what);
    return;
  }
  SQLSMALLINT count = 0;
  p_SQLNumResultCols(stmt, &count);
  SQLLEN n = -1;
  rc = p_SQLColAttributes(stmt, 1, SQL_COLUMN_COUNT, NULL, 0, NULL, &n);
  printf("%s: columns %d, SQL_COLUMN_COUNT rc %d value %ld\n", what, count, rc, (long)n);
  for (SQLUSMALLINT c = 1; c <= count; ++c) {
    char name[64] = "";
    SQLSMALLINT name_len = 0;
    SQLLEN type = 0, nullable = -1;
    p_SQLColAttributes(stmt, c, SQL_COLUMN_NAME, name, sizeof name, &name_len, NULL);
    p_SQLColAttributes(stmt, c, SQL_COLUMN_TYPE, NULL, 0, NULL, &type);
    p_SQLColAttributes(stmt, c, SQL_COLUMN_NULLABLE, NULL, 0, NULL, &nullable);
    printf("%s: column %u name %s (%d) type %ld nullable %ld\n", what, c, name, name_len, (long)type, (long)nullable);
  }
  while ((rc = p_SQLFetch(stmt)) == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO) {
    printf("%s: row", what);
    for (SQLUSMALLINT c = 1; c <= count; ++c) {
      char value[128] = "";
      SQLLEN ind = 0;
      p_SQLGetData(stmt, c, SQL_C_CHAR, value, sizeof value, &ind);
      printf(" %s", ind == SQL_NULL_DATA ? "NULL" : value);
    }
    printf("\n");
  }
  printf("%s: fetch ended with %d\n", what, rc);
  p_SQLFreeStmt(stmt, SQL_CLOSE);
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: odbc2_app <library> <connection string> <table>\n");
    return 2;
  }
  setvbuf(stdout, NULL, _IOLBF, 0);
  /* Kept loaded to the end, so that a leak report can name its library. */
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!lib) {
    fprintf(stderr, "%s\n", dlerror());
    return 2;
  }
#define LOAD(name, args)                                  \
  p_##name = (SQLRETURN(SQL_API*) args)dlsym(lib, #name); \
  if (!p_##name) {                                        \
    fprintf(stderr, "%s is missing\n", #name);            \
    return 2;                                             \
  }
  FUNCTIONS(LOAD)

  printf("alloc env %d\n", p_SQLAllocEnv(&env));
  printf("alloc connect %d\n", p_SQLAllocConnect(env, &dbc));
  /* Cached before the connection exists; sent when it is made. */
  printf("set autocommit off %d\n", p_SQLSetConnectOption(dbc, SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_OFF));
  SQLCHAR out[1024];
  SQLSMALLINT out_len = 0;
  SQLRETURN rc =
      p_SQLDriverConnect(dbc, NULL, (SQLCHAR*)argv[2], SQL_NTS, out, sizeof out, &out_len, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    SQLCHAR state[6] = "", msg[512] = "";
    SQLINTEGER native = 0;
    p_SQLError(env, dbc, NULL, state, &native, msg, sizeof msg, NULL);
    fprintf(stderr, "connect failed: %d %s %s\n", rc, (char*)state, (char*)msg);
    return 3;
  }
  printf("connected\n");
  SQLUINTEGER autocommit = 99;
  rc = p_SQLGetConnectOption(dbc, SQL_AUTOCOMMIT, &autocommit);
  printf("autocommit rc %d value %u\n", rc, (unsigned)autocommit);
  printf("alloc stmt %d\n", p_SQLAllocStmt(dbc, &stmt));

  /* A statement option set on the connection: the target decides whether its
   * statements take it. */
  printf("set max rows on the connection %d\n", p_SQLSetConnectOption(dbc, SQL_MAX_ROWS, 2));
  SQLULEN spread = 0;
  rc = p_SQLGetStmtOption(stmt, SQL_MAX_ROWS, &spread);
  printf("statement max rows rc %d value %lu\n", rc, (unsigned long)spread);

  char query[256];
  snprintf(query, sizeof query, "SELECT id, name, born FROM %s ORDER BY id", argv[3]);
  rows("select", (SQLCHAR*)query);

  /* A statement option reaches the statement: one row at most. */
  printf("set max rows %d\n", p_SQLSetStmtOption(stmt, SQL_MAX_ROWS, 1));
  SQLULEN max_rows = 0;
  rc = p_SQLGetStmtOption(stmt, SQL_MAX_ROWS, &max_rows);
  printf("max rows rc %d value %lu\n", rc, (unsigned long)max_rows);
  rows("limited", (SQLCHAR*)query);
  p_SQLSetStmtOption(stmt, SQL_MAX_ROWS, 0);

  /* A failing statement: its records one per SQLError call. */
  rows("bad", (SQLCHAR*)"SELEC nothing FROM nowhere");

  SQLULEN processed = 0;
  printf("param options %d\n", p_SQLParamOptions(stmt, 1, &processed));

  /* Scroll options: a keyset smaller than the rowset, an unknown
   * concurrency, and a forward-only read-only cursor. */
  rc = p_SQLSetScrollOptions(stmt, SQL_CONCUR_READ_ONLY, 10, 20);
  printf("scroll keyset 10 rowset 20 rc %d\n", rc);
  if (rc != SQL_SUCCESS) errors("scroll");
  rc = p_SQLSetScrollOptions(stmt, 99, SQL_SCROLL_FORWARD_ONLY, 1);
  printf("scroll concurrency 99 rc %d\n", rc);
  if (rc != SQL_SUCCESS) errors("concurrency");
  rc = p_SQLSetScrollOptions(stmt, SQL_CONCUR_READ_ONLY, SQL_SCROLL_FORWARD_ONLY, 1);
  printf("scroll forward only rc %d\n", rc);

  /* Autocommit is off: the insert is undone by the rollback. */
  snprintf(query, sizeof query, "INSERT INTO %s (id, name) VALUES (99, 'gone')", argv[3]);
  rc = p_SQLExecDirect(stmt, (SQLCHAR*)query, SQL_NTS);
  printf("insert %s\n", SQL_SUCCEEDED(rc) ? "ok" : "failed");
  p_SQLFreeStmt(stmt, SQL_CLOSE);
  printf("rollback %d\n", p_SQLTransact(env, dbc, SQL_ROLLBACK));
  snprintf(query, sizeof query, "SELECT id, name, born FROM %s WHERE id = 99", argv[3]);
  rows("after rollback", (SQLCHAR*)query);
  printf("commit %d\n", p_SQLTransact(env, dbc, SQL_COMMIT));

  printf("free stmt %d\n", p_SQLFreeStmt(stmt, SQL_DROP));
  printf("disconnect %d\n", p_SQLDisconnect(dbc));
  printf("free connect %d\n", p_SQLFreeConnect(dbc));
  printf("free env %d\n", p_SQLFreeEnv(env));
  return 0;
}
