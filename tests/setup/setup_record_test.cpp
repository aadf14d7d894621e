// The stored form of a data source: the installer's attribute list, loading
// with odbc.ini behind the attributes, the server-list checks, and the save
// through the real installer library into a private odbc.ini.
#include <gtest/gtest.h>
#include <odbcinst.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "attr_list.h"
#include "driver.h"
#include "dsn_record.h"
#include "e2e_fixture.h"
#include "kysupp.h"
#include "setup_test_util.h"

extern "C" int vek_complete_info(void* window, con_str* list, uint32_t* mask, mem_handle* pool);

namespace kyvek::setup {
namespace {

using e2e::Fixture;
using setup_test::ini_map;
using setup_test::ini_section;

// An installer-style list from items.
std::string list_of(std::initializer_list<std::string> items) {
  std::string s;
  for (const auto& i : items) s += i + '\0';
  return s + '\0';
}

// A private odbc.ini world (no server).
class RecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fixture_.apply_env();
    SQLSetConfigMode(ODBC_USER_DSN);
  }
  std::string user_ini() const { return Fixture::read_file(fixture_.dir() / "odbc" / "user-odbc.ini"); }
  void put(const std::string& section, const std::string& key, const std::string& value) {
    ASSERT_TRUE(SQLWritePrivateProfileString(section.c_str(), key.c_str(), value.c_str(), "odbc.ini"));
  }
  Fixture fixture_;
};

TEST(ParseAttributes, ItemsServerPortsAndLimits) {
  {
    AttributeValues a;
    ASSERT_EQ(parse_attributes(list_of({"SERVER=a,b", "PORT=1,2", "dsn=x", "Foo=bar"}).c_str(), &a), 0);
    EXPECT_EQ(a.servers, (std::vector<std::string>{"a:1", "a:2", "b:1", "b:2"}));
    EXPECT_EQ(a.text("DSN"), "x");
    EXPECT_EQ(a.get("FOO"), nullptr);
  }
  {
    // SERVERPORT wins wherever it stands; a repeated key keeps its last value.
    AttributeValues a;
    ASSERT_EQ(parse_attributes(
                  list_of({"SERVER=a", "PORT=1", "SERVERPORT=h:9,,k:8", "UID=u", "UID=v", "TARGETUSER=t"}).c_str(), &a),
              0);
    EXPECT_EQ(a.servers, (std::vector<std::string>{"h:9", "k:8"}));
    EXPECT_EQ(a.text("UID"), "v");
    EXPECT_EQ(a.text("TARGETUSER"), "t");
  }
  {
    AttributeValues a;
    EXPECT_EQ(parse_attributes(list_of({"DSN=x", "novalue"}).c_str(), &a), -1);
    EXPECT_TRUE(a.values.empty());
  }
  for (size_t n : {size_t{1023}, size_t{1024}}) {
    SCOPED_TRACE(n);
    AttributeValues a;
    std::string big(n, 'v');
    int expected = n <= 1023 ? 0 : -1;
    EXPECT_EQ(parse_attributes(list_of({"DESCRIPTION=" + big}).c_str(), &a), expected);
    EXPECT_EQ(parse_attributes(list_of({big + "=x"}).c_str(), &a), expected);
  }
  AttributeValues empty;
  EXPECT_EQ(parse_attributes(nullptr, &empty), 0);
}

