// Scrambling pair and small helpers. The mask depends only on the position in
// the text (it starts at 0x2D and shifts left by one within 8 bits), so both
// directions work in place: scrambling fills the doubled text from its end,
// unscrambling compacts it from its start.
#include "scramble.h"

#include <cstring>
#include <random>

#include "trace_log.h"

namespace {

constexpr unsigned kMaskStart = 0x2D;

// Mask for the byte at position i: the first variant runs to 0 after eight
// bytes and stays there; FAZE2 restarts at the start value instead.
unsigned mask_at(std::size_t i, bool faze2) {
  if (faze2) i %= 8;
  return i < 8 ? (kMaskStart << i) & 0xFFu : 0u;
}

unsigned char apply(unsigned char byte, unsigned mask, bool faze2) {
  if (faze2 && byte == mask) return static_cast<unsigned char>(mask);
  return static_cast<unsigned char>(byte ^ mask);
}

// Filler bytes are never 0 (a 0 would end the scrambled text) and need not be
// secret. A generator of our own leaves the application's rand() sequence alone.
unsigned char filler() {
  thread_local std::minstd_rand gen(0x2D2D2D);
  return static_cast<unsigned char>(1 + gen() % 255);
}

void run(char* text, bool faze2, bool scramble) {
  if (text == nullptr) return;
  auto* t = reinterpret_cast<unsigned char*>(text);
  std::size_t len = std::strlen(text);
  if (scramble) {
    t[2 * len] = '\0';
    for (std::size_t i = len; i-- > 0;) {
      unsigned char out = apply(t[i], mask_at(i, faze2), faze2);
      t[2 * i + 1] = filler();
      t[2 * i] = out;
    }
    return;
  }
  std::size_t out = 0;
  for (std::size_t rd = 0; rd < len; rd += 2, ++out) t[out] = apply(t[rd], mask_at(out, faze2), faze2);
  t[out] = '\0';
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

extern "C" {

void scramble_string(char* text, int mode) {
  if (mode == KY_SCRAMBLE_FAZE2_UNSCRAMBLE || mode == KY_SCRAMBLE_FAZE2_SCRAMBLE) {
    scramble_string_faze2(text, mode - 2);
    return;
  }
  run(text, false, mode == KY_SCRAMBLE_SCRAMBLE);
}

void scramble_string_faze2(char* text, int flag) { run(text, true, flag == 1); }

int hex_decode(const char* hex, char* out, size_t out_size) {
  if (out == nullptr || out_size == 0) return -1;
  out[0] = '\0';
  if (hex == nullptr) return -1;
  std::size_t len = std::strlen(hex);
  std::size_t bytes = (len + 1) / 2;
  if (bytes + 1 > out_size) return -1;
  for (std::size_t i = 0; i < len; i += 2) {
    int hi = hex_value(hex[i]);
    int lo = i + 1 < len ? hex_value(hex[i + 1]) : 0;
    if (hi < 0 || lo < 0) {
      out[0] = '\0';
      return -1;
    }
    out[i / 2] = static_cast<char>(hi * 16 + lo);
  }
  out[bytes] = '\0';
  return static_cast<int>(bytes);
}

int choose_ini_source(void* handle, void* unused, char* buffer, int32_t size, int32_t* out_length, uint32_t flag,
                      const char* dsn) {
  if (trace_on(kTraceEntry | kTraceInternal))
    log_printf_tid("\t^choose_ini_source(%p,%p,%p,%u,%p,%lu,%s)\n", handle, unused, static_cast<void*>(buffer),
                   static_cast<unsigned>(size), static_cast<void*>(out_length), static_cast<unsigned long>(flag),
                   dsn ? dsn : "NULL");
  const bool exit_trace = trace_on(kTraceExit | kTraceInternal);
  if (buffer == nullptr) {
    if (exit_trace) log_printf_tid("\t-^choose_ini_source()=-1 (NULL path)\n");
    return -1;
  }
  const int32_t key_len = static_cast<int32_t>(sizeof(KY_CONFIGURATION_KEY) - 1);
  if (size < key_len + 1) {
    if (exit_trace) log_printf_tid("\t-^choose_ini_source()=-1 (path too big for buffer)\n");
    return -1;
  }
  std::memcpy(buffer, KY_CONFIGURATION_KEY, sizeof(KY_CONFIGURATION_KEY));
  if (out_length != nullptr) *out_length = key_len;
  if (exit_trace) log_printf_tid("\t-^choose_ini_source()=0\n");
  return 0;
}

int vek_lookup_service(const char* service, const char* protocol, long number) {
  static const char kName[] = "vek_lookup_service";
  if (trace_on(kTraceEntry | kTraceInternal))
    log_printf_tid("\t%s(%s,%s,%ld)\n", kName, service ? service : "<NULL>", protocol ? protocol : "<NULL>", number);
  const bool exit_trace = trace_on(kTraceExit | kTraceInternal);
  if (service == nullptr) {
    if (exit_trace) log_printf_tid("\t-%s()=-1 (service=NULL)\n", kName);
    return -1;
  }
  if (*service == '\0') {
    if (exit_trace) log_printf_tid("\t-%s()=-1 (len(service)=0)\n", kName);
    return -1;
  }
  if (exit_trace) log_printf_tid("\t-%s()=1\n", kName);
  return 1;
}

}  // extern "C"
