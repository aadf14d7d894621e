// The help viewer. See help_viewer.h.
#include "help_viewer.h"

#include <dlfcn.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QSpacerItem>
#include <QTextBrowser>
#include <QTextStream>
#include <QVBoxLayout>

#include <cstring>
#include <string>

#include "kysupp.h"
#include "trace.h"

#ifndef KYVEK_DATA_DIR
#define KYVEK_DATA_DIR "/usr/share/kyvek"
#endif

namespace kyvek::setup {

namespace {

// The directory holding this library (where its help pages are installed).
std::string library_directory() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&library_directory), &info) && info.dli_fname) {
    std::string self = info.dli_fname;
    size_t slash = self.rfind('/');
    if (slash != std::string::npos) return self.substr(0, slash);
  }
  return "";
}

}  // namespace

const char* help_file(int type) {
  switch (type) {
    case kHelpServers: return "dlg_shelp.html";
    case kHelpTest: return "dlg_thelp.html";
    case kHelpDsn: return "dlg_help.html";
    default: return "no_help.html";
  }
}

int read_help_path(char* buffer, int size) {
  if (!buffer || size < 1) return -1;
  buffer[0] = '\0';
  ConfigHandle* h = open_registry();
  if (!h) return -1;
  int r = -1;
  if (set_config(h, KY_CONFIGURATION_KEY) == 0 && get_profile_string(h, 0, "settings", "Path", "", buffer, size) == 0 &&
      buffer[0] && std::strlen(buffer) < static_cast<size_t>(size) - 1)
    r = 0;
  close_registry(h);
  if (r != 0) buffer[0] = '\0';
  return r;
}

// Without a Path setting (a client machine has no server settings) the page is
// looked for beside the library, then in the installed data directory; when it
// is in neither, the name beside the library is reported.
QString help_path(int type) {
  auto in = [type](const std::string& dir) {
    return dir.empty() ? std::string(help_file(type)) : dir + "/" + help_file(type);
  };
  char dir[1024];
  if (read_help_path(dir, sizeof dir) == 0) return QString::fromUtf8(in(dir).c_str());
  std::string beside = in(library_directory());
  std::string installed = in(KYVEK_DATA_DIR);
  const std::string& path =
      ::access(beside.c_str(), R_OK) != 0 && ::access(installed.c_str(), R_OK) == 0 ? installed : beside;
  return QString::fromUtf8(path.c_str());
}

HelpViewer::HelpViewer(QWidget* parent, const char* name, bool modal, Qt::WindowFlags flags) : QDialog(parent, flags) {
  setObjectName(name ? name : "form4");
  setModal(modal);
  setSizeGripEnabled(true);
  auto* layout = new QVBoxLayout(this);
  layout->setObjectName("form4Layout");
  layout->setContentsMargins(11, 11, 11, 11);
  layout->setSpacing(6);
  help_tb_ = new QTextBrowser(this);
  help_tb_->setObjectName("help_tb");
  layout->addWidget(help_tb_);
  buttonGroup5_ = new QWidget(this);
  buttonGroup5_->setObjectName("buttonGroup5");
  auto* row = new QHBoxLayout(buttonGroup5_);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(6);
  row->addItem(new QSpacerItem(390, 40, QSizePolicy::Expanding, QSizePolicy::Minimum));
  ok_pb_ = new QPushButton(buttonGroup5_);
  ok_pb_->setObjectName("ok_pb");
  ok_pb_->setAutoDefault(true);
  ok_pb_->setDefault(true);
  row->addWidget(ok_pb_);
  layout->addWidget(buttonGroup5_);
  languageChange();
  resize(QSize(528, 480).expandedTo(minimumSizeHint()));
  connect(ok_pb_, &QPushButton::clicked, this, &HelpViewer::ok_pb_clicked);
  setTabOrder(ok_pb_, help_tb_);
}

void HelpViewer::languageChange() {
  setWindowTitle(QCoreApplication::translate("form4", "Help"));
  ok_pb_->setText(QCoreApplication::translate("form4", "OK"));
  ok_pb_->setShortcut(QKeySequence());
}

void HelpViewer::ok_pb_clicked() { accept(); }

void HelpViewer::show_help(int type) {
  QString path = help_path(type);
  SETUP_TRACE("path=%s\n", path.toUtf8().constData());
  help_tb_->setReadOnly(true);
  QFile file(path);
  if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
    QTextStream in(&file);
    help_tb_->setHtml(in.readAll());
    return;
  }
  QMessageBox::warning(nullptr, "Missing file", "Failed to open help file");
  help_tb_->setPlainText(QString("Failed to open help file %1").arg(path));
}

void run_help(int type) {
  HelpViewer help(nullptr, nullptr, false, {});
  help.show_help(type);
  help.exec();
}

}  // namespace kyvek::setup
