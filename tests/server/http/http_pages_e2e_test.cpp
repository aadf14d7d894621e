// The administration pages against a running server: a console listener that
// starts its HTTP child (or a service and a separate httpd), with the pages
// driven by curl and the effects seen in the registry file, by RPC clients and
// by ODBC connections through the client driver.
#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "e2e_fixture.h"
#include "http_world.h"
#include "registry/registry.h"
#include "rpc_client.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using kyvek::e2e::Fixture;
using kyvek::e2e::Options;
using kyvek::e2e::Process;
using kyvek::e2e::RpcClient;

namespace {

using kyvek::http_test::has;

constexpr const char* kAdminPassword = kyvek::http_test::World::kAdminPassword;

// The shared world of the page tests, with what only these tests use.
struct World : kyvek::http_test::World {
  using kyvek::http_test::World::World;
  // A change posted with other curl arguments (credentials, headers) and,
  // unless given, the Origin of a page of this server.
  std::string post_as(const std::string& args, const std::string& path, const std::string& data,
                      const std::string& origin = "") const {
    std::string o = origin.empty() ? "http://127.0.0.1:" + std::to_string(http_port) : origin;
    return curl(args + " -H 'Origin: " + o + "' --data '" + with_token(data) + "' " + url(path));
  }
  // A picture of the page that is no blank: a blank page compresses to a few
  // kilobytes; the header, the buttons and the text make it several times that.
  void screenshot(const std::string& name, const std::string& path) {
    fs::path png = kyvek::http_test::World::screenshot(name, path, "1000,1300");
    ASSERT_FALSE(png.empty()) << "no picture of " << path;
    EXPECT_GT(fs::file_size(png), 8000u);
  }
  // Whether the listener refuses a fresh link by its access lists.
  bool rpc_refused() const {
    int fd = kyvek::e2e::connect_loopback(f.port());
    if (fd < 0) return false;
    std::string got = kyvek::e2e::read_all(fd, 700);
    ::close(fd);
    return has(got, "Client denied access due to access control rule.");
  }
};

// One ODBC connection through the client driver; the SQLSTATE of the failure
// ("" on success).
std::string odbc_connect(const Fixture& f) {
  f.apply_env();
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  std::string in = f.client_connection_string();
  SQLRETURN rc =
      SQLDriverConnect(dbc, nullptr, (SQLCHAR*)in.c_str(), SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
  std::string state;
  if (SQL_SUCCEEDED(rc)) {
    SQLDisconnect(dbc);
  } else {
    SQLCHAR s[6] = "";
    SQLINTEGER native = 0;
    SQLCHAR msg[512];
    SQLSMALLINT len = 0;
    SQLGetDiagRec(SQL_HANDLE_DBC, dbc, 1, s, &native, msg, sizeof msg, &len);
    state = reinterpret_cast<char*>(s);
    if (state.empty()) state = "failed";
  }
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  return state;
}

std::string setting_line(const std::string& registry, const std::string& name) {
  size_t p = registry.find("\"" + name + "\"=");
  if (p == std::string::npos) return "<absent>";
  return registry.substr(p, registry.find('\n', p) - p);
}

TEST(HttpPages, ConfigurationIsCheckedThenStoredAndReRead) {
  Options o;
  o.flags = 0x8003;  // Authentication_Disabled, the HTTP child, AllowDSNBrowse
  World w(o);
  ASSERT_TRUE(w.start_with_child());
  std::string view = w.get("/configuration.html");
  EXPECT_TRUE(has(view, "<tr><td>HTTPAdmin</td><td>admin</td></tr>")) << view;
  EXPECT_TRUE(has(view, "<tr><td>Timeout</td><td>Not Found</td></tr>"));
  EXPECT_TRUE(has(view, "<tr><td>AllowDSNBrowse</td><td><img src=\"tick_sm.gif\" alt=\"on\"></td></tr>"));
  std::string form = w.admin("/config_change_f.html");
  EXPECT_TRUE(has(form, "<input type=\"checkbox\" name=\"AllowDSNBrowse\" value=\"1\" checked>"));
  EXPECT_TRUE(has(form, "<input type=\"hidden\" name=\"Flags\" value=\"boxes\">"));

  fs::create_directories(w.f.dir() / "newlog");
  const std::string before = w.registry();
  struct Bad {
    std::string data;
    std::string message;
  } bad[] = {
      {"Port=0", "Value: 0 for Port is out of range.<br>min=1 max=65535"},
      {"Port=100000", "Value: 100000 for Port is out of range.<br>min=1 max=65535"},
      {"Port=12ab", "Value: 12ab for Port is invalid"},
      {"Port=-1", "Value: -1 for Port is invalid"},
      {"NetRCVBUF=-2", "Value: -2 for NetRCVBUF is out of range.<br>min=-1 max=0"},
      {"ListenBacklog=101", "Value: 101 for ListenBacklog is out of range.<br>min=1 max=100"},
      {"LogDir=/no/such/dir", "/no/such/dir for LogDir does not exist"},
      {"HTTPAdmin=", " for HTTPAdmin is invalid as it is too short a string value"},
      {"HTTPAdmin=" + std::string(100, 'a'), " for HTTPAdmin is invalid as it is too long"},
      {"IPAddress=10.0.0", "10.0.0 for IPAddress is not a valid IP/Network address"},
      {"Path=/tmp", "/tmp for Path is read-only"},
      {"Bogus=1", "Internal Error: Invalid Form Field name Bogus"},
      {"MultiProcess=2", "Value: 2 for MultiProcess is invalid"},
      // A later bad field stops the whole post: the good one before it is not written either.
      {"RetryCount=7&Port=0", "Value: 0 for Port is out of range"},
      {"HTTPAdmin=%3Cscript%3E&Port=0", "Value: 0 for Port"},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.data);
    std::string page = w.post("/config_change_s.cgi", b.data);
    EXPECT_TRUE(has(page, b.message)) << page;
    EXPECT_FALSE(has(page, "<script>"));
  }
  EXPECT_EQ(w.registry(), before);
  std::string get = w.admin("/config_change_s.cgi?Port=9");
  EXPECT_TRUE(has(get, "HTTP/1.1 405")) << get;

  std::string ok = w.post("/config_change_s.cgi",
                          "Port=0x50&NetRCVBUF=-1&ListenBacklog=100&LogDir=" + (w.f.dir() / "newlog").string() +
                              "%5C&Timeout=Not+Found&Flags=boxes&Authentication_Disabled=1&AllowDSNBrowse=1&"
                              "HideSensitive=1&x=3&y=4");
  EXPECT_TRUE(has(ok, "Configurable Parameters changed OK")) << ok;
  EXPECT_FALSE(has(ok, "has not read them yet")) << ok;
  std::string reg = w.registry();
  EXPECT_EQ(setting_line(reg, "Port"), "\"Port\"=\"0x50\"");
  // -1 is NetRCVBUF's default: posted as the form showed it, nothing is written.
  EXPECT_EQ(setting_line(reg, "NetRCVBUF"), "<absent>");
  EXPECT_EQ(setting_line(reg, "ListenBacklog"), "\"ListenBacklog\"=\"100\"");
  EXPECT_EQ(setting_line(reg, "LogDir"), "\"LogDir\"=\"" + (w.f.dir() / "newlog").string() + "\"");
  EXPECT_EQ(setting_line(reg, "Timeout"), "<absent>");
  // Bit 0x2 has no box and keeps its value.
  EXPECT_EQ(setting_line(reg, "Flags"), "\"Flags\"=\"0x8013\"");
  // HideSensitive now hides the administrator's name and the Authentication_Disabled row.
  view = w.get("/configuration.html");
  EXPECT_TRUE(has(view, "<tr><td>HTTPAdmin</td><td><img src=\"hidden_eye.gif\" alt=\"(Hidden Field)\"></td></tr>"));
  EXPECT_FALSE(has(view, "Authentication_Disabled"));
  // Unticking every box clears the named bits; 0x2 stays.
  EXPECT_TRUE(has(w.post("/config_change_s.cgi", "Flags=boxes"), "changed OK"));
  EXPECT_EQ(setting_line(w.registry(), "Flags"), "\"Flags\"=\"0x2\"");
}

TEST(HttpPages, AccessRulesReachTheRunningListener) {
  Options o;
  o.flags = 0x8003;
  World w(o);
  ASSERT_TRUE(w.start_with_child());
  ASSERT_FALSE(w.rpc_refused());

  std::string page = w.post("/access_change_s.cgi", "deny=127.0.0.1");
  EXPECT_TRUE(has(page, "Access Update Successful")) << page;
  EXPECT_FALSE(has(page, "has not read them yet")) << page;
  EXPECT_EQ(setting_line(w.registry(), "DenyList"), "\"DenyList\"=\" 127.0.0.1\"");
  EXPECT_TRUE(w.rpc_refused());
  std::string again = w.post("/access_change_s.cgi", "deny=127.0.0.1");
  EXPECT_TRUE(has(again, "HTTP/1.1 422")) << again;
  EXPECT_TRUE(has(again, "Item 127.0.0.1 not added to list - already exists"));
  for (const char* bad : {"allow=10.0.0", "allow=10.0.0.300", "allow=%3Cb%3E"}) {
    std::string r = w.post("/access_change_s.cgi", bad);
    EXPECT_TRUE(has(r, "HTTP/1.1 422")) << r;
    EXPECT_TRUE(has(r, "<TITLE>Invalid IP</TITLE>"));
    EXPECT_FALSE(has(r, "Invalid address <b>"));
  }
  EXPECT_TRUE(has(w.post("/access_change_s.cgi", "deny=11.2.3.4"), "Successful"));
  std::string view = w.get("/access_control.html");
  // Removal is a small button that posts the address with the form token.
  EXPECT_TRUE(has(view, "<form id=\"remove_address\" action=\"/access_remove_s.cgi\" method=post><input "
                        "type=\"hidden\" name=\"token\" value=\"")) << view;
  EXPECT_TRUE(has(view, "<button type=\"submit\" class=\"remove\" form=\"remove_address\" name=\"deny\" "
                        "value=\"127.0.0.1\" title=\"Remove 127.0.0.1\">127.0.0.1 <img")) << view;
  EXPECT_FALSE(has(view, "href=\"/access_remove_s.cgi"));
  // Removing 1.2.3.4 would not touch 11.2.3.4; removing 127.0.0.1 admits the client again.
  EXPECT_TRUE(has(w.post("/access_remove_s.cgi", "deny=1.2.3.4"), "Successful"));
  EXPECT_TRUE(has(w.post("/access_remove_s.cgi", "deny=127.0.0.1"), "Successful"));
  EXPECT_EQ(setting_line(w.registry(), "DenyList"), "\"DenyList\"=\"11.2.3.4\"");
  EXPECT_FALSE(w.rpc_refused());

  // DSN rules: a rule for vekdb that denies 127.0.0.1 refuses the connect.
  ASSERT_EQ(odbc_connect(w.f), "");
  EXPECT_TRUE(has(w.post("/dsnaccess_change_s.html", "dsn=vekdb"), "Successful"));
  EXPECT_TRUE(has(w.post("/dsnaccess_change_s.html", "dsn=vekdb"), "DSN \"vekdb\" already specified"));
  EXPECT_TRUE(has(w.post("/dsnaccess_change_s.html", "dsn=other&dsn=third"), "Successful"));
  EXPECT_TRUE(has(w.post("/dsnaccess_change_s.html", "deny1=127.0.0.1&allow2=a&allow2=b"), "Successful"));
  for (const char* bad : {"allow9=x", "allowx=1", "allow1=a,b", "deny1=a|b", "dsn=x,y", "DSNACLx=1"}) {
    std::string r = w.post("/dsnaccess_change_s.html", bad);
    EXPECT_FALSE(has(r, "Successful")) << bad;
  }
  std::string reg = w.registry();
  EXPECT_EQ(setting_line(reg, "DSNACL"), "\"DSNACL\"=\"3\"");
  EXPECT_EQ(setting_line(reg, "DSNACL1"), "\"DSNACL1\"=\"vekdb,,127.0.0.1\"");
  EXPECT_EQ(setting_line(reg, "DSNACL2"), "\"DSNACL2\"=\"other,a|b,\"");
  EXPECT_EQ(setting_line(reg, "DSNACLx"), "<absent>");
  EXPECT_NE(odbc_connect(w.f), "");
  // Item removal and rule removal with renumbering.
  EXPECT_TRUE(has(w.post("/dsnaccess_remove_s.html", "allow2=a"), "Successful"));
  EXPECT_TRUE(has(w.post("/dsnaccess_remove_s.html", "dsn=vekdb"), "Successful"));
  EXPECT_FALSE(has(w.post("/dsnaccess_remove_s.html", "dsn=nosuch"), "Successful"));
  reg = w.registry();
  EXPECT_EQ(setting_line(reg, "DSNACL"), "\"DSNACL\"=\"2\"");
  EXPECT_EQ(setting_line(reg, "DSNACL1"), "\"DSNACL1\"=\"other,b,\"");
  EXPECT_EQ(setting_line(reg, "DSNACL2"), "\"DSNACL2\"=\"third,,\"");
  EXPECT_EQ(odbc_connect(w.f), "");

  // The statistics after those connections (a connection's DSN time is
  // counted when the listener reaps its worker).
  std::string index;
  for (int i = 0; i < 60 && !has(index, "<tr><td>vekdb</td><td>2</td>"); ++i) {
    if (i) std::this_thread::sleep_for(250ms);
    index = w.get("/index.html");
  }
  EXPECT_TRUE(has(index, "<tr><td>vekdb</td><td>2</td>")) << index;
  EXPECT_TRUE(has(index, "Total Connections</td><td>"));
  EXPECT_TRUE(has(w.get("/hosts.html"), "<tr><td>127.0.0.1</td>"));
}

TEST(HttpPages, PauseAndContinueTheServerService) {
  Options o;
  o.flags = 0x8001;
  World w(o);
  w.f.set_setting("Port", w.f.port_text());
  w.f.set_env("KYVEK_SERVICE", "1");
  ASSERT_TRUE(w.f.start_server({"standalone"}));
  w.f.set_env("KYVEK_SERVICE", "0");
  ASSERT_TRUE(w.start_httpd());
  std::string page;
  for (int i = 0; i < 50 && !has(page, "Running"); ++i) {
    page = w.get("/service_control.html");
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(has(page, "<td>Running</td><td><form action=\"/service_change.html\" method=post><input "
                        "type=\"hidden\" name=\"token\"")) << page;
  EXPECT_TRUE(has(page, "name=\"action\" value=\"pause\"")) << page;
  w.screenshot("service_running", "/service_control.html");
  EXPECT_TRUE(has(w.post("/service_change.html", "action=stop"), "Invalid request = expected get data"));
  EXPECT_TRUE(has(w.post("/service_change.html", "action=%3Cb%3E"), "and got action=&lt;b&gt;"));
  EXPECT_TRUE(has(w.post("/service_change.html", ""), "Expected some get data - none found (location 6908)"));
  EXPECT_TRUE(has(w.post("/service_change.html", "action=pause"), "Service pause"));
  for (int i = 0; i < 50 && !has(page, "Paused"); ++i) {
    page = w.get("/service_control.html");
    std::this_thread::sleep_for(200ms);
  }
  EXPECT_TRUE(has(page, "<td>Paused</td><td><form action=\"/service_change.html\"")) << page;
  EXPECT_TRUE(has(page, "name=\"action\" value=\"continue\"")) << page;
  auto waiting = std::async(std::launch::async, [&] {
    RpcClient c;
    return c.connect(w.f.port()) && c.logon_sequence("anyone", "x") == 0;
  });
  EXPECT_EQ(waiting.wait_for(1500ms), std::future_status::timeout);
  EXPECT_TRUE(has(w.post("/service_change.html", "action=continue"), "Service continue"));
  ASSERT_EQ(waiting.wait_for(15s), std::future_status::ready);
  EXPECT_TRUE(waiting.get());
  EXPECT_TRUE(has(w.get("/index.html"), "VEK ODBC Server Service (x64)</a> : Running"));
}

TEST(HttpPages, DataSourceBrowsingAndExport) {
  Options o;
  o.flags = 0xA003;  // AllowDBBrowse, AllowDSNBrowse
  o.settings["Timeout"] = "a\\b\"c";
  World w(o);
  std::string rows = "create table t(id integer, name text); create table \"odd<t>\"(x);";
  for (int i = 1; i <= 25; ++i)
    rows += "insert into t values(" + std::to_string(i) + ", 'row " + std::to_string(i) + "');";
  rows += "insert into t values(99, '" + std::string(60, 'x') + "'); insert into t values(100, 'a<b');";
  ASSERT_TRUE(w.f.exec_sqlite(rows));
  ASSERT_TRUE(w.start_with_child());

  std::string list = w.get("/data_sources.html");
  EXPECT_TRUE(has(list, "<tr><td><a href=\"/dsn.html?dsn=vekdb\">vekdb</a></td>")) << list;
  std::string ask = w.get("/dsn.html?dsn=vekdb");
  EXPECT_TRUE(has(ask, "HTTP/1.1 401")) << ask;
  EXPECT_TRUE(has(ask, "WWW-Authenticate: Basic realm=\"KYVEKServer\""));
  EXPECT_TRUE(has(w.curl("-u someone:pw " + w.url("/dsn.html?dsn=vekdb")), "HTTP/1.1 401"));
  const std::string u = std::string("-u admin:") + kAdminPassword + " ";
  std::string tables = w.curl(u + w.url("/dsn.html?dsn=vekdb"));
  EXPECT_TRUE(has(tables, "<a href=\"/dsn.html?dsn=vekdb&table=t\">t</a>")) << tables;
  EXPECT_TRUE(has(tables, "<a href=\"/dsn.html?dsn=vekdb&table=odd%3Ct%3E\">odd&lt;t&gt;</a>"));
  EXPECT_TRUE(has(w.curl(u + w.url("/dsn.html?dsn=vekdb&table=t")), "<td>name</td>"));
  std::string page2 = w.curl(u + w.url("/dsn.html?dsn=vekdb&table=t&display=11"));
  EXPECT_TRUE(has(page2, "<td>row 11</td>") && has(page2, "<td>row 20</td>") && !has(page2, "<td>row 21</td>"))
      << page2;
  EXPECT_TRUE(has(page2, "display=21\"><img src=\"/btn_next.gif\""));
  EXPECT_TRUE(has(page2, "display=1\"><img src=\"/btn_previous.gif\""));
  std::string page1 = w.curl(u + w.url("/dsn.html?dsn=vekdb&table=t&display=5"));
  EXPECT_FALSE(has(page1, "btn_previous.gif"));
  std::string last = w.curl(u + w.url("/dsn.html?dsn=vekdb&table=t&display=21"));
  EXPECT_TRUE(has(last, "<td>" + std::string(49, 'x') + "</td>")) << last;
  EXPECT_TRUE(has(last, "<td>a&lt;b</td>"));
  EXPECT_FALSE(has(last, "btn_next.gif"));
  // Names that are no table of the data source, and data sources that are not defined, go nowhere.
  for (const char* bad :
       {"/dsn.html?dsn=vekdb&table=t%3BDROP%20TABLE%20t&display=1",
        "/dsn.html?dsn=vekdb&table=t%22%20union%20select%201--&display=1",
        "/dsn.html?dsn=x%3BDRIVER%3D%2Ftmp%2Fevil.so", "/dsn.html?dsn=vekdb%3BSAVEFILE%3D%2Ftmp%2Fx"}) {
    std::string r = w.curl(u + w.url(bad));
    EXPECT_FALSE(has(r, "<td>row 1</td>")) << bad;
    EXPECT_TRUE(has(r, "is not a")) << r;
  }
  ASSERT_TRUE(w.f.exec_sqlite("select count(*) from t;"));

  // The export: the same lines in the file (0600) and the page, read back by the key store.
  std::string page = w.post("/op_config.html", "");
  fs::path file = w.f.dir() / "log" / "vek.reg";
  ASSERT_TRUE(fs::exists(file)) << page;
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  std::string text = Fixture::read_file(file);
  EXPECT_EQ(text.rfind("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n", 0), 0u) << text;
  EXPECT_TRUE(has(text, "\"Timeout\"=\"a\\\\b\\\"c\"\r\n")) << text;
  EXPECT_TRUE(has(page, "<br>&quot;Timeout&quot;=&quot;a\\\\b\\&quot;c&quot;")) << page;
  EXPECT_TRUE(has(page, "Configuration written to "));
  ::setenv("KYVEK_REGISTRY", file.c_str(), 1);
  kyvek::registry::Key key;
  ASSERT_TRUE(kyvek::registry::Key::open("SOFTWARE\\Kyronde Vekamar\\Configuration\\System\\Settings",
                                         kyvek::registry::Access::kRead, &key)
                  .ok());
  std::string timeout;
  ASSERT_TRUE(key.read_value("Timeout", &timeout).ok());
  EXPECT_EQ(timeout, "a\\b\"c");
  ::unsetenv("KYVEK_REGISTRY");
}

TEST(HttpPages, AuditPagesAndGraph) {
  World w(Options{});
  fs::copy_file(Fixture::program("vek_plot"), w.f.dir() / "vek_plot");
  // Lines of 64 bytes: 256 lines fill one page exactly.
  auto line = [](int i) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "Thu, 10 Dec 2026 %02d:%02d:13 UTC CONNECT db(u%05d) from 10.0.0.1 \n", 10 + i % 5,
                  i % 60, i);
    return std::string(buf);
  };
  std::string trail;
  for (int i = 0; i < 600; ++i) trail += line(i);
  ASSERT_EQ(line(0).size(), 64u);
  fs::path log = w.f.dir() / "log";
  { std::ofstream(log / "kyvek_access.log") << trail; }
  { std::ofstream(log / "kyvek_access_01_02_2020.log") << trail.substr(0, 16384); }
  { std::ofstream(log / "kyvek_access_15_01_2021.log") << line(1); }
  ASSERT_TRUE(w.start_httpd());

