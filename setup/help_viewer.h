// The help viewer: shows one of the library's four HTML help pages in a text
// browser. The pages live in the directory named by the configuration value
// `Path`, else beside the library.
#ifndef KYVEK_SETUP_HELP_VIEWER_H
#define KYVEK_SETUP_HELP_VIEWER_H

#include <QDialog>
#include <QString>

class QPushButton;
class QTextBrowser;
class QWidget;

namespace kyvek::setup {

// Help types: the servers, test and data-source dialogs.
inline constexpr int kHelpServers = 0;
inline constexpr int kHelpTest = 1;
inline constexpr int kHelpDsn = 2;

// The file of a help type: "dlg_shelp.html", "dlg_thelp.html",
// "dlg_help.html", else "no_help.html".
const char* help_file(int type);
// The directory of the help files from the configuration value `Path`
// (a value of size - 1 characters or more counts as absent); -1 when absent.
int read_help_path(char* buffer, int size);
// The full path tried for a help type.
QString help_path(int type);

class HelpViewer : public QDialog {
  Q_OBJECT

 public:
  explicit HelpViewer(QWidget* parent = nullptr, const char* name = nullptr, bool modal = false, Qt::WindowFlags flags = {});

  // Loads the help page of the type (a missing file shows a box, then the
  // path tried in the browser).
  virtual void show_help(int type);

 public Q_SLOTS:
  virtual void languageChange();

 protected Q_SLOTS:
  virtual void ok_pb_clicked();

 private:
  QTextBrowser* help_tb_;
  QWidget* buttonGroup5_;
  QPushButton* ok_pb_;
};

// Runs the viewer for a type modally (the help buttons of the dialogs).
void run_help(int type);

}  // namespace kyvek::setup

#endif
