// The data-source dialog: five tabs that show and edit a client data source
// (a DsnRecord), with buttons to test it, to edit its server list, to fetch
// the server's system data sources, and to save. ConfigDSN runs it for the
// installer (saving to odbc.ini) and vek_complete_info for the driver
// (saving nothing; the values go back through attribute_value).
// Message boxes of the checks appear only when the dialog is interactive.
#ifndef KYVEK_SETUP_DSN_DIALOG_H
#define KYVEK_SETUP_DSN_DIALOG_H

#include <QDialog>
#include <QString>
#include <QStringList>

#include <string>

#include "dsn_record.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QWidget;

namespace kyvek::setup {

class DsnDialog : public QDialog {
  Q_OBJECT

 public:
  explicit DsnDialog(QWidget* parent = nullptr, const char* name = nullptr, bool modal = false, Qt::WindowFlags flags = {});
  ~DsnDialog() override;

  // The current value of a harvested key; null when empty. Valid until the
  // next call.
  virtual const char* attribute_value(const char* key);
  virtual QStringList list() const { return QStringList(QString()); }
  virtual bool was_cancelled() const { return cancelled_; }
  // The dialog's values as a record (driver text included).
  DsnRecord record() const;

 public Q_SLOTS:
  virtual void setAttributes(const char* attributes, const char* driver, int request, int interactive);
  virtual void ok_clicked();
  virtual void languageChange();

 protected:
  virtual void load_dsn();
  virtual int parse_attributes(const char* attributes);
  virtual void set_servers(const QStringList& servers);
  virtual bool validate_servers();
  virtual int ok2Test(const QString& text);

 protected Q_SLOTS:
  virtual void help_clicked();
  virtual void tabChanged(int page);
  virtual void ebTextChanged(const QString& text);
  virtual void test_clicked();
  virtual void servers_clicked();
  virtual void cancel_clicked();
  virtual void populate_targetdsns();

 private:
  void build();
  void warn(const QString& caption, const QString& text, bool always = false);

  QTabWidget* tab_;
  QWidget *dsn_tab_, *server_tab_, *tdsn_tab_, *optimisation_tab_, *settings_tab_;
  QLabel *name_clue_label_, *name_label_, *desc_clue_label_, *desc_label_;
  QLineEdit *name_eb_, *desc_eb_;
  QLabel *servers_clue_label_, *servers_label_, *auth_clue_label_, *username_label_, *password_label_;
  QLineEdit *servers_eb_, *username_eb_, *password_eb_;
  QPushButton* servers_pb_;
  QGroupBox* auth_gb_;
  QLabel *tdsn_clue_label_, *tdsn_label_, *tusername_clue_label_, *tusername_label_, *tpassword_clue_label_,
      *tpassword_label_;
  QComboBox* targetdsn_cb_;
  QPushButton* targetdsn_pb_;
  QLineEdit *tusername_eb_, *tpassword_eb_;
  QLabel *bf_clue_label_, *bf_label_, *mdbf_clue_label_, *mdbf_label_;
  QSpinBox* bf_sb_;
  QCheckBox* mdbf_cb_;
  QLabel *usevekdbauth_label_, *getinfopassthru_label_, *disguisewide_label_, *disguisewide_label_2_,
      *overridelength_label_, *connectattempts_label_, *ignore_stmt_attrs_label_;
  QCheckBox *usevekdbauth_cb_, *getinfopassthru_cb_, *disguisewide_cb_, *mapexecdirect_cb_, *overridelength_cb_;
  QSpinBox* connectattempts_sb_;
  QLineEdit* ignore_stmt_attrs_eb_;
  QPushButton *test_pb_, *ok_pb_, *cancel_pb_, *help_pb_;

  bool interactive_ = false;
  bool name_check_ = true;
  bool cancelled_ = false;
  int mode_ = kModeAdd;
  std::string driver_;
  AttributeValues attrs_;
  QStringList server_list_;
  QString dsn_name_;
  std::string value_;  // the text handed out by attribute_value
};

}  // namespace kyvek::setup

#endif
