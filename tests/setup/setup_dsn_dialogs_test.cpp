// The data-source dialog, the test dialog and the servers dialog offscreen,
// against a real kyvekserver that checks logons and serves a SQLite SYSTEM
// data source. Each dialog is saved as a PNG under the build directory for a
// person to look at; the test checks each has its size and is not blank.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <odbcinst.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QTextEdit>

#include <string>

#include "dsn_record.h"
#include "e2e_fixture.h"
#include "dsn_dialog.h"
#include "test_dialog.h"
#include "servers_dialog.h"
#include "setup_test_util.h"

namespace kyvek::setup {
namespace {

using e2e::Fixture;
using e2e::Options;
using setup_test::child;
using setup_test::drive_modal;
using setup_test::ini_map;
using setup_test::png_not_blank;
using setup_test::save_png;


QString log_text(QWidget* dialog, const char* name) { return child<QTextEdit>(dialog, name)->toPlainText(); }

void expect_png(QWidget* w, const std::string& name, int width, int height) {
  std::string path = save_png(w, name);
  EXPECT_TRUE(png_not_blank(path, width, height)) << path;
}

// A port where something listens and never says a word.
class SilentServer {
 public:
  SilentServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), n);
    ::listen(fd_, 4);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
  }
  ~SilentServer() { ::close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// One server for the program: logons checked against a PAM user, the SYSTEM
// data sources "vekdb", "alpha" and one whose name is markup.
class SetupDialogs : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Options o;
    o.flags = 0x8000;  // the server checks the logon
    o.pam_users = {{"nobody", "secret"}};
    o.world_accessible = true;
    o.extra_system_dsns = {"alpha", "<b>x</b>"};
    fx_ = new Fixture(o);
    fx_->apply_env();
    started_ = fx_->start_server();
    SQLSetConfigMode(ODBC_USER_DSN);
  }
  static void TearDownTestSuite() {
    delete fx_;
    fx_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(started_) << Fixture::read_file(fx_->server().err); }

  static std::string good() { return "127.0.0.1:" + fx_->port_text(); }
  static std::string refused() { return "127.0.0.1:" + std::to_string(Fixture::free_port()); }
  std::string user_ini() const { return Fixture::read_file(fx_->dir() / "odbc" / "user-odbc.ini"); }

  // A test dialog with the values the data-source dialog would give it.
  static void fill(TestDialog* f, const QStringList& servers, const QString& password, const QString& dsn = "vekdb") {
    f->setValues(servers, "nobody", password, dsn, "", "", "0", "1", "0", "0", "0", "0", "5", "");
  }
  // Runs the test and waits for its end.
  static QString run(TestDialog* f) {
    f->show();
    QTest::mouseClick(child<QPushButton>(f, "test_pb"), Qt::LeftButton);
    EXPECT_TRUE(f->testing());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !f->testing(); }, 60000));
    return log_text(f, "logout");
  }

  static inline Fixture* fx_ = nullptr;
  static inline bool started_ = false;
};

