// SQLite's memory statistics, switched off for the server process.
#ifndef KYVEK_SERVER_PROCESS_SQLITE_MEMORY_H
#define KYVEK_SERVER_PROCESS_SQLITE_MEMORY_H

// With its memory statistics on (SQLite's default) every allocation and free
// of every SQLite connection in the process takes one process-wide mutex. The
// SQLite ODBC driver allocates per value, so the worker threads that serve
// several clients of a SQLite data source queue on that mutex, and more
// clients give fewer rows in all. The server reads none of the statistics.
// They can be switched off only before SQLite initialises, so the server loads
// SQLite (when it is installed) and switches them off before any target driver
// is loaded; a driver that links SQLite then finds it configured. The library
// stays loaded. Returns true when the statistics are off (false: no SQLite, or
// it had initialised already).
bool switch_off_sqlite_memory_statistics();

#endif
