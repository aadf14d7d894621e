// Request parsing, responses, credentials and templates of the administration
// server, driven from raw bytes and a private templates folder.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "config_store.h"
#include "http_internal.h"

namespace fs = std::filesystem;
using namespace kyvek::http;

namespace {

std::string field(const http_request& r, const char* name) {
  const std::string* v = r.field(name);
  return v ? *v : "<none>";
}

// Everything the peer end of a socket pair holds, after the writer closed.
std::string read_peer(int fd) {
  std::string all;
  char buf[8192];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) all.append(buf, static_cast<size_t>(n));
  return all;
}

TEST(HttpParse, RequestTable) {
  struct Case {
    std::string raw;
    int rc;
    int status;
    const char* uri;
    const char* file;
    const char* query;
    const char* version;
  } cases[] = {
      {"get /a?b=%41+c HTTP/1.1\r\n\r\n", 0, 200, "/a", "\\a", "b=%41+c", "HTTP/1.1"},
      {"GET /index.html HTTP/1.0\r\n\r\n", 0, 200, "/index.html", "\\index.html", "<none>", "HTTP/1.0"},
      {"POST /x\r\n\r\n", 0, 200, "/x", "\\x", "<none>", "<none>"},
      {"GET /? HTTP/1.1\r\n\r\n", 0, 200, "/", "\\", "<none>", "HTTP/1.1"},
      {"HEAD / HTTP/1.1\r\n\r\n", -1, 501, "", "", "<none>", "<none>"},
      {"DELETE / HTTP/1.1\r\n\r\n", -1, 501, "", "", "<none>", "<none>"},
      {"OPTIONS / HTTP/1.1\r\n\r\n", -1, 405, "", "", "<none>", "<none>"},
      {"BREW / HTTP/1.1\r\n\r\n", -1, 405, "", "", "<none>", "<none>"},
      {"GET\r\n\r\n", -1, 400, "", "", "<none>", "<none>"},
      {"GET /cut", -1, 400, "", "", "<none>", "<none>"},
      {"", -1, 400, "", "", "<none>", "<none>"},
      {std::string("GET /a\0b HTTP/1.1\r\n\r\n", 22), 0, 200, nullptr, nullptr, "<none>", "HTTP/1.1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.raw);
    http_request r;
    EXPECT_EQ(parse_request(c.raw.data(), c.raw.size(), r), c.rc);
    EXPECT_EQ(r.status, c.status);
    if (c.rc != 0) continue;
    if (c.uri) {
      EXPECT_EQ(r.uri, c.uri);
      EXPECT_EQ(r.file, c.file);
    }
    EXPECT_EQ(r.query.value_or("<none>"), c.query);
    EXPECT_EQ(r.version.value_or("<none>"), c.version);
  }
  http_request r;
  std::string nul("GET /a\0b HTTP/1.1\r\n\r\n", 22);
  ASSERT_EQ(parse_request(nul.data(), nul.size(), r), 0);
  EXPECT_EQ(r.uri, std::string("/a\0b", 4));
}

TEST(HttpParse, HeaderFields) {
  std::string raw =
      "GET / HTTP/1.1\r\n"
      "Accept: a\r\n"
      "X-Unknown: dropped\r\n"
      "ACCEPT: b\r\n"
      "\tc\r\n"
      "CONTENT-length: 12\r\n"
      "Host:\r\n"
      "\r\n"
      "name=a:b&c=d";
  http_request r;
  ASSERT_EQ(parse_request(raw.data(), raw.size(), r), 0);
  EXPECT_EQ(field(r, "accept"), " a, b,\tc");
  EXPECT_EQ(field(r, "Content-Length"), " 12");
  EXPECT_EQ(field(r, "host"), "");
  EXPECT_EQ(field(r, "x-unknown"), "<none>");
  EXPECT_TRUE(r.content_length_known);
  EXPECT_EQ(r.content_length, 12u);
  // A ':' in the body stays in the body.
  EXPECT_EQ(r.posted.value_or("<none>"), "name=a:b&c=d");

  struct Case {
    std::string headers;
    int rc;
    uint32_t length;
  } lengths[] = {
      {"Content-Length: 10\r\nContent-Length: 10\r\n", 0, 10},
      {"Content-Length: 10\r\nContent-Length: 11\r\n", -1, 0},
      {"Content-Length: 12ab\r\n", 0, 0},
      {"Content-Length: 4294967295\r\n", 0, 0},
      {"Content-Length: 4294967294\r\n", 0, 4294967294u},
      {"Content-Length: -1\r\n", 0, 0},
  };
  for (const auto& c : lengths) {
    SCOPED_TRACE(c.headers);
    std::string req = "POST /x HTTP/1.1\r\n" + c.headers + "\r\n";
    http_request q;
    EXPECT_EQ(parse_request(req.data(), req.size(), q), c.rc);
    if (c.rc == 0) {
      EXPECT_EQ(q.content_length, c.length);
    } else {
      EXPECT_EQ(q.status, 400);
    }
  }

  // A request cut in the middle of a header keeps what arrived.
  std::string cut = "GET / HTTP/1.1\r\nHost: exa";
  http_request c;
  ASSERT_EQ(parse_request(cut.data(), cut.size(), c), 0);
  EXPECT_EQ(field(c, "host"), " exa");
  EXPECT_FALSE(c.posted.has_value());

  std::string many = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 101; ++i) many += "A: b\r\n";
  many += "\r\n";
  http_request m;
  EXPECT_EQ(parse_request(many.data(), many.size(), m), -1);
  EXPECT_EQ(m.status, 400);
}

