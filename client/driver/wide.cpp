// The wide entry points (wide.h): UTF-16 in, the narrow internal function,
// UTF-16 out.
#include "wide.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "api.h"
#include "trace.h"

namespace kyvek::driver {

namespace wide {

bool to_utf8(const SQLWCHAR* in, SQLLEN n, std::string* out, size_t* bad) {
  out->clear();
  if (n == SQL_NTS) {
    n = 0;
    while (in[n] != 0) ++n;
  }
  out->reserve(static_cast<size_t>(n));
  for (SQLLEN i = 0; i < n; ++i) {
    uint32_t c = in[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00u);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      *bad = static_cast<size_t>(i);
      return false;
    }
    if (c < 0x80) {
      out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (c >> 6)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (c >> 12)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (c >> 18)));
      out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return true;
}

bool to_utf16(std::string_view in, std::u16string* out, size_t* bad) {
  out->clear();
  out->reserve(in.size());
  for (size_t i = 0; i < in.size();) {
    const auto b = static_cast<unsigned char>(in[i]);
    uint32_t c;
    size_t len;
    if (b < 0x80) {
      c = b, len = 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
      c = b & 0x1Fu, len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      c = b & 0x0Fu, len = 3;
    } else if (b >= 0xF0 && b <= 0xF4) {
      c = b & 0x07u, len = 4;
    } else {
      *bad = i;
      return false;
    }
    if (i + len > in.size()) {
      *bad = i;
      return false;
    }
    for (size_t k = 1; k < len; ++k) {
      const auto cb = static_cast<unsigned char>(in[i + k]);
      if ((cb & 0xC0) != 0x80) {
        *bad = i;
        return false;
      }
      c = (c << 6) | (cb & 0x3Fu);
    }
    if ((len == 3 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) || (len == 4 && (c < 0x10000 || c > 0x10FFFF))) {
      *bad = i;
      return false;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out->push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(c));
    }
    i += len;
  }
  return true;
}

}  // namespace wide

namespace {

// The handle whose records a call's own findings go to; the diagnostic
// functions post nothing (they read the records).
struct Target {
  int kind;
  void* h;
  bool post = true;
};

SQLRETURN not_in_repertoire(const Target& t, const char* what, size_t at) {
  if (!t.post) return SQL_ERROR;
  const client_dbc* dbc = nullptr;
  if (diag_header* hdr = handle_diag(t.kind, t.h, &dbc))
    post_client(hdr, dbc, 0, "22021", false, "Character not in repertoire: %s (at %zu)", what, at);
  return SQL_ERROR;
}

// Text from the application, as UTF-8 for a narrow function. A null text or
// a negative length other than SQL_NTS goes on as given, for the narrow
// function to judge.
class In {
 public:
  In(const void* text, SQLLEN units) : n_(units), null_(text == nullptr) {
    if (!null_ && (units >= 0 || units == SQL_NTS))
      ok_ = wide::to_utf8(static_cast<const SQLWCHAR*>(text), units, &s_, &bad_);
  }
  // A length in bytes (attribute and descriptor values).
  static SQLLEN units_of_bytes(SQLLEN bytes) { return bytes >= 0 ? bytes / static_cast<SQLLEN>(sizeof(SQLWCHAR)) : bytes; }

  bool ok() const { return ok_; }
  SQLRETURN refuse(const Target& t) const {
    return not_in_repertoire(t, "the text holds an unpaired UTF-16 surrogate", bad_);
  }
  SQLCHAR* text() { return null_ ? nullptr : reinterpret_cast<SQLCHAR*>(s_.data()); }
  template <class L>
  L length() const {
    if (null_ || (n_ < 0 && n_ != SQL_NTS)) return static_cast<L>(n_);
    if (n_ == SQL_NTS || s_.size() > static_cast<size_t>(std::numeric_limits<L>::max())) return SQL_NTS;
    return static_cast<L>(s_.size());
  }

