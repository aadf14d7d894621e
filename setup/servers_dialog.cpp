// The servers dialog. See servers_dialog.h.
#include "servers_dialog.h"

#include <QAction>
#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QPixmap>
#include <QPushButton>
#include <QSpacerItem>
#include <QTableWidget>
#include <QTextCursor>
#include <QTextEdit>
#include <QVBoxLayout>

#include "identity.h"
#include "application.h"
#include "client_auth.h"
#include "help_viewer.h"
#include "kyrpc.h"
#include "trace.h"

namespace kyvek::setup {

namespace {

const char* kDefaultPort = "8888";

QString tr3(const char* text) { return QCoreApplication::translate("Form3", text); }

// A failed row.
const char* const kCrossXpm[] = {
    "19 17 3 1",           ". c None",
    "a c #e64040",         "b c #ee7f7f",
    ".bab...........bab.", "..bab.........bab..",
    "...bab.......bab...", "....bab.....bab....",
    ".....bab...bab.....", ".....bab...bab.....",
    "......bab.bab......", ".......babab.......",
    "........bab........", ".......babab.......",
    "......bab.bab......", ".....bab...bab.....",
    ".....bab...bab.....", "....bab.....bab....",
    "...bab.......bab...", "..bab.........bab..",
    ".bab...........bab.",
};

// A row that passed.
const char* const kTickXpm[] = {
    "17 17 3 1",         ". c None",          "a c #35ac23",       "b c #4bd736",       ".................",
    ".................", "..............bbb", ".............bbab", "............bbaab", "...........bbabb.",
    "..........bbaabb.", ".........bbaabb..", ".bbbb...bbaabb...", ".babb..bbaabb....", ".baaabbbaabb.....",
    "..bbabbbabb......", "..bbaaaabb.......", "....bbabb........", "....bbbb.........", ".................",
    ".................",
};

QString coloured(const char* colour, const QString& text) {
  return QString("<font color=\"%1\">%2</font>").arg(colour, text.toHtmlEscaped());
}

QString reason(RpcHandle* h) {
  const char* text = nullptr;
  RPCReportError(h, &text);
  return text ? QString::fromUtf8(text).trimmed() : QString();
}

QPushButton* button(QWidget* parent, const char* name) {
  auto* b = new QPushButton(parent);
  b->setObjectName(name);
  return b;
}

}  // namespace

ServersDialog::ServersDialog(QWidget* parent, const char* name, bool modal, Qt::WindowFlags flags) : QDialog(parent, flags) {
  setObjectName(name ? name : "Form3");
  setModal(modal);
  setSizeGripEnabled(true);
  build();
  resize(QSize(466, 351).expandedTo(minimumSizeHint()));

  connect(add_pb_, &QPushButton::clicked, this, &ServersDialog::add_pb_clicked);
  connect(remove_pb_, &QPushButton::clicked, this, &ServersDialog::remove_pb_clicked);
  connect(table_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    QModelIndex at = table_->indexAt(pos);
    table1_contextMenuRequested(at.row(), at.column(), table_->viewport()->mapToGlobal(pos));
  });
  connect(move_up_pb_, &QPushButton::clicked, this, &ServersDialog::move_up_pb_clicked);
  connect(move_down_pb_, &QPushButton::clicked, this, &ServersDialog::move_down_pb_clicked);
  connect(cancel_pb_, &QPushButton::clicked, this, &ServersDialog::reject);
  connect(ok_pb_, &QPushButton::clicked, this, &ServersDialog::ok_pb_clicked);
  connect(insert_pb_, &QPushButton::clicked, this, &ServersDialog::insert_pb_clicked);
  connect(test_pb_, &QPushButton::clicked, this, &ServersDialog::test_pb_clicked);
  connect(help_pb_, &QPushButton::clicked, this, &ServersDialog::help_pb_clicked);

  QWidget* order[] = {table_,   move_up_pb_, move_down_pb_, add_pb_, insert_pb_, remove_pb_,
                      test_pb_, log_,        help_pb_,      ok_pb_,  cancel_pb_};
  for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

