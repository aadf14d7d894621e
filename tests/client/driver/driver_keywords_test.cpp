// Connection keywords, DSN attributes, connection strings and the small
// tables of the driver, through its internal units.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "driver.h"
#include "wide.h"
#include "enumerate_dsns.h"
#include "kycrypt/kycrypt.h"

using namespace kyvek::driver;

namespace {

TEST(AttrList, ParsesBracesAndQuotesValuesThatNeedIt) {
  AttrList list;
  list.parse("dsn=Sales; PWD={a;b}}c};UID= bob ;Empty=;Flag");
  ASSERT_NE(list.get("PWD"), nullptr);
  EXPECT_EQ(*list.get("pwd"), "a;b}c");
  EXPECT_EQ(*list.get("UID"), "bob");
  EXPECT_EQ(*list.get("EMPTY"), "");
  EXPECT_EQ(*list.get("FLAG"), "");
  EXPECT_EQ(list.pairs().front().first, "DSN");

  // A password cannot add keywords to a generated string.
  AttrList inj;
  inj.set("DSN", "x");
  inj.set("PWD", "p;LOGONUSER=28000;{x}");
  std::string s = inj.to_string();
  EXPECT_EQ(s, "DSN=x;PWD={p;LOGONUSER=28000;{x}}};");
  AttrList back;
  back.parse(s);
  EXPECT_EQ(*back.get("PWD"), "p;LOGONUSER=28000;{x}");
  EXPECT_FALSE(back.has("LOGONUSER"));

  // Long values are never cut.
  AttrList big;
  big.set("DSN", std::string(5000, 'd'));
  big.set("PWD", std::string(3000, 'p'));
  AttrList big_back;
  big_back.parse(big.to_string());
  EXPECT_EQ(big_back.get("PWD")->size(), 3000u);
}

TEST(AttrList, GeneratorSkipsDescriptionAndDriverBesideDsn) {
  AttrList list;
  list.parse("DRIVER=kyvekcnt;DSN=a;Description=x y;UID=u");
  EXPECT_EQ(list.to_string(), "DSN=a;UID=u;");
  AttrList nodsn;
  nodsn.parse("DRIVER=kyvekcnt;SERVERPORT=h:1");
  EXPECT_EQ(nodsn.to_string(), "DRIVER={kyvekcnt};SERVERPORT=h:1;");
  EXPECT_TRUE(list.rename_unless_present("UID", "TARGETUSER"));
  EXPECT_FALSE(list.rename_unless_present("DSN", "TARGETUSER"));
}

// A value the application wrote in braces is written in braces again, so
// that it reaches the target driver as written.
TEST(AttrList, ValuesWrittenInBracesStayInBraces) {
  AttrList list;
  list.parse("DSN=a;pqopt={application_name=x};MaxVarcharSize={100};Plain=1");
  EXPECT_EQ(list.to_string(), "DSN=a;PQOPT={application_name=x};MAXVARCHARSIZE={100};PLAIN=1;");
  list.set("MAXVARCHARSIZE", "200");
  EXPECT_EQ(list.to_string(), "DSN=a;PQOPT={application_name=x};MAXVARCHARSIZE=200;PLAIN=1;");
}

// UTF-16 and UTF-8 both ways, exactly: pairs whole, anything unpaired or
// malformed refused at its position.
TEST(WideText, ConvertsExactlyAndRefusesUnpairedOrMalformedText) {
  struct ToUtf8 {
    std::u16string in;
    bool ok;
    std::string out;
    size_t bad;
  } to8[] = {
      {u"x 🌜 z", true, "x \xF0\x9F\x8C\x9C z", 0},
      {u"\u00e4\u20ac", true, "\xC3\xA4\xE2\x82\xAC", 0},
      {std::u16string(u"a\xD83C"), false, "", 1},
      {std::u16string(u"ab\xDF1C" u"c"), false, "", 2},
      {std::u16string(u"\xD83C\xD83C\xDF1C"), false, "", 0},
  };
  for (const ToUtf8& k : to8) {
    std::string out;
    size_t bad = 99;
    EXPECT_EQ(wide::to_utf8(reinterpret_cast<const SQLWCHAR*>(k.in.data()), static_cast<SQLLEN>(k.in.size()), &out,
                            &bad),
              k.ok);
    if (k.ok) {
      EXPECT_EQ(out, k.out);
    } else {
      EXPECT_EQ(bad, k.bad);
    }
  }
  struct ToUtf16 {
    std::string in;
    bool ok;
    std::u16string out;
    size_t bad;
  } to16[] = {
      {"x \xF0\x9F\x8C\x9C z", true, u"x 🌜 z", 0},
      {"\xC0\xAF", false, u"", 0},             // overlong
      {"a\xED\xA0\xBC", false, u"", 1},       // an encoded surrogate
      {"ab\xF4\x90\x80\x80", false, u"", 2},  // beyond U+10FFFF
      {"abc\xF0\x9F\x8C", false, u"", 3},      // cut short
      {"\xE4", false, u"", 0},                  // Latin-1
  };
  for (const ToUtf16& k : to16) {
    std::u16string out;
    size_t bad = 99;
    EXPECT_EQ(wide::to_utf16(k.in, &out, &bad), k.ok) << k.in;
    if (k.ok) {
      EXPECT_EQ(out, k.out);
    } else {
      EXPECT_EQ(bad, k.bad) << k.in;
    }
  }
}

struct ConStrCase {
  const char* text;
  uint32_t flags_on, flags_off;
  int32_t block_fetch, default_param, retries;
};

TEST(Keywords, ConnectionStringSetsFlagsAndNumbers) {
  const ConStrCase cases[] = {
      {"", kFlagMetadataBlockFetch | kFlagMapExecDirect, kFlagGetInfoPassthru | kFlagOverrideLength, 0, 255, -1},
      {"BLOCKFETCHSIZE=500", 0, 0, 100, 255, -1},
      {"BLOCKFETCHSIZE=-3", 0, 0, 0, 255, -1},
      {"BLOCKFETCHSIZE=0x10", 0, 0, 16, 255, -1},
      {"MAPEXECDIRECT=yes;DECASNUMERIC=yes", kFlagMapExecDirect | kFlagDecAsNumeric, 0, 0, 255, -1},
      {"MAPEXECDIRECT=0;METADATABLOCKFETCH=yes", 0, kFlagMapExecDirect | kFlagMetadataBlockFetch, 0, 255, -1},
      {"GETINFOPASSTHRU=1;OVERRIDELENGTH=1;UNQUOTE_CATALOG_FNS=1",
       kFlagGetInfoPassthru | kFlagOverrideLength | kFlagUnquoteCatalogFns, 0, 0, 255, -1},
      {"DEFAULTPARAMSIZE=4000", 0, 0, 0, 1024, -1},
      {"DEFAULTPARAMSIZE=300abc", 0, 0, 0, 300, -1},
      {"CONNECTATTEMPTS=100000", 0, 0, 0, 255, 100},
      {"CONNECTATTEMPTS=3", 0, 0, 0, 255, 3},
  };
  for (const ConStrCase& c : cases) {
    client_dbc dbc;
    AttrList list;
    list.parse(c.text);
    uint32_t mask = attribute_presence_mask(list);
    get_attrs_from_constr(&dbc, &mask, list);
    EXPECT_EQ(dbc.client_flags & c.flags_on, c.flags_on) << c.text;
    EXPECT_EQ(dbc.client_flags & c.flags_off, 0u) << c.text;
    EXPECT_EQ(dbc.block_fetch_size, c.block_fetch) << c.text;
    EXPECT_EQ(dbc.default_param_size, c.default_param) << c.text;
    EXPECT_EQ(dbc.connect_retries, c.retries) << c.text;
  }
}

TEST(Keywords, PresenceMaskAndIgnoredStatementAttributes) {
  AttrList list;
  list.parse("DSN=a;SERVERPORT=h:1;TARGETDSN=t;LOGONUSER=;DEFAULTPARAMSIZE=9;DECASNUMERIC=1");
  EXPECT_EQ(attribute_presence_mask(list), 0x8u | 0x80000u | 0x80u | 0x400u | 0x2000000u);

  client_dbc dbc;
  parse_ignore_stmt_attrs(&dbc, "0,abc,12");
  ASSERT_EQ(dbc.ignored_count, 2);
  EXPECT_EQ(dbc.ignored_stmt_attrs[0], 0);
  EXPECT_EQ(dbc.ignored_stmt_attrs[1], 12);
  parse_ignore_stmt_attrs(&dbc, "1,2,3,4,5,6,7,8,9,10,11");
  EXPECT_EQ(dbc.ignored_count, 10);
  EXPECT_EQ(dbc.ignored_stmt_attrs[9], 10);
}

std::string hex(const unsigned char* b, int n) {
  std::string s;
  char buf[3];
  for (int i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%02X", b[i]);
    s += buf;
  }
  return s;
}

std::string disguise(const std::string& plain, const char* key) {
  unsigned char out[1024];
  int n = fake_string(plain.c_str(), out, sizeof out, key);
  return hex(out, n);
}

class DsnFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kyvek-kw-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    std::ofstream(dir_ + "/odbcinst.ini") << "";
    std::ofstream ini(dir_ + "/odbc.ini");
    ini << "[Sales]\n"
        << "Driver=kyvekcnt\n"
        << "SERVERPORT=127.0.0.1:9\n"
        << "TARGETDSN=salesdb\n"
        << "TARGETUSER=stored_user\n"
        << "TARGETAUTH=" << disguise("s3cret;x", "pwxnqlrtoz") << "\n"
        << "LOGONUSER=nobody\n"
        << "LOGONAUTH=" << disguise(std::string(255, 'L'), "vejqdumxo") << "\n"
        << "BLOCKFETCHSIZE=-3\n"
        << "MAPEXECDIRECT=yes\n"
        << "DEFAULTPARAMSIZE=5000\n"
        << "IGNORESTMTATTRS=7,8\n"
        << "[Auth]\n"
        << "USEVEKDBAUTH=1\n"
        << "TARGETUSER=dsn_user\n"
        << "TARGETAUTH=" << disguise("dsnpw", "pwxnqlrtoz") << "\n"
        << "LOGONAUTH=" << disguise(std::string(300, 'x'), "vejqdumxo")
        << "\n"
        // Values as odbc.ini files already hold them: the stored form is fixed.
        << "[Stored]\n"
        << "TARGETAUTH=F248305B120C\n"
        << "LOGONAUTH=37939598E60EDAC72C853B7D\n"
        // Written in clear by hand: taken as written, never dropped.
        << "[Plain]\n"
        << "TARGETAUTH=target pw\n"
        << "LOGONAUTH=secret\n";
    ini.close();
    setenv("ODBCSYSINI", dir_.c_str(), 1);
    setenv("ODBCINI", (dir_ + "/odbc.ini").c_str(), 1);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
};

