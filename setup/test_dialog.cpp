// The test dialog. See test_dialog.h.
#include "test_dialog.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QSpacerItem>
#include <QTextCursor>
#include <QTextEdit>
#include <QVBoxLayout>

#include <cstdio>
#include <cstring>

#include "identity.h"
#include "client_auth.h"
#include "dsn_record.h"
#include "help_viewer.h"
#include "kyrpc.h"
#include "remote_stubs.h"
#include "scramble.h"
#include "trace.h"

namespace kyvek::setup {

namespace {

constexpr size_t kWrapWidth = 70;

QString tr2(const char* text) { return QCoreApplication::translate("Form2", text); }

std::string text(const QString& s) { return s.toUtf8().toStdString(); }

// The RPC library's reason for the last failure, on one line.
std::string reason(RpcHandle* h) {
  const char* message = nullptr;
  RPCReportError(h, &message);
  char line[1024] = {};
  strip_line_breaks(message, line, sizeof line);
  return line;
}

std::string format(const char* fmt, auto... args) {
  char line[1024];
  std::snprintf(line, sizeof line, fmt, args...);
  return line;
}

}  // namespace

void strip_line_breaks(const char* source, char* destination, size_t size) {
  if (!source || !destination || size == 0) return;
  size_t out = 0;
  for (size_t in = 0; source[in] != '\0' && out + 1 < size; ++in)
    if (source[in] != '\r' && source[in] != '\n') destination[out++] = source[in];
  destination[out] = '\0';
}

std::vector<std::string> diagnostic_lines(int number, bool warning, const char* state, long native, const char* message,
                                          int message_length) {
  std::vector<std::string> lines;
  lines.push_back(
      format("%s%d: State=%s, NativeCode=%ld", warning ? "warning" : "error", number, state ? state : "", native));
  std::string m = message ? message : "";
  if (message_length == 0) {
    lines.push_back("  No Message Text");
    return lines;
  }
  size_t cut = m.rfind(']');
  std::string rest = m;
  if (cut != std::string::npos) {
    lines.push_back("  " + m.substr(0, cut + 1));
    rest = m.substr(cut + 1);
  }
  rest = "  " + rest;
  std::string current;
  size_t start = 0;
  for (size_t blank = rest.find(' '); blank != std::string::npos; blank = rest.find(' ', start)) {
    current += rest.substr(start, blank - start) + " ";
    start = blank + 1;
    if (current.size() > kWrapWidth) {
      lines.push_back(current);
      current.clear();
    }
  }
  lines.push_back(current + rest.substr(start));
  return lines;
}

std::string test_connect_string(const std::string& dsn, const std::string& user, const std::string& password) {
  std::string s = "DSN=" + dsn + ";";
  if (!user.empty()) s += "UID=" + user + ";";
  if (!password.empty()) s += "PWD=" + password + ";";
  return s;
}

TestDialog::TestDialog(QWidget* parent, const char* name, bool modal, Qt::WindowFlags flags) : QDialog(parent, flags) {
  setObjectName(name ? name : "Form2");
  setModal(modal);
  setSizeGripEnabled(true);
  auto* layout = new QVBoxLayout(this);
  layout->setObjectName("Form2Layout");
  layout->setContentsMargins(11, 11, 11, 11);
  layout->setSpacing(6);
  log_ = new QTextEdit(this);
  log_->setObjectName("logout");
  log_->setReadOnly(true);
  log_->setUndoRedoEnabled(false);
  log_->setLineWrapMode(QTextEdit::NoWrap);
  log_->setTabStopDistance(4 * log_->fontMetrics().horizontalAdvance(' '));
  layout->addWidget(log_);
  button_group_ = new QWidget(this);
  button_group_->setObjectName("buttonGroup1");
  auto* buttons = new QHBoxLayout(button_group_);
  buttons->setContentsMargins(0, 0, 0, 0);
  buttons->addItem(new QSpacerItem(60, 21, QSizePolicy::Expanding, QSizePolicy::Minimum));
  const struct {
    QPushButton** button;
    const char* name;
  } made[] = {{&test_pb_, "test_pb"}, {&ok_pb_, "ok_pb"}, {&cancel_pb_, "cancel_pb"}, {&help_pb_, "help_pb"}};
  for (const auto& m : made) {
    *m.button = new QPushButton(button_group_);
    (*m.button)->setObjectName(m.name);
    (*m.button)->setAutoDefault(true);
    buttons->addWidget(*m.button);
  }
  layout->addWidget(button_group_);
  ok_pb_->setEnabled(false);
  resize(QSize(442, 349).expandedTo(minimumSizeHint()));

  connect(test_pb_, &QPushButton::clicked, this, &TestDialog::test_clicked);
  connect(ok_pb_, &QPushButton::clicked, this, &TestDialog::ok_clicked);
  connect(cancel_pb_, &QPushButton::clicked, this, &TestDialog::reject);
  connect(help_pb_, &QPushButton::clicked, this, &TestDialog::help_clicked);
  setTabOrder(test_pb_, ok_pb_);
  setTabOrder(ok_pb_, cancel_pb_);
  setTabOrder(cancel_pb_, help_pb_);
  setTabOrder(help_pb_, log_);
  languageChange();
  setUpdatesEnabled(true);
}

TestDialog::~TestDialog() {
  logon_auth_.fill(QChar(' '));
  target_auth_.fill(QChar(' '));
}

void TestDialog::languageChange() {
  setWindowTitle(tr2("VEK Test"));
  log_->setToolTip(tr2("Output from testing"));
  test_pb_->setText(tr2("&Test"));
  test_pb_->setShortcut(QKeySequence(tr2("Alt+T")));
  ok_pb_->setText(tr2("OK"));
  cancel_pb_->setText(tr2("Cancel"));
  help_pb_->setText(tr2("Help"));
  help_pb_->setToolTip(tr2("Get help on the test process and connection problems"));
}

void TestDialog::setValues(QStringList servers, QString logon_user, QString logon_auth, QString target_dsn,
                      QString target_user, QString target_auth, QString block_fetch_size, QString metadata_block_fetch,
                      QString use_vek_db_auth, QString getinfo_passthru, QString override_length, QString disguise_wide,
                      QString connect_attempts, QString ignore_stmt_attrs) {
  servers_ = servers;
  logon_user_ = logon_user;
  logon_auth_ = logon_auth;
  target_dsn_ = target_dsn;
  target_user_ = target_user;
  target_auth_ = target_auth;
  block_fetch_size_ = block_fetch_size;
  metadata_block_fetch_ = metadata_block_fetch;
  use_vek_db_auth_ = use_vek_db_auth;
  getinfo_passthru_ = getinfo_passthru;
  override_length_ = override_length;
  disguise_wide_ = disguise_wide;
  connect_attempts_ = connect_attempts;
  ignore_stmt_attrs_ = ignore_stmt_attrs;
  // Passwords are never shown.
  QString summary = "ServerPort : " + servers_.join(",") + "\n" + "LogonUser : " + logon_user_ + "\n" +
                    "LogonAuth : **********\n" + "TargetDSN : " + target_dsn_ + "\n" + "TargetUser : " + target_user_ +
                    "\n" + "TargetAuth : **********\n" + "ConnectAttempts : " + connect_attempts_ + "\n" +
                    "BlockFetchSize : " + block_fetch_size_ + "\n" + "MetaDataBlockFetch : " + metadata_block_fetch_ +
                    "\n" + "UseVEKDBAuth : " + use_vek_db_auth_ + "\n" + "GetInfoPassThru : " + getinfo_passthru_ +
                    "\n" + "GetInfoOverrideLength : " + override_length_ + "\n" + "DisguiseWide : " + disguise_wide_ +
                    "\n" + "IgnoreStmtAttrs : " + ignore_stmt_attrs_ + "\n";
  log_->setPlainText(summary);
  log_->repaint();
}

void TestDialog::append_line(const std::string& line) {
  // Plain text: server texts cannot bring markup into the log.
  test_.post([this, line = QString::fromUtf8(line)] {
    QTextCursor cursor(log_->document());
    cursor.movePosition(QTextCursor::End);
    if (!log_->document()->isEmpty()) cursor.insertBlock();
    cursor.insertText(line);
    log_->ensureCursorVisible();
  });
}

void TestDialog::ok_clicked() { accept(); }

void TestDialog::reject() {
  if (testing()) {
    test_.request_stop();
    append_line(text(tr2("Stopping the test...")));
    return;
  }
  QDialog::reject();
}

void TestDialog::help_clicked() { run_help(kHelpTest); }

void TestDialog::test_clicked() {
  if (testing()) return;
  log_->setUpdatesEnabled(true);
  log_->clear();
  for (QPushButton* b : {test_pb_, ok_pb_, help_pb_}) b->setEnabled(false);
  setCursor(Qt::BusyCursor);
  test_.start([this] { run_connection_test(); },
              [this] {
                for (QPushButton* b : {test_pb_, ok_pb_, help_pb_}) b->setEnabled(true);
                unsetCursor();
              });
}

void TestDialog::show_diagnostics(RpcHandle* h, void* handle, int type, int rc) {
  int r = 0;
  for (int n = 1;; ++n) {
    char state[6] = {};
    int32_t native = 0;
    char message[1024] = {};
    int32_t capacity = sizeof message - 1;
    int16_t length = 0;
    r = remote_sql_get_diag_rec(h, static_cast<int16_t>(type), handle, static_cast<int16_t>(n), state, &native,
                                &capacity, message, static_cast<int16_t>(sizeof message - 1), &length);
    if (r != 0 && r != 1) break;
    state[5] = '\0';
    if (length != 0) strip_line_breaks(message, message, sizeof message);
    for (const std::string& line : diagnostic_lines(n, rc == 1, state, native, message, length)) append_line(line);
  }
  if (r != 100) append_line(format("SQLGetDiagRec() returns %d", r));
}

bool TestDialog::run_connection_test() {
  RpcHandle* h = RPCAllocHandle();
  if (!h) {
    append_line("Failed to allocate RPC handle. ");
    return false;
  }
  if (RPCInitialise(h, RPC_MODE_CLIENT, 0) != 0) {
    test_.post([this] {
      QMessageBox::critical(this, tr2("Connect Error"),
                            tr2("Failed to initialise the RPC library."));
    });
    append_line("Failed to initialise RPC connection as client. " + reason(h));
    RPCFreeHandle(h);
    return false;
  }
  int transports = 0;
  for (const char *name = nullptr, *description = nullptr;
       RPCEnumerateTransports(h, transports, &name, &description) == 0;)
    ++transports;
  bool passed = false, stop = false;
  if (transports == 0) {
    append_line("Failed to find any transports");
    stop = true;
  } else if (servers_.isEmpty()) {
    append_line("No servers/ports in list");
    stop = true;
  }
  RPCSetWaitLimit(h, wait_millis_);
  for (const QString& entry : servers_) {
    if (stop) break;
    if (test_.stop_requested()) {
      stop = true;
      break;
    }
    if (test_entry(h, entry, &stop)) passed = true;
  }
  if (test_.stop_requested()) {
    append_line("Test cancelled");
    stop = true;
  }
  if (RPCIsConnected(h)) RPCDisconnect(h);
  RPCTerminate(h);
  RPCFreeHandle(h);
  if (stop || !passed) return false;
  append_line("Test Successful");
  return true;
}

// One server entry; true when it passed every step. *stop is set by a failure
// that ends the whole test.
bool TestDialog::test_entry(RpcHandle* h, const QString& entry, bool* stop) {
  auto fail = [&](const std::string& line) {
    append_line(line);
    *stop = true;
    return false;
  };
  auto cancelled = [&] {
    *stop = *stop || test_.stop_requested();
    return *stop;
  };
  QStringList parts = entry.split(':', Qt::SkipEmptyParts);
  const std::string server = text(parts.value(0)), port = text(parts.value(1));
  const std::string user = text(logon_user_), attempts = text(connect_attempts_);
  std::string password = text(logon_auth_);
  if (RPCSetTransportOpts(h, RPC_TRANSPORT_BSD, server.c_str(), port.c_str(), user.c_str(), password.c_str(), nullptr,
                          "60", nullptr) != 0)
    return fail("Failed to set RPC Transport options. " + reason(h));
  if (RPCSetLowLTransportOpts(h, 1, RPC_LOWL_ATTEMPTS, attempts.c_str()) != 0)
    return fail("Failed to set RPC Low LevelTransport options. " + reason(h));
  append_line("Attempting connection to " + server + ":" + port);
  if (RPCConnect(h, KY_RPC_VERSION, KY_RPC_MINOR_VERSION, KY_RPC_PROGRAM_ID) != 0) {
    append_line("RPC connection failed");
    append_line(reason(h));
    append_line("====================");
    return false;
  }
  append_line("\tConnected");
  append_line("Examining Server...");
  char info[101] = {};
  int32_t length = 100;
  if (remote_server_get_info(h, 1, &length, info) == 0) append_line(std::string("\tVEK Server Version: ") + info);
  std::memset(info, 0, sizeof info);
  length = 100;
  if (remote_server_get_info(h, 2, &length, info) == 0) append_line(std::string("\tVEK Server Name: ") + info);
  if (cancelled()) return false;

  append_line("Authenticating...");
  char failure[1024] = {};
  int32_t faze2 = 0;
  int auth = client_authenticate(h, user.c_str(), password.c_str(), failure, sizeof failure, &faze2);
  wipe(password);
  if (auth < 0) {
    append_line(failure);
    return fail("Check LogonUser/LogonAuth is a valid operating system username and password for the Server machine.");
  }
  append_line("\tAuthenticated");
  if (cancelled()) return false;

  void* env = nullptr;
  if (remote_sql_alloc_handle(h, 3, 1, nullptr, &env) != 0 || !env)
    return fail("Failed to allocate remote environment handle");
  int r = remote_sql_set_env_attr(h, env, 200, 3);
  if (r != 0 && r != 1) return fail("Failed to set ODBC 3.0 behavior");
  void* dbc = nullptr;
  r = remote_sql_alloc_handle(h, 3, 2, env, &dbc);
  if (r != 0) {
    append_line("ODBC diagnostic when allocating remote connection");
    show_diagnostics(h, env, 1, r);
    if (r != 1) {
      *stop = true;
      return false;
    }
  }
  if (cancelled()) return false;

  append_line("Attempting DB Connection...");
  std::string plain = test_connect_string(text(target_dsn_), text(target_user_), text(target_auth_));
  if (plain.size() > kMaxTestConnectString) {
    wipe(plain);
    return fail(format("The connection string is longer than %zu characters", kMaxTestConnectString));
  }
  // "xx" and the scrambled string; 2 x (length + 1) + 3 bytes, zeroed.
  std::vector<char> block(2 * (plain.size() + 1) + 3, '\0');
  block[0] = block[1] = 'x';
  std::memcpy(block.data() + 2, plain.data(), plain.size());
  wipe(plain);
  scramble_string(block.data() + 2, faze2 ? KY_SCRAMBLE_FAZE2_SCRAMBLE : KY_SCRAMBLE_SCRAMBLE);
  std::vector<char> out(1025, '\0');
  int32_t out_capacity = 1024;
  r = remote_sql_driver_connect(h, dbc, static_cast<int32_t>(block.size()), block.data(), &out_capacity, out.data(),
                                1024, 0);
  explicit_bzero(block.data(), block.size());
  explicit_bzero(out.data(), out.size());
  if (r != 0 && r != 1) {
    append_line("ODBC diagnostics whilst connecting to remote driver");
    show_diagnostics(h, dbc, 2, r);
    *stop = true;
    return false;
  }
  append_line("\tConnected to remote data source");
  append_line("Retrieving ODBC attributes:");
  append_line("");
  const struct {
    int16_t type;
    const char* found;
    const char* missing;
  } items[] = {{171, "\tDriver Manager Version: %s", "\tNo driver manager present at server"},
               {17, "\tDBMS Name: %s", "\tFailed to get SQL_DBMS_NAME, result %d"},
               {18, "\tDBMS Version: %s", "\tFailed to get SQL_DBMS_VER, result %d"}};
  for (const auto& item : items) {
    char value[513] = {};
    int32_t capacity = 512;
    int16_t value_length = 0;
    r = remote_sql_get_info_string(h, dbc, item.type, &capacity, value, 512, &value_length);
    if (r == 0 || r == 1)
      append_line(format(item.found, value));
    else
      append_line(format(item.missing, r));
  }
  append_line("");
  append_line("Disconnecting");
  remote_sql_disconnect(h, dbc);
  remote_sql_free_handle(h, 2, dbc);
  remote_sql_free_handle(h, 1, env);
  RPCDisconnect(h);
  return true;
}

}  // namespace kyvek::setup