TEST(HttpParse, UrlDecodingAndFormFields) {
  struct Case {
    const char* in;
    bool ok;
    const char* out;
  } cases[] = {
      {"b=%41+c", true, "b=A c"}, {"%zz", true, "%zz"},   {"%2541", true, "%41"}, {"%4", true, "%4"},
      {"%", true, "%"},           {"a\r\nb", true, "ab"}, {"%00", false, ""},     {"%e2%82%ac", true, "\xe2\x82\xac"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    std::string s = c.in;
    EXPECT_EQ(urlunencode(s), c.ok);
    if (c.ok) {
      EXPECT_EQ(s, c.out);
    }
  }

  form_fields f;
  ASSERT_EQ(split_form_fields("x=10&y=20&action=pause", f), 0);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].name, "action");
  EXPECT_EQ(f[0].value, "pause");
  // Encoded separators are data, and a value is decoded once.
  ASSERT_EQ(split_form_fields("a=%26b%3D1&c=%2541&d=", f), 0);
  ASSERT_EQ(f.size(), 3u);
  EXPECT_EQ(f[0].value, "&b=1");
  EXPECT_EQ(f[1].value, "%41");
  EXPECT_EQ(f[2].value, "");
  EXPECT_EQ(split_form_fields("noequals", f), -1);
  EXPECT_EQ(split_form_fields("", f), -1);
  EXPECT_EQ(split_form_fields("a=%00", f), -1);
}

TEST(HttpParse, PostedData) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  // The body arrives after the head, in two more packets.
  {
    std::string head = "POST /x HTTP/1.1\r\nContent-Length: 9\r\n\r\nab";
    http_request r;
    ASSERT_EQ(parse_request(head.data(), head.size(), r), 0);
    r.socket = sv[0];
    r.deadline = Clock::now() + std::chrono::seconds(5);
    ASSERT_EQ(::write(sv[1], "c=defg", 6), 6);
    ASSERT_EQ(::write(sv[1], "h", 1), 1);
    std::string body;
    ASSERT_EQ(read_posted_data(r, body), 0);
    EXPECT_EQ(body, "abc=defgh");
  }
  // A declared length at or over the capacity is refused before reading.
  {
    std::string head = "POST /x HTTP/1.1\r\nContent-Length: 4000000000\r\n\r\n";
    http_request r;
    ASSERT_EQ(parse_request(head.data(), head.size(), r), 0);
    r.socket = sv[0];
    std::string body;
    EXPECT_EQ(read_posted_data(r, body), -1);
    EXPECT_EQ(r.status, 413);
  }
  // First-read bytes over the capacity are refused too.
  {
    std::string head = "POST /x HTTP/1.1\r\n\r\n" + std::string(3000, 'a');
    http_request r;
    ASSERT_EQ(parse_request(head.data(), head.size(), r), 0);
    r.socket = sv[0];
    std::string body;
    EXPECT_EQ(read_posted_data(r, body), -1);
    EXPECT_EQ(r.status, 413);
  }
  // The peer closes before the body is complete: 400 at once, no hang.
  {
    std::string head = "POST /x HTTP/1.1\r\nContent-Length: 100\r\n\r\nabc";
    http_request r;
    ASSERT_EQ(parse_request(head.data(), head.size(), r), 0);
    r.socket = sv[0];
    r.deadline = Clock::now() + std::chrono::seconds(5);
    ::shutdown(sv[1], SHUT_WR);
    auto start = Clock::now();
    std::string body;
    EXPECT_EQ(read_posted_data(r, body), -1);
    EXPECT_EQ(r.status, 400);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  }
  ::close(sv[0]);
  ::close(sv[1]);
}