  std::string p0 = w.admin("/audit.html?page=0&date=0");
  EXPECT_TRUE(has(p0, "(u00000)")) << p0;
  EXPECT_FALSE(has(p0, "(u00258)"));
  EXPECT_TRUE(has(p0, "audit.html?page=1&date=0\"><img src=\"btn_next.gif\""));
  size_t newer = p0.find("kyvek_access_15_01_2021"), older = p0.find("kyvek_access_01_02_2020");
  EXPECT_TRUE(newer != std::string::npos && older != std::string::npos && newer < older) << p0;
  std::string p1 = w.admin("/audit.html?page=1&date=0");
  EXPECT_TRUE(has(p1, "<font size=\"-1\">" + line(256).substr(0, 60))) << p1;
  EXPECT_FALSE(has(p1, "kyvek_access_15_01_2021"));
  // A file of exactly one page: no next link, an end link to page 1.
  std::string exact = w.admin("/audit.html?page=0&date=_01_02_2020");
  EXPECT_FALSE(has(exact, "btn_next.gif")) << exact;
  EXPECT_TRUE(has(exact, "audit.html?page=1&date=_01_02_2020\"><img src=\"btn_end.gif\""));
  EXPECT_TRUE(
      has(w.admin("/audit.html?page=9&date=0"),
          "Invalid page number 9 - the audit file is only 38400 bytes long and pages are 16384 bytes in length"));
  for (const char* bad : {"/audit.html?page=-1&date=0", "/audit.html?page=0&date=_123456789012345678901234567890123",
                          "/audit.html?page=0&date=/../../registry.reg", "/audit.html?page=1x&date=0"})
    EXPECT_TRUE(has(w.admin(bad), "is invalid")) << bad;

