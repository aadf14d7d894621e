#include "world.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "pg_fixture.h"
#include "client_side.h"

namespace kyvek::e2e {

namespace fs = std::filesystem;

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
  // The cluster names its data source in its own odbc.ini (ODBCINI until the
  // fixture's environment is applied); the fixture's server gets the same section.
  std::string pg_ini;
  if (kytest::PgCluster::get().ok()) {
    std::ifstream f(std::getenv("ODBCINI"));
    std::stringstream s;
    s << f.rdbuf();
    pg_ini = s.str();
    pg_ok_ = true;
  } else {
    pg_error_ = "PostgreSQL is needed: " + kytest::PgCluster::get().error();
  }
  fx_ = new Fixture();
  if (pg_ok_) {
    std::ofstream(fx_->dir() / "odbc" / "odbcinst.ini", std::ios::app)
        << "\n[PostgreSQL]\nDriver=" << kytest::kPsqlDriver << "\n";
    std::ofstream(fx_->dir() / "odbc" / "odbc.ini", std::ios::app) << "\n" << pg_ini;
  }
  preload_sanitizers(*fx_);
  up_ = fx_->start_server();
  fx_->apply_env();
}

World::~World() { delete fx_; }

World* World::get() {
  if (!g_world) g_world = new World();
  return g_world->up_ ? g_world : nullptr;
}

void World::destroy() {
  delete g_world;
  g_world = nullptr;
}

}  // namespace kyvek::e2e
