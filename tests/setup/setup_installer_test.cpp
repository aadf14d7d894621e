// ConfigDSN and ConfigDriver as the ODBC installer reaches them: the driver's
// odbcinst.ini template registered with `odbcinst -i -d -f`, then
// SQLConfigDataSource without a window adds, configures and removes a data
// source in a private odbc.ini, and the driver connects through what was
// saved to a real server that checks the stored logon password. No display
// is needed and no application object is made.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <odbcinst.h>
#include <sql.h>
#include <sqlext.h>

#include <QCoreApplication>

#include <cstdlib>
#include <fstream>
#include <string>

#include "e2e_fixture.h"
#include "setup_test_util.h"

namespace kyvek::setup {
namespace {

using e2e::Fixture;
using e2e::Options;
using setup_test::ini_map;
using setup_test::installer_errors;

using Pairs = std::vector<std::pair<unsigned long, std::string>>;

std::string list_of(std::initializer_list<std::string> items) {
  std::string s;
  for (const auto& i : items) s += i + '\0';
  return s + '\0';
}

// "secret" disguised with the LOGONAUTH key: the stored bytes the driver reads.
constexpr const char* kSecretLogonAuth = "1497C3DFA30D";

// One private world for the whole program: the installer library keeps the
// configuration directory it first saw for the life of the process.
class ConfigDsnTest : public ::testing::Test {
 protected:
  static Options options() {
    Options o;
    o.flags = 0x8000;  // the server checks the logon
    o.pam_users = {{"nobody", "secret"}};
    o.world_accessible = true;
    return o;
  }

  static void SetUpTestSuite() {
    fx_ = new Fixture(options());
    fx_->apply_env();
    // Any attempt to make an application object would abort on this platform.
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    ::setenv("QT_QPA_PLATFORM", "kyvek-no-such-platform", 1);
    registered_ = register_template();
    server_ = fx_->start_server();
  }
  static void TearDownTestSuite() {
    delete fx_;
    fx_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(registered_);
    ASSERT_TRUE(server_) << Fixture::read_file(fx_->server().err);
    ASSERT_TRUE(SQLSetConfigMode(ODBC_USER_DSN));
  }

  // The shipped template with the build's libraries, registered by
  // the installer's own tool in place of the fixture's entry.
  static bool register_template() {
    std::string text = Fixture::read_file(std::getenv("KYVEK_SETUP_TEMPLATE"));
    std::string lib = std::string(std::getenv("KYVEK_BINARY_DIR")) + "/lib";
    const std::pair<std::string, std::string> values[] = {{"@KYVEK_ODBC_DRIVER_NAME@", "Kyvek"},
                                                          {"@KYVEK_ODBCINST_DRIVER@", lib + "/libkyvekcnt.so"},
                                                          {"@KYVEK_ODBCINST_SETUP@", lib + "/libkyvekset.so"},
                                                          {"@KYVEK_FULL_DATADIR@", fx_->dir().string()}};
    for (const auto& [name, value] : values)
      for (size_t p; (p = text.find(name)) != std::string::npos;) text.replace(p, name.size(), value);
    auto file = fx_->dir() / "kyvek-odbcinst.ini";
    std::ofstream(file) << text;
    if (std::system("odbcinst -u -d -n Kyvek >/dev/null") != 0) return false;
    std::string cmd = "odbcinst -i -d -f '" + file.string() + "' >/dev/null";
    if (std::system(cmd.c_str()) != 0) return false;
    auto kyvek = ini_map(Fixture::read_file(fx_->dir() / "odbc" / "odbcinst.ini"), "Kyvek");
    return kyvek["Setup"] == lib + "/libkyvekset.so";
  }

  // Empties the installer's error records (any installer call does).
  static void clear_errors() {
    UWORD mode = 0;
    SQLGetConfigMode(&mode);
  }

  std::string user_ini() const { return Fixture::read_file(fx_->dir() / "odbc" / "user-odbc.ini"); }
  std::map<std::string, std::string> section(const std::string& name) const { return ini_map(user_ini(), name); }

  BOOL config(WORD request, const std::string& attrs) {
    return SQLConfigDataSource(nullptr, request, "Kyvek", attrs.c_str());
  }

