// The setup library's dialogs offscreen: the logon prompt as the driver calls
// it, and the help viewer for each help type and for a missing page. Each
// dialog is saved as a PNG under the build directory for a person to look at.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTextBrowser>

#include <cstring>
#include <string>

#include "e2e_fixture.h"
#include "help_viewer.h"
#include "logon_dialog.h"
#include "setup_test_util.h"

extern "C" int vek_prompt_logon(int32_t kind, char* user, char* password, int32_t size);

namespace kyvek::setup {
namespace {

using setup_test::child;
using setup_test::drive_modal;
using setup_test::png_not_blank;
using setup_test::save_png;


struct Prompt {
  int result = -9;
  std::string user, password;
};

// Runs vek_prompt_logon with the buffers prefilled; act answers the dialog.
Prompt prompt(int kind, const char* user, const char* password, const std::function<void(QDialog*)>& act) {
  char ubuf[256] = {}, pbuf[256] = {};
  std::snprintf(ubuf, sizeof ubuf, "%s", user);
  std::snprintf(pbuf, sizeof pbuf, "%s", password);
  Prompt p;
  drive_modal([&] { p.result = vek_prompt_logon(kind, ubuf, pbuf, 256); },
              [&](QWidget* modal) {
                auto* d = qobject_cast<QDialog*>(modal);
                if (d && modal->objectName() == "form5") act(d);
                return true;
              });
  p.user = ubuf;
  p.password = pbuf;
  return p;
}

TEST(LogonDialogTest, PrefillKindsAndAnswers) {
  // Server logon: the prefilled user shown, a 256-character name cut to 255.
  Prompt p = prompt(0, "pre", "", [](QDialog* d) {
    EXPECT_EQ(d->windowTitle(), "Server Logon");
    EXPECT_EQ(child<QLineEdit>(d, "username_eb")->text(), "pre");
    EXPECT_EQ(child<QLineEdit>(d, "password_eb")->text(), "");
    EXPECT_EQ(child<QLineEdit>(d, "password_eb")->echoMode(), QLineEdit::Password);
    EXPECT_EQ(child<QLabel>(d, "textlabel")->text(),
              "Please enter a username and password for the\nserver operating system.");
    child<QLineEdit>(d, "password_eb")->setText("typed pw");
    std::string png = save_png(d, "logon_dialog_server_logon");
    EXPECT_TRUE(png_not_blank(png, 345, 190)) << png;
    child<QLineEdit>(d, "username_eb")->setText(QString(256, 'u'));
    QTest::mouseClick(child<QPushButton>(d, "ok_pb"), Qt::LeftButton);
  });
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.user, std::string(255, 'u'));
  EXPECT_EQ(p.password, "typed pw");

  // Database logon; Cancel leaves the buffers as they were.
  p = prompt(1, "dbuser", "dbpw", [](QDialog* d) {
    EXPECT_EQ(d->windowTitle(), "Database Logon");
    EXPECT_EQ(child<QLabel>(d, "textlabel")->text(),
              "Please enter a username and password for the\ndatabase authentication.");
    EXPECT_EQ(child<QLineEdit>(d, "username_eb")->toolTip(),
              "Database username for a user that can logon to the database");
    EXPECT_EQ(child<QLineEdit>(d, "password_eb")->text(), "dbpw");
    std::string png = save_png(d, "logon_dialog_database_logon");
    EXPECT_TRUE(png_not_blank(png, 345, 190)) << png;
    child<QLineEdit>(d, "username_eb")->setText("changed");
    QTest::mouseClick(child<QPushButton>(d, "cancel_pb"), Qt::LeftButton);
  });
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.user, "dbuser");
  EXPECT_EQ(p.password, "dbpw");

  // Escape is not Cancel: the fields count as entered.
  p = prompt(0, "", "", [](QDialog* d) {
    child<QLineEdit>(d, "username_eb")->setText("esc-user");
    QTest::keyClick(d, Qt::Key_Escape);
  });
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.user, "esc-user");
  EXPECT_EQ(p.password, "");
}