  languageChange();
  table_->setHorizontalHeaderLabels({tr3("Server"), tr3("Port")});
  table_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
}

ServersDialog::~ServersDialog() { logon_auth_.fill(QChar(' ')); }

void ServersDialog::build() {
  auto* layout = new QVBoxLayout(this);
  layout->setObjectName("Form3Layout");
  layout->setContentsMargins(11, 11, 11, 11);
  layout->setSpacing(6);

  group_ = new QGroupBox(this);
  group_->setObjectName("groupBox2");
  auto* grid = new QGridLayout(group_);
  grid->setSpacing(6);
  table_ = new QTableWidget(1, 2, group_);
  table_->setObjectName("table1");
  table_->setMinimumHeight(76);
  table_->setContextMenuPolicy(Qt::CustomContextMenu);
  grid->addWidget(table_, 0, 0);

  updown_group_ = new QWidget(group_);
  updown_group_->setObjectName("buttonGroup3_2");
  auto* updown = new QVBoxLayout(updown_group_);
  updown->setContentsMargins(0, 0, 0, 0);
  move_up_pb_ = button(updown_group_, "move_up_pb");
  move_down_pb_ = button(updown_group_, "move_down_pb");
  updown->addWidget(move_up_pb_);
  updown->addWidget(move_down_pb_);
  updown->addStretch();
  grid->addWidget(updown_group_, 0, 1);

  row_group_ = new QWidget(group_);
  row_group_->setObjectName("buttonGroup3");
  auto* rows = new QHBoxLayout(row_group_);
  rows->setContentsMargins(0, 0, 0, 0);
  add_pb_ = button(row_group_, "add_pb");
  insert_pb_ = button(row_group_, "insert_pb");
  remove_pb_ = button(row_group_, "remove_pb");
  test_pb_ = button(row_group_, "test_pb");
  rows->addWidget(add_pb_);
  rows->addWidget(insert_pb_);
  rows->addWidget(remove_pb_);
  rows->addItem(new QSpacerItem(169, 31, QSizePolicy::Expanding, QSizePolicy::Minimum));
  rows->addWidget(test_pb_);
  grid->addWidget(row_group_, 1, 0, 1, 2);
  layout->addWidget(group_, 1);

  log_label_ = new QLabel(this);
  log_label_->setObjectName("loglabel");
  layout->addWidget(log_label_);
  log_ = new QTextEdit(this);
  log_->setObjectName("testoutput");
  log_->setReadOnly(true);
  log_->setUndoRedoEnabled(false);
  layout->addWidget(log_, 1);

  button_group_ = new QWidget(this);
  button_group_->setObjectName("buttonGroup2");
  auto* buttons = new QHBoxLayout(button_group_);
  buttons->setContentsMargins(0, 0, 0, 0);
  buttons->addItem(new QSpacerItem(277, 31, QSizePolicy::Expanding, QSizePolicy::Minimum));
  help_pb_ = button(button_group_, "server_help_pb");
  ok_pb_ = button(button_group_, "ok_pb");
  cancel_pb_ = button(button_group_, "cancel_pb");
  for (QPushButton* b : {help_pb_, ok_pb_, cancel_pb_}) {
    b->setAutoDefault(true);
    buttons->addWidget(b);
  }
  layout->addWidget(button_group_);
}