  std::string graph = w.admin("/graph.png");
  EXPECT_TRUE(has(graph, "Content-Type: image/png\r\n")) << graph.substr(0, 300);
  std::string png = graph.substr(graph.find("\r\n\r\n") + 4);
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_GT(png.size(), 2000u);
  EXPECT_TRUE(has(w.admin("/graph.png?audit=kyvek_access_01_02_2020.log&unit=minutes"), "image/png"));
  std::ofstream(w.f.dir() / "victim.png") << "keep";
  for (const char* bad : {"/graph.png?audit=../registry.reg", "/graph.png?audit=../victim",
                          "/graph.png?audit=%2Fetc%2Fpasswd", "/graph.png?audit=kyvek_access_x.log"})
    EXPECT_TRUE(has(w.admin(bad), "HTTP/1.1 404")) << bad;
  EXPECT_TRUE(fs::exists(w.f.dir() / "victim.png"));
  EXPECT_TRUE(fs::exists(w.f.registry_path()));
  for (const auto& e : fs::directory_iterator(log)) EXPECT_NE(e.path().extension(), ".png") << e.path();
  // The page and the screenshot a person can look at.
  fs::path shots = fs::path(std::getenv("KYVEK_BINARY_DIR")) / "http-screenshots";
  fs::create_directories(shots);
  std::ofstream(shots / "graph.png", std::ios::binary) << png;
}