 private:
  SQLLEN n_;
  bool null_;
  bool ok_ = true;
  size_t bad_ = 0;
  std::string s_;
};

// How a wide answer is counted and fetched.
template <class L>
struct Out {
  SQLPOINTER buf;
  L cap;
  L* len;
  bool bytes;         // cap and *len count bytes (else SQLWCHARs)
  bool again = true;  // the narrow call may be made again for the whole text
};

bool high_surrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }

// Runs call(buffer, capacity, &length) (the narrow function's text out) and
// hands its text to the application as UTF-16: whole with its NUL when it
// fits, else cut before the NUL (never inside a surrogate pair) with 01004;
// *len gets the whole length. A call that may be repeated gets a buffer for
// what the application can take and is made again when the text is longer;
// one that may not (it changes state) gets the largest buffer at once.
template <class L, class Call>
SQLRETURN text_out(const Target& t, Out<L> o, Call&& call) {
  if (o.cap < 0) {
    L n = 0;
    return call(nullptr, o.cap, &n);  // the narrow function's own answer
  }
  const int64_t units = o.bytes ? o.cap / static_cast<int64_t>(sizeof(SQLWCHAR)) : o.cap;
  const int64_t limit = std::min<int64_t>(std::numeric_limits<L>::max(), 1 << 20);
  const int64_t narrow = o.again ? std::min<int64_t>(units * 3 + 1, limit) : std::min<int64_t>(limit, 32767);
  std::string buf(static_cast<size_t>(narrow), '\0');
  L n = 0;
  SQLRETURN rc = call(reinterpret_cast<SQLCHAR*>(buf.data()), static_cast<L>(narrow), &n);
  if (!rc_ok(rc) && rc != SQL_NEED_DATA) return rc;
  if (o.again && n >= narrow && n < limit) {
    buf.assign(static_cast<size_t>(n) + 1, '\0');
    rc = call(reinterpret_cast<SQLCHAR*>(buf.data()), static_cast<L>(n + 1), &n);
    if (!rc_ok(rc) && rc != SQL_NEED_DATA) return rc;
  }
  const size_t have = strnlen(buf.data(), buf.size());
  std::u16string u;
  size_t bad = 0;
  if (!wide::to_utf16(std::string_view(buf.data(), have), &u, &bad))
    return not_in_repertoire(t, "the server's text is not UTF-8", bad);
  const int64_t more = n > static_cast<int64_t>(have) ? n - static_cast<int64_t>(have) : 0;
  const int64_t full = static_cast<int64_t>(u.size()) + more;
  if (o.len) *o.len = static_cast<L>(std::min<int64_t>(o.bytes ? full * 2 : full, std::numeric_limits<L>::max()));
  bool cut = false;
  if (o.buf) {
    auto* out = static_cast<SQLWCHAR*>(o.buf);
    if (units > 0) {
      size_t k = u.size();
      if (static_cast<int64_t>(k) >= units || more > 0) {
        k = std::min<size_t>(k, static_cast<size_t>(units - 1));
        if (k > 0 && k < u.size() && high_surrogate(u[k - 1])) --k;
        cut = true;
      }
      std::memcpy(out, u.data(), k * sizeof(SQLWCHAR));
      out[k] = 0;
    } else {
      cut = full > 0;
    }
  }
  if (cut) {
    if (t.post) {
      const client_dbc* dbc = nullptr;
      if (diag_header* hdr = handle_diag(t.kind, t.h, &dbc)) {
        post_client(hdr, dbc, 4, sqlstate::k01004, false);
        set_return_code(hdr, SQL_SUCCESS_WITH_INFO);
      }
    }
    if (rc == SQL_SUCCESS) rc = SQL_SUCCESS_WITH_INFO;
  }
  return rc;
}

