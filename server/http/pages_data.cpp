// Data-source browsing: the SYSTEM data sources, a data source's tables, a
// table's columns and ten rows at a time. The table named in a request must
// be one the data source lists, and it is quoted in the query.
#include <cstdlib>
#include <cstring>

#include "http_odbc.h"
#include "pages.h"
#include "settings.h"

namespace kyvek::http {

namespace {

constexpr size_t kListReserve = 3000;

struct Odbc {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  ~Odbc() { veks_odbc_release(env, dbc, stmt); }
};

class Page {
 public:
  Page(http_request& r, char* out, size_t* length) : r_(r), out_(out), length_(length) {}
  void put(std::string_view s) {
    written_ += s.size();
    append_output(r_, out_, length_, s);
  }
  size_t written() const { return written_; }
  void diag(SQLSMALLINT type, SQLHANDLE h, const char* heading) {
    veks_odbc_diag_text(type, h, heading, r_, out_, length_);
  }
  http_request& r_;
  char* out_;
  size_t* length_;

 private:
  size_t written_ = 0;
};

std::string cell(const SQLCHAR* data, SQLLEN ind) {
  if (ind == SQL_NULL_DATA || ind == 0) return "&nbsp;";
  return html_escape(reinterpret_cast<const char*>(data));
}

bool connect(Odbc& o, const std::string& conn, Page& p) {
  if (veks_odbc_connect(&o.env, &o.dbc, conn, 0, p.r_, p.out_, p.length_) != 0) return false;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, o.dbc, &o.stmt))) {
    p.diag(SQL_HANDLE_DBC, o.dbc, "[Allocating stmt]");
    return false;
  }
  return true;
}

// The table names of type TABLE and VIEW the data source lists.
bool table_listed(Odbc& o, const std::string& table) {
  SQLHSTMT s = SQL_NULL_HSTMT;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, o.dbc, &s))) return false;
  bool found = false;
  SQLCHAR all[] = "%";
  if (SQL_SUCCEEDED(SQLTables(s, nullptr, 0, nullptr, 0, all, SQL_NTS, nullptr, 0))) {
    SQLCHAR name[256];
    SQLLEN ind = 0;
    SQLBindCol(s, 3, SQL_C_CHAR, name, sizeof name, &ind);
    while (!found && SQL_SUCCEEDED(SQLFetch(s))) found = ind != SQL_NULL_DATA && table == reinterpret_cast<char*>(name);
  }
  SQLFreeHandle(SQL_HANDLE_STMT, s);
  return found;
}

int output_tables(Page& p, const std::string& conn, const std::string& dsn) {
  http_trace("veks_odbc_output_tables()\n");
  Odbc o;
  if (!connect(o, conn, p)) return -1;
  SQLCHAR type[] = "TABLE";
  SQLCHAR all[] = "%";
  SQLSMALLINT cols = 0;
  if (!SQL_SUCCEEDED(SQLTables(o.stmt, nullptr, 0, nullptr, 0, all, SQL_NTS, type, SQL_NTS)) ||
      !SQL_SUCCEEDED(SQLNumResultCols(o.stmt, &cols))) {
    p.diag(SQL_HANDLE_STMT, o.stmt, "[SQLTables()]");
    return -1;
  }
  cols = std::min<SQLSMALLINT>(cols, 5);
  SQLCHAR data[5][100];
  SQLLEN ind[5];
  for (SQLSMALLINT c = 0; c < cols; ++c)
    SQLBindCol(o.stmt, static_cast<SQLUSMALLINT>(c + 1), SQL_C_CHAR, data[c], 100, &ind[c]);
  p.put("<table><tr><th>catalog</th><th>schema</th><th>table</th><th>type</th><th>remark</th></tr>\r\n");
  size_t limit = kPageCapacity - kListReserve;
  while (p.written() < limit && SQL_SUCCEEDED(SQLFetch(o.stmt))) {
    p.put("<tr>\r\n");
    for (SQLSMALLINT c = 0; c < cols; ++c) {
      if (c == 2 && ind[c] > 0) {
        std::string name = reinterpret_cast<char*>(data[c]);
        p.put(format_text("<td><a href=\"/dsn.html?dsn=%s&table=%s\">%s</a></td>\r\n", url_encode(dsn).c_str(),
                          url_encode(name).c_str(), html_escape(name).c_str()));
      } else {
        p.put("<td>" + cell(data[c], ind[c]) + "</td>\r\n");
      }
    }
    p.put("</tr>\r\n");
  }
  p.put("</table>\r\n");
  if (p.written() >= limit) p.put("<p>List truncated</p>");
  return 0;
}

