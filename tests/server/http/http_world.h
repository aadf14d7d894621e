// A running server for the administration pages' end-to-end tests: the
// fixture's world with the page templates, a console listener that starts
// its HTTP child (or a separate httpd), curl to drive the pages, headless
// Chromium to picture them, and ODBC clients through the client driver.
#ifndef KYVEK_TESTS_SERVER_HTTP_WORLD_H
#define KYVEK_TESTS_SERVER_HTTP_WORLD_H

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "client_side.h"
#include "e2e_fixture.h"

namespace kyvek::http_test {

namespace fs = std::filesystem;
using kyvek::e2e::Fixture;
using kyvek::e2e::Options;
using kyvek::e2e::Process;

inline bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The line of one setting in the registry file, "<absent>" when there is none.
inline std::string setting_line(const std::string& registry, const std::string& name) {
  size_t p = registry.find("\"" + name + "\"=");
  if (p == std::string::npos) return "<absent>";
  return registry.substr(p, registry.find('\n', p) - p);
}

struct World {
  explicit World(Options o) : http_port(Fixture::free_port()), f(with(std::move(o), http_port)) {
    fs::copy(fs::path(std::getenv("KYVEK_SOURCE_DIR")) / "server/http/templates", f.dir() / "templates",
             fs::copy_options::recursive);
  }
  ~World() {
    if (httpd.pid > 0) {
      ::kill(httpd.pid, SIGKILL);
      Fixture::wait(httpd, 5000);
    }
  }
  // Unless a test says otherwise, "admin" administers, with a password PAM checks.
  static constexpr const char* kAdminPassword = "adm-pw";
  static Options with(Options o, int port) {
    o.settings["HTTPPort"] = std::to_string(port);
    if (!o.settings.count("HTTPAdmin")) {
      o.settings["HTTPAdmin"] = "admin";
      o.pam_users["admin"] = kAdminPassword;
    }
    return o;
  }
  bool wait_http() const {
    for (int i = 0; i < 500; ++i) {
      if (Fixture::listening(http_port)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  // A console listener with the bit that starts the HTTP child.
  bool start_with_child() { return f.start_server() && wait_http(); }
  bool start_httpd() {
    httpd = f.spawn(Fixture::program("kyvekserver"), {"httpd"}, -1, "httpd");
    return wait_http();
  }
  std::string curl(const std::string& args) const {
    fs::path out = f.dir() / "curl.out";
    std::string cmd = "curl -s -i --max-time 30 " + args + " > " + out.string() + " 2>&1";
    if (std::system(cmd.c_str()) == -1) return "";
    return Fixture::read_file(out);
  }
  std::string url(const std::string& path) const {
    return "'http://127.0.0.1:" + std::to_string(http_port) + path + "'";
  }
  std::string get(const std::string& path) const { return curl(url(path)); }
  // As the administrator.
  std::string admin(const std::string& path) const {
    return curl(std::string("-u admin:") + kAdminPassword + " " + url(path));
  }
  // A change as the administrator's browser posts it: from a page of this
  // server (Origin), with the form token of a page.
  std::string post(const std::string& path, const std::string& data) const {
    return post_form(path, with_token(data));
  }
  // A form's fields as they stand (its own token among them).
  std::string post_form(const std::string& path, const std::string& data) const {
    return curl(std::string("-u admin:") + kAdminPassword + " -H 'Origin: http://127.0.0.1:" +
                std::to_string(http_port) + "' --data '" + data + "' " + url(path));
  }
  std::string with_token(const std::string& data) const {
    if (token.empty()) {
      std::string page = admin("/config_change_f.html");
      size_t at = page.find("name=\"token\" value=\"");
      if (at != std::string::npos) token = page.substr(at + 20, 32);
    }
    return data.empty() ? "token=" + token : data + "&token=" + token;
  }
  std::string registry() const { return Fixture::read_file(f.registry_path()); }

  // Headless Chromium's picture of a page (as the administrator), kept in the build directory
  // (http-screenshots/<name>.png) for a person to look at; its path, or ""
  // when Chromium made none.
  fs::path screenshot(const std::string& name, const std::string& path, const std::string& size = "1000,800") {
    fs::path shots = fs::path(std::getenv("KYVEK_BINARY_DIR")) / "http-screenshots";
    fs::create_directories(shots);
    fs::path png = shots / (name + ".png");
    fs::remove(png);
    fs::path profile = f.dir() / ("chromium-" + name);
    Process p = f.spawn(
        "/usr/bin/chromium",
        {"--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking", "--disable-component-update",
         "--disable-sync", "--no-first-run", "--user-data-dir=" + profile.string(), "--window-size=" + size,
         "--screenshot=" + png.string(),
         std::string("http://admin:") + kAdminPassword + "@127.0.0.1:" + std::to_string(http_port) + path},
        -1, "chromium");
    if (Fixture::wait(p, 60000) != 0 || !fs::exists(png)) return "";
    return png;
  }

  int http_port;
  Fixture f;
  Process httpd;
  mutable std::string token;
};

// An ODBC connection through the client driver in a child process (python3
// with pyodbc, on the sanitized driver when the build is), so that each test
// reads its own data sources afresh; held until destroyed.
class OdbcClient {
 public:
  OdbcClient(Fixture& f, const std::string& extra) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      error_ = "no pipe";
      return;
    }
    const std::map<std::string, std::string> saved = f.env();
    kyvek::e2e::preload_sanitizers(f);
    const std::string script =
        "import sys, pyodbc\n"
        "try:\n"
        "    c = pyodbc.connect(sys.argv[1], autocommit=True)\n"
        "except Exception as e:\n"
        "    print('failed', e, flush=True)\n"
        "    sys.exit(1)\n"
        "print('connected', flush=True)\n"
        "sys.stdin.read()\n"
        "c.close()\n";
    process_ = f.spawn("/usr/bin/python3", {"-c", script, f.client_connection_string(extra)}, fds[0], "odbc");
    ::close(fds[0]);
    hold_ = fds[1];
    for (const char* name : {"LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
      auto it = saved.find(name);
      f.set_env(name, it == saved.end() ? "" : it->second);
    }
    for (int i = 0; i < 600; ++i) {
      std::string out = Fixture::read_file(process_.out);
      if (out.rfind("connected", 0) == 0) return;
      if (out.rfind("failed", 0) == 0) {
        error_ = out;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    error_ = "no answer: " + Fixture::read_file(process_.err);
  }
  ~OdbcClient() { close(); }
  OdbcClient(const OdbcClient&) = delete;
  OdbcClient& operator=(const OdbcClient&) = delete;
  // Disconnects and waits for the child.
  void close() {
    if (hold_ >= 0) ::close(hold_);
    hold_ = -1;
    if (process_.pid > 0) Fixture::wait(process_, 20000);
    process_.pid = -1;
  }
  // "" when connected, else what the child said.
  const std::string& error() const { return error_; }

 private:
  Process process_;
  int hold_ = -1;
  std::string error_;
};

}  // namespace kyvek::http_test

#endif
