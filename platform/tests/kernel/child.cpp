// Partner process of the cross-process cases. The first argument picks
// what it does; the exit code reports the outcome (0 = done as asked,
// 10 and up = which step failed).
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <string>

namespace {

// The tests name objects "<base>\n", ending in a line feed.
std::string lf(const char* base) {
  std::string name(base);
  name += '\n';
  return name;
}

// Takes the mutex, sets `ready`, then exits owning it, or creates and
// writes the mapping "<base>-map" too and waits to be killed.
int hold_mutex(const char* base, const char* ready, bool wait_for_kill) {
  HANDLE m = OpenMutexA(SYNCHRONIZE, FALSE, lf(base).c_str());
  HANDLE e = OpenEventA(EVENT_MODIFY_STATE, FALSE, lf(ready).c_str());
  if (!m || !e) return 10;
  if (WaitForSingleObject(m, 5000) != WAIT_OBJECT_0) return 11;
  if (wait_for_kill) {
    std::string map = lf(base).insert(strlen(base), "-map");
    HANDLE f = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 4096, map.c_str());
    char* p = f ? (char*)MapViewOfFile(f, FILE_MAP_ALL_ACCESS, 0, 0, 0) : NULL;
    if (!p) return 12;
    lstrcpyA(p, "left by child");
  }
  SetEvent(e);
  if (wait_for_kill) Sleep(INFINITE);
  return 0;
}

// Takes the mutex, closes its only handle while owning it, sets `ready`
// and exits: the mutex outlives the handle and is abandoned by the exit.
int own_close(const char* base, const char* ready) {
  HANDLE m = OpenMutexA(SYNCHRONIZE, FALSE, lf(base).c_str());
  HANDLE e = OpenEventA(EVENT_MODIFY_STATE, FALSE, lf(ready).c_str());
  if (!m || !e) return 10;
  if (WaitForSingleObject(m, 5000) != WAIT_OBJECT_0 || !CloseHandle(m)) return 11;
  return SetEvent(e) ? 0 : 12;
}

// Waits without limit for the mutex; 0 = got it, 1 = got it abandoned.
// With `stop` (POSIX only) it first stops itself, so that a tracing parent
// knows the next system call is the wait.
int wait_mutex(const char* base, bool stop) {
  HANDLE m = OpenMutexA(SYNCHRONIZE, FALSE, lf(base).c_str());
  if (!m) return 10;
#ifndef _WIN32
  if (stop) raise(SIGSTOP);
#else
  (void)stop;
#endif
  DWORD r = WaitForSingleObject(m, INFINITE);
  if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED) return 11;
  if (!ReleaseMutex(m)) return 12;
  CloseHandle(m);
  return r == WAIT_ABANDONED ? 1 : 0;
}

int event(const char* base, bool set, DWORD ms) {
  HANDLE e = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, lf(base).c_str());
  if (!e) return 10;
  if (set) return SetEvent(e) ? 0 : 11;
  return WaitForSingleObject(e, ms) == WAIT_OBJECT_0 ? 0 : 12;
}

// Writes the text into the named mapping, or checks that it holds it.
int map_text(const char* base, const char* text, bool write) {
  HANDLE m = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, lf(base).c_str());
  char* p = m ? (char*)MapViewOfFile(m, FILE_MAP_ALL_ACCESS, 0, 0, 0) : NULL;
  if (!p) return 10;
  int rc = 0;
  if (write) {
    lstrcpyA(p, text);
  } else if (lstrcmpA(p, text) != 0) {
    rc = 12;
  }
  UnmapViewOfFile(p);
  CloseHandle(m);
  return rc;
}

// Records its arguments, separated by '|', in the named mapping.
int record_args(const char* base, int argc, char** argv) {
  std::string text;
  for (int i = 0; i < argc; ++i) {
    if (i) text += '|';
    text += argv[i];
  }
  return map_text(base, text.c_str(), true);
}

// Creates a mutex (owned), an event and a mapping with a view, all named
// "<base>-<kind>", and ends without closing any of them.
int leave(const char* base) {
  std::string b(base);
  HANDLE m = CreateMutexA(NULL, TRUE, lf((b + "-mutex").c_str()).c_str());
  HANDLE e = CreateEventA(NULL, TRUE, FALSE, lf((b + "-event").c_str()).c_str());
  HANDLE f = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 4096,
                                lf((b + "-map").c_str()).c_str());
  void* v = f ? MapViewOfFile(f, FILE_MAP_ALL_ACCESS, 0, 0, 0) : NULL;
  return m && e && v ? 0 : 10;
}

// Many create/open/wait/release/close rounds on one named mutex guarding a
// counter in a named mapping; the increment is deliberately not atomic.
int churn(const char* mutex_base, const char* map_base, int rounds) {
  std::string mname = lf(mutex_base);
  HANDLE map = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, lf(map_base).c_str());
  volatile LONG* counter =
      map ? (volatile LONG*)MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, 0) : NULL;
  if (!counter) return 10;
  int rc = 0;
  for (int i = 0; i < rounds && rc == 0; ++i) {
    // Open fails whenever nobody else has the name open at that moment.
    HANDLE m = (i % 2) ? OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, mname.c_str()) : NULL;
    if (!m) m = CreateMutexA(NULL, FALSE, mname.c_str());
    if (!m) return 12;
    if (WaitForSingleObject(m, 20000) != WAIT_OBJECT_0) {
      rc = 13;
    } else {
      LONG v = *counter;
      if (i % 16 == 0) Sleep(0);
      *counter = v + 1;
      if (!ReleaseMutex(m)) rc = 14;
    }
    CloseHandle(m);
  }
  UnmapViewOfFile((LPCVOID)counter);
  CloseHandle(map);
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "exit" && argc == 3) return atoi(argv[2]);
  if (mode == "sleep" && argc == 3) {
    Sleep((DWORD)atoi(argv[2]));
    return 0;
  }
  if (mode == "hold-mutex" && argc == 4) return hold_mutex(argv[2], argv[3], false);
  if (mode == "hold-mutex-wait" && argc == 4) return hold_mutex(argv[2], argv[3], true);
  if (mode == "own-close" && argc == 4) return own_close(argv[2], argv[3]);
  if (mode == "wait-mutex" && argc == 4) return wait_mutex(argv[2], atoi(argv[3]) != 0);
  if (mode == "set-event" && argc == 3) return event(argv[2], true, 0);
  if (mode == "wait-event" && argc == 4) return event(argv[2], false, (DWORD)atoi(argv[3]));
  if (mode == "write-map" && argc == 4) return map_text(argv[2], argv[3], true);
  if (mode == "check-map" && argc == 4) return map_text(argv[2], argv[3], false);
  if (mode == "args" && argc >= 3) return record_args(argv[2], argc - 3, argv + 3);
  if (mode == "leave" && argc == 3) return leave(argv[2]);
  if (mode == "churn" && argc == 5) return churn(argv[2], argv[3], atoi(argv[4]));
  return 3;
}