int output_columns(Page& p, const std::string& conn, const std::string& table) {
  Odbc o;
  if (!connect(o, conn, p)) return -1;
  std::string t = table;
  SQLSMALLINT cols = 0;
  if (!SQL_SUCCEEDED(
          SQLColumns(o.stmt, nullptr, 0, nullptr, 0, reinterpret_cast<SQLCHAR*>(t.data()), SQL_NTS, nullptr, 0)) ||
      !SQL_SUCCEEDED(SQLNumResultCols(o.stmt, &cols))) {
    p.diag(SQL_HANDLE_STMT, o.stmt, "[SQLColumns()]");
    return -1;
  }
  cols = std::min<SQLSMALLINT>(cols, 18);
  SQLCHAR data[18][100];
  SQLLEN ind[18];
  for (SQLSMALLINT c = 0; c < cols; ++c)
    SQLBindCol(o.stmt, static_cast<SQLUSMALLINT>(c + 1), SQL_C_CHAR, data[c], 100, &ind[c]);
  p.put(
      "<table><tr><th>catalog</th><th>schema</th><th>table</th><th>column name</th><th>data type</th><th>type "
      "name</th><th>size</th><th>length</th><th>dd</th><th>num/prec/radix</th><th>nullable</th><th>remarks</th>"
      "<th>default</th><th>sql data type</th><th>subtype</th><th>octet length</th><th>ordinal</th><th>is "
      "nullable</th></tr>\r\n");
  size_t limit = kPageCapacity - kListReserve;
  SQLRETURN rc;
  while (p.written() < limit && SQL_SUCCEEDED(rc = SQLFetch(o.stmt))) {
    p.put("<tr>\r\n");
    for (SQLSMALLINT c = 0; c < cols; ++c) p.put("<td>" + cell(data[c], ind[c]) + "</td>");
    p.put("</tr>\r\n");
  }
  p.put("</table>\r\n");
  if (p.written() >= limit) p.put("<p>List truncated</p>");
  return 0;
}

