// A private PostgreSQL cluster for the tests that SQLite cannot serve
// (numerics, output parameters): initdb and pg_ctl run as the postgres user
// on a free port with the socket in the test's own directory; psqlODBC is the
// target driver, named in the test's own odbcinst.ini and odbc.ini.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace kytest {

inline const char* kPsqlDriver = "/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so";

class PgCluster {
 public:
  static PgCluster& get() {
    static PgCluster cluster;
    return cluster;
  }
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  std::string dsn_string() const { return "DSN=pgdsn;"; }

 private:
  PgCluster() {
    char tmpl[] = "/tmp/kyvek-pg-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
      error_ = "mkdtemp";
      return;
    }
    dir_ = tmpl;
    chmod(dir_.c_str(), 0777);
    bin_ = find_bin();
    if (bin_.empty()) {
      error_ = "no PostgreSQL server programs (initdb, pg_ctl) under /usr/lib/postgresql/*/bin";
      return;
    }
    if (!std::filesystem::exists(kPsqlDriver)) {
      error_ = std::string("no psqlODBC driver at ") + kPsqlDriver;
      return;
    }
    if (geteuid() == 0) {
      // As root the cluster runs as the postgres account: found by its
      // absolute path, so that a minimal PATH does not hide it.
      as_pg_ = find_runuser();
      if (as_pg_.empty()) {
        error_ = "running as root, but no runuser at /usr/sbin/runuser or /sbin/runuser";
        return;
      }
      as_pg_ += " -u postgres -- ";
    }
    port_ = free_port();
    const std::string data = dir_ + "/data";
    const std::string& as_pg = as_pg_;
    if (!run(as_pg + bin_ + "/initdb -D " + data + " -A trust -U postgres -N > " + dir_ + "/initdb.log 2>&1")) {
      error_ = "initdb failed, see " + dir_ + "/initdb.log";
      return;
    }
    if (!run(as_pg + bin_ + "/pg_ctl -D " + data + " -l " + dir_ + "/pg.log -w -t 60 -o \"-p " + std::to_string(port_) +
             " -k " + dir_ + " -c listen_addresses=''\" start > " + dir_ + "/pg_ctl.log 2>&1")) {
      error_ = "pg_ctl start failed, see " + dir_ + "/pg.log";
      return;
    }
    started_ = true;
    write(dir_ + "/odbcinst.ini", std::string("[PostgreSQL]\nDriver=") + kPsqlDriver + "\n");
    write(dir_ + "/odbc.ini", "[pgdsn]\nDriver=PostgreSQL\nServername=" + dir_ + "\nPort=" + std::to_string(port_) +
                                  "\nDatabase=postgres\nUsername=postgres\nUpdatableCursors=1\n");
    setenv("ODBCSYSINI", dir_.c_str(), 1);
    setenv("ODBCINI", (dir_ + "/odbc.ini").c_str(), 1);
    // No registry file: every Flags bit clear.
    setenv("KYVEK_REGISTRY", (dir_ + "/registry.reg").c_str(), 1);
    ok_ = true;
  }
  ~PgCluster() {
    if (started_) {
      run(as_pg_ + bin_ + "/pg_ctl -D " + dir_ + "/data -m immediate -w -t 30 stop > /dev/null 2>&1");
    }
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  static bool run(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }
  static void write(const std::string& file, const std::string& text) {
    std::ofstream f(file);
    f << text;
  }
  static std::string find_bin() {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
      std::string b = e.path().string() + "/bin";
      if (std::filesystem::exists(b + "/pg_ctl") && std::filesystem::exists(b + "/initdb")) return b;
    }
    return "";
  }
  static std::string find_runuser() {
    for (const char* p : {"/usr/sbin/runuser", "/sbin/runuser", "/usr/bin/runuser", "/bin/runuser"})
      if (access(p, X_OK) == 0) return p;
    return "";
  }
  static int free_port() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 54329;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port = ntohs(a.sin_port);
    close(s);
    return port;
  }

  std::string dir_, bin_, error_;
  std::string as_pg_;  // the runuser prefix as root, else empty
  int port_ = 0;
  bool ok_ = false;
  bool started_ = false;
};

}  // namespace kytest
