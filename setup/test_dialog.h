// The test dialog: shows the values a data source will be stored with and,
// on request, makes the whole connection the driver would make, server by
// server (RPC link, server information, logon, remote environment and
// connection, the target data source, three information items), printing
// each step into a read-only log. The test runs on a thread of its own, each
// wait for a server bounded; Cancel (or closing) while it runs stops it.
#ifndef KYVEK_SETUP_TEST_DIALOG_H
#define KYVEK_SETUP_TEST_DIALOG_H

#include <QDialog>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <string>
#include <vector>

#include "background_test.h"

class QPushButton;
class QTextEdit;
class QWidget;
struct RpcHandle;

namespace kyvek::setup {

// The longest remote connection string the test sends.
inline constexpr size_t kMaxTestConnectString = 511;

// Copies source without its CR and LF characters into destination (size
// bytes, NUL-terminated, cut at size - 1). Source may be destination; null
// pointers or size 0: nothing.
void strip_line_breaks(const char* source, char* destination, size_t size);

// The log lines of one diagnostic record: the heading with "warning" or
// "error", the record number, SQLSTATE and native code, then the message: its
// bracketed origin prefixes on one line, the rest wrapped past 70 characters.
// A message without "]" is printed whole.
std::vector<std::string> diagnostic_lines(int number, bool warning, const char* state, long native, const char* message,
                                          int message_length);

// The plain remote connection string: DSN, then UID and PWD when not empty.
std::string test_connect_string(const std::string& dsn, const std::string& user, const std::string& password);

class TestDialog : public QDialog {
  Q_OBJECT

 public:
  explicit TestDialog(QWidget* parent = nullptr, const char* name = nullptr, bool modal = false, Qt::WindowFlags flags = {});
  ~TestDialog() override;

  // Runs the test on the calling thread: true when at least one server
  // passed every step. Its lines reach the log through append_line.
  virtual bool run_connection_test();
  bool testing() const { return test_.running(); }
  // The longest wait for a server in one step (default kServerWaitMillis).
  void set_wait_limit(long millis) { wait_millis_ = millis; }

 public Q_SLOTS:
  virtual void setValues(QStringList servers, QString logon_user, QString logon_auth, QString target_dsn,
                         QString target_user, QString target_auth, QString block_fetch_size,
                         QString metadata_block_fetch, QString use_vek_db_auth, QString getinfo_passthru,
                         QString override_length, QString disguise_wide, QString connect_attempts,
                         QString ignore_stmt_attrs);
  virtual void languageChange();
  // While a test runs: stops it and keeps the dialog open.
  void reject() override;

 protected:
  virtual void show_diagnostics(RpcHandle* h, void* handle, int type, int rc);
  // Appends one plain line to the log (from any thread).
  virtual void append_line(const std::string& text);

 protected Q_SLOTS:
  virtual void ok_clicked();
  virtual void test_clicked();
  virtual void help_clicked();

 private:
  bool test_entry(RpcHandle* h, const QString& entry, bool* stop);

  QStringList servers_;
  QString logon_user_, logon_auth_, target_dsn_, target_user_, target_auth_, block_fetch_size_, metadata_block_fetch_,
      use_vek_db_auth_, getinfo_passthru_, override_length_, disguise_wide_, connect_attempts_, ignore_stmt_attrs_;
  long wait_millis_ = kServerWaitMillis;

  QTextEdit* log_;
  QWidget* button_group_;
  QPushButton *test_pb_, *ok_pb_, *cancel_pb_, *help_pb_;

  BackgroundTest test_{this};
};

}  // namespace kyvek::setup

#endif