int output_rows(Page& p, const std::string& conn, const std::string& dsn, const std::string& table,
                const std::string& first_text) {
  Odbc o;
  if (!connect(o, conn, p)) return -1;
  if (!table_listed(o, table)) {
    p.put(format_text("<p>%s is not a table of this data source\r\n", html_escape(table).c_str()));
    return -1;
  }
  static const std::pair<SQLUSMALLINT, SQLULEN> kCursors[] = {
      {SQL_FORWARD_ONLY_CURSOR_ATTRIBUTES1, SQL_CURSOR_FORWARD_ONLY},
      {SQL_STATIC_CURSOR_ATTRIBUTES1, SQL_CURSOR_STATIC},
      {SQL_DYNAMIC_CURSOR_ATTRIBUTES1, SQL_CURSOR_DYNAMIC},
      {SQL_KEYSET_CURSOR_ATTRIBUTES1, SQL_CURSOR_KEYSET_DRIVEN}};
  bool scroll = false;
  for (const auto& [info, type] : kCursors) {
    SQLUINTEGER bits = 0;
    if (SQL_SUCCEEDED(SQLGetInfo(o.dbc, info, &bits, sizeof bits, nullptr)) && (bits & SQL_CA1_ABSOLUTE)) {
      http_trace("Using cursor %ld\n", static_cast<long>(type));
      if (!SQL_SUCCEEDED(SQLSetStmtAttr(o.stmt, SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(type), 0))) {
        p.diag(SQL_HANDLE_STMT, o.stmt, "[Setting static cursor]");
        return -1;
      }
      scroll = true;
      break;
    }
  }
  // The name is quoted with the data source's own quote character.
  SQLCHAR quote[8] = "\"";
  SQLGetInfo(o.dbc, SQL_IDENTIFIER_QUOTE_CHAR, quote, sizeof quote, nullptr);
  std::string q = reinterpret_cast<char*>(quote);
  if (q == " ") q.clear();
  std::string quoted = q;
  for (char c : table) {
    quoted.push_back(c);
    if (!q.empty() && c == q[0]) quoted.push_back(c);
  }
  quoted += q;
  std::string sql = "select * from " + quoted;
  http_trace("%s\n", sql.c_str());
  SQLSMALLINT cols = 0;
  if (!SQL_SUCCEEDED(SQLPrepare(o.stmt, reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS)) ||
      !SQL_SUCCEEDED(SQLExecute(o.stmt)) || !SQL_SUCCEEDED(SQLNumResultCols(o.stmt, &cols))) {
    p.diag(SQL_HANDLE_STMT, o.stmt, "[Executing stmt]");
    return -1;
  }
  p.put("<table><tr>\r\n");
  for (SQLSMALLINT c = 1; c <= cols; ++c) {
    SQLCHAR name[256] = "";
    SQLSMALLINT len = 0, type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    if (!SQL_SUCCEEDED(SQLDescribeCol(o.stmt, static_cast<SQLUSMALLINT>(c), name, sizeof name, &len, &type, &size,
                                      &digits, &nullable))) {
      p.put("</table>");
      p.diag(SQL_HANDLE_STMT, o.stmt, "[SQLDescribeCol()]");
      return -1;
    }
    p.put("<th>" + html_escape(reinterpret_cast<char*>(name)) + "</th>");
  }
  p.put("</tr>");
  char* end = nullptr;
  long first = std::strtol(first_text.c_str(), &end, 10);
  if (first_text.empty() || *end || first < 0 || first > 2000000000L) first = first_text.empty() ? 1 : (scroll ? 0 : 1);
  for (long row = first; row < first + 10; ++row) {
    SQLRETURN rc = scroll ? SQLFetchScroll(o.stmt, SQL_FETCH_ABSOLUTE, row) : SQLFetch(o.stmt);
    if (rc == SQL_NO_DATA || (scroll && row == 0)) {
      p.put("</table>\r\n");
      return 0;
    }
    if (!SQL_SUCCEEDED(rc)) {
      p.put("</table>\r\n");
      p.diag(SQL_HANDLE_STMT, o.stmt, "[SQLFetch|SQLFetchScroll]");
      return -1;
    }
    p.put("<tr>");
    for (SQLSMALLINT c = 1; c <= cols; ++c) {
      char value[50] = "";
      SQLLEN ind = 0;
      SQLRETURN g = SQLGetData(o.stmt, static_cast<SQLUSMALLINT>(c), SQL_C_CHAR, value, sizeof value, &ind);
      if (!SQL_SUCCEEDED(g)) {
        p.put("</tr></table>\r\n");
        p.diag(SQL_HANDLE_STMT, o.stmt, "[SQLGetData()]");
        return -1;
      }
      p.put(ind == SQL_NULL_DATA ? std::string("<td>NULL</td>\r\n") : "<td>" + html_escape(value) + "</td>\r\n");
    }
    p.put("</tr>");
  }
  p.put("</table>");
  if (scroll) {
    p.put(
        format_text("<a href=\"dsn.html?dsn=%s&table=%s&display=%ld\"><img src=\"/btn_next.gif\" alt=\"next\" "
                    "border=\"0\"></a>\r\n",
                    url_encode(dsn).c_str(), url_encode(table).c_str(), first + 10));
    if (first > 10)
      p.put(
          format_text("<a href=\"dsn.html?dsn=%s&table=%s&display=%ld\"><img src=\"/btn_previous.gif\" "
                      "alt=\"previous\" border=\"0\"></a>\r\n",
                      url_encode(dsn).c_str(), url_encode(table).c_str(), first - 10));
  }
  return 0;
}

}  // namespace