void ServersDialog::languageChange() {
  setWindowTitle(tr3("Servers"));
  group_->setTitle(tr3("Servers"));
  table_->setToolTip(tr3("Enter the servers and ports you want to use for this DSN"));
  const struct {
    QPushButton* button;
    const char* text;
    const char* shortcut;
    const char* tip;
  } buttons[] = {
      {move_up_pb_, "&Up", "Alt+U", "Move the current server:port up in the list"},
      {move_down_pb_, "&Down", "Alt+D", "Move the current server:port down in the list"},
      {add_pb_, "&Add", "Alt+A", "Add a new server:port to the list"},
      {insert_pb_, "&Insert", "Alt+I", "Insert a new server:port at current position"},
      {remove_pb_, "&Remove", "Alt+R", "Remove the server:port at the current position"},
      {test_pb_, "&Test", "Alt+T", "Test connection to these servers"},
      {help_pb_, "Help", nullptr, "Display help on this dialogue and test failures"},
      {ok_pb_, "OK", nullptr, "Exit this dialogue saving changes"},
      {cancel_pb_, "Cancel", nullptr, "Exit this dialogue discarding all changes"},
  };
  for (const auto& b : buttons) {
    b.button->setText(tr3(b.text));
    if (b.shortcut) b.button->setShortcut(QKeySequence(tr3(b.shortcut)));
    b.button->setToolTip(tr3(b.tip));
  }
  log_label_->setText(tr3("Test Log:"));
  log_->clear();
  log_->setToolTip(tr3("Output from the last Test"));
  table_->setWhatsThis(
      tr3("<b>Servers</b><p>Enter the name or network address of each server machine running the VEK "
          "Server, and the port it listens on.</p><p>With more than one server the client has failover: it "
          "tries the servers in the order of this list until one connects. Set ConnectAttempts to 1 "
          "then.</p><p><b>Test</b> checks the connection to each server and the logon there. A server that "
          "fails is marked with a red cross, one that passes with a green tick; the errors are in the test "
          "log below.</p>"));
  log_->setWhatsThis(
      tr3("<b>Test Log</b><p>Read-only output of the last test. For each server the test</p><ol><li>connects, "
          "which verifies the server name, the port, and that a VEK Server listens there;</li><li>passes the "
          "operating system username and password to the server, which checks the logon.</li></ol><p>The test "
          "makes no connection to the remote data source.</p>"));
}

void ServersDialog::setValues(QStringList sp_list, QString logonuser, QString logonauth, QString connect_attempts) {
  sp_list_ = sp_list;
  logon_user_ = logonuser;
  logon_auth_ = logonauth;
  connect_attempts_ = connect_attempts;
  SETUP_TRACE("Connect Attempts = %s\n", connect_attempts_.toUtf8().constData());
  SETUP_TRACE("table rows: %d, columns: %d\n", table_->rowCount(), table_->columnCount());
  for (int i = 0; i < sp_list_.size(); ++i) {
    SETUP_TRACE("server_port : %s\n", sp_list_[i].toUtf8().constData());
    if (table_->rowCount() <= i) table_->setRowCount(i + 1);
    QStringList parts = sp_list_[i].split(':', Qt::SkipEmptyParts);
    for (int j = 0; j < parts.size() && j < table_->columnCount(); ++j) {
      SETUP_TRACE("Row:%d, Col:%d\n", i, j);
      table_->setItem(i, j, new QTableWidgetItem(parts[j]));
    }
  }
}

QString ServersDialog::cell(int row, int column) const {
  QTableWidgetItem* item = table_->item(row, column);
  return item ? item->text() : QString();
}

QStringList ServersDialog::server_list() {
  QStringList list;
  for (int r = 0; r < table_->rowCount(); ++r) list << cell(r, 0) + ":" + cell(r, 1);
  return list;
}

int ServersDialog::validate_rows() {
  // Moving the current cell commits an editor that is still open.
  int row = table_->currentRow(), column = table_->currentColumn();
  table_->setCurrentCell(0, 0);
  table_->setCurrentCell(0, 1);
  table_->setCurrentCell(row, column);
  for (int r = 0; r < table_->rowCount(); ++r) {
    if (cell(r, 0).isEmpty()) {
      warning_box(this, tr3("Empty Server"), tr3("Empty Server entry in row %1").arg(r + 1));
      return 1;
    }
    if (cell(r, 1).isEmpty()) {
      warning_box(this, tr3("Empty Port"), tr3("Empty Port entry in row %1").arg(r + 1));
      return 1;
    }
  }
  return 0;
}

void ServersDialog::swap_rows(int a, int b) {
  for (int c = 0; c < table_->columnCount(); ++c) {
    QTableWidgetItem* first = table_->takeItem(a, c);
    QTableWidgetItem* second = table_->takeItem(b, c);
    table_->setItem(a, c, second);
    table_->setItem(b, c, first);
  }
}