TEST(ValidateServers, OnlyHostColonPort) {
  const struct {
    const char* text;
    bool ok;
  } cases[] = {{"", true},         {"h:8888", true},  {"h1:1,h2:2", true}, {"h1:1,,h2:2", true}, {"h", false},
               {"h:", false},      {":8888", false},  {"a:b:c", false},    {"a:1:b:2", false},   {"h:0", false},
               {"h:65536", false}, {"h:65535", true}, {"h:80x", false},    {"h:-1", false},      {"h1:1,h2", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(validate_servers(c.text), c.ok);
  }
}

TEST(Disguise, HexAndKnownAnswer) {
  const unsigned char abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(hex_encode(abc, 3), "616263");
  EXPECT_EQ(hex_encode(abc, 0), "");
  std::string stored = disguise_password("secret", kLogonAuthKey);
  EXPECT_EQ(stored.size(), 12u);
  EXPECT_EQ(stored.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_EQ(reveal_password(stored, kLogonAuthKey), "secret");
  EXPECT_NE(reveal_password(stored, kTargetAuthKey), "secret");
  EXPECT_EQ(disguise_password("", kLogonAuthKey), "");
  EXPECT_EQ(reveal_password("", kLogonAuthKey), "");
}

TEST_F(RecordTest, LoadFollowsAttributesThenIni) {
  put("stored", "Driver", "Kyvek");
  for (auto [k, v] :
       std::vector<std::pair<std::string, std::string>>{{"DESCRIPTION", "from ini"},
                                                        {"SERVER", "h1,h2"},
                                                        {"PORT", "8888,8889"},
                                                        {"LOGONUSER", "ini-user"},
                                                        {"LOGONAUTH", disguise_password("ini-pw", kLogonAuthKey)},
                                                        {"TARGETDSN", "ini-target"},
                                                        {"TARGETUSER", "ini-tuser"},
                                                        {"TARGETAUTH", disguise_password("ini-tpw", kTargetAuthKey)},
                                                        {"BLOCKFETCHSIZE", "250"},
                                                        {"METADATABLOCKFETCH", "0"},
                                                        {"USEVEKDBAUTH", "1"},
                                                        {"GETINFOPASSTHRU", "1"},
                                                        {"MAPEXECDIRECT", "0"},
                                                        {"CONNECTATTEMPTS", ""}})
    put("stored", k, v);

  AttributeValues attrs;
  ASSERT_EQ(parse_attributes(list_of({"DSN=stored", "UID=u", "TARGETUSER=t", "DESCRIPTION=attr"}).c_str(), &attrs), 0);
  std::vector<std::string> notices;
  auto notify = [&](const std::string& c, const std::string& t) { notices.push_back(c + "|" + t); };
  DsnRecord r = load_dsn(attrs, kModeConfigure, notify);
  EXPECT_EQ(r.description, "attr");
  EXPECT_EQ(r.servers, "h1:8888,h2:8889");
  EXPECT_EQ(r.logon_user, "ini-user");
  EXPECT_EQ(r.logon_auth, "ini-pw");
  EXPECT_EQ(r.target_dsn, "ini-target");
  EXPECT_EQ(r.target_user, "u");
  EXPECT_EQ(r.target_auth, "ini-tpw");
  EXPECT_EQ(r.block_fetch_size, 100);
  EXPECT_FALSE(r.metadata_block_fetch);
  EXPECT_TRUE(r.use_vek_db_auth);
  EXPECT_TRUE(r.getinfo_passthru);
  EXPECT_FALSE(r.override_length);
  EXPECT_FALSE(r.map_exec_direct);
  EXPECT_EQ(r.connect_attempts, 5);
  EXPECT_TRUE(notices.empty());

  // Adding never reads odbc.ini, even for an existing name.
  DsnRecord added = load_dsn(attrs, kModeAdd, notify);
  EXPECT_EQ(added.logon_user, "");
  EXPECT_EQ(added.servers, "");
  EXPECT_TRUE(added.metadata_block_fetch);
  EXPECT_TRUE(added.map_exec_direct);
  EXPECT_FALSE(added.use_vek_db_auth);
  EXPECT_EQ(added.connect_attempts, 5);

  // SERVER and PORT of different lengths: the conflict notice and no list.
  put("stored", "PORT", "8888");
  DsnRecord conflict = load_dsn(attrs, kModeConfigure, notify);
  EXPECT_EQ(conflict.servers, "");
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0], "Server/Port conflict|Inconsistent Server/Port definitions.\n\"h1,h2\" and \"8888\"");
}

TEST_F(RecordTest, SaveRewritesTheSectionInOrderWithDisguisedPasswords) {
  put("saved", "Driver", "Kyvek");
  put("saved", "PORT", "1234");
  put("saved", "FOREIGN", "x");
  DsnRecord r;
  r.name = "saved";
  r.driver = "Kyvek";
  r.servers = "h:8888";
  r.logon_user = "nobody";
  r.logon_auth = "secret";
  r.target_dsn = "vekdb";
  ASSERT_TRUE(save_dsn(r).ok());
  auto section = ini_section(user_ini(), "saved");
  std::vector<std::string> keys;
  for (auto& kv : section) keys.push_back(kv.first);
  // BLOCKFETCHSIZE not set: left out, so that the driver reads ahead where
  // the application cannot tell.
  EXPECT_EQ(keys, (std::vector<std::string>{"Driver", "DESCRIPTION", "SERVERPORT", "LOGONUSER", "LOGONAUTH",
                                            "TARGETDSN", "TARGETUSER", "TARGETAUTH", "METADATABLOCKFETCH", "USEVEKDBAUTH", "GETINFOPASSTHRU", "OVERRIDELENGTH",
                                            "DISGUISEWIDE", "MAPEXECDIRECT", "CONNECTATTEMPTS"}));
  auto m = ini_map(user_ini(), "saved");
  EXPECT_EQ(m["LOGONAUTH"], disguise_password("secret", kLogonAuthKey));
  EXPECT_EQ(user_ini().find("secret"), std::string::npos);
  EXPECT_EQ(m["TARGETAUTH"], "");
  EXPECT_EQ(m["METADATABLOCKFETCH"], "1");
  EXPECT_EQ(m["USEVEKDBAUTH"], "0");
  EXPECT_EQ(m["MAPEXECDIRECT"], "1");
  EXPECT_EQ(m["CONNECTATTEMPTS"], "5");

  // Round trip: what was saved loads back as it was.
  AttributeValues attrs;
  parse_attributes(list_of({"DSN=saved"}).c_str(), &attrs);
  DsnRecord back = load_dsn(attrs, kModeConfigure, nullptr);
  EXPECT_EQ(back.logon_auth, "secret");
  EXPECT_EQ(back.target_auth, "");
  EXPECT_EQ(back.servers, "h:8888");
  EXPECT_EQ(record_value(back, "PORT"), "8888");

  r.ignore_stmt_attrs = "1,10014";
  ASSERT_TRUE(save_dsn(r).ok());
  EXPECT_EQ(ini_map(user_ini(), "saved")["IGNORESTMTATTRS"], "1,10014");

  // BLOCKFETCHSIZE: a size (0 included) is stored and loads back; not set
  // stays not set, and setting it back to that removes the stored one.
  EXPECT_EQ(back.block_fetch_size, -1);
  for (int size : {0, 100, -1}) {
    SCOPED_TRACE(size);
    r.block_fetch_size = size;
    ASSERT_TRUE(save_dsn(r).ok());
    auto saved = ini_section(user_ini(), "saved");
    const bool stored = std::any_of(saved.begin(), saved.end(), [](auto& kv) { return kv.first == "BLOCKFETCHSIZE"; });
    EXPECT_EQ(stored, size >= 0);
    if (size >= 0) {
      EXPECT_EQ(ini_map(user_ini(), "saved")["BLOCKFETCHSIZE"], std::to_string(size));
    }
    EXPECT_EQ(load_dsn(attrs, kModeConfigure, nullptr).block_fetch_size, size);
  }
}

