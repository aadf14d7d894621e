// SQLite's extension loading stays off in the server process.
//
// The SQLite ODBC driver switches extension loading on for every connection,
// and offers no keyword or attribute to keep it off: a client could then make
// the server run any library with SELECT load_extension(...). The program
// exports this definition, which the driver's call binds to ahead of SQLite's
// own (the executable comes first in symbol lookup), so loading stays at
// SQLite's default: off, for the SQL function and the C interface alike.
// Nothing in the server loads extensions.
extern "C" __attribute__((visibility("default"))) int sqlite3_enable_load_extension(void* db, int onoff) {
  (void)db;
  (void)onoff;
  return 0;  // SQLITE_OK: the connection goes on, without extensions
}
