// The link procedures in-process: server_get_info answers by capacity,
// server_set_attribute, authenticate (scrambled passwords, domain split, PAM,
// the exit status) and the connection-attribute trace lines; plus the refusal
// frame's size limit.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "e2e_fixture.h"
#include "kyrpc.h"
#include "logon/logon.h"
#include "net_connection.h"
#include "scramble.h"
#include "server_info.h"
#include "settings.h"
#include "events.h"
#include "listener.h"
#include "startup_log.h"
#include "thread_table.h"
#include "trace_log.h"
#include "worker.h"

using kyvek::e2e::Fixture;
using kyvek::e2e::Options;

namespace {

struct InfoCase {
  int32_t type;
  int32_t capacity;
  int32_t result;
  int32_t length;
  const char* text;
};

void check_info(const InfoCase& c) {
  SCOPED_TRACE("type " + std::to_string(c.type) + " capacity " + std::to_string(c.capacity));
  std::vector<char> buf(static_cast<size_t>(c.capacity) + 8, '#');
  int32_t length = c.capacity;
  EXPECT_EQ(server_get_info(c.type, &length, c.capacity ? buf.data() : nullptr), c.result);
  EXPECT_EQ(length, c.length);
  if (c.text) {
    EXPECT_STREQ(buf.data(), c.text);
  }
  // Nothing is written past the capacity.
  EXPECT_EQ(buf[static_cast<size_t>(c.capacity)], '#');
}

class ServerInfoTest : public ::testing::Test {
 protected:
  void start(uint32_t flags, std::map<std::string, std::string> pam = {}) {
    Options o;
    o.flags = flags;
    o.server_dsn = false;
    o.extra_system_dsns = {"A", "BB", "CCC"};
    o.pam_users = std::move(pam);
    fixture_ = std::make_unique<Fixture>(o);
    fixture_->apply_env();
    worker_install_server_policy();
    char* error = nullptr;
    ASSERT_EQ(load_server_settings(&error, nullptr, 0), 0) << (error ? error : "");
  }
  std::unique_ptr<Fixture> fixture_;
};

TEST_F(ServerInfoTest, AnswersFollowTheCapacity) {
  start(0x8001);
  const InfoCase cases[] = {
      {1, 4, 1, 4, "2.4"},
      {1, 7, 0, 7, "2.4.03"},
      {1, 100, 0, 7, "2.4.03"},
      {1, 0, 1, 0, nullptr},
      {2, 4, 0, 4, "VEK"},
      {3, 2, 0, 2, "1"},
      {5, 10, -1, 10, nullptr},
      {0, 10, -1, 10, nullptr},
      // A,BB fits 7 bytes; adding CCC would need 4 + 3 + 2.
      {4, 7, 0, 5, "A,BB"},
      {4, 100, 0, 9, "A,BB,CCC"},
      {4, 0, 1, 0, nullptr},
  };
  for (const auto& c : cases) check_info(c);
}

TEST_F(ServerInfoTest, DsnListNeedsAllowDsnBrowse) {
  start(0x1);
  const char* refusal = "Remote DSN list forbidden by VEK Server. AllowDSNBrowse disabled.";
  const InfoCase cases[] = {
      {4, 10, 1, 0, nullptr},
      {4, 200, 1, static_cast<int32_t>(std::strlen(refusal) + 1), refusal},
  };
  for (const auto& c : cases) check_info(c);
}

// A handle with a link record, as the worker sets it up.
struct Link {
  Link() {
    h = RPCAllocHandle();
    info = static_cast<net_connection_info_t*>(std::calloc(1, sizeof(net_connection_info_t)));
    RPCRegisterPrivatePtr(h, info, 0);
  }
  ~Link() {
    RPCRegisterPrivatePtr(h, nullptr, 0);
    RPCFreeHandle(h);
    std::free(info);
  }
  // Scrambles as a client would (FAZE2 after attribute 2) and logs on, on a
  // thread of its own so that an impersonation never touches the test thread.
  int32_t logon(const std::string& user, const std::string& password, uint32_t* status) {
    bool faze2 = info->op_flags1 & NET_OP_FAZE2;
    std::vector<char> pw(password.size() * 2 + 1, '\0');
    std::memcpy(pw.data(), password.c_str(), password.size() + 1);
    scramble_string(pw.data(), faze2 ? KY_SCRAMBLE_FAZE2_SCRAMBLE : KY_SCRAMBLE_SCRAMBLE);
    std::vector<char> u(user.begin(), user.end());
    u.push_back('\0');
    int32_t rc = 0;
    std::thread t([&] {
      set_connection_exit_status(0);
      rc = authenticate(h, u.data(), pw.data());
      *status = connection_exit_status();
      if (ky_logon_can_impersonate()) ky_logon_revert();
    });
    t.join();
    return rc;
  }
  RpcHandle* h;
  net_connection_info_t* info;
};

TEST_F(ServerInfoTest, SetAttributeChoosesTheScrambleVariant) {
  start(0x8001);
  Link link;
  char one[] = "1";
  EXPECT_EQ(server_set_attribute(link.h, 1, 2, one), 0);
  EXPECT_EQ(link.info->op_flags1, 0u);
  EXPECT_EQ(server_set_attribute(link.h, 3, 2, one), -1);
  EXPECT_EQ(link.info->op_flags1, 0u);
  EXPECT_EQ(server_set_attribute(link.h, 2, 2, one), 0);
  EXPECT_EQ(link.info->op_flags1, static_cast<uint32_t>(NET_OP_FAZE2));
  EXPECT_EQ(server_set_attribute(nullptr, 2, 2, one), 0);  // no record: nothing to set
}

TEST_F(ServerInfoTest, DisabledAuthenticationRecordsTheUser) {
  start(0x8001);
  Link link;
  uint32_t status = 99;
  EXPECT_EQ(link.logon("sales/clerk", "anything", &status), 0);
  EXPECT_EQ(status, 0u);
  EXPECT_STREQ(link.info->user_name, "sales/clerk");
  // An over-long user text is cut so that a NUL always follows.
  std::string longer(300, 'u');
  EXPECT_EQ(link.logon(longer, "x", &status), 0);
  EXPECT_EQ(std::strlen(link.info->user_name), static_cast<size_t>(NET_USER_NAME_SIZE - 1));
}

TEST_F(ServerInfoTest, PamDecidesWithTheDomainSplit) {
  start(0x8000, {{"nobody@sales", "pw"}, {"b/c@a", "pw"}});
  const int impersonation_failure = ky_logon_can_impersonate() ? KY_LOGON_ERROR_NO_SUCH_USER : 0;
  struct Case {
    const char* user;
    const char* password;
    bool faze2;
    int32_t result;
    uint32_t status;
  } cases[] = {
      {"sales/nobody", "pw", false, 0, 0},
      {"sales/nobody", "pw", true, 0, 0},
      {"sales/nobody", "wrong", true, KY_LOGON_ERROR_LOGON_FAILURE, 201},
      {"nobody", "pw", true, KY_LOGON_ERROR_LOGON_FAILURE, 201},  // no domain: "nobody" alone
      // Split at the first "/": domain a, user b/c, which PAM knows but the
      // system does not.
      {"a/b/c", "pw", true, impersonation_failure, impersonation_failure ? 201u : 0u},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.user) + (c.faze2 ? " faze2" : ""));
    Link link;
    if (c.faze2) {
      char one[] = "1";
      server_set_attribute(link.h, 2, 2, one);
    }
    std::snprintf(link.info->client_address, sizeof link.info->client_address, "10.1.2.3");
    uint32_t status = 99;
    reset_server_event_state();
    testing::internal::CaptureStderr();
    EXPECT_EQ(link.logon(c.user, c.password, &status), c.result);
    std::string events = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, c.status);
    EXPECT_STREQ(link.info->user_name, c.user);
    // A refused password is reported at once, with the address and the user.
    if (c.result == KY_LOGON_ERROR_LOGON_FAILURE) {
      EXPECT_NE(events.find(std::string("Invalid authorisation from 10.1.2.3: failed logon for user '") + c.user +
                            "' (wrong user name or password, code 1326)"),
                std::string::npos)
          << events;
    }
  }
}