TEST_F(DsnFixture, MergesStoredAttributesUnderTheConnectionString) {
  client_dbc dbc;
  AttrList list;
  list.parse("DSN=Sales;TARGETDSN=fromstring;LOGONUSER=");
  uint32_t mask = attribute_presence_mask(list);
  get_attrs_from_constr(&dbc, &mask, list);
  ASSERT_EQ(get_connect_attrs_from_dsn(&dbc, &mask, list), 0);
  EXPECT_EQ(*list.get("TARGETDSN"), "fromstring");  // the string wins
  EXPECT_EQ(*list.get("SERVERPORT"), "127.0.0.1:9");
  EXPECT_EQ(*list.get("TARGETAUTH"), "s3cret;x");
  EXPECT_EQ(*list.get("LOGONAUTH"), std::string(255, 'L'));
  // The presence mask kept LOGONUSER out of the merge: its bit was already set.
  EXPECT_EQ(*list.get("LOGONUSER"), "");
  EXPECT_EQ(dbc.block_fetch_size, 100);  // -3 stored gives the maximum
  EXPECT_EQ(dbc.default_param_size, 1024);
  EXPECT_EQ(dbc.client_flags & kFlagMapExecDirect, 0u);  // "yes" stored turns it off
  EXPECT_EQ(dbc.ignored_count, 2);
  EXPECT_EQ(mask & 0x80180u, 0x80180u);
}