void ServersDialog::rowChange(int operation) {
  SETUP_TRACE("rowChange(%d)\n", operation);
  const int r = table_->currentRow();
  SETUP_TRACE("Current row : %d\n", r);
  const int rows = table_->rowCount();
  switch (operation) {
    case kRowAdd:
    case kRowInsert: {
      if (operation == kRowInsert && r >= 0 && cell(r, 0).isEmpty()) return;
      const int at = operation == kRowInsert && r >= 0 ? r : rows;
      table_->insertRow(at);
      table_->setItem(at, 1, new QTableWidgetItem(kDefaultPort));
      if (operation == kRowAdd || r >= 0) table_->setCurrentCell(at, 0);
      break;
    }
    case kRowRemove:
      if (r < 0) return;
      table_->removeRow(r);
      break;
    case kRowMoveUp:
      if (r > 0) {
        swap_rows(r, r - 1);
        table_->setCurrentCell(r - 1, table_->currentColumn());
      }
      break;
    case kRowMoveDown:
      if (r >= 0 && r + 1 < rows) {
        swap_rows(r, r + 1);
        table_->setCurrentCell(r + 1, table_->currentColumn());
      }
      break;
    default: return;
  }
  table_->viewport()->update();
}

void ServersDialog::add_pb_clicked() {
  if (validate_rows() == 0) rowChange(kRowAdd);
}

void ServersDialog::insert_pb_clicked() { rowChange(kRowInsert); }

void ServersDialog::remove_pb_clicked() { rowChange(kRowRemove); }

void ServersDialog::move_up_pb_clicked() { rowChange(kRowMoveUp); }

void ServersDialog::move_down_pb_clicked() { rowChange(kRowMoveDown); }

void ServersDialog::table1_contextMenuRequested(int, int, const QPoint& position) {
  if (testing()) return;
  auto* menu = new QMenu(this);
  menu->setObjectName("operation");
  menu->setAttribute(Qt::WA_DeleteOnClose);
  const char* items[] = {"&Add", "&Insert", "&Remove", "Move &Up", "Move &Down"};
  for (int id = 1; id <= 5; ++id) {
    QAction* action = menu->addAction(tr3(items[id - 1]));
    connect(action, &QAction::triggered, this, [this, id] { rowChange(id); });
  }
  menu->popup(position);
}

void ServersDialog::ok_pb_clicked() {
  if (validate_rows() == 0) accept();
}

void ServersDialog::reject() {
  if (testing()) {
    test_.request_stop();
    log(coloured("orange", tr3("Stopping the test...")));
    return;
  }
  QDialog::reject();
}

void ServersDialog::help_pb_clicked() { run_help(kHelpServers); }

void ServersDialog::log(const QString& html) {
  QTextCursor cursor(log_->document());
  cursor.movePosition(QTextCursor::End);
  if (!log_->document()->isEmpty()) cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
  cursor.insertHtml(html);
  log_->ensureCursorVisible();
}

void ServersDialog::set_testing(bool on) {
  for (QWidget* w : std::initializer_list<QWidget*>{table_, move_up_pb_, move_down_pb_, add_pb_, insert_pb_, remove_pb_,
                                                    test_pb_, ok_pb_, help_pb_})
    w->setEnabled(!on);
  if (on)
    setCursor(Qt::BusyCursor);
  else
    unsetCursor();
}

void ServersDialog::test_pb_clicked() {
  if (testing()) return;
  log_->setUpdatesEnabled(true);
  log_->clear();
  if (validate_rows() != 0) return;
  if (table_->rowCount() == 0) {
    warning_box(this, tr3("Nothing to test"), tr3("No servers to test"));
    return;
  }
  std::vector<Entry> rows;
  for (int r = 0; r < table_->rowCount(); ++r) rows.push_back({cell(r, 0), cell(r, 1)});
  set_testing(true);
  test_.start([this, rows, user = logon_user_, password = logon_auth_] { run_test(rows, user, password); },
              [this] { set_testing(false); });
}