TEST_F(SetupDialogs, TestDialogGoodServerWrongPortAndWrongPassword) {
  const QString wrong_port = QString::fromStdString(refused());
  const struct {
    const char* name;
    QStringList servers;
    const char* password;
    std::vector<const char*> lines;  // in this order
    bool success;
  } cases[] = {
      {"good",
       {QString::fromStdString(good())},
       "secret",
       {"Attempting connection to 127.0.0.1:", "\tConnected", "Examining Server...",
        "\tVEK Server Version: ", "Authenticating...", "\tAuthenticated", "Attempting DB Connection...",
        "\tConnected to remote data source", "Retrieving ODBC attributes:", "\tDBMS Name: SQLite", "Disconnecting"},
       true},
      {"wrong_port",
       {wrong_port},
       "secret",
       {"Attempting connection to 127.0.0.1:", "RPC connection failed", "Connection refused", "===================="},
       false},
      // A refused server, then a good one: the good one makes the test pass.
      {"refused_then_good",
       {wrong_port, QString::fromStdString(good())},
       "secret",
       {"RPC connection failed", "====================", "\tAuthenticated", "\tConnected to remote data source"},
       true},
      {"wrong_password",
       {QString::fromStdString(good())},
       "wrong",
       {"Authenticating...", "logon failed for user nobody: wrong user name or password (1326)",
        "Check LogonUser/LogonAuth is a valid operating system username and password for the Server machine."},
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TestDialog f;
    fill(&f, c.servers, c.password);
    QString log = run(&f);
    qsizetype at = 0;
    for (const char* line : c.lines) {
      qsizetype found = log.indexOf(QString::fromUtf8(line), at);
      EXPECT_GE(found, 0) << "missing in order: " << line << "\n" << log.toStdString();
      if (found >= 0) at = found;
    }
    EXPECT_EQ(log.endsWith("Test Successful"), c.success) << log.toStdString();
    EXPECT_FALSE(log.contains("secret"));
    EXPECT_TRUE(child<QPushButton>(&f, "ok_pb")->isEnabled());
    if (std::string(c.name) == "good") expect_png(&f, "test_dialog_after_test", 442, 349);
  }
}

TEST_F(SetupDialogs, TestDialogDiagnosticsOfAMissingTargetAreShownAsWritten) {
  TestDialog f;
  fill(&f, {QString::fromStdString(good())}, "secret", "<b>nosuch</b>");
  EXPECT_TRUE(log_text(&f, "logout").contains("TargetDSN : <b>nosuch</b>\nTargetUser : \nTargetAuth : **********"));
  EXPECT_TRUE(log_text(&f, "logout").contains("LogonAuth : **********\n"));
  EXPECT_FALSE(log_text(&f, "logout").contains("secret"));
  QString log = run(&f);
  EXPECT_TRUE(log.contains("ODBC diagnostics whilst connecting to remote driver\nerror1: State=IM002"))
      << log.toStdString();
  // The server's own record names the target as the client wrote it.
  EXPECT_TRUE(log.contains("  Data source name not found on the server: <b>nosuch</b>")) << log.toStdString();
  EXPECT_FALSE(log.contains("Test Successful"));
}

TEST_F(SetupDialogs, SilentServerIsBoundedAndTheTestCanBeStopped) {
  SilentServer silent;
  const QString entry = "127.0.0.1:" + QString::number(silent.port());
  {
    // Left alone, the test gives up on the silent server at the wait limit.
    TestDialog f;
    f.set_wait_limit(1000);
    fill(&f, {entry}, "secret");
    QElapsedTimer clock;
    clock.start();
    QString log = run(&f);
    EXPECT_LT(clock.elapsed(), 10000);
    EXPECT_TRUE(log.contains("RPC connection failed")) << log.toStdString();
    EXPECT_FALSE(log.contains("Test Successful"));
  }
  {
    // Cancel while the test waits: the dialog answers at once, the test stops
    // after the step it is in, and the dialog stays open.
    TestDialog f;
    f.set_wait_limit(3000);
    fill(&f, {entry, QString::fromStdString(good())}, "secret");
    f.show();
    QTest::mouseClick(child<QPushButton>(&f, "test_pb"), Qt::LeftButton);
    QTest::qWait(200);
    QTest::mouseClick(child<QPushButton>(&f, "cancel_pb"), Qt::LeftButton);
    QTest::qWait(50);
    EXPECT_TRUE(f.testing());
    EXPECT_TRUE(log_text(&f, "logout").contains("Stopping the test..."));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !f.testing(); }, 15000));
    QString log = log_text(&f, "logout");
    EXPECT_TRUE(log.endsWith("Test cancelled")) << log.toStdString();
    EXPECT_FALSE(log.contains("\tAuthenticated"));
    EXPECT_TRUE(f.isVisible());
    EXPECT_EQ(f.result(), 0);
  }
}

