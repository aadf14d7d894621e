// The exception record of a signal, the names of exception codes, the logical
// address of code (module, segment, offset), the call stack, and the report
// lines shared by the server and the HTTP administration server.
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <ucontext.h>
#include <unistd.h>
#include <unwind.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "crash/crash.h"
#include "crash/crash_internal.h"

namespace kyvek::crash {

Facts& facts() {
  static Facts f;
  return f;
}

namespace {

void copy_text(char* out, size_t size, const char* in) {
  size_t n = std::strlen(in);
  if (n >= size) n = size - 1;
  std::memcpy(out, in, n);
  out[n] = '\0';
}

long read_long_file(const char* path, long fallback) {
  std::FILE* f = std::fopen(path, "re");
  if (!f) return fallback;
  long v = fallback;
  if (std::fscanf(f, "%ld", &v) != 1) v = fallback;
  std::fclose(f);
  return v;
}

}  // namespace

void prepare_facts() {
  Facts& f = facts();
  utsname os{};
  long major = 0, minor = 0, build = 0;
  if (::uname(&os) == 0) std::sscanf(os.release, "%ld.%ld.%ld", &major, &minor, &build);
  crash_format(f.os_line, sizeof f.os_line, "OS: Major %ld, Minor %ld, Build %ld, %s\r\n", major, minor, build,
               os.version);
  long page = ::sysconf(_SC_PAGESIZE);
  long low = read_long_file("/proc/sys/vm/mmap_min_addr", 65536);
  // The highest user address of x86-64 with four-level page tables.
  const uintptr_t high = 0x00007FFFFFFFEFFFull;
  crash_format(f.page_line, sizeof f.page_line, "PageSize: %ld, AllocationG: %ld, MinAppA: %p, MaxAppA: %p\r\n", page,
               page, reinterpret_cast<void*>(static_cast<uintptr_t>(low)), reinterpret_cast<void*>(high));
  long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
  if (cpus < 1) cpus = 1;
  long mask = cpus >= 63 ? -1L : (1L << cpus) - 1;
  crash_format(f.processor_line, sizeof f.processor_line, "Active Processor Mask: %ld, Number of Processors: %ld\r\n",
               mask, cpus);
  char buf[4096];
  passwd pw{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &pw, buf, sizeof buf, &found) == 0 && found)
    copy_text(f.user, sizeof f.user, pw.pw_name);
  char host[256] = "";
  if (::gethostname(host, sizeof host - 1) == 0 && host[0])
    copy_text(f.host, sizeof f.host, host);
  else
    copy_text(f.host, sizeof f.host, "unknown");
  ssize_t n = ::readlink("/proc/self/exe", f.exe, sizeof f.exe - 1);
  f.exe[n > 0 ? n : 0] = '\0';
  time_t now = std::time(nullptr);
  tm local{};
  if (::localtime_r(&now, &local)) f.utc_offset.store(local.tm_gmtoff);
  f.ready.store(true);
}

}  // namespace kyvek::crash

using kyvek::crash::facts;