TEST_F(DsnFixture, UseVekDbAuthReplacesTheStringsTargetsAndRefusesOverlongSecrets) {
  client_dbc dbc;
  AttrList list;
  list.parse("DSN=Auth;UID=app;PWD=apppw");
  uint32_t mask = attribute_presence_mask(list);
  get_attrs_from_constr(&dbc, &mask, list);
  list.rename_unless_present("UID", "TARGETUSER");
  list.rename_unless_present("PWD", "TARGETAUTH");
  mask |= 0x300;
  ASSERT_EQ(get_connect_attrs_from_dsn(&dbc, &mask, list), 0);
  EXPECT_TRUE(dbc.client_flags & kFlagUseVekDbAuth);
  EXPECT_EQ(*list.get("TARGETUSER"), "dsn_user");
  EXPECT_EQ(*list.get("TARGETAUTH"), "dsnpw");
  // 300 disguised bytes do not fit the 255-byte password buffer: refused.
  EXPECT_FALSE(list.has("LOGONAUTH"));
  EXPECT_FALSE(mask & 0x800);
}

// Known answers: stored values written by earlier setups decode to the same
// passwords, so a changed disguise cannot pass unnoticed.
TEST_F(DsnFixture, StoredDisguisedPasswordsDecodeToKnownAnswers) {
  client_dbc dbc;
  AttrList list;
  list.parse("DSN=Stored");
  uint32_t mask = attribute_presence_mask(list);
  get_attrs_from_constr(&dbc, &mask, list);
  ASSERT_EQ(get_connect_attrs_from_dsn(&dbc, &mask, list), 0);
  ASSERT_TRUE(list.has("TARGETAUTH"));
  ASSERT_TRUE(list.has("LOGONAUTH"));
  EXPECT_EQ(*list.get("TARGETAUTH"), "s3cret");
  EXPECT_EQ(*list.get("LOGONAUTH"), "Pa55 word;=!");
}