TEST(DiagnosticLines, PrefixesWrappingAndMissingText) {
  const std::string words =
      "the quick brown fox jumps over the lazy dog and then keeps on running far beyond the horizon line";
  auto lines = diagnostic_lines(1, false, "42S02", 7, ("[unixODBC][SQLite]" + words).c_str(), 100);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "error1: State=42S02, NativeCode=7");
  EXPECT_EQ(lines[1], "  [unixODBC][SQLite]");
  std::string joined;
  for (size_t i = 2; i < lines.size(); ++i) {
    if (i + 1 < lines.size()) {
      EXPECT_GT(lines[i].size(), 70u) << lines[i];
    }
    joined += lines[i];
  }
  EXPECT_EQ(joined, "  " + words);
  EXPECT_EQ(diagnostic_lines(2, true, "01000", 0, "", 0),
            (std::vector<std::string>{"warning2: State=01000, NativeCode=0", "  No Message Text"}));
  // No bracketed prefix: the message is printed whole.
  EXPECT_EQ(diagnostic_lines(1, false, "HY000", 0, "plain text", 10),
            (std::vector<std::string>{"error1: State=HY000, NativeCode=0", "  plain text"}));

  char buffer[8];
  strip_line_breaks("a\r\nb\nc", buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "abc");
  strip_line_breaks("0123456789", buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "0123456");
  EXPECT_EQ(test_connect_string("d", "", ""), "DSN=d;");
  EXPECT_EQ(test_connect_string("d", "u", "p"), "DSN=d;UID=u;PWD=p;");
}

// The servers dialog's rows: (server, port) per row.
QStringList rows(ServersDialog* f) { return f->server_list(); }

TEST_F(SetupDialogs, ServersDialogRowsAndRefusedEmptyRow) {
  ServersDialog f;
  f.setValues({"a:1", "b:2", "c:3"}, "nobody", "secret", "5");
  auto* table = child<QTableWidget>(&f, "table1");
  EXPECT_EQ(rows(&f), (QStringList{"a:1", "b:2", "c:3"}));
  const struct {
    int row;  // current row before (-1: none)
    int operation;
    QStringList after;
  } steps[] = {
      {2, kRowMoveUp, {"a:1", "c:3", "b:2"}},
      {0, kRowMoveUp, {"a:1", "c:3", "b:2"}},
      {2, kRowMoveDown, {"a:1", "c:3", "b:2"}},
      {0, kRowMoveDown, {"c:3", "a:1", "b:2"}},
      {1, kRowRemove, {"c:3", "b:2"}},
      {-1, kRowRemove, {"c:3", "b:2"}},
      {-1, kRowInsert, {"c:3", "b:2", ":8888"}},
      {0, kRowInsert, {":8888", "c:3", "b:2", ":8888"}},
      {0, kRowInsert, {":8888", "c:3", "b:2", ":8888"}},  // the current row has no server
      {1, kRowAdd, {":8888", "c:3", "b:2", ":8888", ":8888"}},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.operation);
    table->setCurrentCell(s.row, s.row < 0 ? -1 : 0);
    f.rowChange(s.operation);
    EXPECT_EQ(rows(&f), s.after);
  }
  EXPECT_EQ(table->currentRow(), 4);

  // Add refuses while a row lacks its server; the context menu's Add does not.
  QString warning;
  auto answer = [&](QWidget* modal) {
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      warning = box->windowTitle() + "|" + box->text();
      box->accept();
    }
    return true;
  };
  drive_modal([&] { QTest::mouseClick(child<QPushButton>(&f, "add_pb"), Qt::LeftButton); }, answer);
  EXPECT_EQ(warning, "Empty Server|Empty Server entry in row 1");
  EXPECT_EQ(rows(&f).size(), 5);
  Q_EMIT table->customContextMenuRequested(QPoint(5, 5));
  auto* menu = child<QMenu>(&f, "operation");
  ASSERT_NE(menu, nullptr);
  ASSERT_EQ(menu->actions().size(), 5);
  menu->actions()[0]->trigger();
  menu->close();
  EXPECT_EQ(rows(&f).size(), 6);

  // OK refuses an empty port, then takes the rows with a cell still being edited.
  for (int r : {5, 4, 3, 0}) {
    table->setCurrentCell(r, 0);
    f.rowChange(kRowRemove);
  }
  EXPECT_EQ(rows(&f), (QStringList{"c:3", "b:2"}));
  table->item(1, 1)->setText("");
  warning.clear();
  drive_modal([&] { QTest::mouseClick(child<QPushButton>(&f, "ok_pb"), Qt::LeftButton); }, answer);
  EXPECT_EQ(warning, "Empty Port|Empty Port entry in row 2");
  EXPECT_EQ(f.result(), 0);
  f.show();
  table->setCurrentCell(1, 1);
  table->editItem(table->item(1, 1));
  auto* editor = table->viewport()->findChild<QLineEdit*>();
  ASSERT_NE(editor, nullptr);
  editor->setText("4444");
  QTest::mouseClick(child<QPushButton>(&f, "ok_pb"), Qt::LeftButton);
  EXPECT_EQ(f.result(), QDialog::Accepted);
  EXPECT_EQ(rows(&f), (QStringList{"c:3", "b:4444"}));
}