TEST(ConnectAttrNames, TraceLines) {
  uint32_t one = 1;
  char text_with_percent[] = "cat%s%n";
  std::string long_text(400, 'x');
  struct Case {
    int32_t id;
    intptr_t value;
    int32_t direct;
    std::string line;
  } cases[] = {
      {102, reinterpret_cast<intptr_t>(&one), 0, "\tAUTOCOMMIT\t0x1\n"},
      {102, 0x10, 1, "\tAUTOCOMMIT\t0x10\n"},
      {10001, 0, 1, "\tAUTO_IPD\tRead-Only attribute\n"},
      {106, 5, 1, "\t\t\tUNKNOWN\tnon-determined-value-type\n"},
      {102 + 65536, 5, 1, "\t\t\tUNKNOWN\tnon-determined-value-type\n"},
      {109, reinterpret_cast<intptr_t>(text_with_percent), 1, "\tCURRENT_CATALOG\t\tcat%s%n\n"},
      {111, 0x1234, 1, "\tQUIET_MODE\t\t0x1234\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    char line[256];
    format_connect_attr(c.id, c.value, c.direct, line, sizeof line);
    EXPECT_EQ(std::string(line), c.line);
  }
  // A text longer than the line is cut at the line's end.
  char line[256];
  memset(line, '#', sizeof line);
  int n = format_connect_attr(105, reinterpret_cast<intptr_t>(long_text.c_str()), 1, line, sizeof line);
  EXPECT_EQ(n, 255);
  EXPECT_EQ(line[255], '\0');
}

TEST(RefusalFrame, IsCutAtFiveHundredTwelveBytes) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  std::string detail(1000, 'd');
  EXPECT_EQ(send_client_error(sv[0], "Client has too many connections. ", detail.c_str()), 512);
  EXPECT_EQ(send_client_error(sv[0], "short", nullptr), 10);
  char buf[1024];
  ssize_t n = ::recv(sv[1], buf, 522, MSG_WAITALL);
  ASSERT_EQ(n, 522);
  EXPECT_EQ(std::string(buf, 4), std::string(4, '\xff'));
  EXPECT_EQ(std::string(buf + 4, 33), "Client has too many connections. ");
  EXPECT_EQ(buf[511], '\0');
  EXPECT_EQ(std::string(buf + 512, 10), std::string("\xff\xff\xff\xffshort", 9) + '\0');
  ::close(sv[0]);
  ::close(sv[1]);
}

}  // namespace

