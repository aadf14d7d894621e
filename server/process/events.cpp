// Server events: numbered reports with repeat folding.
#include "events.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "server_utils.h"

namespace {

struct EventText {
  uint32_t id;
  const char* text;
};

constexpr EventText event_text_table[] = {
    {0xC0020082, "Failed to create socket - %s"},
    {0xC0020071, "Failed to bind to port - %s"},
    {0xC0020081, "Failed to listen on port - %s"},
    {0xC0020161, "Insufficient virtual memory allocating %s bytes for %s"},
    {0x40020145, "Thread %s exited"},
    {0xC0020031, "Failed to create process - %s"},
    {0xC0020241, "Exception in VEK thread handling ODBC connection - %s"},
    {0xC0020191, "Failed to create thread - %s"},
    {0x80020281, "Client refused access - %s"},
    {0x80020261, "Client (%s) denied access - %s"},
    {0x80020271, "Client (%s) denied access to DSN '%s' due to access control rule"},
    {0x80020291, "Last message repeated %s times"},
    {0x80020301, "%s File Error (%s)"},
    {0xC0020201, "%s"},
    {0xC0020221, "Failed to start HTTP Server - %s"},
    {0x80020311, "%s"},
    {0x80020321, "Invalid authorisation from %s"},
    {0x80020331, "Client %s is not using KyroRPC protocol - possible attack"},
    {0x80020341, "Client %s disabled (added to denied ACL)"},
    {0, nullptr},
};

// Ids whose insertion strings stand alone: when an event of one comes without
// any, these words are its text, so no line is a bare number.
constexpr EventText event_words_table[] = {
    {0xC0020151, "Sockets unavailable"},
    {0xC0020171, "Waiting for connections failed"},
    {0xC0020083, "Failed to accept a connection"},
    {0xC0020181, "Exit code of a worker unavailable"},
    {0x20001, "Server running"},
    {0x20011, "Server stopped"},
    {0x20012, "Server paused"},
    {0x20361, "HTTP administration server stopped"},
    {0x40020091, "Stop requested"},
    {0x40020101, "Pause requested"},
    {0x40020111, "Continue requested"},
    {0x40020131, "Shutdown notification"},
    {0x40020391, "Stop requested (HTTP administration server)"},
    {0x40020401, "Pause requested (HTTP administration server)"},
    {0x40020411, "Continue requested (HTTP administration server)"},
    {0x40020431, "Shutdown notification (HTTP administration server)"},
    {0, nullptr},
};

const char* event_words_of(uint32_t id) {
  for (const EventText* row = event_words_table; row->text != nullptr; ++row)
    if (row->id == id) return row->text;
  return nullptr;
}

constexpr uint32_t kRepeatLimit = 50;
constexpr time_t kRepeatWindow = 300;

// Repeat state, guarded by event_mutex (listener and workers report events).
std::mutex event_mutex;
uint32_t last_id = 0;
uint32_t repeat_count = 0;
time_t last_change = 0;

std::atomic<server_stats_t*> target_block{nullptr};
std::atomic<eventlog_source*> target_source{nullptr};

void emit(server_stats_t* block, eventlog_source* source, uint16_t type, uint32_t id, const char* text1,
          const char* text2) {
  char text[1024];
  format_event_text(id, text1, text2, text, sizeof text);
  if (source != nullptr) eventlog_report(source, type, id, text);
  if (block == nullptr && source != nullptr) return;
  if (source == nullptr && (text1 != nullptr || event_text_of(id) != nullptr || event_words_of(id) != nullptr)) {
    std::string line = std::string(text) + "\n";
    std::fputs(line.c_str(), stderr);
  }
  if (block != nullptr && id != EV_REPEATED) {
    size_t n = std::strlen(text);
    if (n >= sizeof block->last_event_text) n = sizeof block->last_event_text - 1;
    stats_lock(block);  // other processes write it too
    std::memcpy(block->last_event_text, text, n);
    block->last_event_text[n] = '\0';
    stats_unlock(block);
    __atomic_store_n(&block->last_event_time, static_cast<int64_t>(server_time_now()), __ATOMIC_RELAXED);
  }
}

void flush_repeats(server_stats_t* block, eventlog_source* source, time_t now) {
  char count[16];
  std::snprintf(count, sizeof count, "%u", repeat_count);
  emit(block, source, EVENTLOG_WARNING, EV_REPEATED, count, nullptr);
  repeat_count = 0;
  last_id = 0;
  last_change = now;
}

}  // namespace

