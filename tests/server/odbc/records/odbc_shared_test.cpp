// Diagnostic posting and type functions of the unit the server shares with the
// client driver. This binary links that unit alone (no Driver Manager).
#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include <string>

#include "diag_post.h"
#include "sql_types.h"
#include "statement_record.h"

namespace {

std::string text(const char* s) { return s != nullptr ? s : "<null>"; }

TEST(PostError, NullHeaderIsIgnored) {
  post_error(nullptr, VENDOR_SERVER, CLASS_ISO, 0, nullptr, nullptr, 0, 0, nullptr, "HY000", "x");
  EXPECT_EQ(set_return_code(nullptr, SQL_ERROR), 0);
}

TEST(PostError, RecordFields) {
  struct Case {
    const char* name;
    uint32_t vendor;
    int class_kind;
    const char* connection;
    const char* server;
    const char* format;
    const char* arg;
    const char* want_class;
    const char* want_connection;
    const char* want_server;
    const char* want_message;
  };
  const Case cases[] = {
      {"server vendor", VENDOR_SERVER, CLASS_ISO, nullptr, "dsn1", "General error: %s", "x", "ISO 9075",
       "Kyronde ODBC (Server)", "dsn1", "[Kyronde ODBC (Server)]General error: x"},
      {"client wins over server", VENDOR_SERVER | VENDOR_CLIENT, CLASS_ODBC3, nullptr, "", "m%s", "", "ODBC 3.0",
       "Kyronde ODBC (Client)", "", "[Kyronde ODBC (Client)]m"},
      {"empty vendor wins", VENDOR_NONE | VENDOR_CLIENT, 7, nullptr, nullptr, "m%s", "", "UNKNOWN", "", "", "[]m"},
      {"common", VENDOR_COMMON, CLASS_ISO, nullptr, nullptr, "%s", "a", "ISO 9075", "Kyronde ODBC (Common)", "",
       "[Kyronde ODBC (Common)]a"},
      {"no flag", 0, CLASS_ISO, nullptr, nullptr, "%s", "a", "ISO 9075", "Kyronde ODBC", "", "[Kyronde ODBC]a"},
      {"given name taken literally", VENDOR_SERVER, CLASS_ISO, "drv%s%n", nullptr, "%s", "100%", "ISO 9075", "drv%s%n",
       "", "[drv%s%n]100%"},
      {"no message", VENDOR_SERVER, CLASS_ISO, nullptr, nullptr, nullptr, nullptr, "ISO 9075", "Kyronde ODBC (Server)",
       "", "<null>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    diag_header h{};
    if (c.format != nullptr) {
      post_error(&h, c.vendor, c.class_kind, 3, c.connection, c.server, 42, 9, "ISO 9075", "01S02", c.format, c.arg);
    } else {
      post_error(&h, c.vendor, c.class_kind, 3, c.connection, c.server, 42, 9, nullptr, nullptr, nullptr);
    }
    ASSERT_EQ(h.record_count, 1);
    const error_record* r = diag_record(&h, 1);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(text(r->class_origin), c.want_class);
    EXPECT_EQ(text(r->connection_name), c.want_connection);
    EXPECT_EQ(text(r->server_name), c.want_server);
    EXPECT_EQ(text(r->message_text), c.want_message);
    EXPECT_EQ(r->column_number, 3);
    EXPECT_EQ(r->native_error, 42);
    EXPECT_EQ(r->row_number, 9);
    if (c.format == nullptr) {
      EXPECT_EQ(r->sqlstate, nullptr);
      EXPECT_EQ(r->subclass_origin, nullptr);
    } else {
      EXPECT_EQ(text(r->sqlstate), "01S02");
    }
    clear_errors(&h);
  }
}

TEST(PostError, OrderCountClearAndReturnCode) {
  diag_header h{};
  EXPECT_EQ(set_return_code(&h, SQL_SUCCESS_WITH_INFO), SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(h.flags & DIAG_RC_RECORDED, static_cast<uint32_t>(DIAG_RC_RECORDED));
  post_error(&h, VENDOR_SERVER, CLASS_ISO, 0, nullptr, nullptr, 1, 0, nullptr, "HY000", "first");
  post_error(&h, VENDOR_SERVER, CLASS_ISO, 0, nullptr, nullptr, 2, 0, nullptr, "HY001", "second");
  ASSERT_EQ(h.record_count, 2);
  EXPECT_EQ(diag_record(&h, 1)->native_error, 1);
  EXPECT_EQ(diag_record(&h, 2)->native_error, 2);
  EXPECT_EQ(diag_record(&h, 3), nullptr);
  EXPECT_EQ(diag_record(&h, 0), nullptr);
  clear_errors(&h);
  EXPECT_EQ(h.record_count, 0);
  EXPECT_EQ(h.first, nullptr);
  EXPECT_EQ(h.flags, 0u);
}

// A long text (a target's notice, say) is kept whole: readers cut it to
// their buffers and say so.
TEST(PostError, LongMessageKeptWhole) {
  diag_header h{};
  std::string longer(3000, 'm');
  longer += "end";
  post_error(&h, VENDOR_SERVER, CLASS_ISO, 0, nullptr, nullptr, 0, 0, nullptr, "HY000", "%s", longer.c_str());
  ASSERT_NE(diag_record(&h, 1), nullptr);
  std::string msg = diag_record(&h, 1)->message_text;
  EXPECT_EQ(msg, "[Kyronde ODBC (Server)]" + longer);
  clear_errors(&h);
}

TEST(PostError, SharedListLocks) {
  diag_header h{};
  ASSERT_EQ(diag_make_shared(&h), 0);
  diag_lock(&h);  // recursive: posting under the reader's lock works
  post_error(&h, VENDOR_SERVER, CLASS_ISO, 0, nullptr, nullptr, 0, 0, nullptr, "HY000", "x");
  diag_unlock(&h);
  EXPECT_EQ(h.record_count, 1);
  clear_errors(&h);
  diag_free_lock(&h);
  EXPECT_EQ(h.lock, nullptr);
}

TEST(Statement, AllocateAndFree) {
  int owner = 0;
  statement_t* s = allocate_statement(&owner);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(std::string(s->tag, 4), "STMT");
  EXPECT_EQ(s->owner, &owner);
  EXPECT_EQ(s->handle_kind, 3);
  for (int i = 0; i < DESC_SLOTS; ++i) {
    EXPECT_EQ(s->implicit_desc[i], nullptr);
    EXPECT_EQ(s->current_desc[i], nullptr);
  }
  post_error(&s->diags, VENDOR_CLIENT, CLASS_ISO, 0, nullptr, nullptr, 0, 0, nullptr, "HY000", "x");
  free_statement_record(s);  // frees the diagnostics too (leak check)
}

TEST(SqlTypes, DefaultCType) {
  const struct {
    int16_t sql;
    int rc;
    int16_t c;
  } cases[] = {
      {SQL_CHAR, 0, SQL_C_CHAR},
      {SQL_VARCHAR, 0, SQL_C_CHAR},
      {SQL_LONGVARCHAR, 0, SQL_C_CHAR},
      {SQL_WCHAR, 0, SQL_C_CHAR},
      {SQL_WVARCHAR, 0, SQL_C_CHAR},
      {SQL_WLONGVARCHAR, 0, SQL_C_CHAR},
      {SQL_DECIMAL, 0, SQL_C_CHAR},
      {-150, 0, SQL_C_CHAR},
      {-154, 0, SQL_C_CHAR},
      {-155, 0, SQL_C_CHAR},
      {SQL_NUMERIC, 0, SQL_C_NUMERIC},
      {SQL_INTEGER, 0, SQL_C_LONG},
      {SQL_SMALLINT, 0, SQL_C_SHORT},
      {SQL_FLOAT, 0, SQL_C_DOUBLE},
      {SQL_DOUBLE, 0, SQL_C_DOUBLE},
      {SQL_REAL, 0, SQL_C_FLOAT},
      {SQL_BIT, 0, SQL_C_BIT},
      {SQL_TINYINT, 0, SQL_C_TINYINT},
      {SQL_BIGINT, 0, SQL_C_SBIGINT},
      {SQL_BINARY, 0, SQL_C_BINARY},
      {SQL_VARBINARY, 0, SQL_C_BINARY},
      {SQL_LONGVARBINARY, 0, SQL_C_BINARY},
      {SQL_GUID, 0, SQL_C_GUID},
      {9, 0, 9},
      {93, 0, 93},
      {101, 0, 101},
      {113, 0, 113},
      {-80, 0, 101},
      {-82, 0, 107},
      {-85, 0, 105},
      {-92, 0, 113},
      {SQL_UNKNOWN_TYPE, -1, 77},
      {-151, -1, 77},
      {114, -1, 77},
      {-93, -1, 77},
      {12345, -1, 77},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sql);
    int16_t out = 77;
    EXPECT_EQ(sqltype2ctype(c.sql, &out), c.rc);
    EXPECT_EQ(out, c.c);
  }
}

TEST(SqlTypes, Validity) {
  for (int t : {-28, -27, -26, -25, -18, -17, -16, -15, -8, -7, -6, -2,  1,  2,
                4,   5,   7,   8,   9,   10,  11,  91,  92, 93, 99, 101, 113}) {
    EXPECT_EQ(is_valid_ctype(static_cast<int16_t>(t)), 0) << t;
  }
  for (int t : {SQL_C_GUID, 0, 3, 6, 12, 100, 114, -1, -3, -29}) {
    EXPECT_EQ(is_valid_ctype(static_cast<int16_t>(t)), -1) << t;
  }
  for (int t : {1, 12, 91, 93, 101, 113, -1, -11, -80, -92, -150, -155}) {
    EXPECT_EQ(is_valid_sqltype(static_cast<int16_t>(t)), 0) << t;
  }
  for (int t : {0, 13, 90, 94, 100, 114, -12, -79, -93, -149, -156}) {
    EXPECT_EQ(is_valid_sqltype(static_cast<int16_t>(t)), -1) << t;
  }
  EXPECT_TRUE(is_any_interval_type(-85));
  EXPECT_FALSE(is_interval_type(-85));
  EXPECT_TRUE(is_interval_type(107));
  EXPECT_FALSE(is_any_interval_type(-79));
  EXPECT_TRUE(is_datetime_type(92));
  EXPECT_FALSE(is_datetime_type(12));
  EXPECT_TRUE(is_precision_type(SQL_DECIMAL));
  EXPECT_FALSE(is_precision_type(SQL_INTEGER));
}

TEST(SqlTypes, Split) {
  int16_t verbose = 0, concise = 0, sub = -1;
  split_datetime_type(93, &verbose, &concise, &sub, 0);
  EXPECT_EQ(verbose, SQL_DATETIME);
  EXPECT_EQ(concise, 93);
  EXPECT_EQ(sub, -1);  // no subcode without flags
  split_datetime_type(93, &verbose, &concise, &sub, 0x2);
  EXPECT_EQ(sub, 3);
  split_datetime_type(9, nullptr, nullptr, &sub, 0x1);
  EXPECT_EQ(sub, 1);
  split_interval_type(107, &verbose, &concise, &sub, 0x1);
  EXPECT_EQ(verbose, SQL_INTERVAL);
  EXPECT_EQ(concise, 107);
  EXPECT_EQ(sub, 7);
}

TEST(SqlTypes, TypeLength) {
  const struct {
    int16_t c;
    int64_t octet;
    uint32_t flags;
    int64_t want;
  } cases[] = {
      {SQL_C_BIT, 0, 0, 1},
      {SQL_C_UTINYINT, 0, 0, 1},
      {SQL_C_SSHORT, 0, 0, 2},
      {SQL_C_LONG, 0, 0, 4},
      {SQL_C_FLOAT, 0, 0, 4},
      {SQL_C_DOUBLE, 0, 0, 8},
      {SQL_C_SBIGINT, 0, 0, 8},
      {SQL_C_GUID, 0, 0, 16},
      {SQL_C_NUMERIC, 0, 0, 19},
      {SQL_C_TYPE_DATE, 0, 0, 6},
      {SQL_C_TIME, 0, 0, 6},
      {SQL_C_TIMESTAMP, 0, 0, 16},
      {101, 0, 0, 28},
      {113, 0, 0, 28},
      {SQL_C_CHAR, 0, 1, 0},
      {SQL_C_CHAR, 10, 0, 0},
      {SQL_C_CHAR, 10, 1, 11},
      {SQL_C_WCHAR, 10, 1, 11},
      {SQL_C_CHAR, 2147483647, 1, 2147483647},
      {SQL_C_CHAR, 5000000000LL, 1, 5000000000LL},  // an SQLLEN is not cut to 32 bits
      {SQL_C_BINARY, 0, 1, 0},
      {SQL_C_BINARY, 7, 1, 7},
      {SQL_C_BINARY, 7, 0, 0},
      {SQL_C_DEFAULT, 9, 1, 9},
      {SQL_C_DEFAULT, 0, 1, 4},
      {SQL_C_DEFAULT, 9, 0, -1},
      {0, 0, 1, -1},
      {3, 0, 1, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.c << "," << c.octet << "," << c.flags);
    EXPECT_EQ(get_type_len(c.c, c.octet, c.flags), c.want);
  }
  EXPECT_STREQ(ctype_name(SQL_C_CHAR), "SQL_C_CHAR");
  EXPECT_EQ(ctype_name(1234), nullptr);
}

}  // namespace