namespace {

struct CodeName {
  uint32_t code;
  const char* name;
};

constexpr CodeName kCodeNames[] = {
    {0x80000001u, "GUARD_PAGE"},
    {0x80000002u, "DATATYPE_MISALIGNMENT"},
    {0x80000003u, "BREAKPOINT"},
    {0x80000004u, "SINGLE_STEP"},
    {0xC0000005u, "ACCESS_VIOLATION"},
    {0xC0000006u, "IN_PAGE_ERROR"},
    {0xC0000008u, "INVALID_HANDLE"},
    {0xC000001Du, "ILLEGAL_INSTRUCTION"},
    {0xC0000025u, "NONCONTINUABLE_EXCEPTION"},
    {0xC0000026u, "INVALID_DISPOSITION"},
    {0xC000008Cu, "ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008Du, "FLT_DENORMAL_OPERAND"},
    {0xC000008Eu, "FLT_DIVIDE_BY_ZERO"},
    {0xC000008Fu, "FLT_INEXACT_RESULT"},
    {0xC0000090u, "FLT_INVALID_OPERATION"},
    {0xC0000091u, "FLT_OVERFLOW"},
    {0xC0000092u, "FLT_STACK_CHECK"},
    {0xC0000093u, "FLT_UNDERFLOW"},
    {0xC0000094u, "INT_DIVIDE_BY_ZERO"},
    {0xC0000095u, "INT_OVERFLOW"},
    {0xC0000096u, "PRIV_INSTRUCTION"},
    {0xC00000FDu, "STACK_OVERFLOW"},
    {0x40000015u, "FATAL_APP_EXIT"},
};

// Page-fault error word bits (x86-64): the access was a write / an
// instruction fetch.
constexpr uintptr_t kPageFaultWrite = 0x2;
constexpr uintptr_t kPageFaultFetch = 0x10;
// How far below the lowest usable stack address a fault counts as running off
// the stack (the guard area and a large frame).
constexpr uintptr_t kStackSlack = 64 * 1024;
constexpr int kMaxFrames = 256;

const char* module_name(const char* name) {
  if (name == nullptr || *name == '\0' || (program_invocation_name && std::strcmp(name, program_invocation_name) == 0))
    return facts().exe[0] ? facts().exe : (name ? name : "");
  return name;
}

// Program counter, frame and stack registers of a context (0 without one).
void context_registers(const void* context, uintptr_t* pc, uintptr_t* frame, uintptr_t* sp, uintptr_t* err) {
  *pc = *frame = *sp = *err = 0;
  if (!context) return;
  const auto* uc = static_cast<const ucontext_t*>(context);
  *pc = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
  *frame = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RBP]);
  *sp = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
  *err = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_ERR]);
}

struct Walk {
  crash_report* report;
  uintptr_t start_pc;  // the first frame to show (the fault), 0: the first one
  bool started;
  bool bailed;
  bool ended;  // reached a frame without a return address
  int frames;
};

void write_frame(crash_report* report, uintptr_t pc, uintptr_t frame, bool exact) {
  // A return address may be one past its call's function: look up the call.
  uintptr_t lookup = exact || pc == 0 ? pc : pc - 1;
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(lookup), &info) != 0 && info.dli_sname && info.dli_saddr) {
    write_report_line(report, 0, "%08X  %08X  %s+%X\r\n", static_cast<unsigned>(pc), static_cast<unsigned>(frame),
                      info.dli_sname, static_cast<unsigned>(pc - reinterpret_cast<uintptr_t>(info.dli_saddr)));
    return;
  }
  char module[261] = "";
  uint32_t section = 0;
  uintptr_t offset = 0;
  if (get_logical_address(lookup, module, sizeof module, &section, &offset) != 0) {
    module[0] = '\0';
    section = 0;
    offset = 0;
  } else if (lookup != pc) {
    ++offset;
  }
  write_report_line(report, 0, "%08X  %08X  %04X:%08X %s\r\n", static_cast<unsigned>(pc), static_cast<unsigned>(frame),
                    section, static_cast<unsigned>(offset), module);
}

_Unwind_Reason_Code walk_frame(_Unwind_Context* context, void* arg) {
  auto* w = static_cast<Walk*>(arg);
  int before = 0;
  uintptr_t pc = _Unwind_GetIPInfo(context, &before);
  uintptr_t frame = _Unwind_GetCFA(context);
  if (!w->started) {
    if (w->start_pc != 0 && pc != w->start_pc) return _URC_NO_REASON;
    w->started = true;
  }
  if (pc == 0) {
    w->ended = true;
    return _URC_END_OF_STACK;
  }
  if (frame == 0) {
    write_report_line(w->report, 0, "Offset no good - bailing\r\n");
    w->bailed = true;
    return _URC_NORMAL_STOP;
  }
  if (w->frames >= kMaxFrames) {
    w->bailed = true;
    return _URC_NORMAL_STOP;
  }
  write_frame(w->report, pc, frame, before != 0 || w->frames == 0);
  ++w->frames;
  return _URC_NO_REASON;
}

}  // namespace

extern "C" const char* exception_code_name(uint32_t code) {
  for (const CodeName& c : kCodeNames)
    if (c.code == code) return c.name;
  return "unknown";
}