// Headless Chromium loads the main pages of a running server; the pictures stay
// in the build directory (http-screenshots) for a person to look at.
TEST(HttpPages, PagesRenderInChromium) {
  Options o;
  o.flags = 0xA003;
  // Entries whose removal buttons show on the access page.
  o.settings["AllowList"] = "127.0.0.1 10.0.0.0/255.0.0.0";
  o.settings["DenyList"] = "10.9.9.9";
  o.settings["DSNACL"] = "1";
  o.settings["DSNACL1"] = "vekdb,127.0.0.1|10.1.1.1,10.2.2.2";
  World w(o);
  {
    std::ofstream(w.f.dir() / "log" / "kyvek_access.log")
        << "Thu, 10 Dec 2026 10:00:13 UTC CONNECT vekdb(u) from 127.0.0.1\n";
  }
  ASSERT_TRUE(w.start_with_child());
  const std::pair<const char*, const char*> pages[] = {{"index", "/index.html"},
                                                       {"statistics", "/hosts.html"},
                                                       {"configuration", "/configuration.html"},
                                                       {"change", "/config_change_f.html"},
                                                       {"access_control", "/access_control.html"},
                                                       {"data_sources", "/data_sources.html"},
                                                       {"audit", "/audit.html?page=0&date=0"},
                                                       {"service", "/service_control.html"}};
  for (const auto& [name, path] : pages) {
    SCOPED_TRACE(name);
    w.screenshot(name, path);
  }
}

