// vekping's command line and connection strings, in process.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "connection_string.h"
#include "ky_constr.h"
#include "options.h"

namespace {

using vekping::Options;

vekping::ParseResult parse(std::vector<std::string> args) {
  std::vector<const char*> argv{"vekping"};
  for (auto& a : args) argv.push_back(a.c_str());
  return vekping::parse_options(static_cast<int>(argv.size()), argv.data());
}

std::string opt(const std::optional<std::string>& v) { return v ? *v : "<none>"; }

TEST(ParseOptions, ValuesAttachedOrFollowing) {
  const struct {
    std::vector<std::string> args;
    std::string host, connection, port, user, password;
    bool timed;
    int password_arg;
    std::size_t password_offset;
  } kCases[] = {
      {{"-h", "db1"}, "db1", "<none>", "<none>", "<none>", "<none>", false, 0, 0},
      {{"-hdb1", "-t9000", "-e"}, "db1", "<none>", "9000", "<none>", "<none>", true, 0, 0},
      {{"stray", "-h", "db1", "other", "-t", "9000"}, "db1", "<none>", "9000", "<none>", "<none>", false, 0, 0},
      {{"-d", "DSN=x;UID=a", "-h", "db1"}, "db1", "DSN=x;UID=a", "<none>", "<none>", "<none>", false, 0, 0},
      {{"-h", "db1", "-u", "alice", "-p", "s3cret"}, "db1", "<none>", "<none>", "alice", "s3cret", false, 6, 0},
      {{"-h", "db1", "-ualice", "-ps3cret"}, "db1", "<none>", "<none>", "alice", "s3cret", false, 4, 2},
      // A following value is taken whatever it begins with.
      {{"-h", "db1", "-p", "-e"}, "db1", "<none>", "<none>", "<none>", "-e", false, 4, 0},
      {{"-h", "db1", "-p", ""}, "db1", "<none>", "<none>", "<none>", "", false, 4, 0},
      // The last value of a repeated option counts; -e takes no value.
      {{"-h", "a", "-h", "b", "-e"}, "b", "<none>", "<none>", "<none>", "<none>", true, 0, 0},
      // Long forms.
      {{"--host", "db1", "--port=9000", "--password", "pw", "--time"}, "db1", "<none>", "9000", "<none>", "pw", true, 5,
       0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    auto r = parse(c.args);
    ASSERT_TRUE(r.ok) << r.error;
    const Options& o = r.options;
    EXPECT_EQ(opt(o.host), c.host);
    EXPECT_EQ(opt(o.connection), c.connection);
    EXPECT_EQ(opt(o.port), c.port);
    EXPECT_EQ(opt(o.user), c.user);
    EXPECT_EQ(opt(o.password), c.password);
    EXPECT_EQ(o.timed, c.timed);
    EXPECT_EQ(o.password_arg, c.password_arg);
    EXPECT_EQ(o.password_offset, c.password_offset);
  }
}

TEST(ParseOptions, FirstUsageErrorWins) {
  const struct {
    std::vector<std::string> args;
    std::string error;
  } kCases[] = {
      {{}, "No host or connection specified\n"},
      {{"host"}, "No host or connection specified\n"},
      {{"-e", "-u", "alice"}, "No host or connection specified\n"},
      {{"-h", "db1", "-"}, "Invalid option -\n"},
      {{"-h", "db1", "-t"}, "Missing option value for -t\n"},
      {{"-d"}, "Missing option value for -d\n"},
      {{"-x", "-t"}, "Option x not recognised\n"},
      {{"-H", "db1"}, "Option H not recognised\n"},
      {{"-h", "db1", "-tx", "-"}, "Invalid option -\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    auto r = parse(c.args);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, c.error);
    // An option that is not known exits 2, as getopt_long programs do.
    EXPECT_EQ(r.exit_code, c.error.find("not recognised") != std::string::npos ? 2 : 1);
  }
}

TEST(ParseOptions, HelpAndVersionEndTheParsing) {
  const struct {
    std::vector<std::string> args;
    vekping::Action action;
  } kCases[] = {
      {{"--help"}, vekping::Action::kHelp},
      {{"-h", "db1", "--version", "--bogus"}, vekping::Action::kVersion},
      {{"-h", "db1"}, vekping::Action::kCheck},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    EXPECT_EQ(parse(c.args).action, c.action);
  }
  auto r = parse({"--bogus"});
  EXPECT_EQ(r.error, "Option --bogus not recognised\n");
  EXPECT_EQ(r.exit_code, 2);
}

TEST(ConnectionString, LogonValuesAreAppendedAndCannotAddKeywords) {
  const struct {
    std::optional<std::string> user, password;
    std::string sent;
  } kCases[] = {
      {std::nullopt, std::nullopt, "DSN=kyvek"},
      {"alice", std::nullopt, "DSN=kyvek;LogonUser=alice"},
      {std::nullopt, "pw", "DSN=kyvek;LogonAuth=pw"},
      {"alice", "pw", "DSN=kyvek;LogonUser=alice;LogonAuth=pw"},
      {"alice", "a;LOGONUSER=28000", "DSN=kyvek;LogonUser=alice;LogonAuth={a;LOGONUSER=28000}"},
      {"al}ice", " {x} ", "DSN=kyvek;LogonUser={al}}ice};LogonAuth={ {x}} }"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.sent);
    std::string s = vekping::build_connection_string("DSN=kyvek", c.user, c.password);
    EXPECT_EQ(s, c.sent);

    // What the driver parses back is exactly the given values.
    mem_handle* pool = ky_mem_alloc_handle(nullptr);
    ASSERT_NE(pool, nullptr);
    con_str cs;
    init_con_str(&cs);
    ASSERT_EQ(parse_connection_string(&cs, pool, s.c_str(), KY_CONSTR_NTS, 0), 0);
    EXPECT_EQ(cs.count, 1 + (c.user ? 1 : 0) + (c.password ? 1 : 0));
    const char* user = get_attribute_value(&cs, "LOGONUSER");
    const char* password = get_attribute_value(&cs, "LOGONAUTH");
    EXPECT_EQ(user ? std::optional<std::string>(user) : std::nullopt, c.user);
    EXPECT_EQ(password ? std::optional<std::string>(password) : std::nullopt, c.password);
    ky_mem_release_handle(pool);
  }
}

TEST(ConnectionString, ShownFormHidesEveryPassword) {
  const struct {
    std::string text, shown;
  } kCases[] = {
      {"DSN=kyvek", "DSN=kyvek"},
      {"DSN=x;UID=u;PWD=drelka;", "DSN=x;UID=u;PWD=********;"},
      {"DSN=x;LogonUser=a;LogonAuth=s3cret", "DSN=x;LogonUser=a;LogonAuth=********"},
      {"dsn=x;logonauth=p;targetauth=q;pwd=r", "dsn=x;logonauth=********;targetauth=********;pwd=********"},
      {"DSN=x;LogonAuth={a;PWD=b}}c};UID=u", "DSN=x;LogonAuth=********;UID=u"},
      {"DSN=x; PWD ={unclosed;UID=u", "DSN=x; PWD =********"},
      {"DSN=x;;junk;PWD=p", "DSN=x;;junk;PWD=********"},
      {"DSN=x;PWDX=visible", "DSN=x;PWDX=visible"},
      {"", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(vekping::mask_passwords(c.text), c.shown);
  }
}

}  // namespace
