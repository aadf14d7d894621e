// The logon dialog. See logon_dialog.h.
#include "logon_dialog.h"

#include <QCoreApplication>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpacerItem>

#include <cstring>

namespace kyvek::setup {

LogonDialog::LogonDialog(QWidget* parent, const char* name, bool modal, Qt::WindowFlags flags) : QDialog(parent, flags) {
  setObjectName(name ? name : "form5");
  setModal(modal);

  textlabel_ = new QLabel(this);
  textlabel_->setObjectName("textlabel");
  textlabel_->setGeometry(10, 10, 320, 40);

  groupBox3_ = new QGroupBox(this);
  groupBox3_->setObjectName("groupBox3");
  groupBox3_->setGeometry(10, 60, 330, 70);
  groupBox3_->setFlat(true);
  groupBox3_->setStyleSheet("QGroupBox#groupBox3 { border: none; }");

  username_label_ = new QLabel(groupBox3_);
  username_label_->setObjectName("username_label");
  username_label_->setGeometry(10, 10, 80, 21);
  username_label_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  password_label_ = new QLabel(groupBox3_);
  password_label_->setObjectName("password_label");
  password_label_->setGeometry(10, 40, 80, 21);
  password_label_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

  username_eb_ = new QLineEdit(groupBox3_);
  username_eb_->setObjectName("username_eb");
  username_eb_->setGeometry(100, 10, 210, 21);
  password_eb_ = new QLineEdit(groupBox3_);
  password_eb_->setObjectName("password_eb");
  password_eb_->setGeometry(100, 40, 210, 21);
  password_eb_->setEchoMode(QLineEdit::Password);
  username_label_->setBuddy(username_eb_);
  password_label_->setBuddy(password_eb_);

  buttonGroup2_ = new QWidget(this);
  buttonGroup2_->setObjectName("buttonGroup2");
  buttonGroup2_->setGeometry(10, 140, 320, 53);
  auto* row = new QHBoxLayout(buttonGroup2_);
  row->setContentsMargins(11, 11, 11, 11);
  row->setSpacing(6);
  row->addItem(new QSpacerItem(170, 31, QSizePolicy::Expanding, QSizePolicy::Minimum));
  ok_pb_ = new QPushButton(buttonGroup2_);
  ok_pb_->setObjectName("ok_pb");
  ok_pb_->setAutoDefault(true);
  ok_pb_->setDefault(true);
  row->addWidget(ok_pb_);
  cancel_pb_ = new QPushButton(buttonGroup2_);
  cancel_pb_->setObjectName("cancel_pb");
  cancel_pb_->setAutoDefault(true);
  row->addWidget(cancel_pb_);

  languageChange();
  resize(QSize(345, 190).expandedTo(minimumSizeHint()));

  connect(cancel_pb_, &QPushButton::clicked, this, &LogonDialog::cancel_pb_clicked);
  connect(ok_pb_, &QPushButton::clicked, this, &LogonDialog::ok_pb_clicked);
  setTabOrder(username_eb_, password_eb_);
  setTabOrder(password_eb_, ok_pb_);
  setTabOrder(ok_pb_, cancel_pb_);
  reset_cancelled();
}

LogonDialog::~LogonDialog() {
  // The password's copies held here go before the memory does.
  value_.fill('\0');
  password_eb_->clear();
}

void LogonDialog::languageChange() {
  auto tr = [](const char* text) { return QCoreApplication::translate("form5", text); };
  setWindowTitle(tr("Logon"));
  groupBox3_->setTitle(QString());
  username_label_->setText(tr("&Username:"));
  password_label_->setText(tr("&Password:"));
  password_eb_->setToolTip(tr("Password for user specified in Username"));
  ok_pb_->setText(tr("OK"));
  ok_pb_->setShortcut(QKeySequence());
  cancel_pb_->setText(tr("Cancel"));
  textlabel_->setText(tr("Please enter a username and password for the\nserver operating system."));
}

void LogonDialog::setup_logon(const char* user, const char* password, int kind) {
  if (user && *user) username_eb_->setText(QString::fromUtf8(user));
  if (password && *password) password_eb_->setText(QString::fromUtf8(password));
  // Typing starts in the first empty field; with both filled (a logon that
  // failed) in the password, its text selected so that typing replaces it.
  QLineEdit* first = username_eb_->text().isEmpty() ? username_eb_ : password_eb_;
  first->selectAll();
  first->setFocus(Qt::OtherFocusReason);
  if (kind != 0) {
    textlabel_->setText("Please enter a username and password for the\ndatabase authentication.");
    username_eb_->setToolTip("Database username for a user that can logon to the database");
    setWindowTitle("Database Logon");
  } else {
    textlabel_->setText("Please enter a username and password for the\nserver operating system.");
    username_eb_->setToolTip("Operating System username for a user that can logon to the server machine");
    setWindowTitle("Server Logon");
  }
}

const char* LogonDialog::logon_value(const char* key) {
  if (!key) return nullptr;
  QLineEdit* field = nullptr;
  if (std::strcmp(key, "USERNAME") == 0) field = username_eb_;
  if (std::strcmp(key, "PASSWORD") == 0) field = password_eb_;
  if (!field) return nullptr;
  value_.fill('\0');
  value_ = field->text().toUtf8();
  return value_.constData();
}

void LogonDialog::ok_pb_clicked() { accept(); }

void LogonDialog::cancel_pb_clicked() {
  cancelled_ = 1;
  reject();
}

}  // namespace kyvek::setup
