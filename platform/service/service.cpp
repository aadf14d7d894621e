// Service control on Linux: dispatcher thread model, signal-to-control
// mapping, state file and systemd notification. See service.h.
#include "service/service.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <atomic>
#include <thread>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

struct ky_service_status_handle_s {
  std::string name;
};

namespace {

std::mutex g_report_lock;  // serialises state-file writes
std::atomic<ky_service_handler_fn> g_handler{nullptr};
std::atomic<int> g_wakeup_fd{-1};
std::mutex g_dispatch_lock;                      // guards g_dispatch_name and g_handle
std::string g_dispatch_name;                     // guarded by g_dispatch_lock
ky_service_status_handle_s* g_handle = nullptr;  // guarded by g_dispatch_lock

std::string run_dir() {
  const char* d = std::getenv("KYVEK_RUNDIR");
  return (d && *d) ? d : "/run/kyvek";
}

// Creates the run directory and its parents (mode 0755).
void make_dirs(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      std::string part = path.substr(0, i);
      if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return;
    }
  }
}

int control_for_signal(int sig) {
  switch (sig) {
    case SIGTERM: return KY_SERVICE_CONTROL_STOP;
    case SIGUSR1: return KY_SERVICE_CONTROL_PAUSE;
    case SIGUSR2: return KY_SERVICE_CONTROL_CONTINUE;
    default: return 0;
  }
}

int signal_for_control(uint32_t control) {
  switch (control) {
    case KY_SERVICE_CONTROL_STOP: return SIGTERM;
    case KY_SERVICE_CONTROL_PAUSE: return SIGUSR1;
    case KY_SERVICE_CONTROL_CONTINUE: return SIGUSR2;
    default: return 0;
  }
}

// Where the service serves ("listening on 0.0.0.0 port 8888"), shown with
// the running and paused states.
std::mutex g_detail_mutex;
std::string g_detail;

std::string with_detail(const char* state) {
  std::lock_guard<std::mutex> lock(g_detail_mutex);
  return g_detail.empty() ? std::string(state) : std::string(state) + ", " + g_detail;
}

void notify_systemd(const ky_service_status& st) {
  if (!std::getenv("NOTIFY_SOCKET")) return;
  switch (st.current_state) {
    case KY_SERVICE_RUNNING: sd_notifyf(0, "READY=1\nSTATUS=%s", with_detail("running").c_str()); break;
    case KY_SERVICE_PAUSED: sd_notifyf(0, "STATUS=%s", with_detail("paused").c_str()); break;
    case KY_SERVICE_STOP_PENDING: sd_notify(0, "STOPPING=1\nSTATUS=stopping"); break;
    case KY_SERVICE_STOPPED:
      // ERRNO= is read as an errno value: only a system error carried as
      // 10000 + errno is passed; a service-specific code is in STATUS alone.
      if (st.win32_exit_code > 10000 && st.win32_exit_code < 10000 + 4096)
        sd_notifyf(0, "STOPPING=1\nSTATUS=stopped\nERRNO=%u", st.win32_exit_code - 10000);
      else if (st.win32_exit_code == KY_SERVICE_SPECIFIC_ERROR)
        sd_notifyf(0, "STOPPING=1\nSTATUS=stopped, service error %u", st.service_exit_code);
      else if (st.win32_exit_code != 0)
        sd_notifyf(0, "STOPPING=1\nSTATUS=stopped, error %u", st.win32_exit_code);
      else
        sd_notify(0, "STOPPING=1\nSTATUS=stopped");
      break;
    default: sd_notifyf(0, "STATUS=state %u", st.current_state); break;
  }
}

}  // namespace

extern "C" void ky_service_set_status_detail(const char* text) {
  std::lock_guard<std::mutex> lock(g_detail_mutex);
  g_detail = text ? text : "";
}

extern "C" int ky_service_state_path(const char* service_name, char* buf, size_t size) {
  if (!service_name || !buf) return -1;
  int n = std::snprintf(buf, size, "%s/%s.state", run_dir().c_str(), service_name);
  return (n < 0 || static_cast<size_t>(n) >= size) ? -1 : 0;
}