extern "C" uint16_t event_type_of(uint32_t id) {
  switch (id >> 30) {
    case 3: return EVENTLOG_ERROR;
    case 2: return EVENTLOG_WARNING;
    default: return EVENTLOG_INFORMATION;
  }
}

extern "C" const char* event_text_of(uint32_t id) {
  for (const EventText* row = event_text_table; row->text != nullptr; ++row)
    if (row->id == id) return row->text;
  return nullptr;
}

extern "C" int format_event_text(uint32_t id, const char* text1, const char* text2, char* out, int capacity) {
  if (out == nullptr || capacity <= 0) return 0;
  std::string result;
  const char* table_text = event_text_of(id);
  if (table_text != nullptr) {
    // The table's texts hold only "%s" places; insertion texts are copied
    // as they are.
    const char* inserts[2] = {text1 ? text1 : "", text2 ? text2 : ""};
    int next = 0;
    for (const char* p = table_text; *p; ++p) {
      if (p[0] == '%' && p[1] == 's') {
        result += next < 2 ? inserts[next] : "";
        ++next;
        ++p;
      } else {
        result += *p;
      }
    }
  } else if ((text1 == nullptr || *text1 == '\0') && (text2 == nullptr || *text2 == '\0')) {
    if (const char* words = event_words_of(id)) result = words;
  } else {
    if (text1) result = text1;
    if (text1 && text2) {
      result += ' ';
      result += text2;
    }
  }
  size_t n = result.size() < static_cast<size_t>(capacity) ? result.size() : static_cast<size_t>(capacity) - 1;
  std::memcpy(out, result.data(), n);
  out[n] = '\0';
  return static_cast<int>(n);
}

extern "C" void log_server_event(server_stats_t* block, eventlog_source* source, uint16_t type, uint32_t id,
                                 const char* text1, const char* text2) {
  std::lock_guard<std::mutex> lock(event_mutex);
  time_t now = server_time_now();
  if (id == EV_INVALID_AUTH) {
    // Every refused logon is an event of its own, with its user and address,
    // for the tools that count them; it never folds nor is folded into.
    if (repeat_count > 0) flush_repeats(block, source, now);
    last_id = 0;
    repeat_count = 0;
    last_change = now;
    emit(block, source, type, id, text1, text2);
    return;
  }
  if (id == last_id) {
    ++repeat_count;
    if (repeat_count < kRepeatLimit && now - last_change <= kRepeatWindow) return;
    flush_repeats(block, source, now);
    return;
  }
  if (id != EV_REPEATED && repeat_count > 0) flush_repeats(block, source, now);
  last_id = id;
  repeat_count = 0;
  last_change = now;
  emit(block, source, type, id, text1, text2);
}

extern "C" char* format_system_error(char** text_out, int error_code) {
  char buffer[256];
  const char* text = strerror_r(error_code, buffer, sizeof buffer);
  char* copy = (text && *text) ? strdup(text) : nullptr;
  if (text_out) *text_out = copy;
  return copy;
}

extern "C" void set_server_event_target(server_stats_t* block, eventlog_source* source) {
  target_block.store(block);
  target_source.store(source);
}

extern "C" server_stats_t* server_event_block(void) { return target_block.load(); }
extern "C" eventlog_source* server_event_source(void) { return target_source.load(); }

extern "C" void reset_server_event_state(void) {
  std::lock_guard<std::mutex> lock(event_mutex);
  last_id = 0;
  repeat_count = 0;
  last_change = 0;
}