TEST(HttpResponse, StatusTexts) {
  struct Case {
    int status;
    const char* text;
  } cases[] = {{99, "500 Internal Server Error"},
               {100, "100 Continue"},
               {102, "102 Processing"},
               {103, "500 Internal Server Error"},
               {200, "200 OK"},
               {207, "207 Multi-Status"},
               {208, "500 Internal Server Error"},
               {307, "307 Temporary Redirect"},
               {418, "418 unused"},
               {424, "424 Failed Dependency"},
               {425, "500 Internal Server Error"},
               {501, "501 Method Not Implemented"},
               {510, "510 Not Extended"},
               {511, "500 Internal Server Error"},
               {599, "500 Internal Server Error"},
               {600, "500 Internal Server Error"}};
  for (const auto& c : cases) EXPECT_STREQ(status_text(c.status), c.text) << c.status;
}

TEST(HttpResponse, HeaderLines) {
  auto has = [](const std::string& h, const std::string& line) { return h.find(line) != std::string::npos; };
  http_request v10, v11, none;
  v10.version.emplace("HTTP/1.0");
  v11.version.emplace("HTTP/1.1");
  std::string h = make_response_header(&v10, 200, URI_NOCACHE);
  EXPECT_EQ(h.rfind("HTTP/1.1 200 OK\nDate: ", 0), 0u);
  EXPECT_TRUE(has(h, "\nExpires: 0\nPragma: no-cache\n"));
  EXPECT_FALSE(has(h, "Connection: close"));
  EXPECT_FALSE(has(h, "Cache-Control"));
  h = make_response_header(&v11, 200, URI_NOCACHE);
  // One Cache-Control line: no contradicting directives.
  EXPECT_TRUE(has(h, "Connection: close\nCache-Control: no-cache\nContent-Type: text/html\n\n")) << h;
  h = make_response_header(&none, 200, URI_NOCACHE);
  EXPECT_FALSE(has(h, "Connection") || has(h, "Cache-Control") || has(h, "Expires"));
  h = make_response_header(&v11, 304, URI_GIF);
  EXPECT_FALSE(has(h, "Last-Modified") || has(h, "Content-Type"));
  EXPECT_TRUE(has(make_response_header(nullptr, 200, URI_GIF), "Content-Type: image/gif\n"));
  EXPECT_TRUE(has(make_response_header(nullptr, 200, URI_NOCACHE | URI_PNG), "Content-Type: image/png\n"));
  EXPECT_TRUE(has(make_response_header(nullptr, 200, URI_CSS), "Content-Type: text/css\n"));
  EXPECT_TRUE(has(make_response_header(nullptr, 200, URI_ICON), "Content-Type: image/x-icon\n"));
  EXPECT_TRUE(has(make_response_header(nullptr, 401, 0), "WWW-Authenticate: Basic realm=\"KYVEKServer\"\n"));
  http_request realm;
  realm.realm = "dsn\"\r\nSet-Cookie: x=1";
  h = make_response_header(&realm, 401, 0);
  EXPECT_TRUE(has(h, "WWW-Authenticate: Basic realm=\"dsnSet-Cookie: x=1\"\n"));
  EXPECT_FALSE(has(h, "\nSet-Cookie"));
  http_request modified;
  modified.flags = 1;
  modified.last_modified = "Last-Modified: Sun, 01 Jan 2023 00:00:00 GMT\n";
  EXPECT_TRUE(has(make_response_header(&modified, 200, URI_GIF), modified.last_modified));
  EXPECT_EQ(format_http_date(0), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(html_escape("<a href=\"x\">'&'</a>"), "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
  EXPECT_EQ(html_escape(""), "");
}

TEST(HttpResponse, BufferedWriterSpillsFullBuffers) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  int big = 1 << 20;
  ::setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  http_request r;
  r.socket = sv[0];
  r.version = "HTTP/1.1";
  std::vector<char> out(kPageCapacity);
  size_t length = 0;
  std::string piece(1000, 'p');
  for (int i = 0; i < 70; ++i) append_output(r, out.data(), &length, piece);
  EXPECT_EQ(r.output_flags & 1, 1u);
  EXPECT_EQ(length, 70000u - kPageCapacity);
  send_all(sv[0], out.data(), length);
  ::close(sv[0]);
  std::string got = read_peer(sv[1]);
  ::close(sv[1]);
  size_t body = got.find("\n\n");
  ASSERT_NE(body, std::string::npos);
  EXPECT_EQ(got.size() - body - 2, 70000u);
  EXPECT_NE(got.find("Cache-Control: no-cache\n"), std::string::npos);
}

TEST(HttpAuth, Realm) {
  EXPECT_EQ(sanitise_realm("a\"b\r\nc"), "abc");
  EXPECT_EQ(sanitise_realm(std::string(40, 'r')).size(), 31u);
}

TEST(HttpAuth, OdbcLoginNamesOnlySystemDataSources) {
  char tmpl[] = "/tmp/kyvek-http-odbc-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  fs::path dir = tmpl;
  std::ofstream(dir / "odbcinst.ini") << "[SQLite3]\nDriver=/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so\n";
  std::ofstream(dir / "odbc.ini") << "[vekdb]\nDriver=SQLite3\nDatabase=" << (dir / "db.sqlite").string() << "\n";
  // Kept mapped, so that what the driver keeps for the process is attributed to it.
  ASSERT_NE(::dlopen("/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so", RTLD_NOW | RTLD_NODELETE), nullptr);
  ::setenv("ODBCSYSINI", dir.c_str(), 1);
  ::setenv("ODBCINI", (dir / "user.ini").c_str(), 1);
  ::setenv("KYVEK_REGISTRY", (dir / "registry.reg").c_str(), 1);  // none: the default settings
  std::vector<char> out(kPageCapacity);
  std::string user, password;
  // The transport decodes the field; a field it cannot decode gives no credentials.
  struct Case {
    std::string dsn;
    const char* authorization;
    std::optional<basic_credentials> credentials;
    int rc;
    int status;
    const char* realm;
  } cases[] = {
      {"vekdb", nullptr, std::nullopt, 0, 401, "vekdb"},
      {"vekdb", "Basic dTpwOnt9Ow==", basic_credentials{"u", "p:{};"}, 1, 200, ""},  // quoted, not a keyword
      {"vekdb;DRIVER=/tmp/evil.so", "Basic dTpw", basic_credentials{"u", "p"}, 0, 200, ""},
      {"nosuch", "Basic dTpw", basic_credentials{"u", "p"}, 0, 200, ""},
      {"vekdb", "Basic", std::nullopt, 0, 422, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dsn);
    http_request r;
    r.client_address = "127.0.0.1";
    if (c.authorization) r.fields[14] = c.authorization;
    r.credentials = c.credentials;
    size_t length = kPageCapacity;
    EXPECT_EQ(odbc_login(r, out.data(), &length, c.dsn, user, password), c.rc);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.realm, c.realm);
    if (c.rc == 1) {
      EXPECT_EQ(user, "u");
      EXPECT_EQ(password, "p:{};");
    }
  }
  EXPECT_FALSE(fs::exists("/tmp/evil.so"));
  ::unsetenv("ODBCSYSINI");
  ::unsetenv("ODBCINI");
  ::unsetenv("KYVEK_REGISTRY");
  fs::remove_all(dir);
}

