// The servers dialog: edits the ordered server:port list of a data source in
// a two-column table and tests each entry at the RPC level (connect, then
// logon with the data source's operating-system user), marking each row with
// a green tick or a red cross and writing a coloured log. The test runs on a
// thread of its own; Cancel (or closing) while it runs stops it.
#ifndef KYVEK_SETUP_SERVERS_DIALOG_H
#define KYVEK_SETUP_SERVERS_DIALOG_H

#include <QDialog>
#include <QString>
#include <QStringList>

#include "background_test.h"

class QGroupBox;
class QLabel;
class QPoint;
class QPushButton;
class QTableWidget;
class QTextEdit;
class QWidget;

namespace kyvek::setup {

// Row operations of the servers table.
enum RowOperation { kRowAdd = 1, kRowInsert = 2, kRowRemove = 3, kRowMoveUp = 4, kRowMoveDown = 5 };

class ServersDialog : public QDialog {
  Q_OBJECT

 public:
  explicit ServersDialog(QWidget* parent = nullptr, const char* name = nullptr, bool modal = false, Qt::WindowFlags flags = {});
  ~ServersDialog() override;

  // Every row as "server:port", in table order (empty cells give empty parts).
  virtual QStringList server_list();
  // True while a test runs.
  bool testing() const { return test_.running(); }

 public Q_SLOTS:
  virtual void setValues(QStringList sp_list, QString logonuser, QString logonauth, QString connect_attempts);
  virtual void languageChange();
  virtual void rowChange(int operation);
  // While a test runs: stops it and keeps the dialog open.
  void reject() override;

 protected:
  // Ends an open cell edit, then warns about the first empty cell: 1 when it
  // warned, else 0.
  virtual int validate_rows();

 protected Q_SLOTS:
  virtual void add_pb_clicked();
  virtual void insert_pb_clicked();
  virtual void remove_pb_clicked();
  virtual void move_up_pb_clicked();
  virtual void move_down_pb_clicked();
  virtual void table1_contextMenuRequested(int row, int column, const QPoint& position);
  virtual void ok_pb_clicked();
  virtual void test_pb_clicked();
  virtual void help_pb_clicked();

 private:
  struct Entry {
    QString server, port;
  };
  void build();
  QString cell(int row, int column) const;
  void swap_rows(int a, int b);
  // Appends one paragraph of rich text (callers escape what they put in).
  void log(const QString& html);
  void set_testing(bool on);
  // The test itself, on the test thread.
  void run_test(const std::vector<Entry>& rows, const QString& user, const QString& password);

  QStringList sp_list_;
  QString logon_user_, logon_auth_, connect_attempts_;

  QGroupBox* group_;
  QTableWidget* table_;
  QWidget *updown_group_, *row_group_, *button_group_;
  QPushButton *move_up_pb_, *move_down_pb_, *add_pb_, *insert_pb_, *remove_pb_, *test_pb_;
  QLabel* log_label_;
  QTextEdit* log_;
  QPushButton *help_pb_, *ok_pb_, *cancel_pb_;

  BackgroundTest test_{this};
};

}  // namespace kyvek::setup

#endif
