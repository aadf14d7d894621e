// The process's Qt application object for the dialogs. The library creates
// one only when the process has none (the host's is used otherwise), never
// destroys it (it lives to process exit), and creates none when no display
// can be had, so that a host without one is refused instead of aborted.
// Threading: called on the thread that runs the dialogs.
#ifndef KYVEK_SETUP_APPLICATION_H
#define KYVEK_SETUP_APPLICATION_H

namespace kyvek::setup {

// True when a QApplication exists or was created here with the name
// ("setup" or "logon"); false when dialogs cannot be shown.
bool ensure_application(const char* name);

}  // namespace kyvek::setup

#endif

class QWidget;
class QString;

namespace kyvek::setup {

// A warning box whose text is shown as written (never as rich text), so
// texts from servers and the installer cannot bring markup.
void warning_box(QWidget* parent, const QString& caption, const QString& text);

}  // namespace kyvek::setup
