// log_message: the trace line is built whole in memory and written with
// one call, so lines of concurrent threads never interleave.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include <unistd.h>

#include "ky_config.h"
#include "ky_trace.h"
#include "trace_internal.h"

namespace {

std::atomic<uint32_t> g_mask{0};

std::string format_one(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string format_one(const char* f, ...) {
  char buf[64];
  va_list args;
  va_start(args, f);
  std::vsnprintf(buf, sizeof buf, f, args);
  va_end(args);
  return buf;
}

const char* return_code_name(int rc) {
  switch (rc) {
    case 0: return "SQL_SUCCESS";
    case 1: return "SQL_SUCESS_WITH_INFO";
    case 2: return "SQL_STILL_EXECUTING";
    case 99: return "SQL_NEED_DATA";
    case 100: return "SQL_NO_DATA";
    case -2: return "SQL_INVALID_HANDLE";
    case -1: return "SQL_ERROR";
    default: return nullptr;
  }
}

// A counted text in quotes; a negative length other than -3 is not read.
std::string counted(const char* text, long len) {
  if (!text) return "<NULL>";
  if (len == -3) return "\"" + std::string(text) + "\"";
  if (len < 0) return "\"????\"";
  return "\"" + std::string(text, strnlen(text, static_cast<size_t>(len))) + "\"";
}

std::string expand(const char* f, va_list args) {
  std::string s;
  for (; *f; ++f) {
    if (*f != '%') {
      s += *f;
      continue;
    }
    if (!*++f) break;
    const bool indirect = *f == '*';
    if (indirect && !*++f) break;
    switch (indirect ? -*f : *f) {
      case 'I': s += format_one("%d", va_arg(args, int32_t)); break;
      case 'U': s += format_one("%u", va_arg(args, uint32_t)); break;
      case 'u': s += format_one("%u", static_cast<unsigned>(static_cast<uint16_t>(va_arg(args, int)))); break;
      case 'i': s += format_one("%d", static_cast<int>(static_cast<int16_t>(va_arg(args, int)))); break;
      case 'p':
      case 'h': s += format_one("%p", va_arg(args, void*)); break;
      case 's': {
        const char* t = va_arg(args, const char*);
        s += t ? format_one("%p->", static_cast<const void*>(t)) + t : "<NULLPTR>";
        break;
      }
      case 'S': {
        const char* t = va_arg(args, const char*);
        const int len = static_cast<int16_t>(va_arg(args, int));
        s += counted(t, len) + (len == -3 ? std::string("{SQL_NTS}") : format_one("{%d}", len));
        break;
      }
      case 'e': {
        const int rc = static_cast<int16_t>(va_arg(args, int));
        const char* name = return_code_name(rc);
        s += name ? name : format_one("UNKNOWN=%d", rc);
        break;
      }
      case -'I': {
        const int32_t* p = va_arg(args, const int32_t*);
        s += p ? format_one("%p->%d", static_cast<const void*>(p), *p) : "<NULLPTR>";
        break;
      }
      case -'h': {
        void* const* p = va_arg(args, void* const*);
        s += p ? format_one("%p->%p", static_cast<const void*>(p), *p) : "<NULLPTR>";
        break;
      }
      case -'S': {
        const char* t = va_arg(args, const char*);
        const int16_t* lp = va_arg(args, const int16_t*);
        if (!lp) {
          s += (t ? "\"" + std::string(t) + "\"" : std::string("<NULLSTR>")) + "{NULL}";
        } else {
          s += (t ? counted(t, *lp < 0 ? -3 : *lp) : std::string("<NULLSTR>")) +
               format_one("{%p->%d}", static_cast<const void*>(lp), *lp);
        }
        break;
      }
      default: break;  // dropped
    }
  }
  return s;
}

void write_line(const std::string& line) {
  char path[512] = "";
  if (ConfigHandle* h = open_registry()) {
    get_profile_string(h, 0, "settings", "log_file", "", path, sizeof path);
    close_registry(h);
  }
  if (path[0] != '\0') {
    if (FILE* f = std::fopen(path, "a")) {
      std::fwrite(line.data(), 1, line.size(), f);
      std::fclose(f);
      return;
    }
  }
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace

namespace ky {

void set_trace_mask(uint32_t mask) { g_mask.store(mask); }

}  // namespace ky

extern "C" {

KY_API void log_message(const char* file, int32_t line, uint32_t mask, const char* format, ...) {
  if ((mask & g_mask.load(std::memory_order_relaxed)) == 0) return;
  char head[512];
  std::snprintf(head, sizeof head, "[%d]%s@%04d", static_cast<int>(::getpid()), file ? file : "", line);
  std::string text = head;
  if (text.size() < 30) text.append(30 - text.size(), ' ');
  text += ':';
  if (!format) {
    text += "<NULL FORMAT>\n";
  } else {
    va_list args;
    va_start(args, format);
    text += expand(format, args);
    va_end(args);
    text += '\n';
  }
  write_line(text);
}

}  // extern "C"
