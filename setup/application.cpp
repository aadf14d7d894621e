// The Qt application object. See application.h.
#include "application.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

#include "trace.h"

namespace kyvek::setup {

namespace {

bool display_available() {
  for (const char* var : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* v = std::getenv(var);
    if (v && *v) return true;
  }
  return false;
}

}  // namespace

bool ensure_application(const char* name) {
  QCoreApplication* existing = QCoreApplication::instance();
  if (qobject_cast<QApplication*>(existing)) return true;
  if (existing) {
    // A host with a non-widget application object: a second cannot be made.
    SETUP_TRACE("The host's application object has no widgets; no dialog\n");
    std::fprintf(stderr, "kyvekset: the application has no widget support; no dialog shown\n");
    return false;
  }
  if (!display_available()) {
    SETUP_TRACE("No display; no dialog\n");
    std::fprintf(stderr, "kyvekset: no display available; no dialog shown\n");
    return false;
  }
  // Qt keeps argc and argv for the application's lifetime.
  static int argc = 1;
  static char app_name[16];
  static char* argv[] = {app_name, nullptr};
  std::snprintf(app_name, sizeof app_name, "%s", name);
  static QApplication* app = new QApplication(argc, argv);
  app->setQuitOnLastWindowClosed(false);
  return true;
}

}  // namespace kyvek::setup

#include <QMessageBox>

namespace kyvek::setup {

void warning_box(QWidget* parent, const QString& caption, const QString& text) {
  QMessageBox box(QMessageBox::Warning, caption, text, QMessageBox::Ok, parent);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

}  // namespace kyvek::setup