TEST(HttpConfig, ListTextsAndTable) {
  struct Case {
    const char* list;
    const char* item;
    int rc;
    const char* after;
  } items[] = {
      {"a|b|c", "a", 0, "b|c"},
      {"a|b|c", "b", 0, "a|c"},
      {"a|b|c", "c", 0, "a|b"},
      {"a", "a", 0, ""},
      {"11.2.3.4|1.2.3.4", "1.2.3.4", 0, "11.2.3.4"},
      {"11.2.3.4", "1.2.3.4", -1, "11.2.3.4"},
      {"ab|b", "b", 0, "ab"},
      {"a|b", "", -1, "a|b"},
  };
  for (const auto& c : items) {
    SCOPED_TRACE(std::string(c.list) + " - " + c.item);
    std::string list = c.list;
    EXPECT_EQ(remove_list_item(list, c.item), c.rc);
    EXPECT_EQ(list, c.after);
  }
  std::string words = " 11.2.3.4 1.2.3.4 5.6.7.8";
  EXPECT_TRUE(remove_list_word(words, "1.2.3.4"));
  EXPECT_EQ(words, "11.2.3.4  5.6.7.8");
  EXPECT_FALSE(remove_list_word(words, "1.2.3"));
  EXPECT_TRUE(remove_list_word(words, "11.2.3.4"));
  EXPECT_EQ(words, "5.6.7.8");
  EXPECT_EQ(ip_exists_in_list(" 10.0.0.1 Bob", "bob"), 1);
  EXPECT_EQ(ip_exists_in_list(" 10.0.0.1 Bob", "10.0.0"), 0);
  EXPECT_EQ(ip_exists_in_list("", "x"), 0);

  dsnacl_node n = split_dsnacl("sales,a|b,c");
  EXPECT_EQ(n.dsn, "sales");
  EXPECT_EQ(n.allow, "a|b");
  EXPECT_EQ(n.deny, "c");
  EXPECT_EQ(n.max_items, 2u);
  n = split_dsnacl("hr");
  EXPECT_EQ(n.allow, "");
  EXPECT_EQ(n.max_items, 0u);

  EXPECT_EQ(config_page_table().size(), 20u);
  const config_page_entry* flags = find_config_entry("HTTPAuthAll");
  ASSERT_NE(flags, nullptr);
  EXPECT_STREQ(flags->name, "Flags");
  EXPECT_EQ(config_bit_value("HTTPAuthAll", *flags), 0x400u);
  EXPECT_EQ(flags->bits.size(), 15u);
  EXPECT_STREQ(find_config_entry("CPU_31")->name, "Affinity");
  EXPECT_EQ(find_config_entry("flags"), nullptr);
  EXPECT_EQ(find_config_entry("Port")->maximum, 65535);
}