TEST_F(DsnFixture, PasswordsWrittenInClearAreTakenAsWritten) {
  client_dbc dbc;
  AttrList list;
  list.parse("DSN=Plain");
  uint32_t mask = attribute_presence_mask(list);
  get_attrs_from_constr(&dbc, &mask, list);
  ASSERT_EQ(get_connect_attrs_from_dsn(&dbc, &mask, list), 0);
  ASSERT_TRUE(list.has("LOGONAUTH"));
  EXPECT_EQ(*list.get("LOGONAUTH"), "secret");
  EXPECT_EQ(*list.get("TARGETAUTH"), "target pw");
  EXPECT_EQ(mask & 0xA00u, 0xA00u);
}

// The completed connection string's DISGUISEDLOGONAUTH comes back as LOGONAUTH;
// an explicit LOGONAUTH wins.
TEST(DisguisedLogonAuth, RoundTrip) {
  for (const std::string& pw : {std::string("secret"), std::string("Pa55 word;=!"), std::string(255, 'L')}) {
    AttrList list;
    list.set(kDisguisedLogonAuth, disguised_logon_auth(pw));
    reveal_disguised_logon_auth(list);
    ASSERT_TRUE(list.has("LOGONAUTH"));
    EXPECT_EQ(*list.get("LOGONAUTH"), pw);
    EXPECT_FALSE(list.has(kDisguisedLogonAuth));
  }
  AttrList both;
  both.parse("LOGONAUTH=given;DISGUISEDLOGONAUTH=" + disguised_logon_auth("stored"));
  reveal_disguised_logon_auth(both);
  EXPECT_EQ(*both.get("LOGONAUTH"), "given");
  EXPECT_FALSE(both.has(kDisguisedLogonAuth));
  EXPECT_EQ(disguised_logon_auth(""), "");
}

TEST_F(DsnFixture, NoDsnAndUnknownDsn) {
  client_dbc dbc;
  AttrList list;
  list.parse("SERVERPORT=h:1");
  uint32_t mask = 0;
  EXPECT_EQ(get_connect_attrs_from_dsn(&dbc, &mask, list), -1);
  AttrList other;
  other.parse("DSN=Nowhere");
  mask = 0;
  EXPECT_EQ(get_connect_attrs_from_dsn(&dbc, &mask, other), 0);
  EXPECT_EQ(mask, 0u);
}