// Fields and attributes whose values are text.
bool desc_text_field(SQLSMALLINT f) {
  switch (f) {
    case SQL_DESC_BASE_COLUMN_NAME:
    case SQL_DESC_BASE_TABLE_NAME:
    case SQL_DESC_CATALOG_NAME:
    case SQL_DESC_LABEL:
    case SQL_DESC_LITERAL_PREFIX:
    case SQL_DESC_LITERAL_SUFFIX:
    case SQL_DESC_LOCAL_TYPE_NAME:
    case SQL_DESC_NAME:
    case SQL_DESC_SCHEMA_NAME:
    case SQL_DESC_TABLE_NAME:
    case SQL_DESC_TYPE_NAME: return true;
    default: return false;
  }
}
// SQLColAttribute adds the ODBC 2 column name.
bool column_text_field(SQLUSMALLINT f) { return f == SQL_COLUMN_NAME || desc_text_field(static_cast<SQLSMALLINT>(f)); }
bool diag_text_field(SQLSMALLINT id) {
  switch (id) {
    case SQL_DIAG_CLASS_ORIGIN:
    case SQL_DIAG_SUBCLASS_ORIGIN:
    case SQL_DIAG_CONNECTION_NAME:
    case SQL_DIAG_MESSAGE_TEXT:
    case SQL_DIAG_SERVER_NAME:
    case SQL_DIAG_SQLSTATE:
    case SQL_DIAG_DYNAMIC_FUNCTION: return true;
    default: return false;
  }
}
bool connect_text_attr(SQLINTEGER a) {
  return a == SQL_ATTR_CURRENT_CATALOG || a == SQL_ATTR_TRACEFILE || a == SQL_ATTR_TRANSLATE_LIB;
}

int kind_of_type(SQLSMALLINT type) {
  switch (type) {
    case SQL_HANDLE_ENV: return kEnv;
    case SQL_HANDLE_DBC: return kDbc;
    case SQL_HANDLE_STMT: return kStmt;
    default: return kDesc;
  }
}

void widen_state(const SQLCHAR* narrow, SQLWCHAR* state) {
  if (!state) return;
  for (int i = 0; i < 5; ++i) state[i] = narrow[i];
  state[5] = 0;
}

}  // namespace

