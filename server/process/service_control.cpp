// Service control: the status record, the control handler, the dispatcher start
// and the HTTP administration server's service main. See service_control.h.
//
// Threading: the status record is guarded by g_status_lock (the control
// handler runs on the dispatcher's thread, the loops on the listener thread).
// The event source is set before the loops start and read by them.
#include "service_control.h"

#include <sys/utsname.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "events.h"
#include "service/service.h"
#include "startup_log.h"
#include "stats.h"

int server_kind = 1;

namespace {

eventlog_source* g_source = nullptr;
http_server_entry_fn g_http_entry = nullptr;  // set once by main before the dispatcher runs

std::mutex g_status_lock;
ky_service_status g_status{};                        // guarded by g_status_lock
ky_service_status_handle g_status_handle = nullptr;  // guarded by g_status_lock

void report_status_locked() {
  if (g_status_handle) ky_service_set_status(g_status_handle, &g_status);
}

}  // namespace

extern "C" void report_service_state(uint32_t state) {
  std::lock_guard<std::mutex> lk(g_status_lock);
  g_status.current_state = state;
  report_status_locked();
}

extern "C" uint32_t service_state(void) {
  std::lock_guard<std::mutex> lk(g_status_lock);
  return g_status.current_state;
}

void service_set_exit_codes(uint32_t win32, uint32_t specific) {
  std::lock_guard<std::mutex> lk(g_status_lock);
  g_status.win32_exit_code = win32;
  g_status.service_exit_code = specific;
  report_status_locked();
}

void service_checkpoint() {
  std::lock_guard<std::mutex> lk(g_status_lock);
  ++g_status.check_point;
  report_status_locked();
}

bool service_registered() {
  std::lock_guard<std::mutex> lk(g_status_lock);
  return g_status_handle != nullptr;
}

void server_event(uint16_t type, uint32_t id, const char* text1, const char* text2) {
  log_server_event(server_event_block(), g_source, type, id, text1, text2);
}

void service_begin(const char* trace) {
  std::lock_guard<std::mutex> lk(g_status_lock);
  g_status = {KY_SERVICE_WIN32_OWN_PROCESS,
              KY_SERVICE_STOPPED,
              KY_SERVICE_ACCEPT_STOP | KY_SERVICE_ACCEPT_PAUSE_CONTINUE | KY_SERVICE_ACCEPT_SHUTDOWN,
              0,
              0,
              0,
              1000};
  g_status_handle = ky_service_register_handler(server_kind ? SERVER_SERVICE_NAME : HTTP_SERVICE_NAME, ServiceHandle);
  startup_log("%s", trace);
  g_status.current_state = KY_SERVICE_START_PENDING;
  report_status_locked();
}

void service_end(uint32_t event_id) {
  server_event(EVENTLOG_INFORMATION, event_id, "");
  report_service_state(KY_SERVICE_STOPPED);
  std::lock_guard<std::mutex> lk(g_status_lock);
  g_status_handle = nullptr;
}

extern "C" eventlog_source* server_source(void) { return g_source; }
extern "C" void set_server_source(eventlog_source* source) { g_source = source; }

extern "C" int start_service_dispatcher(const char* service_name, void (*service_main)(int, char**)) {
  utsname os{};
  if (::uname(&os) == 0) startup_log("System: %s %s %s\n", os.sysname, os.release, os.version);
  startup_log("Starting Service Manager\n");
  int rc = ky_service_start_dispatcher(service_name, service_main);
  if (rc == 1) {
    startup_log("Under Service Manager control - exiting\n");
    return 1;
  }
  if (rc == 0) {
    startup_log("Running without Service Manager\n");
    std::printf("Running as standalone server\n\n");
    std::fflush(stdout);
    return 0;
  }
  char text[96];
  std::snprintf(text, sizeof text, "StartServiceCtrlDispatcher failed with %d", errno);
  server_event(EVENTLOG_ERROR, EV_ERROR_TEXT, text);
  return -1;
}

extern "C" void ServiceHandle(uint32_t control) {
  startup_log("ServiceHandle()\n");
  uint32_t id = 0;
  {
    std::lock_guard<std::mutex> lk(g_status_lock);
    switch (control) {
      case KY_SERVICE_CONTROL_STOP:
        startup_log("\tStop request\n");
        ++g_status.check_point;
        g_status.current_state = KY_SERVICE_STOP_PENDING;
        id = server_kind ? EV_REQUEST_STOP : EV_HTTP_REQUEST_STOP;
        break;
      case KY_SERVICE_CONTROL_PAUSE:
        startup_log("\tPause request\n");
        ++g_status.check_point;
        g_status.current_state = KY_SERVICE_PAUSE_PENDING;
        id = server_kind ? EV_REQUEST_PAUSE : EV_HTTP_REQUEST_PAUSE;
        break;
      case KY_SERVICE_CONTROL_CONTINUE:
        startup_log("\tContinue request\n");
        ++g_status.check_point;
        g_status.current_state = KY_SERVICE_RUNNING;
        id = server_kind ? EV_REQUEST_CONTINUE : EV_HTTP_REQUEST_CONTINUE;
        break;
      case KY_SERVICE_CONTROL_INTERROGATE:
        startup_log("\tInterrogate request\n");
        ++g_status.check_point;
        break;
      case KY_SERVICE_CONTROL_SHUTDOWN:
        startup_log("\tShutdown notification\n");
        id = server_kind ? EV_REQUEST_SHUTDOWN : EV_HTTP_REQUEST_SHUTDOWN;
        break;
      default: break;
    }
    report_status_locked();
  }
  if (id) server_event(EVENTLOG_INFORMATION, id, "");
}

extern "C" void set_http_server_entry(http_server_entry_fn entry) { g_http_entry = entry; }

extern "C" void httpdServiceMain(int, char**) {
  service_begin("\t(httpd) Registered with Service Manager\n");
  uint32_t error = 0;
  server_stats_t* block = create_shared_statistics(&error);
  if (!block) {
    server_event(EVENTLOG_ERROR, EV_ERROR_TEXT, "Failed to create/map shared memory");
    service_end(EV_HTTP_STOPPED);
    return;
  }
  service_checkpoint();
  startup_log("Running httpd\n");
  report_service_state(KY_SERVICE_RUNNING);
  if (g_http_entry)
    g_http_entry(block);
  else
    server_event(EVENTLOG_ERROR, EV_ERROR_TEXT, "The HTTP administration server is not built yet");
  startup_log("Returned from httpd\n");
  release_shared_statistics(block);
  service_end(EV_HTTP_STOPPED);
}