namespace {

// The console listener in a child of the test, with a thread starter that
// always fails with EAGAIN and a pause that only counts.
TEST(ListenerRetries, EagainIsTriedFiveTimesThenRefused) {
  Options o;
  o.settings["Logging"] = "0x800";
  Fixture f(o);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    f.apply_env();
    set_listener_seams([](pthread_t*, void* (*)(void*), void*) { return EAGAIN; },
                       [](unsigned seconds) { startup_log("paused %u\n", seconds); });
    std::string port = f.port_text();
    char prog[] = "kyvekserver", word[] = "standalone";
    char* argv[] = {prog, word, port.data(), nullptr};
    set_trace_mask(0x800);
    char* error = nullptr;
    if (load_server_settings(&error, nullptr, 1) != 0) ::_exit(2);
    ::_exit(console_loop(3, argv) == 0 ? 0 : 3);
  }
  bool up = false;
  for (int i = 0; i < 500 && !(up = Fixture::listening(f.port())); ++i) ::usleep(10000);
  ASSERT_TRUE(up);
  int fd = kyvek::e2e::connect_loopback(f.port());
  ASSERT_GE(fd, 0);
  std::string text = "After 5 attempts the VEK Server could still not create a thread due to lack of resources";
  EXPECT_EQ(kyvek::e2e::read_all(fd), std::string("\xff\xff\xff\xff", 4) + text + std::string(1, '\0'));
  ::close(fd);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  std::string log = Fixture::read_file(f.dir() / "log" / "kyvekstart.log");
  size_t pauses = 0, at = 0;
  while ((at = log.find("paused 3\n", at)) != std::string::npos) ++pauses, ++at;
  EXPECT_EQ(pauses, 5u) << log;
  EXPECT_NE(log.find("Thread retries now 5\n"), std::string::npos);
  EXPECT_EQ(log.find("Thread retries now 6\n"), std::string::npos);
}

// The service makes its thread table with the first entry before it listens;
// when it cannot, it stops with the service-specific code 104 and says why.
TEST(ServiceStart, NoThreadTableStopsWithCode104) {
  Options o;
  Fixture f(o);
  f.set_setting("Port", f.port_text());
  f.set_env("KYVEK_SERVICE", "1");
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    f.apply_env();
    set_thread_entry_allocator([](size_t, size_t) -> void* { return nullptr; });
    char prog[] = "kyvekserver", word[] = "standalone";
    char* argv[] = {prog, word, nullptr};
    char* error = nullptr;
    if (load_server_settings(&error, nullptr, 1) != 0) ::_exit(2);
    ::_exit(console_loop(2, argv));
  }
  int status = 0;
  for (int i = 0; i < 2000 && ::waitpid(child, &status, WNOHANG) == 0; ++i) ::usleep(10000);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  std::string state = Fixture::read_file(f.rundir() / (std::string(Fixture::kServiceName) + ".state"));
  EXPECT_NE(state.find("win32_exit_code=1066\n"), std::string::npos) << state;
  EXPECT_NE(state.find("service_exit_code=104\n"), std::string::npos) << state;
  EXPECT_TRUE(f.wait_event("0xC0020161 Insufficient virtual memory allocating " +
                               std::to_string(sizeof(thread_entry_t)) + " bytes for thread entry",
                           1000))
      << Fixture::read_file(f.eventlog_path());
  EXPECT_FALSE(Fixture::listening(f.port()));
}

}  // namespace