void ServersDialog::run_test(const std::vector<Entry>& rows, const QString& user, const QString& password) {
  auto line = [this](const QString& html) { test_.post([this, html] { log(html); }); };
  auto plain = [&](const QString& text) { line(text.toHtmlEscaped()); };
  auto red = [&](const QString& text) { line(coloured("red", text)); };
  auto mark = [this](int row, bool passed) {
    test_.post([this, row, passed] {
      if (row >= table_->rowCount()) return;
      QTableWidgetItem* item = table_->item(row, 0);
      if (!item) table_->setItem(row, 0, item = new QTableWidgetItem);
      item->setIcon(QIcon(QPixmap(passed ? kTickXpm : kCrossXpm)));
    });
  };

  plain(tr3("Initialising"));
  RpcHandle* h = RPCAllocHandle();
  if (!h) {
    red(tr3("Failed to allocate RPC handle.\n%1").arg(QString()));
    return;
  }
  if (RPCInitialise(h, RPC_MODE_CLIENT, 0) != 0) {
    red(tr3("Failed to initialise RPC connection as client. %1").arg(reason(h)));
    RPCFreeHandle(h);
    return;
  }
  int transports = 0;
  for (const char *name = nullptr, *description = nullptr;
       RPCEnumerateTransports(h, transports, &name, &description) == 0;)
    ++transports;
  if (transports == 0) {
    red(tr3("Failed to find any transports"));
    RPCTerminate(h);
    RPCFreeHandle(h);
    return;
  }
  RPCSetWaitLimit(h, kServerWaitMillis);
  const QByteArray user8 = user.toUtf8();
  QByteArray password8 = password.toUtf8();
  for (size_t i = 0; i < rows.size(); ++i) {
    if (test_.stop_requested()) break;
    const Entry& e = rows[i];
    const int row = static_cast<int>(i);
    plain(tr3("Testing %1:%2").arg(e.server, e.port));
    const QByteArray host = e.server.toUtf8(), port = e.port.toUtf8();
    if (RPCSetTransportOpts(h, RPC_TRANSPORT_BSD, host.constData(), port.constData(), nullptr, nullptr, nullptr, "60",
                            nullptr) != 0) {
      red(tr3("Failed to set RPC Transport options. %1").arg(reason(h)));
      continue;
    }
    // One connect attempt per row, no retries (the data source's ConnectAttempts is not used).
    if (RPCSetLowLTransportOpts(h, 1, RPC_LOWL_ATTEMPTS, "1") != 0) {
      red(tr3("Failed to set RPC Low Level Transport options. %1").arg(reason(h)));
      continue;
    }
    plain(tr3("Connecting to %1:%2").arg(e.server, e.port));
    if (RPCConnect(h, KY_RPC_VERSION, KY_RPC_MINOR_VERSION, KY_RPC_PROGRAM_ID) != 0) {
      red(tr3("Failed to connect. %1").arg(reason(h)));
      mark(row, false);
      continue;
    }
    plain(tr3("Connected"));
    if (test_.stop_requested()) {
      RPCDisconnect(h);
      break;
    }
    plain(user.isEmpty() ? tr3("Authenticating with Username <Not Specified>")
                         : tr3("Authenticating with Username %1").arg(user));
    char failure[1024] = {};
    if (client_authenticate(h, user8.constData(), password8.constData(), failure, sizeof failure, nullptr) < 0) {
      red(tr3("Failed to authenticate"));
      red(QString::fromUtf8(failure));
      if (user.isEmpty())
        line(coloured("orange", tr3("You do not appear to have entered a value for LogonUser in the Username "
                                    "field on the previous Server tab.")));
      mark(row, false);
      red(tr3("%1:%2 FAIL").arg(e.server, e.port));
    } else {
      plain(tr3("Authenticated"));
      mark(row, true);
      line(coloured("green", tr3("%1:%2 OK").arg(e.server, e.port)));
    }
    RPCDisconnect(h);
  }
  if (test_.stop_requested()) line(coloured("orange", tr3("Test cancelled")));
  password8.fill('\0');
  if (RPCIsConnected(h)) RPCDisconnect(h);
  RPCTerminate(h);
  RPCFreeHandle(h);
}

}  // namespace kyvek::setup