extern "C" uint32_t crash_code_of_signal(int signal_number, int signal_code, uintptr_t fault_address,
                                         uintptr_t page_error, uintptr_t stack_low) {
  (void)page_error;
  switch (signal_number) {
    case SIGSEGV:
      if (stack_low != 0 && fault_address < stack_low && fault_address + kStackSlack >= stack_low)
        return CRASH_STACK_OVERFLOW;
      return CRASH_ACCESS_VIOLATION;
    case SIGBUS: return signal_code == BUS_ADRALN ? CRASH_DATATYPE_MISALIGNMENT : CRASH_IN_PAGE_ERROR;
    case SIGILL:
      return signal_code == ILL_PRVOPC || signal_code == ILL_PRVREG ? CRASH_PRIV_INSTRUCTION
                                                                    : CRASH_ILLEGAL_INSTRUCTION;
    case SIGFPE:
      switch (signal_code) {
        case FPE_INTDIV: return CRASH_INT_DIVIDE_BY_ZERO;
        case FPE_INTOVF: return CRASH_INT_OVERFLOW;
        case FPE_FLTDIV: return CRASH_FLT_DIVIDE_BY_ZERO;
        case FPE_FLTOVF: return CRASH_FLT_OVERFLOW;
        case FPE_FLTUND: return CRASH_FLT_UNDERFLOW;
        case FPE_FLTRES: return CRASH_FLT_INEXACT_RESULT;
        case FPE_FLTSUB: return CRASH_ARRAY_BOUNDS_EXCEEDED;
        default: return CRASH_FLT_INVALID_OPERATION;
      }
    case SIGABRT: return CRASH_FATAL_APP_EXIT;
    default: return 0;
  }
}

extern "C" void crash_record_from_signal(crash_record* record, int signal_number, const void* siginfo,
                                         const void* ucontext, uintptr_t stack_low) {
  const auto* si = static_cast<const siginfo_t*>(siginfo);
  uintptr_t pc, frame, sp, err;
  context_registers(ucontext, &pc, &frame, &sp, &err);
  auto fault = reinterpret_cast<uintptr_t>(si->si_addr);
  std::memset(record, 0, sizeof *record);
  record->code = crash_code_of_signal(signal_number, si->si_code, fault, err, stack_low);
  record->address = pc;
  record->signal_number = signal_number;
  record->signal_code = si->si_code;
  record->context = ucontext;
  if (record->code == CRASH_ACCESS_VIOLATION || record->code == CRASH_IN_PAGE_ERROR ||
      record->code == CRASH_STACK_OVERFLOW) {
    uintptr_t kind = 0;
    if (signal_number == SIGSEGV) kind = (err & kPageFaultFetch) ? 8 : (err & kPageFaultWrite) ? 1 : 0;
    record->parameter_count = 2;
    record->parameters[0] = kind;
    record->parameters[1] = fault;
  }
}

extern "C" void crash_record_for_exception(crash_record* record) {
  std::memset(record, 0, sizeof *record);
  record->code = CRASH_CPP_EXCEPTION;
  record->flags = 1;  // a software exception cannot be continued
}

