// Test fixture of the server's record tests: a private directory with
// odbcinst.ini and odbc.ini for the SQLite ODBC driver on a file database
// (ODBCSYSINI, ODBCINI), a private registry file for Flags (KYVEK_REGISTRY),
// and a helper that plays one client link (its handle registry bound to the
// calling thread, cleaned up as the link's terminate callback would).
#pragma once

#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "handle_alloc.h"
#include "handlers.h"
#include "kyrpc.h"
#include "net_connection.h"
#include "handle_registry.h"
#include "record_lists.h"
#include "server_diag.h"
#include "server_records.h"

#include "server_policy.h"
#ifdef KYTEST_HAVE_SETTINGS
#include "settings.h"
#include "worker.h"
#endif

namespace kytest {

inline const char* kSqliteDriver = "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";

// One private directory per test binary.
class OdbcDir {
 public:
  static OdbcDir& get() {
    static OdbcDir dir;
    return dir;
  }
  const std::string& path() const { return path_; }
  std::string dsn_string() const { return "DSN=testdsn;"; }

  // Points KYVEK_REGISTRY at a fresh file holding this Flags word.
  void set_flags(uint32_t flags) {
    std::string file = path_ + "/registry" + std::to_string(++generation_) + ".reg";
    std::ofstream reg(file);
    reg << "REGEDIT4\n\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kyronde Vekamar\\Configuration\\System\\Settings]\n"
        << "\"Flags\"=\"" << flags << "\"\n"
        << "\"LogDir\"=\"" << path_ << "\"\n";
    reg.close();
    setenv("KYVEK_REGISTRY", file.c_str(), 1);
#ifdef KYTEST_HAVE_SETTINGS
    // The process's own policy: Flags come from the registry file.
    worker_install_server_policy();
    uint32_t word = ~0u;
    ASSERT_EQ(read_flags_setting(&word), 0);
    ASSERT_EQ(word, flags);
#else
    // Without the server process the word is handed over directly.
    flags_ = flags;
    static const veks_server_policy policy = [] {
      veks_server_policy p = *veks_server_policy_get();
      p.read_flags = [](uint32_t* w) {
        *w = get().flags_;
        return 0;
      };
      return p;
    }();
    veks_set_server_policy(&policy);
#endif
  }

 private:
  OdbcDir() {
    char tmpl[] = "/tmp/kyvek-records-XXXXXX";
    path_ = mkdtemp(tmpl);
    write(path_ + "/odbcinst.ini", std::string("[SQLite3]\nDriver=") + kSqliteDriver + "\n");
    write(path_ + "/odbc.ini", "[testdsn]\nDriver=SQLite3\nDatabase=" + path_ + "/test.db\n");
    setenv("ODBCSYSINI", path_.c_str(), 1);
    setenv("ODBCINI", (path_ + "/odbc.ini").c_str(), 1);
    set_flags(0);
    // Held open for the whole run: the driver keeps allocations in its
    // globals, which would read as leaks once unixODBC unloads it.
    driver_lib_ = dlopen(kSqliteDriver, RTLD_NOW);
    installer_lib_ = dlopen("libodbcinst.so.2", RTLD_NOW);
  }
  ~OdbcDir() { std::filesystem::remove_all(path_); }
  static void write(const std::string& file, const std::string& text) {
    std::ofstream f(file);
    f << text;
  }
  std::string path_;
  int generation_ = 0;
  uint32_t flags_ = 0;
  void* driver_lib_ = nullptr;
  void* installer_lib_ = nullptr;
};

// One client link: its handle registry, bound to this thread while in use.
class Link {
 public:
  Link() : reg_(veks_registry_create()) { bind(); }
  ~Link() { end(); }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  void bind() { veks_registry_bind(reg_); }
  veks_handle_registry* registry() const { return reg_; }
  // What the link's terminate callback does when the client goes away.
  void end() {
    if (reg_ != nullptr) veks_link_cleanup(reg_);
    reg_ = nullptr;
  }

  environment_t* env(int32_t version = 3) {
    void* out = nullptr;
    EXPECT_TRUE(SQL_SUCCEEDED(sql_alloc_handle(nullptr, version, SQL_HANDLE_ENV, nullptr, &out)));
    auto* e = static_cast<environment_t*>(out);
    if (e != nullptr && version != 2) {
      SQLSetEnvAttr(e->driver_env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    }
    return e;
  }
  connection_t* dbc(environment_t* e, int32_t version = 3) {
    void* out = nullptr;
    EXPECT_TRUE(SQL_SUCCEEDED(sql_alloc_handle(nullptr, version, SQL_HANDLE_DBC, e, &out)));
    return static_cast<connection_t*>(out);
  }
  // A connection record connected to the test DSN.
  connection_t* connected(environment_t* e) {
    connection_t* c = dbc(e);
    if (c == nullptr) return nullptr;
    std::string cs = OdbcDir::get().dsn_string();
    SQLRETURN rc = SQLDriverConnect(c->driver_dbc, nullptr, (SQLCHAR*)cs.c_str(), SQL_NTS, nullptr, 0, nullptr,
                                    SQL_DRIVER_NOPROMPT);
    EXPECT_TRUE(SQL_SUCCEEDED(rc)) << "connect failed";
    c->connected = 1;
    return c;
  }
  statement_t* stmt(connection_t* c, int32_t version = 3) {
    void* out = nullptr;
    EXPECT_TRUE(SQL_SUCCEEDED(sql_alloc_handle(nullptr, version, SQL_HANDLE_STMT, c, &out)));
    return static_cast<statement_t*>(out);
  }

 private:
  veks_handle_registry* reg_;
};

// Runs SQL on a driver statement; fails the test on error.
inline void exec(SQLHSTMT h, const std::string& sql) {
  SQLRETURN rc = SQLExecDirect(h, (SQLCHAR*)sql.c_str(), SQL_NTS);
  EXPECT_TRUE(SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA) << sql;
  SQLFreeStmt(h, SQL_CLOSE);
}

// Binds column 1 (SQL_C_LONG) of the statement's ARD as a one-row server
// array, the way the binding handlers do.
inline void bind_one_row(statement_t* s, bool separate_indicator) {
  descriptor_t* ard = s->implicit_desc[DESC_ARD];
  descriptor_record_t* r = veks_expand_desc_recs(ard, 1);
  ASSERT_NE(r, nullptr);
  r->concise_type = SQL_C_LONG;
  r->octet_length = 4;
  r->data = calloc(1, 4);
  r->data_alloc_len = 4;
  r->element_size = 4;
  r->octet_length_array = static_cast<SQLLEN*>(calloc(1, sizeof(SQLLEN)));
  r->indicator = separate_indicator ? static_cast<SQLLEN*>(calloc(1, sizeof(SQLLEN))) : r->octet_length_array;
  r->row_capacity = 1;
  ard->record_count = 1;
  ASSERT_TRUE(SQL_SUCCEEDED(SQLBindCol(s->driver_stmt, 1, SQL_C_LONG, r->data, 4, r->octet_length_array)));
}

class RecordsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OdbcDir::get();
    OdbcDir::get().set_flags(0);
  }
};

}  // namespace kytest
