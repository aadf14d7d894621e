// Connects through the unixODBC Driver Manager with SQL_DRIVER_COMPLETE and a
// window: the driver loads the setup library and shows its dialogs, which this
// test answers. Without a logon password the server refuses the logon and the
// logon dialog asks for it; with too few attributes the DSN dialog completes
// them (vek_complete_info).
#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <string>

#include "e2e_fixture.h"
#include "setup_test_util.h"

namespace kyvek::setup {
namespace {

using e2e::Fixture;
using e2e::Options;
using setup_test::child;
using setup_test::drive_modal;


// One world for the program: the Driver Manager keeps the configuration
// directory it first saw.
class DriverDialogs : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Options o;
    o.flags = 0x8000;  // the server checks the logon
    o.pam_users = {{"nobody", "secret"}};
    o.world_accessible = true;
    fx_ = new Fixture(o);
    fx_->apply_env();
    started_ = fx_->start_server();
  }
  static void TearDownTestSuite() {
    delete fx_;
    fx_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(started_) << Fixture::read_file(fx_->server().err); }

  // SQLDriverConnect with a window and SQL_DRIVER_COMPLETE while answer()
  // handles every dialog that comes up (named by its object name).
  SQLRETURN connect(const std::string& in, const std::function<void(QDialog*)>& answer,
                    std::vector<std::string>* shown) {
    SQLHENV env = nullptr;
    SQLHDBC dbc = nullptr;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    int window = 0;
    SQLRETURN rc = SQL_ERROR;
    drive_modal(
        [&] {
          rc = SQLDriverConnect(dbc, reinterpret_cast<SQLHWND>(&window), (SQLCHAR*)in.c_str(), SQL_NTS, nullptr, 0,
                                nullptr, SQL_DRIVER_COMPLETE);
        },
        [&](QWidget* modal) {
          auto* d = qobject_cast<QDialog*>(modal);
          if (!d) return false;
          shown->push_back(d->objectName().toStdString());
          answer(d);
          return true;
        });
    if (SQL_SUCCEEDED(rc)) SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return rc;
  }

  static inline Fixture* fx_ = nullptr;
  static inline bool started_ = false;
};

TEST_F(DriverDialogs, MissingLogonPasswordIsAskedFor) {
  std::vector<std::string> shown;
  SQLRETURN rc = connect(
      "DSN=kyvek;LOGONUSER=nobody;",
      [](QDialog* d) {
        EXPECT_EQ(d->windowTitle(), "Server Logon");
        EXPECT_EQ(child<QLineEdit>(d, "username_eb")->text(), "nobody");
        child<QLineEdit>(d, "password_eb")->setText("secret");
        QTest::mouseClick(child<QPushButton>(d, "ok_pb"), Qt::LeftButton);
      },
      &shown);
  EXPECT_TRUE(SQL_SUCCEEDED(rc)) << rc;
  EXPECT_EQ(shown, std::vector<std::string>{"form5"});

  shown.clear();
  rc = connect(
      "DSN=kyvek;LOGONUSER=nobody;",
      [](QDialog* d) { QTest::mouseClick(child<QPushButton>(d, "cancel_pb"), Qt::LeftButton); }, &shown);
  EXPECT_EQ(rc, SQL_NO_DATA);
  EXPECT_EQ(shown, std::vector<std::string>{"form5"});
}

TEST_F(DriverDialogs, TooFewAttributesAreCompletedInTheDsnDialog) {
  std::vector<std::string> shown;
  const std::string servers = "127.0.0.1:" + fx_->port_text();
  SQLRETURN rc = connect(
      "DRIVER=Kyvek;",
      [&](QDialog* d) {
        ASSERT_EQ(d->objectName(), "Form1");
        EXPECT_FALSE(child<QPushButton>(d, "ok_pb")->isEnabled());
        child<QLineEdit>(d, "servers_eb")->setText(QString::fromStdString(servers));
        child<QComboBox>(d, "targetdsn_cb")->setEditText("vekdb");
        child<QLineEdit>(d, "username_eb")->setText("nobody");
        child<QLineEdit>(d, "password_eb")->setText("secret");
        EXPECT_TRUE(child<QPushButton>(d, "ok_pb")->isEnabled());
        QTest::mouseClick(child<QPushButton>(d, "ok_pb"), Qt::LeftButton);
      },
      &shown);
  EXPECT_TRUE(SQL_SUCCEEDED(rc)) << rc;
  EXPECT_EQ(shown, std::vector<std::string>{"Form1"});

  shown.clear();
  rc = connect(
      "DRIVER=Kyvek;", [](QDialog* d) { QTest::mouseClick(child<QPushButton>(d, "cancel_pb"), Qt::LeftButton); },
      &shown);
  EXPECT_EQ(rc, SQL_NO_DATA);
}

}  // namespace
}  // namespace kyvek::setup

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
