// Processes: posix_spawn, then a pidfd to wait on. The child is reaped
// when its last handle is closed (or, if it still runs then, by a later
// call of this module), so exit codes stay readable while a handle is open.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/handles.h"
#include "kernel/cmdline.h"
#include "kernel/paths.h"

extern char** environ;

namespace w32p {

namespace {

// Children whose handles were closed while they still ran.
struct Orphans {
  std::mutex lock;
  std::vector<pid_t> pids;
};

Orphans& orphans() {
  static Orphans* o = new Orphans;  // never destroyed
  return *o;
}

void reap_orphans() {
  Orphans& o = orphans();
  std::lock_guard<std::mutex> g(o.lock);
  for (size_t i = 0; i < o.pids.size();) {
    siginfo_t info{};
    if (waitid(P_PID, (id_t)o.pids[i], &info, WEXITED | WNOHANG) == 0 && info.si_pid == 0) {
      ++i;  // still running
    } else {
      o.pids[i] = o.pids.back();
      o.pids.pop_back();
    }
  }
}

class ProcessObject : public Object {
 public:
  ProcessObject(pid_t p, int fd) : Object(Kind::Process), pid(p), pidfd(fd) {}
  ~ProcessObject() override {
    siginfo_t info{};
    if (waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG) == 0 && info.si_pid == 0) {
      Orphans& o = orphans();
      std::lock_guard<std::mutex> g(o.lock);
      o.pids.push_back(pid);
    }
    close(pidfd);
  }

  DWORD wait(DWORD ms) override {
    Deadline deadline(ms);
    for (;;) {
      pollfd p{pidfd, POLLIN, 0};
      int timeout =
          deadline.infinite() ? -1 : (int)std::min<uint32_t>(deadline.remaining_ms(), 1u << 30);
      int r = poll(&p, 1, timeout);
      if (r > 0) return WAIT_OBJECT_0;
      if (r == 0) {
        if (deadline.remaining_ns() == 0) return WAIT_TIMEOUT;
        continue;
      }
      if (errno != EINTR) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
      }
    }
  }

  // STILL_ACTIVE while running; the child is not reaped here.
  DWORD exit_code() {
    siginfo_t info{};
    if (waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0)
      return STILL_ACTIVE;
    if (info.si_code == CLD_EXITED) return (DWORD)info.si_status;
    std::lock_guard<std::mutex> g(lock);
    if (terminated && info.si_status == SIGKILL) return terminate_code;
    return 0xC0000000u | (DWORD)info.si_status;
  }

  bool running() {
    pollfd p{pidfd, POLLIN, 0};
    return poll(&p, 1, 0) == 0;
  }

  const pid_t pid;
  const int pidfd;
  std::mutex lock;
  bool terminated = false;
  DWORD terminate_code = 0;
};

DWORD error_from_spawn(int e) {
  switch (e) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOEXEC:
      return ERROR_BAD_FORMAT;
    default:
      return ERROR_NOT_ENOUGH_MEMORY;
  }
}

}  // namespace

DWORD handle_process_id(HANDLE h) {
  auto p = handle_get_as<ProcessObject>(h, Kind::Process);
  return p ? (DWORD)p->pid : 0;
}

}  // namespace w32p

using namespace w32p;

BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES,
                           LPSECURITY_ATTRIBUTES, BOOL, DWORD dwCreationFlags, LPVOID lpEnvironment,
                           LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation) {
  if (!lpProcessInformation || !lpStartupInfo || (!lpApplicationName && !lpCommandLine)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  reap_orphans();
  std::string line = lpCommandLine ? lpCommandLine : "";
  std::string program;
  bool found = false;
  if (lpApplicationName) {
    found = find_program(lpApplicationName, false, &program);
    if (line.empty()) line = std::string("\"") + lpApplicationName + "\"";
  } else {
    for (const std::string& name : program_candidates(line)) {
      if ((found = find_program(name, true, &program))) break;
    }
  }
  if (!found) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  std::vector<std::string> args = split_command_line(line);
  if (args.empty()) args.push_back(program);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<char*> envp;
  char** env = environ;
  if (lpEnvironment) {
    for (char* p = (char*)lpEnvironment; *p; p += strlen(p) + 1) envp.push_back(p);
    envp.push_back(nullptr);
    env = envp.data();
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  std::string dir;
  if (lpCurrentDirectory) {
    dir = posix_path(lpCurrentDirectory);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  }
  if (dwCreationFlags & DETACHED_PROCESS) {
    // No console: the child does not write into its parent's output (a
    // pipe it held open would keep a reader of that output waiting).
    for (int fd = 0; fd <= 2; ++fd)
      posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  pid_t pid = 0;
  int r = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), env);
  posix_spawn_file_actions_destroy(&actions);
  if (r != 0) {
    SetLastError(error_from_spawn(r));
    return FALSE;
  }
  int fd = (int)syscall(SYS_pidfd_open, pid, 0);
  if (fd < 0) {
    // Cannot track it: stop it rather than leave an unmanaged child.
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return FALSE;
  }
  auto obj = std::make_shared<ProcessObject>(pid, fd);
  HANDLE hp = handle_insert(obj);
  HANDLE ht = hp ? handle_insert(obj) : NULL;
  if (!ht) {
    if (hp) CloseHandle(hp);
    return FALSE;
  }
  lpProcessInformation->hProcess = hp;
  lpProcessInformation->hThread = ht;
  lpProcessInformation->dwProcessId = (DWORD)pid;
  lpProcessInformation->dwThreadId = (DWORD)pid;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  if (!lpExitCode) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (hProcess == GetCurrentProcess()) {
    *lpExitCode = STILL_ACTIVE;
    return TRUE;
  }
  auto p = handle_get_as<ProcessObject>(hProcess, Kind::Process);
  if (!p) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *lpExitCode = p->exit_code();
  return TRUE;
}

BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode) {
  if (hProcess == GetCurrentProcess()) _exit((int)uExitCode);
  auto p = handle_get_as<ProcessObject>(hProcess, Kind::Process);
  if (!p) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!p->running()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  {
    std::lock_guard<std::mutex> g(p->lock);
    if (!p->terminated) {
      p->terminated = true;
      p->terminate_code = uExitCode;
    }
  }
  syscall(SYS_pidfd_send_signal, p->pidfd, SIGKILL, nullptr, 0);
  return TRUE;
}

void WINAPI ExitProcess(UINT uExitCode) { exit((int)uExitCode); }

DWORD WINAPI GetProcessId(HANDLE Process) {
  if (Process == GetCurrentProcess()) return (DWORD)getpid();
  DWORD pid = handle_process_id(Process);
  if (!pid) SetLastError(ERROR_INVALID_HANDLE);
  return pid;
}

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
  return copy_out(windows_dir(), lpBuffer, uSize);
}

UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
  return copy_out(system_dir(), lpBuffer, uSize);
}