// Browsing connects as a client of the listener would: its address lists and
// DSN rules refuse, with their events and audit lines.
TEST(HttpPages, BrowsingFollowsTheListenersRules) {
  Options o;
  o.flags = 0xA043;  // AuditODBCAccess, browsing on
  o.settings["DSNACL"] = "1";
  o.settings["DSNACL1"] = "vekdb,,127.0.0.1";
  World w(o);
  ASSERT_TRUE(w.f.exec_sqlite("create table t(id integer); insert into t values(42);"));
  ASSERT_TRUE(w.start_with_child());
  std::string refused = w.admin("/dsn.html?dsn=vekdb&table=t&display=1");
  EXPECT_TRUE(has(refused, "HTTP/1.1 403")) << refused;
  EXPECT_TRUE(has(refused, "denied access to DSN vekdb due to access control rule")) << refused;
  EXPECT_FALSE(has(refused, "<td>42</td>"));
  w.f.set_setting("DSNACL1", "vekdb,,10.0.0.1");
  w.f.set_setting("DenyList", "127.0.0.1");
  std::string denied = w.admin("/dsn.html?dsn=vekdb&table=t&display=1");
  EXPECT_TRUE(has(denied, "Client denied access due to access control rule.")) << denied;
  w.f.set_setting("DenyList", "");
  EXPECT_TRUE(has(w.admin("/dsn.html?dsn=vekdb&table=t&display=1"), "<td>42</td>"));
  // A wrong password is a refused logon: event and audit line.
  EXPECT_TRUE(has(w.curl("-u admin:wrong " + w.url("/dsn.html?dsn=vekdb")), "HTTP/1.1 401"));
  std::string audit = Fixture::read_file(w.f.dir() / "log" / "kyvek_access.log");
  EXPECT_TRUE(has(audit, "REFUSED_BY_DSN_RULE vekdb(admin)")) << audit;
  EXPECT_TRUE(has(audit, "REFUSED_BY_RULE 127.0.0.1(unknown)")) << audit;
  EXPECT_TRUE(has(audit, "AUTH_DENIED 127.0.0.1(user_admin)")) << audit;
  EXPECT_TRUE(w.f.wait_event("127.0.0.1 (user 'admin', HTTP administration pages)"));
}