extern "C" int ky_service_start_dispatcher(const char* service_name, ky_service_main_fn service_main) {
  const char* flag = std::getenv("KYVEK_SERVICE");
  if (!flag || std::strcmp(flag, "1") != 0) return 0;
  if (!service_name || !service_main) {
    errno = EINVAL;
    return -1;
  }
  {
    std::lock_guard<std::mutex> lk(g_dispatch_lock);
    if (!g_dispatch_name.empty()) {
      errno = EBUSY;
      return -1;
    }
    g_dispatch_name = service_name;
  }
  int efd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (efd < 0) {
    std::lock_guard<std::mutex> lk(g_dispatch_lock);
    g_dispatch_name.clear();
    return -1;
  }
  g_wakeup_fd.store(efd);

  // Block the control signals before the service thread starts, so it and every
  // thread it creates inherit the mask and only this thread takes them.
  sigset_t set, old;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGUSR1);
  sigaddset(&set, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &set, &old);

  std::atomic<bool> done{false};
  std::string name_copy = service_name;
  std::thread worker([&] {
    char* argv[2] = {name_copy.data(), nullptr};
    service_main(1, argv);
    done.store(true);
  });

  while (!done.load()) {
    timespec ts{0, 100 * 1000 * 1000};
    siginfo_t info;
    int sig = ::sigtimedwait(&set, &info, &ts);
    if (sig <= 0) continue;
    int control = control_for_signal(sig);
    ky_service_handler_fn h = g_handler.load();
    if (control && h) h(static_cast<uint32_t>(control));
    uint64_t one = 1;
    ssize_t w = ::write(efd, &one, sizeof one);
    (void)w;
  }
  worker.join();

  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  g_handler.store(nullptr);
  g_wakeup_fd.store(-1);
  ::close(efd);
  std::lock_guard<std::mutex> lk(g_dispatch_lock);
  g_dispatch_name.clear();
  delete g_handle;
  g_handle = nullptr;
  return 1;
}

extern "C" ky_service_status_handle ky_service_register_handler(const char* service_name,
                                                                ky_service_handler_fn handler) {
  std::lock_guard<std::mutex> lk(g_dispatch_lock);
  if (!service_name || g_dispatch_name != service_name) return nullptr;
  if (!g_handle) g_handle = new (std::nothrow) ky_service_status_handle_s{service_name};
  if (g_handle) g_handler.store(handler);
  return g_handle;
}

extern "C" int ky_service_set_status(ky_service_status_handle handle, const ky_service_status* st) {
  if (!handle || !st) return -1;
  std::lock_guard<std::mutex> lk(g_report_lock);
  std::string dir = run_dir();
  make_dirs(dir);
  char path[4096];
  if (ky_service_state_path(handle->name.c_str(), path, sizeof path) != 0) return -1;
  std::string tmp = std::string(path) + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return -1;
  char text[512];
  int n = std::snprintf(text, sizeof text,
                        "state=%u\npid=%ld\nwin32_exit_code=%u\nservice_exit_code=%u\n"
                        "check_point=%u\nwait_hint=%u\ncontrols_accepted=%u\nservice_type=%u\n",
                        st->current_state, static_cast<long>(::getpid()), st->win32_exit_code, st->service_exit_code,
                        st->check_point, st->wait_hint, st->controls_accepted, st->service_type);
  bool ok = ::write(fd, text, static_cast<size_t>(n)) == n;
  ok = (::fsync(fd) == 0) && ok;
  ok = (::close(fd) == 0) && ok;
  if (!ok || ::rename(tmp.c_str(), path) != 0) {
    ::unlink(tmp.c_str());
    return -1;
  }
  notify_systemd(*st);
  return 0;
}

extern "C" int ky_service_wakeup_fd(void) { return g_wakeup_fd.load(); }

extern "C" void ky_service_drain_wakeup(void) {
  int fd = g_wakeup_fd.load();
  if (fd < 0) return;
  uint64_t v;
  ssize_t r = ::read(fd, &v, sizeof v);
  (void)r;
}

extern "C" int ky_service_query(const char* service_name, ky_service_status* st, pid_t* pid) {
  char path[4096];
  if (!st || ky_service_state_path(service_name, path, sizeof path) != 0) return -1;
  FILE* f = std::fopen(path, "re");
  if (!f) return -1;
  *st = ky_service_status{};
  long p = 0;
  bool have_state = false;
  char line[128];
  while (std::fgets(line, sizeof line, f)) {
    char key[64];
    unsigned long v = 0;
    if (std::sscanf(line, "%63[a-z_0-9]=%lu", key, &v) != 2) continue;
    std::string k = key;
    auto u = static_cast<uint32_t>(v);
    if (k == "state") {
      st->current_state = u;
      have_state = true;
    } else if (k == "pid")
      p = static_cast<long>(v);
    else if (k == "win32_exit_code")
      st->win32_exit_code = u;
    else if (k == "service_exit_code")
      st->service_exit_code = u;
    else if (k == "check_point")
      st->check_point = u;
    else if (k == "wait_hint")
      st->wait_hint = u;
    else if (k == "controls_accepted")
      st->controls_accepted = u;
    else if (k == "service_type")
      st->service_type = u;
  }
  std::fclose(f);
  if (!have_state) return -1;
  if (pid) *pid = static_cast<pid_t>(p);
  return 0;
}

extern "C" int ky_service_control(const char* service_name, uint32_t control) {
  int sig = signal_for_control(control);
  if (!sig) {
    errno = EINVAL;
    return -1;
  }
  ky_service_status st;
  pid_t pid = 0;
  if (ky_service_query(service_name, &st, &pid) != 0 || pid <= 0) return -1;
  if (st.current_state == KY_SERVICE_STOPPED) {
    errno = ESRCH;
    return -1;
  }
  return ::kill(pid, sig) == 0 ? 0 : -1;
}