// Trace=1 in section "odbc" of odbc.ini switches tracing on for the process,
// into TraceFile; no password reaches the trace.
TEST_F(DsnFixture, TraceSwitchedOnFromOdbcIniKeepsSecretsOut) {
  std::string trace = dir_ + "/trace.log";
  {
    std::ofstream ini(dir_ + "/odbc.ini", std::ios::app);
    ini << "[odbc]\nTrace=1\nTraceFile=" << trace << "\n";
  }
  SQLHANDLE env = nullptr, dbc = nullptr;
  ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_ENV, nullptr, &env), SQL_SUCCESS);
  ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc), SQL_SUCCESS);
  std::string in = "DSN=Sales;SERVERPORT=127.0.0.1;TARGETAUTH=plain-target-pw;LOGONAUTH=plain-logon-pw";
  EXPECT_EQ(SQLDriverConnect(dbc, nullptr, (SQLCHAR*)in.c_str(), SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT),
            SQL_ERROR);
  SQLUINTEGER on = 0;
  EXPECT_EQ(SQLGetConnectAttr(nullptr, SQL_ATTR_TRACE, &on, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(on, 1u);
  EXPECT_EQ(SQLSetConnectAttr(nullptr, SQL_ATTR_TRACE, reinterpret_cast<SQLPOINTER>(0), 0), SQL_SUCCESS);
  EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_DBC, dbc), SQL_SUCCESS);
  EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_ENV, env), SQL_SUCCESS);
  std::ifstream f(trace);
  std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("SQLDriverConnect("), std::string::npos) << text.substr(0, 2000);
  EXPECT_EQ(text.find("plain-target-pw"), std::string::npos);
  EXPECT_EQ(text.find("plain-logon-pw"), std::string::npos);
  EXPECT_EQ(text.find("s3cret"), std::string::npos);  // the DSN's stored password
}

TEST(EnumerateDsns, ReadsSectionsInFileOrder) {
  char tmpl[] = "/tmp/kyvek-enum-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string path = std::string(tmpl) + "/odbc.ini";
  std::ofstream(path) << "SERVER=before\n"
                      << "# comment\n\n"
                      << "[First]\n"
                      << "  SERVER \t= \t host one \t\n"
                      << "Port=8888\nPORT=9999\nUnknown=1\n"
                      << "[Second]\n"
                      << "TARGETAUTH=ABCD\n"
                      << "BLOCKFETCHSIZE=10";  // no final newline
  setenv("ODBCINI", path.c_str(), 1);
  vek_dsn_list* list = enumerate_dsns(nullptr, 0);
  ASSERT_NE(list, nullptr);
  vek_dsn_entry* a = list->first;
  ASSERT_NE(a, nullptr);
  EXPECT_STREQ(a->name, "First");
  EXPECT_STREQ(a->server, "host one");
  EXPECT_STREQ(a->port, "9999");
  vek_dsn_entry* b = a->next;
  ASSERT_NE(b, nullptr);
  EXPECT_STREQ(b->name, "Second");
  EXPECT_STREQ(b->target_auth, "ABCD");
  EXPECT_STREQ(b->block_fetch_size, "10");
  EXPECT_EQ(b->next, nullptr);
  EXPECT_EQ(enumerate_dsns(list, 0), nullptr);
  std::filesystem::remove_all(tmpl);
}

// A handle another thread frees is invalid at once here, though this thread
// found it live a moment ago; and a record registered again at the same
// address under another type is not the handle it was.
TEST(Services, HandleChecksSeeFreesFromOtherThreads) {
  client_dbc dbc;
  client_desc* desc = vekc_alloc_desc(&dbc, nullptr);
  ASSERT_NE(desc, nullptr);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(vekc_chk_handle(kDesc, desc), 0);
  EXPECT_NE(handle_call_lock(kDesc, desc), nullptr);
  std::thread([desc] { unregister_handle(desc); }).join();
  EXPECT_NE(vekc_chk_handle(kDesc, desc), 0);
  EXPECT_EQ(handle_call_lock(kDesc, desc), nullptr);

  ASSERT_TRUE(register_handle(kDbc, desc));
  EXPECT_NE(vekc_chk_handle(kDesc, desc), 0);  // registered, but not as a descriptor
  std::thread([desc] { unregister_handle(desc); }).join();
  EXPECT_NE(vekc_chk_handle(kDbc, desc), 0);
  delete desc;
}

