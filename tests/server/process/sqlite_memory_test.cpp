// The server switches SQLite's memory statistics off before any target driver
// loads SQLite: afterwards SQLite counts no memory (the count is what takes
// the process-wide mutex on every allocation), and once SQLite has started the
// switch is refused rather than silently ignored.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>

#include "sqlite_memory.h"

namespace {

TEST(SqliteMemory, StatisticsOffBeforeSqliteStarts) {
  ASSERT_TRUE(switch_off_sqlite_memory_statistics()) << "SQLite (libsqlite3.so.0) must be installed";
  void* lib = ::dlopen("libsqlite3.so.0", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(lib, nullptr);
  auto open = reinterpret_cast<int (*)(const char*, void**)>(::dlsym(lib, "sqlite3_open"));
  auto exec = reinterpret_cast<int (*)(void*, const char*, void*, void*, char**)>(::dlsym(lib, "sqlite3_exec"));
  auto close = reinterpret_cast<int (*)(void*)>(::dlsym(lib, "sqlite3_close"));
  auto status = reinterpret_cast<int (*)(int, int64_t*, int64_t*, int)>(::dlsym(lib, "sqlite3_status64"));
  ASSERT_TRUE(open && exec && close && status);
  void* db = nullptr;
  ASSERT_EQ(open(":memory:", &db), 0);
  ASSERT_EQ(exec(db, "CREATE TABLE t(x); INSERT INTO t VALUES (randomblob(10000));", nullptr, nullptr, nullptr), 0);
  int64_t used = -1, highest = -1;
  ASSERT_EQ(status(0 /* SQLITE_STATUS_MEMORY_USED */, &used, &highest, 0), 0);
  EXPECT_EQ(used, 0);
  EXPECT_EQ(highest, 0);
  EXPECT_FALSE(switch_off_sqlite_memory_statistics());  // started: too late
  close(db);
  ::dlclose(lib);
}

}  // namespace