TEST(HttpPages, BrowsingSwitchedOff) {
  Options o;
  o.flags = 0x0003;
  World w(o);
  ASSERT_TRUE(w.start_with_child());
  EXPECT_TRUE(has(w.get("/data_sources.html"), "<p>DSN listing is currently disabled"));
  EXPECT_TRUE(has(w.admin("/dsn.html?dsn=vekdb"), "<p>DB Browsing is currently disabled"));
}

// The pages that change, pause, browse, export or read the trail, with the
// form data of a change.
struct AdminPage {
  const char* path;
  const char* data;  // nullptr: a page that only shows
};
const AdminPage kAdminPages[] = {
    {"/config_change_s.cgi", "Port=9"},
    {"/access_change_s.cgi", "deny=10.1.1.1"},
    {"/access_remove_s.cgi", "deny=10.9.9.9"},
    {"/dsnaccess_change_s.html", "dsn=vekdb"},
    {"/dsnaccess_remove_s.html", "dsn=other"},
    {"/service_change.html", "action=pause"},
    {"/op_config.html", "export=1"},
    {"/config_change_f.html", nullptr},
    {"/dsn.html?dsn=vekdb", nullptr},
    {"/audit.html?page=0&date=0", nullptr},
    {"/graph.png", nullptr},
    {"/internal.html", nullptr},
};