TEST(Services, SqlstateMapAndDescriptorRecords) {
  // The pairs SQLError has always translated with, searched by the ODBC 3
  // state, the first match winning (so HY092 gives S1009, 07009 S1002 and
  // 01001 01S03): the known answers for the shared table.
  struct Pair {
    const char *odbc2, *odbc3;
  };
  static constexpr Pair kPairs[] = {
      {"01S03", "01001"}, {"01S04", "01001"}, {"22003", "HY019"}, {"22008", "22007"}, {"22005", "22018"},
      {"24000", "07005"}, {"37000", "42000"}, {"70100", "HY018"}, {"S0001", "42S01"}, {"S0002", "42S02"},
      {"S0011", "42S11"}, {"S0012", "42S12"}, {"S0021", "42S21"}, {"S0022", "42S22"}, {"S0023", "42S23"},
      {"S1000", "HY000"}, {"S1001", "HY001"}, {"S1002", "07009"}, {"S1003", "HY003"}, {"S1004", "HY004"},
      {"S1008", "HY008"}, {"S1009", "HY009"}, {"S1009", "HY024"}, {"S1009", "HY092"}, {"S1010", "HY007"},
      {"S1010", "HY010"}, {"S1011", "HY011"}, {"S1012", "HY012"}, {"S1090", "HY090"}, {"S1091", "HY091"},
      {"S1092", "HY092"}, {"S1093", "07009"}, {"S1096", "HY096"}, {"S1097", "HY097"}, {"S1098", "HY098"},
      {"S1099", "HY099"}, {"S1100", "HY100"}, {"S1101", "HY101"}, {"S1103", "HY103"}, {"S1104", "HY104"},
      {"S1105", "HY105"}, {"S1106", "HY106"}, {"S1107", "HY107"}, {"S1108", "HY108"}, {"S1109", "HY109"},
      {"S1110", "HY110"}, {"S1111", "HY111"}, {"S1C00", "HYC00"}, {"S1T00", "HYT00"}, {"S1000", "07008"},
  };
  for (const Pair& p : kPairs) {
    const char* expected = nullptr;
    for (const Pair& q : kPairs)
      if (!expected && std::strcmp(q.odbc3, p.odbc3) == 0) expected = q.odbc2;
    const char* got = map_sqlstate_odbc2(p.odbc3);
    ASSERT_NE(got, nullptr) << p.odbc3;
    EXPECT_STREQ(got, expected) << p.odbc3;
  }
  // Only the first five characters count; states without an ODBC 2 form give null.
  EXPECT_STREQ(map_sqlstate_odbc2("HY092 and more"), "S1009");
  for (const char* same : {"08S01", "01004", "HY013", "IM002", "HY0", ""})
    EXPECT_EQ(map_sqlstate_odbc2(same), nullptr) << same;
  EXPECT_EQ(map_sqlstate_odbc2(nullptr), nullptr);

  client_dbc dbc;
  client_desc* desc = vekc_alloc_desc(&dbc, nullptr);
  ASSERT_NE(desc, nullptr);
  ASSERT_NE(vekc_expand_desc_recs(desc, 5), nullptr);
  EXPECT_EQ(desc->n_descrec, 6);
  EXPECT_EQ(std::string(desc->records[3].tag, 4), "DESR");
  EXPECT_EQ(desc->records[5].data_ptr, nullptr);
  ASSERT_NE(vekc_expand_desc_recs(desc, 2), nullptr);
  EXPECT_EQ(desc->n_descrec, 6);
  SQLLEN ind;
  int data;
  desc->records[1].data_ptr = &data;
  desc->records[3].indicator_ptr = &ind;
  desc->records[5].name = strdup("unbound");
  vekc_release_desc_recs(desc, 0, 0);
  EXPECT_EQ(desc->bound_count, 3);
  EXPECT_EQ(desc->records[5].name, nullptr);
  vekc_release_desc_recs(desc, 0, 1);
  EXPECT_EQ(desc->n_descrec, 0);
  EXPECT_EQ(desc->records, nullptr);
  EXPECT_EQ(vekc_chk_handle(kDesc, desc), 0);
  unregister_handle(desc);
  EXPECT_NE(vekc_chk_handle(kDesc, desc), 0);
  delete desc;

  EXPECT_EQ(refuse_sqlserver_port(&dbc, 8888), 0);
  EXPECT_EQ(refuse_sqlserver_port(&dbc, 1433), -1);
  const error_record* r = diag_record(&dbc.diag, 1);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->native_error, 41);
  clear_errors(&dbc.diag);
}

}  // namespace
