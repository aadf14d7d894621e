// Helpers of the setup library's tests: odbc.ini sections as read back from
// the file, the installer's error records, dialogs driven from a timer while
// they run modally, and PNGs of widgets.
#ifndef KYVEK_TESTS_SETUP_UTIL_H
#define KYVEK_TESTS_SETUP_UTIL_H

#include <gtest/gtest.h>

#include <QObject>
#include <functional>
#include <map>
#include <string>
#include <vector>

class QWidget;

namespace kyvek::setup_test {

// The key=value lines of one [section] of an ini text, in order.
std::vector<std::pair<std::string, std::string>> ini_section(const std::string& text, const std::string& section);
std::map<std::string, std::string> ini_map(const std::string& text, const std::string& section);

// The installer's error records (code, message) after a failed call.
std::vector<std::pair<unsigned long, std::string>> installer_errors();

// Runs action on each modal widget that appears while run() blocks: polled
// every 20 ms; the action returns true when it closed the widget. Gives up
// (closing whatever is modal) after timeout_ms.
void drive_modal(const std::function<void()>& run, const std::function<bool(QWidget* modal)>& action,
                 int timeout_ms = 20000);

// Saves a PNG of the widget under KYVEK_SETUP_PNG_DIR; returns its path.
std::string save_png(QWidget* widget, const std::string& name);
// True when the image has more than one colour (not blank).
bool png_not_blank(const std::string& path, int width, int height);

// The named child of a dialog; a missing one fails the test.
template <typename W>
W* child(QObject* w, const char* name) {
  W* c = w->findChild<W*>(name);
  EXPECT_NE(c, nullptr) << name;
  return c;
}

}  // namespace kyvek::setup_test

#endif