// Typing starts in the first empty field: a user given, the password typed
// and Enter log on as that user with that password (not "alicesecret").
TEST(LogonDialogTest, TypingStartsInTheFirstEmptyField) {
  const struct {
    const char* name;
    const char* user;
    const char* password;
    const char* focus;
    const char* typed;
    const char* want_user;
    const char* want_password;
  } cases[] = {
      {"user_given", "alice", "", "password_eb", "secret", "alice", "secret"},
      {"nothing_given", "", "", "username_eb", "alice", "alice", ""},
      {"both_given", "alice", "old", "password_eb", "new", "alice", "new"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Prompt p = prompt(0, c.user, c.password, [&](QDialog* d) {
      QWidget* focus = d->focusWidget();
      ASSERT_NE(focus, nullptr);
      EXPECT_EQ(focus->objectName().toStdString(), c.focus);
      QTest::keyClicks(focus, c.typed);
      std::string png = save_png(d, std::string("logon_dialog_typed_") + c.name);
      EXPECT_TRUE(png_not_blank(png, 345, 190)) << png;
      QTest::keyClick(focus, Qt::Key_Return);
    });
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(p.user, c.want_user);
    EXPECT_EQ(p.password, c.want_password);
  }
}

TEST(LogonDialogTest, LogonValueKeys) {
  LogonDialog d;
  d.setup_logon("u", "p", 0);
  EXPECT_STREQ(d.logon_value("USERNAME"), "u");
  EXPECT_STREQ(d.logon_value("PASSWORD"), "p");
  EXPECT_EQ(d.logon_value("username"), nullptr);
  EXPECT_EQ(d.logon_value("OTHER"), nullptr);
  EXPECT_EQ(d.was_cancelled(), 0);
}

class HelpViewerTest : public ::testing::Test {
 protected:
  void SetUp() override { fx_.apply_env(); }
  // Shows a help type; returns the browser's text and the warning (if any).
  std::pair<QString, QString> show(int type, const std::string& png = "") {
    HelpViewer viewer;
    QString warning;
    drive_modal([&] { viewer.show_help(type); },
                [&](QWidget* modal) {
                  if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                    warning = box->windowTitle() + "|" + box->text();
                    box->accept();
                  }
                  return true;
                });
    viewer.show();
    if (!png.empty()) {
      std::string path = save_png(&viewer, png);
      EXPECT_TRUE(png_not_blank(path, 528, 480)) << path;
    }
    return {viewer.findChild<QTextBrowser*>("help_tb")->toPlainText(), warning};
  }
  e2e::Fixture fx_;
};

TEST_F(HelpViewerTest, EachTypeFromThePathDirectory) {
  std::string lib = std::string(std::getenv("KYVEK_BINARY_DIR")) + "/lib";
  fx_.set_setting("Path", lib);
  const struct {
    int type;
    const char* file;
    const char* heading;
  } cases[] = {{0, "dlg_shelp.html", "Servers"},
               {1, "dlg_thelp.html", "Testing a data source"},
               {2, "dlg_help.html", "Defining a VEK data source"},
               {5, "no_help.html", "No help"},
               {-1, "no_help.html", "No help"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(help_path(c.type).toStdString(), lib + "/" + c.file);
    auto [text, warning] = show(c.type, std::string("help_viewer_") + c.file);
    EXPECT_TRUE(text.startsWith(c.heading)) << text.toStdString();
    EXPECT_TRUE(warning.isEmpty());
  }
}

TEST_F(HelpViewerTest, MissingFileAndOverlongPath) {
  fx_.set_setting("Path", "/nonexistent-kyvek-help");
  auto [text, warning] = show(2, "help_viewer_missing_file");
  EXPECT_EQ(warning, "Missing file|Failed to open help file");
  EXPECT_EQ(text, "Failed to open help file /nonexistent-kyvek-help/dlg_help.html");

  // A Path of 1023 characters or more counts as absent: the directory beside
  // the library (here the test program's) is tried.
  fx_.set_setting("Path", "/" + std::string(1022, 'p'));
  std::string self = std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
  EXPECT_EQ(help_path(1).toStdString(), self + "/dlg_thelp.html");
  fx_.set_setting("Path", "/" + std::string(1021, 'p'));
  EXPECT_EQ(help_path(1).toStdString(), "/" + std::string(1021, 'p') + "/dlg_thelp.html");
}

}  // namespace
}  // namespace kyvek::setup

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