TEST_F(SetupDialogs, ServersDialogTestMarksEachRow) {
  ServersDialog f;
  QStringList list{QString::fromStdString(refused()), QString::fromStdString(good()), "127.0.0.1:<i>1</i>"};
  f.setValues(list, "nobody", "secret", "5");
  f.show();
  QTest::mouseClick(child<QPushButton>(&f, "test_pb"), Qt::LeftButton);
  EXPECT_TRUE(f.testing());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !f.testing(); }, 60000));
  auto* table = child<QTableWidget>(&f, "table1");
  auto icon_width = [&](int row) {
    QList<QSize> sizes = table->item(row, 0)->icon().availableSizes();
    return sizes.isEmpty() ? 0 : sizes[0].width();
  };
  EXPECT_EQ(icon_width(0), 19);  // cross
  EXPECT_EQ(icon_width(1), 17);  // tick
  EXPECT_EQ(icon_width(2), 19);
  QString log = log_text(&f, "testoutput");
  EXPECT_TRUE(log.contains("Failed to connect. Could not connect to 127.0.0.1 port ")) << log.toStdString();
  EXPECT_TRUE(log.contains(": Connection refused (1 attempt)")) << log.toStdString();
  EXPECT_TRUE(log.contains("Could not connect to 127.0.0.1 port <i>1</i>: not a port number")) << log.toStdString();
  EXPECT_TRUE(log.contains(QString::fromStdString(good()) + " OK")) << log.toStdString();
  // What the rows hold is text, never markup.
  EXPECT_TRUE(log.contains("Testing 127.0.0.1:<i>1</i>")) << log.toStdString();
  expect_png(&f, "servers_dialog_after_test", 466, 351);

  // A wrong password marks the row as failed.
  ServersDialog g;
  g.setValues({QString::fromStdString(good())}, "", "wrong", "5");
  g.show();
  QTest::mouseClick(child<QPushButton>(&g, "test_pb"), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !g.testing(); }, 60000));
  log = log_text(&g, "testoutput");
  EXPECT_TRUE(log.contains("Authenticating with Username <Not Specified>")) << log.toStdString();
  EXPECT_TRUE(log.contains("Failed to authenticate\nlogon failed for user : refused by the server")) << log.toStdString();
  EXPECT_TRUE(log.contains("You do not appear to have entered a value for LogonUser"));
  EXPECT_TRUE(log.endsWith(QString::fromStdString(good()) + " FAIL")) << log.toStdString();
}

// The data-source dialog on the client data source of the fixture.
class DsnDialogTest : public SetupDialogs {
 protected:
  void SetUp() override {
    SetupDialogs::SetUp();
    SQLSetConfigMode(ODBC_USER_DSN);
  }
  void open(DsnDialog* f) {
    std::string attributes = std::string("DSN=") + Fixture::kClientDsn + '\0' + '\0';
    f->setAttributes(attributes.data(), "Kyvek", kModeConfigure, 1);
  }
};

