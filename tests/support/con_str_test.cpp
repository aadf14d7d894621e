// Connection strings: parsing (brace rule, default DSN, lengths), the three
// writers with their capacities, and the editing operations.
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "con_str_pairs.h"
#include "ky_constr.h"

namespace {

class ConStr : public ::testing::Test {
 protected:
  void SetUp() override {
    pool_ = ky_mem_alloc_handle(nullptr);
    init_con_str(&cs_);
  }
  void TearDown() override { ky_mem_release_handle(pool_); }

  Pairs pairs() const {
    Pairs out = pairs_of(cs_);
    EXPECT_EQ(static_cast<size_t>(cs_.count), out.size());
    return out;
  }

  void reset() {
    ky_mem_release_handle(pool_);
    SetUp();
  }

  void build(const Pairs& ps) {
    for (const auto& [k, v] : ps) ASSERT_EQ(append_pair(&cs_, k.c_str(), v.c_str(), pool_), 0);
  }

  std::string generate(int32_t capacity) {
    std::vector<char> buf(static_cast<size_t>(capacity > 0 ? capacity : 1), '#');
    EXPECT_EQ(generate_connection_string(&cs_, buf.data(), capacity), buf.data());
    return std::string(buf.data(), strnlen(buf.data(), buf.size()));
  }