  // Connects through the Driver Manager with the stored data source.
  SQLRETURN connect_dsn(const std::string& dsn, std::string* dbms) {
    SQLHENV env = nullptr;
    SQLHDBC dbc = nullptr;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    std::string in = "DSN=" + dsn + ";";
    SQLRETURN rc =
        SQLDriverConnect(dbc, nullptr, (SQLCHAR*)in.c_str(), SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    if (SQL_SUCCEEDED(rc)) {
      char name[64] = {};
      SQLSMALLINT len = 0;
      SQLGetInfo(dbc, SQL_DBMS_NAME, name, sizeof name, &len);
      *dbms = name;
      SQLDisconnect(dbc);
    }
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return rc;
  }

  static inline Fixture* fx_ = nullptr;
  static inline bool registered_ = false;
  static inline bool server_ = false;
};

TEST_F(ConfigDsnTest, SilentAddConfigureAndRemoveThroughTheInstaller) {
  ASSERT_TRUE(config(ODBC_ADD_DSN,
                     list_of({"DSN=setupdsn", "DESCRIPTION=made without a dialog", "SERVER=127.0.0.1",
                              "PORT=" + fx_->port_text(), "TARGETDSN=vekdb", "LOGONUSER=nobody", "LOGONAUTH=secret"})))
      << installer_errors().size();
  EXPECT_EQ(QCoreApplication::instance(), nullptr);
  auto s = section("setupdsn");
  EXPECT_EQ(s["Driver"], "Kyvek");
  EXPECT_EQ(s["SERVERPORT"], "127.0.0.1:" + fx_->port_text());
  EXPECT_EQ(s["LOGONAUTH"], kSecretLogonAuth);
  EXPECT_EQ(user_ini().find("secret"), std::string::npos);

  // The driver reads the saved section, decodes the password, and the server
  // accepts the logon.
  std::string dbms;
  EXPECT_EQ(connect_dsn("setupdsn", &dbms), SQL_SUCCESS);
  EXPECT_EQ(dbms, "SQLite");

  // Configure: the given value changes, the stored ones stay (the password
  // is decoded and disguised again), keys of no use are gone.
  ASSERT_TRUE(SQLWritePrivateProfileString("setupdsn", "PORT", "1", "odbc.ini"));
  ASSERT_TRUE(config(ODBC_CONFIG_DSN, list_of({"DSN=setupdsn", "DESCRIPTION=changed"})));
  s = section("setupdsn");
  EXPECT_EQ(s["DESCRIPTION"], "changed");
  EXPECT_EQ(s["LOGONAUTH"], kSecretLogonAuth);
  EXPECT_EQ(s.count("PORT"), 0u);
  EXPECT_EQ(connect_dsn("setupdsn", &dbms), SQL_SUCCESS);

  // Refused silently: FALSE with the installer error, and the section as it was.
  const std::string before = user_ini();
  const struct {
    const char* what;
    std::string attrs;
    Pairs errors;
  } refusals[] = {
      {"line break",
       list_of({"DSN=setupdsn", "DESCRIPTION=x\nDRIVER=/tmp/evil.so"}),
       {{8, "DSN names and values cannot contain line breaks"}}},
      {"long password",
       list_of({"DSN=setupdsn", "LOGONAUTH=" + std::string(128, 'p')}),
       {{8, "Passwords cannot be longer than 127 characters"}}},
      {"bad servers", list_of({"DSN=setupdsn", "SERVERPORT=h"}), {{8, "Server must be server:port[,server:port...]"}}},
      {"bad port",
       list_of({"DSN=setupdsn", "SERVERPORT=h:99999"}),
       {{8, "Server must be server:port[,server:port...]"}}},
      {"item without =", list_of({"DSN=setupdsn", "DESCRIPTION"}), {{7, "Invalid lpszAttributes"}}},
  };
  for (const auto& r : refusals) {
    SCOPED_TRACE(r.what);
    EXPECT_FALSE(config(ODBC_CONFIG_DSN, r.attrs));
    EXPECT_EQ(installer_errors(), r.errors);
    EXPECT_EQ(user_ini(), before);
  }

  ASSERT_TRUE(config(ODBC_REMOVE_DSN, list_of({"DSN=setupdsn"})));
  EXPECT_TRUE(section("setupdsn").empty());
  EXPECT_EQ(QCoreApplication::instance(), nullptr);
}

TEST_F(ConfigDsnTest, RequestErrors) {
  const struct {
    const char* what;
    WORD request;
    std::string attrs;
    Pairs errors;
  } cases[] = {
      {"configure, empty list", ODBC_CONFIG_DSN, list_of({}), {{7, "Invalid lpszAttributes"}}},
      {"configure, unknown DSN", ODBC_CONFIG_DSN, list_of({"DSN=nosuch"}), {{8, "DSN not found"}}},
      {"configure, no DSN", ODBC_CONFIG_DSN, list_of({"DESCRIPTION=x"}), {{8, "DSN not found"}}},
      {"remove, no DSN",
       ODBC_REMOVE_DSN,
       list_of({"DESCRIPTION=x"}),
       {{7, "Invalid DSN specified to ODBC_REMOVE_DSN"}}},
      {"add, invalid name",
       ODBC_ADD_DSN,
       list_of({"DSN=bad]name"}),
       {{8, "Invalid DSN specified (fails SQLValidDSN)"}}},
      {"add, no name", ODBC_ADD_DSN, list_of({"DESCRIPTION=x"}), {{8, "Invalid DSN specified (fails SQLValidDSN)"}}},
      // The installer keeps its own settings and its list of data sources in
      // these sections: neither is a data source.
      {"add, ODBC", ODBC_ADD_DSN, list_of({"DSN=ODBC"}), {{8, "Invalid DSN specified (fails SQLValidDSN)"}}},
      {"add, ODBC Data Sources",
       ODBC_ADD_DSN,
       list_of({"DSN=ODBC Data Sources"}),
       {{8, "Invalid DSN specified (fails SQLValidDSN)"}}},
      {"add, odbc data sources",
       ODBC_ADD_DSN,
       list_of({"DSN=odbc data sources"}),
       {{8, "Invalid DSN specified (fails SQLValidDSN)"}}},
      {"configure, ODBC", ODBC_CONFIG_DSN, list_of({"DSN=odbc"}), {{8, "Invalid DSN specified (fails SQLValidDSN)"}}},
      {"remove, ODBC Data Sources",
       ODBC_REMOVE_DSN,
       list_of({"DSN=ODBC Data Sources"}),
       {{7, "Invalid DSN specified to ODBC_REMOVE_DSN"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(config(c.request, c.attrs));
    EXPECT_EQ(installer_errors(), c.errors);
  }
  EXPECT_EQ(user_ini().find("DESCRIPTION"), std::string::npos);
  EXPECT_TRUE(section("ODBC").empty()) << user_ini();

  // The same library entered directly, for what the installer would not pass on.
  void* lib = dlopen(std::getenv("KYVEK_SETUP_LIBRARY_PATH"), RTLD_NOW);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto config_dsn = reinterpret_cast<BOOL (*)(HWND, WORD, LPCSTR, LPCSTR)>(dlsym(lib, "ConfigDSN"));
  auto config_driver =
      reinterpret_cast<BOOL (*)(HWND, WORD, LPCSTR, LPCSTR, LPSTR, WORD, WORD*)>(dlsym(lib, "ConfigDriver"));
  ASSERT_TRUE(config_dsn && config_driver);
  clear_errors();
  EXPECT_FALSE(config_dsn(nullptr, 9, "Kyvek", list_of({"DSN=x"}).c_str()));
  EXPECT_EQ(installer_errors(), (Pairs{{5, "Invalid type of request"}}));
  clear_errors();
  EXPECT_FALSE(config_dsn(nullptr, ODBC_ADD_DSN, "Kyvek", nullptr));
  EXPECT_EQ(installer_errors(), (Pairs{{8, "Invalid DSN specified (fails SQLValidDSN)"}}));

  char message[5] = {'x', 'x', 'x', 'x', 'x'};
  WORD length = 0;
  EXPECT_TRUE(config_driver(nullptr, ODBC_INSTALL_DRIVER, "", "", message, sizeof message, &length));
  EXPECT_STREQ(message, "Kyro");
  EXPECT_EQ(length, 15);
  char untouched[2] = {'x', 'x'};
  EXPECT_TRUE(config_driver(nullptr, ODBC_REMOVE_DRIVER, "", "", untouched, 0, &length));
  EXPECT_EQ(untouched[0], 'x');
  clear_errors();
  EXPECT_FALSE(config_driver(nullptr, 3, "", "", nullptr, 0, nullptr));
  EXPECT_EQ(installer_errors(), (Pairs{{5, "Invalid type of request"}}));
  EXPECT_EQ(QCoreApplication::instance(), nullptr);
}

// A host without a display is refused, never aborted: no application object.
TEST_F(ConfigDsnTest, DialogsWithoutADisplayFailCleanly) {
  ::unsetenv("QT_QPA_PLATFORM");
  struct Restore {
    ~Restore() { ::setenv("QT_QPA_PLATFORM", "kyvek-no-such-platform", 1); }
  } restore;
  void* lib = dlopen(std::getenv("KYVEK_SETUP_LIBRARY_PATH"), RTLD_NOW);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto prompt = reinterpret_cast<int (*)(int32_t, char*, char*, int32_t)>(dlsym(lib, "vek_prompt_logon"));
  ASSERT_NE(prompt, nullptr);
  char user[256] = "u", password[256] = "p";
  EXPECT_EQ(prompt(0, user, password, 256), -1);
  EXPECT_STREQ(user, "u");
  int window = 0;
  EXPECT_FALSE(SQLConfigDataSource(reinterpret_cast<HWND>(&window), ODBC_ADD_DSN, "Kyvek", list_of({"DSN=x"}).c_str()));
  EXPECT_EQ(installer_errors(), (Pairs{{11, "Cannot show the DSN dialog: no display"}}));
  EXPECT_EQ(QCoreApplication::instance(), nullptr);
}

}  // namespace
}  // namespace kyvek::setup