TEST_F(DsnDialogTest, ChangeAValueAndSave) {
  DsnDialog f;
  open(&f);
  EXPECT_EQ(child<QLineEdit>(&f, "name_eb")->text(), Fixture::kClientDsn);
  EXPECT_TRUE(child<QLineEdit>(&f, "name_eb")->isReadOnly());
  EXPECT_EQ(child<QLineEdit>(&f, "servers_eb")->text().toStdString(), good());
  EXPECT_FALSE(child<QLineEdit>(&f, "servers_eb")->isReadOnly());
  EXPECT_EQ(child<QComboBox>(&f, "targetdsn_cb")->currentText(), "vekdb");
  child<QLineEdit>(&f, "desc_eb")->setText("changed here");
  child<QLineEdit>(&f, "username_eb")->setText("nobody");
  child<QLineEdit>(&f, "password_eb")->setText("secret");
  f.show();
  auto* tabs = child<QTabWidget>(&f, "tab");
  for (int i = 0; i < tabs->count(); ++i) {
    tabs->setCurrentIndex(i);
    expect_png(&f, "dsn_dialog_tab" + std::to_string(i) + "_" + tabs->tabText(i).toLower().replace(' ', '_').toStdString(),
               442, 323);
  }
  QTest::mouseClick(child<QPushButton>(&f, "ok_pb"), Qt::LeftButton);
  EXPECT_EQ(f.result(), QDialog::Accepted);
  auto section = ini_map(user_ini(), Fixture::kClientDsn);
  EXPECT_EQ(section["DESCRIPTION"], "changed here");
  EXPECT_EQ(section["LOGONUSER"], "nobody");
  EXPECT_EQ(section["SERVERPORT"], good());
  EXPECT_EQ(section["TARGETDSN"], "vekdb");
  EXPECT_NE(section["LOGONAUTH"], "secret");
  EXPECT_FALSE(section["LOGONAUTH"].empty());
}

TEST_F(DsnDialogTest, AddingOverAnExistingDataSourceAsks) {
  // A name that looks like markup is shown as written.
  const std::string name = "<b>x</b>";
  auto add = [&](QMessageBox::StandardButton answer, QString* asked) {
    DsnDialog f;
    std::string attributes = "DSN=" + name + '\0' + "SERVERPORT=" + good() + '\0' + "TARGETDSN=vekdb" + '\0' + '\0';
    f.setAttributes(attributes.data(), "Kyvek", kModeAdd, 1);
    f.show();
    drive_modal([&] { QTest::mouseClick(child<QPushButton>(&f, "ok_pb"), Qt::LeftButton); },
                [&](QWidget* modal) {
                  auto* box = qobject_cast<QMessageBox*>(modal);
                  if (!box) return false;
                  *asked =
                      box->windowTitle() + "|" + box->text() + (box->textFormat() == Qt::PlainText ? "|plain" : "");
                  box->button(answer)->click();
                  return true;
                });
    return f.result();
  };
  QString asked;
  EXPECT_EQ(add(QMessageBox::No, &asked), QDialog::Accepted);  // new: nothing to ask
  EXPECT_TRUE(asked.isEmpty());
  EXPECT_EQ(ini_map(user_ini(), name)["TARGETDSN"], "vekdb");
  EXPECT_EQ(add(QMessageBox::No, &asked), 0);
  EXPECT_EQ(asked, "Overwrite|Overwrite DSN <b>x</b>|plain");
  asked.clear();
  EXPECT_EQ(add(QMessageBox::Yes, &asked), QDialog::Accepted);
  EXPECT_EQ(asked, "Overwrite|Overwrite DSN <b>x</b>|plain");
}

TEST_F(DsnDialogTest, TargetListFromTheServer) {
  DsnDialog f;
  open(&f);
  f.show();
  auto* combo = child<QComboBox>(&f, "targetdsn_cb");
  combo->setEditText("typed");
  QString warning;
  drive_modal([&] { QTest::mouseClick(child<QPushButton>(&f, "targetdsn_pb"), Qt::LeftButton); },
              [&](QWidget* modal) {
                if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                  warning = box->text();
                  box->accept();
                }
                return true;
              });
  EXPECT_TRUE(warning.isEmpty()) << warning.toStdString();
  combo->hidePopup();
  QStringList items;
  for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
  EXPECT_EQ(items, (QStringList{"typed", "<b>x</b>", "alpha", "vekdb"}));
  EXPECT_EQ(combo->currentText(), "typed");
}