// HTTPAdmin "disabled", as the package ships it: the pages show the server but
// change, pause, browse and export nothing, not even for the loopback.
TEST(HttpPages, WithoutAnAdministratorThePagesOnlyShow) {
  Options o;
  o.flags = 0xA003;  // AllowDBBrowse, AllowDSNBrowse, the HTTP child, Authentication_Disabled
  o.settings["HTTPAdmin"] = "disabled";
  o.settings["DenyList"] = "10.9.9.9";
  o.settings["DSNACL"] = "1";
  o.settings["DSNACL1"] = "other,,";
  World w(o);
  fs::copy_file(Fixture::program("vek_plot"), w.f.dir() / "vek_plot");
  std::ofstream(w.f.dir() / "log" / "kyvek_access.log") << "Thu, 10 Dec 2026 10:00:13 UTC CONNECT x(u) from 1.2.3.4\n";
  ASSERT_TRUE(w.start_with_child());
  const std::string before = w.registry();
  for (const auto& p : kAdminPages) {
    SCOPED_TRACE(p.path);
    std::string answers[] = {w.get(p.path), w.post_as("", p.path, p.data ? p.data : "x=1"),
                             w.curl("-u root:x " + w.url(p.path))};
    for (const auto& a : answers) {
      EXPECT_TRUE(has(a, "HTTP/1.1 403")) << a;
      EXPECT_TRUE(has(a, "name an administrator in the HTTPAdmin setting")) << a;
    }
  }
  EXPECT_EQ(w.registry(), before);
  EXPECT_FALSE(fs::exists(w.f.dir() / "log" / "vek.reg"));
  for (const char* view : {"/", "/index.html", "/hosts.html", "/information.html", "/configuration.html",
                           "/access_control.html", "/service_control.html", "/data_sources.html"}) {
    std::string page = w.get(view);
    EXPECT_TRUE(has(page, "HTTP/1.1 200")) << view << "\n" << page;
    // Valid HTML: every no-break space ends with its semicolon.
    for (size_t at = page.find("&nbsp"); at != std::string::npos; at = page.find("&nbsp", at + 1))
      EXPECT_EQ(page.substr(at, 6), "&nbsp;") << view;
  }
}

