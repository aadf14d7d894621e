// Holds a child process at the entry of one system call, so that a test can
// change the world between two calls the child makes (another socket takes the
// port between the child's bind and its listen, say), and then lets it go on
// untraced. Header-only: the RPC tests include it without linking the kit.
//
// The child asks to be traced (trace_me()) before it execs or, without an
// exec, stops itself with SIGSTOP. Only the child's first thread is traced.
#ifndef KYVEK_TESTS_KIT_SYSCALL_STOP_H
#define KYVEK_TESTS_KIT_SYSCALL_STOP_H

#include <sys/ptrace.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <csignal>
#include <functional>

namespace kyvek::test {

// In the child: be traced by the parent.
inline void trace_me() { ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr); }

// In the parent: runs the traced child until it enters system call `number`,
// calls at_entry while the child waits there, then detaches (the call goes on).
// False when the child ended, or could not be traced, before that call.
inline bool run_to_syscall(pid_t pid, long number, const std::function<void()>& at_entry) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) return false;
  if (::ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void*>(PTRACE_O_TRACESYSGOOD)) != 0) return false;
  long deliver = 0;  // the first stop (exec's SIGTRAP or the SIGSTOP) is not passed on
  for (;;) {
    if (::ptrace(PTRACE_SYSCALL, pid, nullptr, reinterpret_cast<void*>(deliver)) != 0) return false;
    if (::waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) return false;
    deliver = 0;
    if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
      deliver = WSTOPSIG(status);  // a signal of the child's own
      continue;
    }
    __ptrace_syscall_info info{};
    if (::ptrace(PTRACE_GET_SYSCALL_INFO, pid, reinterpret_cast<void*>(sizeof info), &info) <= 0) return false;
    if (info.op == PTRACE_SYSCALL_INFO_ENTRY && static_cast<long>(info.entry.nr) == number) {
      at_entry();
      return ::ptrace(PTRACE_DETACH, pid, nullptr, nullptr) == 0;
    }
  }
}

}  // namespace kyvek::test

#endif
