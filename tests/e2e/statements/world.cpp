#include "world.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "client_side.h"

namespace kyvek::e2e {

namespace fs = std::filesystem;

const char* kPsqlDriver = "/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so";

// initdb and pg_ctl as the postgres user, on a free port, socket in its own directory.
class PgCluster {
 public:
  PgCluster() {
    char tmpl[] = "/tmp/kyvek-stmt-pg-XXXXXX";
    if (!mkdtemp(tmpl)) return;
    dir_ = tmpl;
    ::chmod(dir_.c_str(), 0777);
    for (const auto& e : fs::directory_iterator("/usr/lib/postgresql"))
      if (fs::exists(e.path() / "bin" / "pg_ctl")) bin_ = (e.path() / "bin").string();
    port_ = Fixture::free_port();
    const std::string as_pg = geteuid() == 0 ? "runuser -u postgres -- " : "";
    if (!run(as_pg + bin_ + "/initdb -D " + dir_ + "/data -A trust -U postgres -N > " + dir_ + "/initdb.log 2>&1"))
      return;
    if (!run(as_pg + bin_ + "/pg_ctl -D " + dir_ + "/data -l " + dir_ + "/pg.log -w -t 60 -o \"-p " +
             std::to_string(port_) + " -k " + dir_ + " -c listen_addresses=''\" start > " + dir_ + "/pg_ctl.log 2>&1"))
      return;
    started_ = true;
  }
  ~PgCluster() {
    const std::string as_pg = geteuid() == 0 ? "runuser -u postgres -- " : "";
    if (started_) run(as_pg + bin_ + "/pg_ctl -D " + dir_ + "/data -m immediate -w -t 30 stop > /dev/null 2>&1");
    if (!dir_.empty()) fs::remove_all(dir_);
  }
  bool ok() const { return started_; }
  std::string odbc_ini_section() const {
    return "[pgdsn]\nDriver=PostgreSQL\nServername=" + dir_ + "\nPort=" + std::to_string(port_) +
           "\nDatabase=postgres\nUsername=postgres\nUpdatableCursors=1\n";
  }

 private:
  // Without the sanitizer preload that the bridge's processes get.
  static bool run(const std::string& cmd) {
    return std::system(("env -u LD_PRELOAD -u ASAN_OPTIONS -u UBSAN_OPTIONS " + cmd).c_str()) == 0;
  }
  std::string dir_, bin_;
  int port_ = 0;
  bool started_ = false;
};


namespace {
World* g_world = nullptr;

// Tears the world down after the last test.
class WorldEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { World::destroy(); }
};
const auto* g_env = ::testing::AddGlobalTestEnvironment(new WorldEnvironment);
}  // namespace

World::World() {
  if (fs::exists(kPsqlDriver) && fs::exists("/usr/lib/postgresql")) {
    pg_ = new PgCluster();
    pg_ok_ = pg_->ok();
  }
  fx_ = new Fixture();
  if (pg_ok_) {
    std::ofstream(fx_->dir() / "odbc" / "odbcinst.ini", std::ios::app)
        << "\n[PostgreSQL]\nDriver=" << kPsqlDriver << "\n";
    std::ofstream(fx_->dir() / "odbc" / "odbc.ini", std::ios::app) << "\n" << pg_->odbc_ini_section();
  }
  preload_sanitizers(*fx_);
  up_ = fx_->start_server();
  fx_->apply_env();
}

World::~World() {
  delete fx_;
  delete pg_;
}

World* World::get() {
  if (!g_world) g_world = new World();
  return g_world->up_ ? g_world : nullptr;
}

void World::destroy() {
  delete g_world;
  g_world = nullptr;
}

}  // namespace kyvek::e2e