extern "C" int get_logical_address(uintptr_t address, char* module, size_t capacity, uint32_t* section,
                                   uintptr_t* offset) {
  if (address == 0 || module == nullptr || capacity == 0) return -1;
  Dl_info info{};
  link_map* map = nullptr;
  if (::dladdr1(reinterpret_cast<void*>(address), &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 ||
      map == nullptr || info.dli_fbase == nullptr)
    return -1;
  const char* name = module_name(info.dli_fname);
  if (*name == '\0') return -1;
  // The loaded image's own headers: the program header table of the module.
  const auto* eh = static_cast<const ElfW(Ehdr)*>(info.dli_fbase);
  if (std::memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0) return -1;
  const auto* ph = reinterpret_cast<const ElfW(Phdr)*>(static_cast<const char*>(info.dli_fbase) + eh->e_phoff);
  uintptr_t rva = address - static_cast<uintptr_t>(map->l_addr);
  uint32_t index = 0;
  for (int i = 0; i < eh->e_phnum; ++i) {
    if (ph[i].p_type != PT_LOAD) continue;
    ++index;
    uintptr_t size = ph[i].p_memsz > ph[i].p_filesz ? ph[i].p_memsz : ph[i].p_filesz;
    if (rva >= ph[i].p_vaddr && rva < ph[i].p_vaddr + size) {
      size_t n = std::strlen(name);
      if (n >= capacity) n = capacity - 1;
      std::memcpy(module, name, n);
      module[n] = '\0';
      if (section) *section = index;
      if (offset) *offset = rva - ph[i].p_vaddr;
      return 0;
    }
  }
  return -1;
}

extern "C" void write_stack_trace(crash_report* report, const crash_record* record) {
  write_report_line(report, 0, "Call Stack:\r\n");
  write_report_line(report, 0, "Address   Frame\r\n");
  uintptr_t pc = 0, frame = 0, sp = 0, err = 0;
  if (record) context_registers(record->context, &pc, &frame, &sp, &err);
  Walk w{report, pc, pc == 0, false, false, 0};
  _Unwind_Reason_Code rc = _Unwind_Backtrace(walk_frame, &w);
  if (!w.started) {
    // The unwinder found no way through the signal frame (a jump to an address
    // without code, say): show the faulting frame alone.
    write_frame(report, pc, sp, true);
    write_report_line(report, 0, "Offset no good - bailing\r\n");
    w.bailed = true;
  }
  long last_error = 0;
  if (!w.bailed) {
    if (rc == _URC_END_OF_STACK || w.ended)
      write_report_line(report, 0, "No deeper stack frame\n");
    else
      last_error = rc;
  }
  write_report_line(report, 0, "Last error from StackWalk = %ld\r\n", last_error);
}

extern "C" void crash_write_system_lines(crash_report* report, int to_text) {
  auto& f = facts();
  if (f.ready.load()) {
    write_report_line(report, to_text, "%s", f.os_line);
    write_report_line(report, to_text, "%s", f.page_line);
    write_report_line(report, to_text, "%s", f.processor_line);
    if (f.user[0]) write_report_line(report, to_text, "Username: %s\r\n", f.user);
  }
  write_report_line(report, to_text, "Computer Name: %s\r\n", f.ready.load() ? f.host : "unknown");
  char cwd[512];
  long n = ::syscall(SYS_getcwd, cwd, sizeof cwd);
  write_report_line(report, to_text, "cwd: %s\r\n", n > 0 ? cwd : "Not Known");
  write_report_line(report, to_text, "System Dir: %s\r\n", "Not Known");
  write_report_line(report, to_text, "Windows Dir: %s\r\n", "Not Known");
}

extern "C" void crash_write_date_line(crash_report* report, int to_text) {
  timespec now{};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0) {
    write_report_line(report, to_text, "Caught Exception on %s\r\n", "date/time unknown");
    return;
  }
  char text[32];
  crash_ctime(now.tv_sec, text);
  write_report_line(report, to_text, "Caught Exception on %s\r\n", text);
}

extern "C" void crash_write_exception_lines(crash_report* report, int to_text, const crash_record* record) {
  write_report_line(report, to_text, "Exception Code: 0X%08X (%s)\r\n", record->code,
                    exception_code_name(record->code));
  write_report_line(report, to_text, "Exception Flags: %lx\r\n", static_cast<unsigned long>(record->flags));
  write_report_line(report, to_text, "Exception Address: 0X%p\r\n", reinterpret_cast<void*>(record->address));
  write_report_line(report, to_text, "Number of Parameters: %lx\r\n",
                    static_cast<unsigned long>(record->parameter_count));
  write_report_line(report, to_text, "Exception Record: 0X%p\r\n", static_cast<void*>(nullptr));
  if (record->code == CRASH_ACCESS_VIOLATION) {
    write_report_line(report, to_text, "Exception Information (RW Flag) : %s\r\n",
                      record->parameters[0] != 0 ? "Write" : "Read");
    write_report_line(report, to_text, "Exception Information (Virtual Address) : 0X%p\r\n",
                      reinterpret_cast<void*>(record->parameters[1]));
    return;
  }
  for (uint32_t i = 0; i < record->parameter_count && i < 2; ++i)
    write_report_line(report, to_text, "Exception Information[%u]: %lx\r\n", i,
                      static_cast<unsigned long>(record->parameters[i]));
}

extern "C" void crash_write_module_line(crash_report* report, int to_text, uintptr_t address) {
  char module[512];
  uint32_t section = 0;
  uintptr_t offset = 0;
  if (get_logical_address(address, module, sizeof module, &section, &offset) == 0)
    write_report_line(report, to_text, "Module: %s, Section: %02X, Offset:%08X\r\n", module, section,
                      static_cast<unsigned>(offset));
}