int uri_data_sources(const uri_entry& row, http_request& r, char* out, size_t* length) {
  http_trace("uri_data_sources()\n");
  if (authorise_if_all(r, out, length) == 0) return 0;
  uint32_t flags = state().settings.Flags;
  if (!(flags & AllowDSNBrowse))
    return template_page(row, r, out, length,
                         {{"&vek_table;",
                           "<p>DSN listing is currently disabled\r\n<p>To enable DSN listing go to the Configuration "
                           "page and check the AllowDSNBrowse checkbox.\r\n"}});
  std::string t = "<p>Only SYSTEM data sources are shown as the VEK Server cannot access USER data sources.</p>";
  t += (flags & AllowDBBrowse)
           ? "<p>Browsing connects as the server's own user: a data source that needs a user and password of its "
             "own in the connection string cannot be browsed.<p>\r\n"
           : "<p>DB Browsing currently disabled.<p>To view DSN details such as tables, columns and data check the "
             "AllowDBBrowse checkbox on the configuration page.<p>\r\n";
  t += "<table><tr><th>Data Source Name</th><th>Driver Description</th></tr>\r\n";
  for (const auto& [name, desc] : veks_system_data_sources()) {
    std::string first = (flags & AllowDBBrowse) ? format_text("<a href=\"/dsn.html?dsn=%s\">%s</a>",
                                                              url_encode(name).c_str(), html_escape(name).c_str())
                                                : html_escape(name);
    t += "<tr><td>" + first + "</td><td>" + html_escape(desc) + "</td></tr>\r\n";
  }
  t += "</table>\r\n";
  return template_page(row, r, out, length, {{"&vek_table;", t}});
}

int uri_dsn(const uri_entry& row, http_request& r, char* out, size_t* length) {
  http_trace("uri_dsn()\n");
  if (!(state().settings.Flags & AllowDBBrowse))
    return template_page(row, r, out, length,
                         {{"&vek_text;",
                           "<p>DB Browsing is currently disabled\r\n<p>To enable database browsing go to the "
                           "Configuration page and check the AllowDBBrowse checkbox.\r\n"}});
  if (!r.query)
    return format_error_page(format_text("Expected some get data - none found (location %d)", 5619), out, length);
  form_fields fields;
  if (split_form_fields(*r.query, fields) != 0) return report_internal_error(2, "split_form_fields", 0, out, length);
  int mode = 0;
  for (const auto& f : fields) {
    if (f.name.rfind("dsn", 0) == 0 && mode == 0) mode = 1;
    if (f.name.rfind("table", 0) == 0) mode = 2;
    if (f.name.rfind("display", 0) == 0) mode = 3;
  }
  if (mode == 0)
    return format_error_page(
        format_text("Invalid request - expected get data with \"dsn\" or \"table\" and received %s",
                    html_escape(decoded_query(r)).c_str()),
        out, length);
  std::string dsn = fields.size() > 0 ? fields[0].value : "";
  std::string table = fields.size() > 1 ? fields[1].value : "";
  std::string display = fields.size() > 2 ? fields[2].value : "";
  std::string user, password;
  if (odbc_login(r, out, length, dsn, user, password) != 1) return 0;
  std::string conn = "DSN=" + dsn + ";UID=" + odbc_brace(user) + ";PWD=" + odbc_brace(password) + ";";
  std::string templ;
  if (load_template(row.templ, templ, r) != 0) return -1;
  if (!templ.empty()) templ.pop_back();
  size_t at = templ.find("&vek_text;");
  *length = 0;
  expand_template(templ.substr(0, at), {}, r, out, length);
  if (at != std::string::npos) {
    Page p(r, out, length);
    if (mode == 1) {
      p.put(format_text("DSN=%s\r\n", html_escape(dsn).c_str()));
      output_tables(p, conn, dsn);
    } else if (mode == 2) {
      p.put(format_text(
          "DSN=%s Table=%s <a href=\"/dsn.html?dsn=%s&table=%s&display=1\">(View rows from this table)</a>\r\n",
          html_escape(dsn).c_str(), html_escape(table).c_str(), url_encode(dsn).c_str(), url_encode(table).c_str()));
      output_columns(p, conn, table);
    } else {
      output_rows(p, conn, dsn, table, display);
    }
    expand_template(std::string_view(templ).substr(at + std::strlen("&vek_text;")), {}, r, out, length);
  }
  std::fill(conn.begin(), conn.end(), '\0');
  std::fill(password.begin(), password.end(), '\0');
  return 0;
}

}  // namespace kyvek::http