// OK is the default button: Enter in a field saves and runs no test. Cancel
// makes the setup fail (ConfigDSN, so SQLConfigDataSource, returns FALSE)
// and changes nothing.
TEST_F(DsnDialogTest, EnterInAFieldSavesAndCancelMakesTheSetupFail) {
  {
    DsnDialog f;
    open(&f);
    f.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
    EXPECT_TRUE(child<QPushButton>(&f, "ok_pb")->isDefault());
    for (const char* other : {"test_pb", "cancel_pb", "help_pb"}) {
      EXPECT_FALSE(child<QPushButton>(&f, other)->isDefault()) << other;
      EXPECT_FALSE(child<QPushButton>(&f, other)->autoDefault()) << other;
    }
    auto* desc = child<QLineEdit>(&f, "desc_eb");
    desc->setText("entered");
    desc->setFocus();
    expect_png(&f, "dsn_dialog_ok_is_default", 442, 323);
    bool test_opened = false;
    drive_modal([&] { QTest::keyClick(desc, Qt::Key_Return); },
                [&](QWidget* modal) {
                  test_opened = true;
                  modal->close();
                  return true;
                });
    EXPECT_FALSE(test_opened);
    EXPECT_EQ(f.result(), QDialog::Accepted);
  }
  EXPECT_EQ(ini_map(user_ini(), Fixture::kClientDsn)["DESCRIPTION"], "entered");

  std::string attributes = std::string("DSN=") + Fixture::kClientDsn + '\0' + "DESCRIPTION=cancelled" + '\0' + '\0';
  int window = 0;
  BOOL saved = 1;
  bool shown = false;
  drive_modal([&] { saved = ConfigDSN(reinterpret_cast<HWND>(&window), ODBC_CONFIG_DSN, "Kyvek", attributes.data()); },
              [&](QWidget* modal) {
                if (!qobject_cast<DsnDialog*>(modal)) return false;
                shown = true;
                QTest::mouseClick(child<QPushButton>(modal, "cancel_pb"), Qt::LeftButton);
                return true;
              });
  EXPECT_TRUE(shown);
  EXPECT_FALSE(saved);
  EXPECT_EQ(ini_map(user_ini(), Fixture::kClientDsn)["DESCRIPTION"], "entered");
}

TEST_F(DsnDialogTest, TestAndServersButtonsOpenTheirDialogs) {
  DsnDialog f;
  open(&f);
  child<QLineEdit>(&f, "username_eb")->setText("nobody");
  child<QLineEdit>(&f, "password_eb")->setText("secret");
  f.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
  QString summary, log;
  drive_modal([&] { QTest::mouseClick(child<QPushButton>(&f, "test_pb"), Qt::LeftButton); },
              [&](QWidget* modal) {
                auto* test = qobject_cast<TestDialog*>(modal);
                if (!test) return false;
                summary = log_text(test, "logout");
                log = run(test);
                QTest::mouseClick(child<QPushButton>(test, "ok_pb"), Qt::LeftButton);
                return true;
              });
  EXPECT_TRUE(summary.startsWith(QString::fromStdString("ServerPort : " + good() + "\nLogonUser : nobody\n")))
      << summary.toStdString();
  EXPECT_TRUE(log.endsWith("Test Successful")) << log.toStdString();

  // The servers dialog adds a second server; the field becomes read-only.
  drive_modal([&] { QTest::mouseClick(child<QPushButton>(&f, "servers_pb"), Qt::LeftButton); },
              [&](QWidget* modal) {
                auto* servers = qobject_cast<ServersDialog*>(modal);
                if (!servers) return false;
                auto* table = child<QTableWidget>(servers, "table1");
                EXPECT_EQ(servers->server_list(), QStringList{QString::fromStdString(good())});
                servers->rowChange(kRowAdd);
                table->setItem(1, 0, new QTableWidgetItem("other"));
                QTest::mouseClick(child<QPushButton>(servers, "ok_pb"), Qt::LeftButton);
                return true;
              });
  auto* servers_eb = child<QLineEdit>(&f, "servers_eb");
  EXPECT_EQ(servers_eb->text().toStdString(), good() + ",other:8888");
  EXPECT_TRUE(servers_eb->isReadOnly());

  // Cancel leaves the list as it was.
  drive_modal([&] { QTest::mouseClick(child<QPushButton>(&f, "servers_pb"), Qt::LeftButton); },
              [&](QWidget* modal) {
                auto* servers = qobject_cast<ServersDialog*>(modal);
                if (!servers) return false;
                servers->rowChange(kRowAdd);
                QTest::mouseClick(child<QPushButton>(servers, "cancel_pb"), Qt::LeftButton);
                return true;
              });
  EXPECT_EQ(servers_eb->text().toStdString(), good() + ",other:8888");
}

}  // namespace
}  // namespace kyvek::setup

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