namespace api {

SQLRETURN connect_w(SQLHDBC h, SQLWCHAR* dsn, SQLSMALLINT dsn_len, SQLWCHAR* uid, SQLSMALLINT uid_len, SQLWCHAR* pwd,
                    SQLSMALLINT pwd_len) {
  const Target t{kDbc, h};
  In d(dsn, dsn_len), u(uid, uid_len), p(pwd, pwd_len);
  for (const In* x : {&d, &u, &p})
    if (!x->ok()) return x->refuse(t);
  return connect(h, d.text(), d.length<SQLSMALLINT>(), u.text(), u.length<SQLSMALLINT>(), p.text(),
                 p.length<SQLSMALLINT>());
}

SQLRETURN driver_connect_w(SQLHDBC h, SQLHWND hwnd, SQLWCHAR* in, SQLSMALLINT inlen, SQLWCHAR* out, SQLSMALLINT outmax,
                           SQLSMALLINT* outlen, SQLUSMALLINT completion) {
  const Target t{kDbc, h};
  In text(in, inlen);
  if (!text.ok()) return text.refuse(t);
  return text_out<SQLSMALLINT>(t, {out, outmax, outlen, false, false}, [&](SQLCHAR* b, SQLSMALLINT c, SQLSMALLINT* n) {
    return driver_connect(h, hwnd, text.text(), text.length<SQLSMALLINT>(), b, c, n, completion);
  });
}

SQLRETURN browse_connect_w(SQLHDBC h, SQLWCHAR* in, SQLSMALLINT inlen, SQLWCHAR* out, SQLSMALLINT outmax,
                           SQLSMALLINT* outlen) {
  const Target t{kDbc, h};
  In text(in, inlen);
  if (!text.ok()) return text.refuse(t);
  return text_out<SQLSMALLINT>(t, {out, outmax, outlen, false, false}, [&](SQLCHAR* b, SQLSMALLINT c, SQLSMALLINT* n) {
    return browse_connect(h, text.text(), text.length<SQLSMALLINT>(), b, c, n);
  });
}

SQLRETURN exec_direct_w(SQLHSTMT h, SQLWCHAR* text, SQLINTEGER len) {
  In sql(text, len);
  if (!sql.ok()) return sql.refuse({kStmt, h});
  return exec_direct(h, sql.text(), sql.length<SQLINTEGER>());
}

SQLRETURN prepare_w(SQLHSTMT h, SQLWCHAR* text, SQLINTEGER len) {
  In sql(text, len);
  if (!sql.ok()) return sql.refuse({kStmt, h});
  return prepare(h, sql.text(), sql.length<SQLINTEGER>());
}

SQLRETURN native_sql_w(SQLHDBC h, SQLWCHAR* in, SQLINTEGER inlen, SQLWCHAR* out, SQLINTEGER outmax,
                       SQLINTEGER* outlen) {
  const Target t{kDbc, h};
  In sql(in, inlen);
  if (!sql.ok()) return sql.refuse(t);
  return text_out<SQLINTEGER>(t, {out, outmax, outlen, false}, [&](SQLCHAR* b, SQLINTEGER c, SQLINTEGER* n) {
    return native_sql(h, sql.text(), sql.length<SQLINTEGER>(), b, c, n);
  });
}

SQLRETURN describe_col_w(SQLHSTMT h, SQLUSMALLINT col, SQLWCHAR* name, SQLSMALLINT cap, SQLSMALLINT* name_len,
                         SQLSMALLINT* type, SQLULEN* size, SQLSMALLINT* digits, SQLSMALLINT* nullable) {
  return text_out<SQLSMALLINT>({kStmt, h}, {name, cap, name_len, false},
                               [&](SQLCHAR* b, SQLSMALLINT c, SQLSMALLINT* n) {
                                 return describe_col(h, col, b, c, n, type, size, digits, nullable);
                               });
}

SQLRETURN col_attribute_w(SQLHSTMT h, SQLUSMALLINT col, SQLUSMALLINT field, SQLPOINTER buf, SQLSMALLINT cap,
                          SQLSMALLINT* len, SQLLEN* num) {
  if (!column_text_field(field)) return col_attribute(h, col, field, buf, cap, len, num);
  return text_out<SQLSMALLINT>({kStmt, h}, {buf, cap, len, true}, [&](SQLCHAR* b, SQLSMALLINT c, SQLSMALLINT* n) {
    return col_attribute(h, col, field, b, c, n, num);
  });
}

SQLRETURN col_attributes_w(SQLHSTMT h, SQLUSMALLINT col, SQLUSMALLINT field, SQLPOINTER buf, SQLSMALLINT cap,
                           SQLSMALLINT* len, SQLLEN* num) {
  if (!column_text_field(field)) return col_attributes(h, col, field, buf, cap, len, num);
  return text_out<SQLSMALLINT>({kStmt, h}, {buf, cap, len, true}, [&](SQLCHAR* b, SQLSMALLINT c, SQLSMALLINT* n) {
    return col_attributes(h, col, field, b, c, n, num);
  });
}

SQLRETURN get_diag_rec_w(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT rec, SQLWCHAR* state, SQLINTEGER* native,
                         SQLWCHAR* msg, SQLSMALLINT cap, SQLSMALLINT* len) {
  SQLCHAR narrow_state[6] = {};
  SQLRETURN rc = text_out<SQLSMALLINT>({kind_of_type(type), h, false}, {msg, cap, len, false},
                                       [&](SQLCHAR* b, SQLSMALLINT c, SQLSMALLINT* n) {
                                         return get_diag_rec(type, h, rec, narrow_state, native, b, c, n);
                                       });
  if (rc_ok(rc)) widen_state(narrow_state, state);
  return rc;
}

SQLRETURN get_diag_field_w(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT rec, SQLSMALLINT id, SQLPOINTER buf,
                           SQLSMALLINT cap, SQLSMALLINT* len) {
  if (!diag_text_field(id)) return get_diag_field(type, h, rec, id, buf, cap, len);
  return text_out<SQLSMALLINT>({kind_of_type(type), h, false}, {buf, cap, len, true},
                               [&](SQLCHAR* b, SQLSMALLINT c, SQLSMALLINT* n) {
                                 return get_diag_field(type, h, rec, id, b, c, n);
                               });
}

SQLRETURN error_w(SQLHENV env, SQLHDBC dbc, SQLHSTMT stmt, SQLWCHAR* state, SQLINTEGER* native, SQLWCHAR* msg,
                  SQLSMALLINT cap, SQLSMALLINT* len) {
  // Each call takes the next record: made once, with room for any text.
  SQLCHAR narrow_state[6] = {};
  const Target t{stmt ? kStmt : dbc ? kDbc : kEnv, stmt ? stmt : dbc ? dbc : env, false};
  SQLRETURN rc =
      text_out<SQLSMALLINT>(t, {msg, cap, len, false, false}, [&](SQLCHAR* b, SQLSMALLINT c, SQLSMALLINT* n) {
        return error(env, dbc, stmt, narrow_state, native, b, c, n);
      });
  if (rc_ok(rc)) widen_state(narrow_state, state);
  return rc;
}

SQLRETURN get_info_w(SQLHDBC h, SQLUSMALLINT type, SQLPOINTER value, SQLSMALLINT cap, SQLSMALLINT* len) {
  if (!info_answer_is_text(type)) return get_info(h, type, value, cap, len);
  return text_out<SQLSMALLINT>({kDbc, h}, {value, cap, len, true}, [&](SQLCHAR* b, SQLSMALLINT c, SQLSMALLINT* n) {
    return get_info(h, type, b, c, n);
  });
}

SQLRETURN set_connect_attr_w(SQLHDBC h, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER len) {
  if (!connect_text_attr(attr) || !value) return set_connect_attr(h, attr, value, len);
  In text(value, In::units_of_bytes(len));
  if (!text.ok()) return text.refuse({kDbc, h});
  return set_connect_attr(h, attr, text.text(), text.length<SQLINTEGER>());
}

SQLRETURN get_connect_attr_w(SQLHDBC h, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER cap, SQLINTEGER* len) {
  if (!connect_text_attr(attr)) return get_connect_attr(h, attr, value, cap, len);
  return text_out<SQLINTEGER>({kDbc, h}, {value, cap, len, true}, [&](SQLCHAR* b, SQLINTEGER c, SQLINTEGER* n) {
    return get_connect_attr(h, attr, b, c, n);
  });
}

SQLRETURN set_connect_option_w(SQLHDBC h, SQLUSMALLINT option, SQLULEN value) {
  auto* p = reinterpret_cast<SQLPOINTER>(value);
  if (!connect_text_attr(option) || !p) return set_connect_option(h, option, value);
  In text(p, SQL_NTS);
  if (!text.ok()) return text.refuse({kDbc, h});
  return set_connect_attr(h, option, text.text(), SQL_NTS);
}

SQLRETURN get_connect_option_w(SQLHDBC h, SQLUSMALLINT option, SQLPOINTER value) {
  if (!connect_text_attr(option)) return get_connect_option(h, option, value);
  // An ODBC 2 option's text buffer holds SQL_MAX_OPTION_STRING_LENGTH bytes.
  return text_out<SQLINTEGER>({kDbc, h}, {value, SQL_MAX_OPTION_STRING_LENGTH, nullptr, true},
                              [&](SQLCHAR* b, SQLINTEGER c, SQLINTEGER* n) {
                                return get_connect_attr(h, option, b, c, n);
                              });
}

SQLRETURN get_cursor_name_w(SQLHSTMT h, SQLWCHAR* name, SQLSMALLINT cap, SQLSMALLINT* len) {
  return text_out<SQLSMALLINT>({kStmt, h}, {name, cap, len, false}, [&](SQLCHAR* b, SQLSMALLINT c, SQLSMALLINT* n) {
    return get_cursor_name(h, b, c, n);
  });
}

SQLRETURN set_cursor_name_w(SQLHSTMT h, SQLWCHAR* name, SQLSMALLINT len) {
  In text(name, len);
  if (!text.ok()) return text.refuse({kStmt, h});
  return set_cursor_name(h, text.text(), text.length<SQLSMALLINT>());
}

SQLRETURN get_desc_field_w(SQLHDESC h, SQLSMALLINT rec, SQLSMALLINT field, SQLPOINTER value, SQLINTEGER cap,
                           SQLINTEGER* len) {
  if (!desc_text_field(field)) return get_desc_field(h, rec, field, value, cap, len);
  return text_out<SQLINTEGER>({kDesc, h}, {value, cap, len, true}, [&](SQLCHAR* b, SQLINTEGER c, SQLINTEGER* n) {
    return get_desc_field(h, rec, field, b, c, n);
  });
}

SQLRETURN set_desc_field_w(SQLHDESC h, SQLSMALLINT rec, SQLSMALLINT field, SQLPOINTER value, SQLINTEGER len) {
  if (!desc_text_field(field) || !value) return set_desc_field(h, rec, field, value, len);
  In text(value, In::units_of_bytes(len));
  if (!text.ok()) return text.refuse({kDesc, h});
  return set_desc_field(h, rec, field, text.text(), text.length<SQLINTEGER>());
}

SQLRETURN get_desc_rec_w(SQLHDESC h, SQLSMALLINT rec, SQLWCHAR* name, SQLSMALLINT cap, SQLSMALLINT* name_len,
                         SQLSMALLINT* type, SQLSMALLINT* subtype, SQLLEN* length, SQLSMALLINT* precision,
                         SQLSMALLINT* scale, SQLSMALLINT* nullable) {
  return text_out<SQLSMALLINT>({kDesc, h}, {name, cap, name_len, false},
                               [&](SQLCHAR* b, SQLSMALLINT c, SQLSMALLINT* n) {
                                 return get_desc_rec(h, rec, b, c, n, type, subtype, length, precision, scale,
                                                     nullable);
                               });
}

// The catalog functions: every name converted, then the narrow function.
#define KY_NAMES2(a, b) \
  In a##_(a, a##n), b##_(b, b##n);
#define KY_CHECK(...)                                  \
  for (const In* x : {__VA_ARGS__})                    \
    if (!x->ok()) return x->refuse({kStmt, h});
#define KY_ARG(a) a##_.text(), a##_.length<SQLSMALLINT>()

SQLRETURN tables_w(SQLHSTMT h, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn, SQLWCHAR* t, SQLSMALLINT tn,
                   SQLWCHAR* y, SQLSMALLINT yn) {
  KY_NAMES2(c, s)
  KY_NAMES2(t, y)
  KY_CHECK(&c_, &s_, &t_, &y_)
  return tables(h, KY_ARG(c), KY_ARG(s), KY_ARG(t), KY_ARG(y));
}

SQLRETURN columns_w(SQLHSTMT h, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn, SQLWCHAR* t, SQLSMALLINT tn,
                    SQLWCHAR* o, SQLSMALLINT on) {
  KY_NAMES2(c, s)
  KY_NAMES2(t, o)
  KY_CHECK(&c_, &s_, &t_, &o_)
  return columns(h, KY_ARG(c), KY_ARG(s), KY_ARG(t), KY_ARG(o));
}

SQLRETURN column_privileges_w(SQLHSTMT h, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn, SQLWCHAR* t,
                              SQLSMALLINT tn, SQLWCHAR* o, SQLSMALLINT on) {
  KY_NAMES2(c, s)
  KY_NAMES2(t, o)
  KY_CHECK(&c_, &s_, &t_, &o_)
  return column_privileges(h, KY_ARG(c), KY_ARG(s), KY_ARG(t), KY_ARG(o));
}

SQLRETURN table_privileges_w(SQLHSTMT h, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn, SQLWCHAR* t,
                             SQLSMALLINT tn) {
  KY_NAMES2(c, s)
  In t_(t, tn);
  KY_CHECK(&c_, &s_, &t_)
  return table_privileges(h, KY_ARG(c), KY_ARG(s), KY_ARG(t));
}

SQLRETURN primary_keys_w(SQLHSTMT h, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn, SQLWCHAR* t,
                         SQLSMALLINT tn) {
  KY_NAMES2(c, s)
  In t_(t, tn);
  KY_CHECK(&c_, &s_, &t_)
  return primary_keys(h, KY_ARG(c), KY_ARG(s), KY_ARG(t));
}

SQLRETURN procedures_w(SQLHSTMT h, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn, SQLWCHAR* p,
                       SQLSMALLINT pn) {
  KY_NAMES2(c, s)
  In p_(p, pn);
  KY_CHECK(&c_, &s_, &p_)
  return procedures(h, KY_ARG(c), KY_ARG(s), KY_ARG(p));
}

SQLRETURN statistics_w(SQLHSTMT h, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn, SQLWCHAR* t,
                       SQLSMALLINT tn, SQLUSMALLINT unique, SQLUSMALLINT reserved) {
  KY_NAMES2(c, s)
  In t_(t, tn);
  KY_CHECK(&c_, &s_, &t_)
  return statistics(h, KY_ARG(c), KY_ARG(s), KY_ARG(t), unique, reserved);
}

SQLRETURN special_columns_w(SQLHSTMT h, SQLUSMALLINT id, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn,
                            SQLWCHAR* t, SQLSMALLINT tn, SQLUSMALLINT scope, SQLUSMALLINT nullable) {
  KY_NAMES2(c, s)
  In t_(t, tn);
  KY_CHECK(&c_, &s_, &t_)
  return special_columns(h, id, KY_ARG(c), KY_ARG(s), KY_ARG(t), scope, nullable);
}

SQLRETURN procedure_columns_w(SQLHSTMT h, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn, SQLWCHAR* p,
                              SQLSMALLINT pn, SQLWCHAR* o, SQLSMALLINT on) {
  KY_NAMES2(c, s)
  KY_NAMES2(p, o)
  KY_CHECK(&c_, &s_, &p_, &o_)
  return procedure_columns(h, KY_ARG(c), KY_ARG(s), KY_ARG(p), KY_ARG(o));
}

SQLRETURN foreign_keys_w(SQLHSTMT h, SQLWCHAR* pc, SQLSMALLINT pcn, SQLWCHAR* ps, SQLSMALLINT psn, SQLWCHAR* pt,
                         SQLSMALLINT ptn, SQLWCHAR* fc, SQLSMALLINT fcn, SQLWCHAR* fs, SQLSMALLINT fsn, SQLWCHAR* ft,
                         SQLSMALLINT ftn) {
  KY_NAMES2(pc, ps)
  KY_NAMES2(pt, fc)
  KY_NAMES2(fs, ft)
  KY_CHECK(&pc_, &ps_, &pt_, &fc_, &fs_, &ft_)
  return foreign_keys(h, KY_ARG(pc), KY_ARG(ps), KY_ARG(pt), KY_ARG(fc), KY_ARG(fs), KY_ARG(ft));
}

#undef KY_NAMES2
#undef KY_CHECK
#undef KY_ARG

}  // namespace api
}  // namespace kyvek::driver
