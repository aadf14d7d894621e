// The one private world of the statements tests: a kyvekserver on loopback
// with the SQLite data source "vekdb" and, when PostgreSQL and psqlODBC are
// installed, a private cluster as data source "pgdsn". Made once for the test
// program (the Driver Manager keeps the ini files it read for the life of the
// process) and torn down at its end.
#ifndef KYVEK_TESTS_E2E_STATEMENTS_WORLD_H
#define KYVEK_TESTS_E2E_STATEMENTS_WORLD_H

#include <string>

#include "e2e_fixture.h"

namespace kyvek::e2e {

class World {
 public:
  // The world, made on first use; null when the server did not start.
  static World* get();
  Fixture& fixture() { return *fx_; }
  // Whether the private PostgreSQL cluster is up; pg_error() says what is
  // missing when it is not. Tests that need it fail without it.
  bool has_pg() const { return pg_ok_; }
  const std::string& pg_error() const { return pg_error_; }
  static std::string direct() { return std::string("DSN=") + Fixture::kServerDsn + ";"; }
  static std::string bridge(const std::string& extra = "") {
    return std::string("DSN=") + Fixture::kClientDsn + ";" + extra;
  }
  static std::string pg_direct() { return "DSN=pgdsn;"; }
  static std::string pg_bridge() { return "DSN=kyvek;TARGETDSN=pgdsn;"; }
  static void destroy();

 private:
  World();
  ~World();
  Fixture* fx_ = nullptr;
  bool pg_ok_ = false;
  std::string pg_error_;
  bool up_ = false;
};

}  // namespace kyvek::e2e

#endif
