// PAM checks against a private configuration (pam_matrix with the test's own
// password file) and per-thread impersonation.
#include "logon/logon.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char* kPamMatrix = "/usr/lib/x86_64-linux-gnu/pam_wrapper/pam_matrix.so";

class LogonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kyvek-logon-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    std::ofstream(dir_ / "passdb") << "clerk:secret:kyvek\n"
                                   << "clerk@sales:other:kyvek\n"
                                   << "elsewhere:secret:sshd\n"
                                   << "otheruser:pw:other\n";
    std::string db = (dir_ / "passdb").string();
    for (const char* service : {"kyvek", "other"}) {
      std::ofstream conf(dir_ / service);
      for (const char* type : {"auth", "account"})
        conf << type << " required " << kPamMatrix << " passdb=" << db << "\n";
    }
    ::setenv("KYVEK_PAM_CONFDIR", dir_.c_str(), 1);
    ::unsetenv("KYVEK_PAM_SERVICE");
  }
  void TearDown() override {
    ::unsetenv("KYVEK_PAM_CONFDIR");
    fs::remove_all(dir_);
  }
  fs::path dir_;
};

TEST_F(LogonTest, PasswordChecksFollowThePasswordFile) {
  struct Case {
    const char* user;
    const char* domain;
    const char* password;
    int expected;
  } cases[] = {
      {"clerk", nullptr, "secret", KY_LOGON_OK},
      {"clerk", "", "secret", KY_LOGON_OK},
      {"clerk", nullptr, "wrong", KY_LOGON_ERROR_LOGON_FAILURE},
      {"clerk", nullptr, "", KY_LOGON_ERROR_LOGON_FAILURE},
      {"nobody-here", nullptr, "secret", KY_LOGON_ERROR_LOGON_FAILURE},
      // A domain reaches PAM as user@domain.
      {"clerk", "sales", "other", KY_LOGON_OK},
      {"clerk", "sales", "secret", KY_LOGON_ERROR_LOGON_FAILURE},
      // Right password, but the account is for another service.
      {"elsewhere", nullptr, "secret", KY_LOGON_ERROR_ACCOUNT_RESTRICTION},
      {"", nullptr, "secret", KY_LOGON_ERROR_INVALID_PARAMETER},
      {nullptr, nullptr, "secret", KY_LOGON_ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.user ? c.user : "(null)") + "@" + (c.domain ? c.domain : "-"));
    EXPECT_EQ(ky_logon_verify_password(c.user, c.domain, c.password), c.expected);
  }
}

TEST_F(LogonTest, ServiceNameComesFromTheEnvironment) {
  ::setenv("KYVEK_PAM_SERVICE", "other", 1);
  EXPECT_EQ(ky_logon_verify_password("otheruser", nullptr, "pw"), KY_LOGON_OK);
  EXPECT_EQ(ky_logon_verify_password("clerk", nullptr, "secret"), KY_LOGON_ERROR_ACCOUNT_RESTRICTION);
  ::unsetenv("KYVEK_PAM_SERVICE");
}

TEST_F(LogonTest, ConcurrentChecksAgree) {
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&, i] {
      for (int k = 0; k < 5; ++k) {
        bool good = (i + k) % 2 == 0;
        int rc = ky_logon_verify_password("clerk", nullptr, good ? "secret" : "bad");
        if ((rc == KY_LOGON_OK) != good) ++wrong;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

// A stack with a failure delay (as pam_unix and pam_faildelay impose) and a
// rule on where the logon comes from.
class LogonPolicyTest : public LogonTest {
 protected:
  void SetUp() override {
    LogonTest::SetUp();
    std::string db = (dir_ / "passdb").string();
    std::ofstream conf(dir_ / "kyvek");
    conf << "auth requisite pam_succeed_if.so rhost notin 10.6.6.6 quiet\n"
         << "auth optional pam_faildelay.so delay=3000000\n"
         << "auth required " << kPamMatrix << " passdb=" << db << "\n"
         << "account required " << kPamMatrix << " passdb=" << db << "\n";
  }
};

TEST_F(LogonPolicyTest, WrongPasswordsDoNotHoldBackARightOne) {
  std::atomic<int> wrong_done{0};
  std::vector<std::thread> wrong;
  for (int i = 0; i < 5; ++i)
    wrong.emplace_back([&] {
      EXPECT_EQ(ky_logon_verify_password_from("clerk", nullptr, "bad", "10.0.0.1"), KY_LOGON_ERROR_LOGON_FAILURE);
      ++wrong_done;
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the wrong ones are in their delay
  EXPECT_EQ(ky_logon_verify_password_from("clerk", nullptr, "secret", "10.0.0.2"), KY_LOGON_OK);
  EXPECT_EQ(wrong_done.load(), 0) << "the right password waited for a wrong one's delay";
  for (auto& t : wrong) t.join();
}

TEST_F(LogonPolicyTest, TheClientsAddressReachesPam) {
  EXPECT_EQ(ky_logon_verify_password_from("clerk", nullptr, "secret", "10.0.0.2"), KY_LOGON_OK);
  EXPECT_EQ(ky_logon_verify_password_from("clerk", nullptr, "secret", "10.6.6.6"), KY_LOGON_ERROR_LOGON_FAILURE);
}

uid_t thread_euid() { return static_cast<uid_t>(::syscall(SYS_geteuid)); }

TEST(Impersonation, ChangesOnlyTheCallingThread) {
  if (::getuid() != 0) {
    EXPECT_EQ(ky_logon_impersonate("nobody"), KY_IMPERSONATE_SKIPPED);
    GTEST_SKIP() << "impersonation needs root";
  }
  struct passwd* pw = ::getpwnam("nobody");
  ASSERT_NE(pw, nullptr);
  uid_t nobody = pw->pw_uid;
  gid_t nobody_gid = pw->pw_gid;

  uid_t seen = 0, after_revert = 1;
  gid_t seen_gid = 0;
  uid_t main_during = 1;
  std::atomic<bool> changed{false}, checked{false};
  std::thread worker([&] {
    ASSERT_EQ(ky_logon_impersonate("nobody"), KY_IMPERSONATE_DONE);
    seen = thread_euid();
    seen_gid = static_cast<gid_t>(::syscall(SYS_getegid));
    changed = true;
    while (!checked) std::this_thread::yield();
    // A second logon on the same thread works from an impersonated state.
    EXPECT_EQ(ky_logon_impersonate("nobody"), KY_IMPERSONATE_DONE);
    EXPECT_EQ(ky_logon_revert(), 0);
    after_revert = thread_euid();
  });
  while (!changed) std::this_thread::yield();
  main_during = thread_euid();
  checked = true;
  worker.join();
  EXPECT_EQ(seen, nobody);
  EXPECT_EQ(seen_gid, nobody_gid);
  EXPECT_EQ(main_during, 0u);
  EXPECT_EQ(after_revert, 0u);
  EXPECT_EQ(ky_logon_impersonate("no-such-user-here"), KY_IMPERSONATE_FAILED);
  EXPECT_EQ(thread_euid(), 0u);
}

}  // namespace
