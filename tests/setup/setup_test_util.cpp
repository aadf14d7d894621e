// Helpers of the setup library's tests. See setup_test_util.h.
#include "setup_test_util.h"

#include <odbcinst.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#ifdef QT_WIDGETS_LIB
#include <QApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QTimer>
#include <QWidget>
#endif

namespace kyvek::setup_test {

std::vector<std::pair<std::string, std::string>> ini_section(const std::string& text, const std::string& section) {
  std::vector<std::pair<std::string, std::string>> out;
  std::istringstream in(text);
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == '[') {
      inside = line == "[" + section + "]";
      continue;
    }
    if (!inside || line.empty()) continue;
    size_t eq = line.find('=');
    std::string key = line.substr(0, eq), value = eq == std::string::npos ? "" : line.substr(eq + 1);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    while (!value.empty() && value.front() == ' ') value.erase(0, 1);
    out.emplace_back(key, value);
  }
  return out;
}

std::map<std::string, std::string> ini_map(const std::string& text, const std::string& section) {
  std::map<std::string, std::string> m;
  for (auto& kv : ini_section(text, section)) m[kv.first] = kv.second;
  return m;
}

std::vector<std::pair<unsigned long, std::string>> installer_errors() {
  std::vector<std::pair<unsigned long, std::string>> out;
  for (WORD i = 1; i <= 8; ++i) {
    DWORD code = 0;
    char msg[512] = {};
    WORD len = 0;
    if (SQLInstallerError(i, &code, msg, sizeof msg, &len) != SQL_SUCCESS) break;
    out.emplace_back(code, msg);
  }
  return out;
}

#ifdef QT_WIDGETS_LIB
void drive_modal(const std::function<void()>& run, const std::function<bool(QWidget*)>& action, int timeout_ms) {
  QTimer timer;
  QDeadlineTimer deadline(timeout_ms);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) return;
    if (deadline.hasExpired()) {
      modal->close();
      return;
    }
    action(modal);
  });
  timer.start(20);
  run();
  timer.stop();
}

std::string save_png(QWidget* widget, const std::string& name) {
  const char* dir = std::getenv("KYVEK_SETUP_PNG_DIR");
  std::filesystem::path base = dir ? dir : std::filesystem::temp_directory_path().string();
  std::filesystem::create_directories(base);
  std::string path = (base / (name + ".png")).string();
  widget->grab().save(QString::fromStdString(path), "PNG");
  return path;
}

bool png_not_blank(const std::string& path, int width, int height) {
  QImage image(QString::fromStdString(path));
  if (image.isNull() || image.width() < width || image.height() < height) return false;
  QRgb first = image.pixel(0, 0);
  for (int y = 0; y < image.height(); y += 3)
    for (int x = 0; x < image.width(); x += 3)
      if (image.pixel(x, y) != first) return true;
  return false;
}
#endif

}  // namespace kyvek::setup_test
