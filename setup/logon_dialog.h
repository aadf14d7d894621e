// The logon dialog: asks for a user name and password for the server's
// operating system (kind 0) or the target database (any other kind) on
// behalf of the driver (vek_prompt_logon). Created, prefilled, run once
// modally and destroyed by its caller; only Cancel sets the cancelled flag.
#ifndef KYVEK_SETUP_LOGON_DIALOG_H
#define KYVEK_SETUP_LOGON_DIALOG_H

#include <QByteArray>
#include <QDialog>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

namespace kyvek::setup {

class LogonDialog : public QDialog {
  Q_OBJECT

 public:
  explicit LogonDialog(QWidget* parent = nullptr, const char* name = nullptr, bool modal = false, Qt::WindowFlags flags = {});
  ~LogonDialog() override;

  virtual int was_cancelled() const { return cancelled_; }
  virtual void setup_logon(const char* user, const char* password, int kind);
  // "USERNAME" or "PASSWORD" as 8-bit text, valid while the dialog exists and
  // the field is unchanged; null for any other key.
  virtual const char* logon_value(const char* key);

 public Q_SLOTS:
  virtual void languageChange();

 protected:
  virtual void reset_cancelled() { cancelled_ = 0; }

 protected Q_SLOTS:
  virtual void ok_pb_clicked();
  virtual void cancel_pb_clicked();

 private:
  QLabel* textlabel_;
  QGroupBox* groupBox3_;
  QLabel* username_label_;
  QLabel* password_label_;
  QLineEdit* username_eb_;
  QLineEdit* password_eb_;
  QWidget* buttonGroup2_;
  QPushButton* ok_pb_;
  QPushButton* cancel_pb_;
  int cancelled_ = 0;
  QByteArray value_;  // keeps the text handed out by logon_value alive
};

}  // namespace kyvek::setup

#endif