// With an administrator named, a change needs that user's password.
TEST(HttpPages, ChangesNeedTheAdministratorsPassword) {
  Options o;
  o.flags = 0xA003;
  o.pam_users = {{"clerk", "clerk-pw"}};
  World w(o);
  ASSERT_TRUE(w.start_with_child());
  const std::string before = w.registry();
  for (const auto& p : kAdminPages) {
    SCOPED_TRACE(p.path);
    for (const char* who : {"", "-u admin:wrong ", "-u clerk:clerk-pw "}) {
      std::string a = p.data ? w.post_as(who, p.path, p.data) : w.curl(who + w.url(p.path));
      EXPECT_TRUE(has(a, "HTTP/1.1 401")) << who << "\n" << a;
      size_t first = a.find("Cache-Control:");
      EXPECT_TRUE(first != std::string::npos && a.find("Cache-Control:", first + 1) == std::string::npos) << a;
    }
  }
  EXPECT_EQ(w.registry(), before);

  // With the right password: a change is a POST from a page of this server
  // with its form token; anything else is refused and changes nothing.
  const std::string admin = std::string("-u admin:") + kAdminPassword + " ";
  for (const auto& p : kAdminPages) {
    if (!p.data || std::string(p.path) == "/service_change.html") continue;
    SCOPED_TRACE(p.path);
    std::string get = w.curl(admin + w.url(std::string(p.path) + "?" + w.with_token(p.data)));
    EXPECT_TRUE(has(get, "HTTP/1.1 405")) << get;
    std::string other = w.post_as(admin, p.path, p.data, "http://evil.example");
    EXPECT_TRUE(has(other, "HTTP/1.1 403")) << other;
    EXPECT_TRUE(has(other, "does not come from a page of this server")) << other;
    std::string no_token = w.curl(admin + "-H 'Origin: http://127.0.0.1:" + std::to_string(w.http_port) +
                                  "' --data '" + p.data + "' " + w.url(p.path));
    EXPECT_TRUE(has(no_token, "HTTP/1.1 403")) << no_token;
    std::string forged = w.curl(admin + "-H 'Origin: http://127.0.0.1:" + std::to_string(w.http_port) +
                                "' --data '" + p.data + "&token=" + std::string(32, '0') + "' " + w.url(p.path));
    EXPECT_TRUE(has(forged, "HTTP/1.1 403")) << forged;
    std::string no_origin = w.curl(admin + "--data '" + w.with_token(p.data) + "' " + w.url(p.path));
    EXPECT_TRUE(has(no_origin, "HTTP/1.1 403")) << no_origin;
  }
  EXPECT_EQ(w.registry(), before);
  EXPECT_FALSE(fs::exists(w.f.dir() / "log" / "vek.reg"));
  // Refusals are events (repeats of one event id are folded: the first is logged).
  EXPECT_TRUE(w.f.wait_event("Refused GET to /config_change_s.cgi from 127.0.0.1: this page changes the server"));
  // A Referer of this server stands for a missing Origin.
  std::string referred = w.curl(admin + "-H 'Referer: http://127.0.0.1:" + std::to_string(w.http_port) +
                                "/access_control.html' --data '" + w.with_token("deny=10.2.2.2") + "' " +
                                w.url("/access_change_s.cgi"));
  EXPECT_TRUE(has(referred, "Access Update Successful")) << referred;
  EXPECT_TRUE(has(w.post("/access_change_s.cgi", "deny=10.1.1.1"), "Access Update Successful"));
  EXPECT_EQ(setting_line(w.registry(), "DenyList"), "\"DenyList\"=\" 10.2.2.2 10.1.1.1\"");
}

}  // namespace