class Templates : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kyvek-http-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    fs::create_directories(dir_ / "templates");
    std::snprintf(state().settings.Path, sizeof state().settings.Path, "%s", dir_.c_str());
    write("part.inc", "PART");
    std::ofstream(dir_ / "secret.txt") << "SECRET";
  }
  void TearDown() override { fs::remove_all(dir_); }
  void write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / "templates" / name, std::ios::binary) << text;
  }
  std::string load(const std::string& text, int* rc = nullptr) {
    write("t.html", text);
    http_request r;
    std::string out;
    int n = load_template("t.html", out, r);
    if (rc) *rc = n;
    return out;
  }
  fs::path dir_;
};

TEST_F(Templates, IncludesAndEntities) {
  struct Case {
    std::string text;
    std::string expected;
  } cases[] = {
      {"a<!-- #include file=\"part.inc\" -->b", "aPARTb"},
      {"a<!--#include file=\"part.inc\"-->b", "aPARTb"},
      {"<!--   #include   file  =  \"part.inc\"   -->", "PART"},
      // A name with '-' is no directive.
      {"<!-- #include file=\"pa-rt.inc\" -->", "<!-- #include file=\"pa-rt.inc\" -->"},
      // Shorter than 26 characters from its '<': kept as text.
      {"<!--#include file=\"p\"-->", "<!--#include file=\"p\"-->"},
      {"x<!--#include file=\"part.inc\"-", "x<!--#include file=\"part.inc\"-"},
      // Names outside the templates folder are never opened.
      {"<!-- #include file=\"../secret.txt\" -->",
       "<p>Include file " + dir_.string() + "/templates/../secret.txt not found/readable"},
      {"<!-- #include file=\"/etc/hostname\" -->",
       "<p>Include file " + dir_.string() + "/templates//etc/hostname not found/readable"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(load(c.text), c.expected);
  }
  ::symlink((dir_ / "secret.txt").c_str(), (dir_ / "templates" / "link.inc").c_str());
  EXPECT_NE(load("<!-- #include file=\"link.inc\" -->").find("not found/readable"), std::string::npos);

  int rc = 0;
  load(std::string(63999, 'x'), &rc);
  EXPECT_EQ(rc, -1);
  load(std::string(63998, 'x'), &rc);
  EXPECT_EQ(rc, 0);

  http_request r;
  std::vector<char> out(kPageCapacity);
  size_t length = 0;
  expand_template("v=&vek_version; t=&vek_table; x=&vek_version &amp; &vek_text;", {{"&vek_table;", "<T>"}}, r,
                  out.data(), &length);
  EXPECT_EQ(std::string(out.data(), length), "v=2.4.03 t=<T> x=&vek_version &amp; &vek_text;");
}

TEST_F(Templates, StaticFilesAndIfModifiedSince) {
  write("note.gif", "GIF89a-bytes");
  ::symlink((dir_ / "secret.txt").c_str(), (dir_ / "templates" / "help.gif").c_str());
  uri_entry note{"/note.gif", uri_file, nullptr, URI_GIF};
  std::vector<char> out(kPageCapacity);
  size_t length = kPageCapacity;
  http_request r;
  ASSERT_EQ(uri_file(note, r, out.data(), &length), 0);
  EXPECT_EQ(std::string(out.data(), length), "GIF89a-bytes");
  ASSERT_EQ(r.flags & 1, 1u);
  std::string date = r.last_modified.substr(15, r.last_modified.size() - 16);
  struct Case {
    std::string ims;
    int status;
  } cases[] = {{" " + date, 304}, {date + "; length=12", 304}, {"Thu, 01 Jan 1970 00:00:00 GMT", 200}, {"", 200},
               {"   ", 200},      {date.substr(0, 10), 200}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ims);
    http_request q;
    q.fields[19] = c.ims;  // if-modified-since
    size_t len = kPageCapacity;
    ASSERT_EQ(uri_file(note, q, out.data(), &len), 0);
    EXPECT_EQ(q.status, c.status);
    EXPECT_EQ(len, c.status == 304 ? 0u : 12u);
  }
  uri_entry link{"/help.gif", uri_file, nullptr, URI_GIF};
  http_request l;
  size_t len = kPageCapacity;
  EXPECT_EQ(uri_file(link, l, out.data(), &len), -1);
  EXPECT_EQ(l.status, 404);
  EXPECT_FALSE(safe_file_name(".."));
  EXPECT_FALSE(safe_file_name("a/b"));
  EXPECT_FALSE(safe_file_name("..x"));
  EXPECT_TRUE(safe_file_name("styles.css"));
}

TEST(HttpDispatch, TableMatchesExactly) {
  EXPECT_NE(find_uri("/"), nullptr);
  EXPECT_EQ(find_uri("/")->fn, find_uri("/index.html")->fn);
  EXPECT_EQ(find_uri("/INDEX.HTML"), nullptr);
  EXPECT_EQ(find_uri("/../styles.css"), nullptr);
  EXPECT_EQ(find_uri("/%2e%2e/styles.css"), nullptr);
  EXPECT_EQ(find_uri("/graph.png")->flags, URI_NOCACHE | URI_PNG | URI_ADMIN);
  // A page that changes state is an administrator's page.
  for (const auto& row : uri_table()) EXPECT_TRUE(!(row.flags & URI_CHANGE) || (row.flags & URI_ADMIN)) << row.path;
  size_t gifs = 0;
  for (const auto& row : uri_table()) gifs += (row.flags & URI_GIF) ? 1 : 0;
  EXPECT_EQ(gifs, 37u);
  EXPECT_EQ(uri_table().size(), 37u + 2u + 21u);
}

}  // namespace