TEST_F(RecordTest, RefusedSavesWriteNothing) {
  DsnRecord good;
  good.name = "keep";
  good.driver = "Kyvek";
  good.servers = "h:1";
  good.target_auth = "tpw";
  ASSERT_TRUE(save_dsn(good).ok());
  const std::string before = user_ini();

  const struct {
    const char* name;
    void (*change)(DsnRecord&);
    SaveError error;
  } cases[] = {
      {"password of 128", [](DsnRecord& r) { r.logon_auth = std::string(128, 'p'); }, SaveError::kPasswordTooLong},
      {"target password of 128", [](DsnRecord& r) { r.target_auth = std::string(128, 'p'); },
       SaveError::kPasswordTooLong},
      {"line break in a value", [](DsnRecord& r) { r.description = "x\nDRIVER=/tmp/evil.so"; }, SaveError::kLineBreak},
      {"line break in the name", [](DsnRecord& r) { r.name = "keep\n[other"; }, SaveError::kLineBreak},
      {"no name", [](DsnRecord& r) { r.name = ""; }, SaveError::kNoName},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DsnRecord r = good;
    c.change(r);
    EXPECT_EQ(save_dsn(r).error, c.error);
    EXPECT_EQ(user_ini(), before);
  }
  DsnRecord longest = good;
  longest.logon_auth = std::string(127, 'p');
  EXPECT_TRUE(save_dsn(longest).ok());
  EXPECT_EQ(ini_map(user_ini(), "keep")["LOGONAUTH"].size(), 254u);

  // The completion dialog's record has no driver text: nothing is written.
  DsnRecord completion = good;
  completion.driver.clear();
  completion.description = "not saved";
  const std::string now = user_ini();
  EXPECT_TRUE(save_dsn(completion).ok());
  EXPECT_EQ(user_ini(), now);
}

TEST_F(RecordTest, HarvestBitsAreTheDriversPresenceBits) {
  mem_handle* pool = ky_mem_alloc_handle(nullptr);
  con_str cs;
  init_con_str(&cs);
  append_pair(&cs, "SERVERPORT", "h1:1,h2:2", pool);
  append_pair(&cs, "LOGONUSER", "u", pool);
  append_pair(&cs, "LOGONAUTH", "p", pool);
  append_pair(&cs, "TARGETDSN", "t", pool);
  append_pair(&cs, "TARGETUSER", "tu", pool);
  append_pair(&cs, "TARGETAUTH", "tp", pool);
  append_pair(&cs, "IGNORESTMTATTRS", "1", pool);
  uint32_t mask = 0;
  ASSERT_EQ(vek_complete_info(nullptr, &cs, &mask, pool), 1);
  driver::AttrList list;
  for (ListNode* n = ListFirst(cs.list); n; n = ListNext(n)) {
    auto* p = static_cast<pair*>(ListData(n));
    list.set(p->key, p->value);
  }
  EXPECT_EQ(*list.get("SERVER"), "h1,h2");
  EXPECT_EQ(*list.get("PORT"), "1,2");
  EXPECT_EQ(list.get("BLOCKFETCHSIZE"), nullptr);  // not set: the driver chooses
  EXPECT_EQ(*list.get("CONNECTATTEMPTS"), "5");
  EXPECT_EQ(list.get("MAPEXECDIRECT"), nullptr);
  // Every harvested key's bit as the driver computes it, and no other bit.
  EXPECT_EQ(mask, driver::attribute_presence_mask(list));
  ky_mem_release_handle(pool);
}

}  // namespace
}  // namespace kyvek::setup