  mem_handle* pool_ = nullptr;
  con_str cs_{};
};

TEST_F(ConStr, ParseTable) {
  struct Case {
    const char* text;
    int32_t flags;
    Pairs expect;
  } cases[] = {
      {"DSN=a;dsn=b", 0, {{"DSN", "b"}}},
      {"DRIVER={SQL Server;x};UID=u", 0, {{"DRIVER", "SQL Server;x"}, {"UID", "u"}}},
      // Braces hold for every key; '}}' inside braces is one '}'.
      {"UID={a;b}", 1, {{"UID", "a;b"}}},
      {"PWD={p}}w;d};UID=u", 1, {{"PWD", "p}w;d"}, {"UID", "u"}}},
      {"PWD={x}}}", 1, {{"PWD", "x}"}}},
      {"DRIVER={x} ;UID=u", 0, {{"DRIVER", "x"}, {"UID", "u"}}},
      {"DRIVER={open;UID=u", 0, {{"DRIVER", "open;UID=u"}}},
      {"SqiTarget1={DSN=t;UID=v};RemoteString2={z}", 1, {{"SQITARGET1", "DSN=t;UID=v"}, {"REMOTESTRING2", "z"}}},
      {"UID=u", 0, {{"UID", "u"}, {"DSN", "DEFAULT"}}},
      {"UID=u", 1, {{"UID", "u"}}},
      {"FILEDSN=f.dsn", 0, {{"FILEDSN", "f.dsn"}}},
      {"driver={d}", 0, {{"DRIVER", "d"}}},
      {";", 0, {}},
      {"", 0, {}},
      {"A=1;B", 1, {{"A", "1"}}},
      {"A=;B=2;", 1, {{"A", ""}, {"B", "2"}}},
      {" k = v ", 1, {{" K ", " v "}}},
      {"A=x{y};B=2", 1, {{"A", "x{y}"}, {"B", "2"}}},
      // Repeats kept as pairs of their own, so that a caller can refuse them.
      {"DSN=a;UID=u;dsn=b", 3, {{"DSN", "a"}, {"UID", "u"}, {"DSN", "b"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse_connection_string(&cs_, pool_, c.text, KY_CONSTR_NTS, c.flags), 0);
    EXPECT_EQ(pairs(), c.expect);
  }
}

TEST_F(ConStr, ParseHonoursLength) {
  EXPECT_EQ(parse_connection_string(&cs_, pool_, "DSN=abcdef", 5, 0), 0);
  EXPECT_EQ(pairs(), (Pairs{{"DSN", "a"}}));

  // A length past the terminator stops at it (the buffer is exactly sized).
  auto heap = std::make_unique<char[]>(6);
  std::memcpy(heap.get(), "DSN=x", 6);
  EXPECT_EQ(parse_connection_string(&cs_, pool_, heap.get(), 100, 0), 0);
  EXPECT_EQ(pairs(), (Pairs{{"DSN", "x"}}));

  EXPECT_EQ(parse_connection_string(&cs_, pool_, "DSN=x", -1, 0), -1);
  EXPECT_EQ(parse_connection_string(&cs_, nullptr, "DSN=x", KY_CONSTR_NTS, 0), -1);
  EXPECT_EQ(parse_connection_string(nullptr, pool_, "DSN=x", KY_CONSTR_NTS, 0), -1);
}

TEST_F(ConStr, SecondParseReplacesTheList) {
  parse_connection_string(&cs_, pool_, "A=1;B=2", KY_CONSTR_NTS, 1);
  parse_connection_string(&cs_, pool_, "C=3", KY_CONSTR_NTS, 1);
  EXPECT_EQ(pairs(), (Pairs{{"C", "3"}}));
}

TEST_F(ConStr, GeneratedTextParsesBackToTheSamePairs) {
  const Pairs values = {
      {"UID", "plain"},      {"PWD", "a;b"},    {"X1", "{x}"},        {"X2", "}"},
      {"X3", " lead"},       {"X4", "trail\t"}, {"X5", "p}}w"},       {"X6", ""},
      {"X7", "k=v"},         {"X8", "{"},       {"X9", "x;DSN=evil"}, {"SQITARGET", "DSN=t;PWD={q}}"},
      {"DRIVER", "Drv {1}"},
  };
  build(values);
  char out[1024];
  for (auto gen : {generate_connection_string, generate_connection_string_ex}) {
    ASSERT_EQ(gen(&cs_, out, sizeof out), out);
    con_str back;
    init_con_str(&back);
    ASSERT_EQ(parse_connection_string(&back, pool_, out, KY_CONSTR_NTS, 1), 0);
    Pairs got;
    for (ListNode* n = ListFirst(back.list); n; n = ListNext(n)) {
      auto* p = static_cast<pair*>(ListData(n));
      got.emplace_back(p->key, p->value);
    }
    EXPECT_EQ(got, values) << out;
  }
}

TEST_F(ConStr, WriterForms) {
  struct Case {
    Pairs list;
    std::string expect;
  } cases[] = {
      {{{"DSN", "x"}, {"DRIVER", "d"}, {"DESCRIPTION", "text"}, {"UID", "y"}}, "DSN=x;UID=y;"},
      {{{"DRIVER", "SQL Server"}, {"UID", "u"}}, "DRIVER={SQL Server};UID=u;"},
      {{{"REMOTESTRINGX", "a"}, {"PWD", "p;q"}, {"P2", "}"}}, "REMOTESTRINGX={a};PWD={p;q};P2={}}};"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expect);
    reset();
    build(c.list);
    EXPECT_EQ(generate(1024), c.expect);
  }
}

TEST_F(ConStr, WriterStopsAtFirstEntryThatDoesNotFit) {
  build({{"DSN", "x"}, {"UID", "longer"}, {"P", "1"}});
  const std::string full = "DSN=x;UID=longer;P=1;";
  struct Case {
    int32_t capacity;
    std::string expect;
  } cases[] = {
      {static_cast<int32_t>(full.size() + 1), full},  // exact fit
      {static_cast<int32_t>(full.size()), "DSN=x;UID=longer;"},
      {8, "DSN=x;"},  // the short third entry would fit but the list stops
      {6, ""},
      {1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.capacity);
    EXPECT_EQ(generate(c.capacity), c.expect);
  }
  char untouched[4] = "abc";
  EXPECT_EQ(generate_connection_string(&cs_, untouched, 0), untouched);
  EXPECT_EQ(generate_connection_string(&cs_, untouched, -5), untouched);
  EXPECT_STREQ(untouched, "abc");
  EXPECT_EQ(generate_connection_string(&cs_, nullptr, 10), nullptr);
}

TEST_F(ConStr, EmptyListWritesEmptyText) {
  char out[8] = "garbage";
  EXPECT_EQ(generate_connection_string(&cs_, out, sizeof out), out);
  EXPECT_STREQ(out, "");
  std::strcpy(out, "garbage");
  EXPECT_EQ(generate_connection_string_ex(&cs_, out, sizeof out), out);
  EXPECT_STREQ(out, "");
}

TEST_F(ConStr, WriterWithoutDriverManagerKey) {
  build({{"ODBCDM", "1"}, {"DRIVER", "d"}, {"DESCRIPTION", "t"}, {"DSN", "x"}});
  char out[64];
  EXPECT_STREQ(generate_connection_string_ex(&cs_, out, sizeof out), "DRIVER=d;DESCRIPTION=t;DSN=x;");
  EXPECT_STREQ(generate_connection_string_ex(&cs_, out, 12), "DRIVER=d;");
}

TEST_F(ConStr, InstallerForm) {
  build({{"DSN", "x"}, {"UID", "y"}});
  const std::string full("DSN=x\0UID=y\0\0", 13);
  struct Case {
    int32_t capacity;
    std::string expect;
  } cases[] = {
      {13, full},
      {12, std::string("DSN=x\0\0", 7)},
      {7, std::string("DSN=x\0\0", 7)},
      {6, std::string("\0", 1)},
      {2, std::string("\0", 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.capacity);
    std::vector<char> buf(static_cast<size_t>(c.capacity), '#');
    ASSERT_EQ(generate_connection_string_config(&cs_, buf.data(), c.capacity), buf.data());
    EXPECT_EQ(std::string(buf.data(), c.expect.size()), c.expect);
  }
  char small[1];
  EXPECT_EQ(generate_connection_string_config(&cs_, small, 1), nullptr);
  EXPECT_EQ(generate_connection_string_config(&cs_, nullptr, 10), nullptr);

  con_str empty;
  init_con_str(&empty);
  char two[2] = {'#', '#'};
  ASSERT_EQ(generate_connection_string_config(&empty, two, 2), two);
  EXPECT_EQ(two[0], '\0');
  EXPECT_EQ(two[1], '\0');
}

TEST_F(ConStr, AppendAndLookup) {
  EXPECT_EQ(append_pair(&cs_, "uid", "u", pool_), 0);
  EXPECT_EQ(append_pair(&cs_, "UID", "v", pool_), 0);
  EXPECT_EQ(append_pair(&cs_, "pwd", nullptr, pool_), 1);
  EXPECT_EQ(append_pair(&cs_, nullptr, "x", pool_), 1);
  EXPECT_EQ(append_pair(&cs_, "a", "x", nullptr), -1);
  EXPECT_EQ(pairs(), (Pairs{{"UID", "v"}}));
  EXPECT_STREQ(get_attribute_value(&cs_, "Uid"), "v");
  EXPECT_EQ(get_attribute_value(&cs_, "PWD"), nullptr);
  EXPECT_EQ(get_attribute_value(&cs_, nullptr), nullptr);
  EXPECT_EQ(get_attribute_value(nullptr, "UID"), nullptr);
}

TEST_F(ConStr, Editing) {
  build({{"A", "1"}, {"B", "2"}, {"C", "3"}});
  EXPECT_EQ(modify_connection_string(&cs_, "b", "20", pool_), 0);
  EXPECT_EQ(modify_connection_string(&cs_, "Z", "9", pool_), 100);
  EXPECT_EQ(change_connection_string(&cs_, "c", "NewKey", pool_), 0);  // kept as written
  EXPECT_EQ(change_connection_string(&cs_, "Q", "R", pool_), 100);
  EXPECT_EQ(pairs(), (Pairs{{"A", "1"}, {"B", "20"}, {"NewKey", "3"}}));

  // Two pairs bearing A: replace renames the last one.
  ASSERT_EQ(change_connection_string(&cs_, "B", "a", pool_), 0);
  EXPECT_EQ(replace_connection_string(&cs_, "A", "NEWKEY", pool_), 100);  // new key present
  EXPECT_EQ(replace_connection_string(&cs_, "A", "", pool_), 100);
  EXPECT_EQ(replace_connection_string(&cs_, "A", "D", pool_), 0);
  EXPECT_EQ(pairs(), (Pairs{{"A", "1"}, {"D", "20"}, {"NewKey", "3"}}));

  EXPECT_EQ(delete_connection_string(&cs_, "d", pool_), 0);
  EXPECT_EQ(delete_connection_string(&cs_, "d", pool_), 100);
  EXPECT_EQ(delete_connection_string(&cs_, nullptr, pool_), 100);
  EXPECT_EQ(delete_connection_string(&cs_, "A", pool_), 0);
  EXPECT_EQ(delete_connection_string(&cs_, "newkey", pool_), 0);
  EXPECT_EQ(pairs(), Pairs{});
  EXPECT_EQ(replace_connection_string(&cs_, "A", "B", pool_), 100);
  EXPECT_EQ(append_pair(&cs_, "e", "5", pool_), 0);
  EXPECT_EQ(pairs(), (Pairs{{"E", "5"}}));
}

TEST_F(ConStr, MergeAppendsMissingAndReplacesEveryHolder) {
  build({{"DSN", "a"}, {"UID", "u"}, {"X", "1"}});
  ASSERT_EQ(change_connection_string(&cs_, "X", "uid", pool_), 0);
  con_str source;
  init_con_str(&source);
  ASSERT_EQ(parse_connection_string(&source, pool_, "uid=v;PWD={p;w}", KY_CONSTR_NTS, 1), 0);
  EXPECT_EQ(merge_connection_string(&cs_, &source, pool_), 0);
  EXPECT_EQ(pairs(), (Pairs{{"DSN", "a"}, {"UID", "v"}, {"uid", "v"}, {"PWD", "p;w"}}));
  EXPECT_EQ(merge_connection_string(&cs_, nullptr, pool_), 0);
  EXPECT_EQ(merge_connection_string(nullptr, &source, pool_), -1);
}

}  // namespace
