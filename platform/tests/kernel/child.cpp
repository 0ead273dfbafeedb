// Partner process of the cross-process cases. The first argument picks
// what it does; the exit code reports the outcome (0 = done as asked).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

namespace {

// Named "<base>\n" objects: the tests use names ending in a line feed.
void name_of(char* out, const char* base) { wsprintfA(out, "%s\n", base); }

int hold_mutex(const char* base, const char* ready, bool kill_wait) {
  char name[256], ready_name[256];
  name_of(name, base);
  name_of(ready_name, ready);
  HANDLE m = OpenMutexA(SYNCHRONIZE, FALSE, name);
  HANDLE e = OpenEventA(EVENT_MODIFY_STATE, FALSE, ready_name);
  if (!m || !e) return 10;
  if (WaitForSingleObject(m, 5000) != WAIT_OBJECT_0) return 11;
  SetEvent(e);
  if (kill_wait) Sleep(INFINITE);  // the parent ends us
  return 0;                        // exit while owning the mutex
}

int set_event(const char* base) {
  char name[256];
  name_of(name, base);
  HANDLE e = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
  if (!e) return 10;
  return SetEvent(e) ? 0 : 11;
}

int wait_event(const char* base, DWORD ms) {
  char name[256];
  name_of(name, base);
  HANDLE e = OpenEventA(SYNCHRONIZE, FALSE, name);
  if (!e) return 10;
  return WaitForSingleObject(e, ms) == WAIT_OBJECT_0 ? 0 : 12;
}

// Writes the text into the named mapping, or checks that it holds it.
int map_text(const char* base, const char* text, bool write) {
  char name[256];
  name_of(name, base);
  HANDLE m = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name);
  if (!m) return 10;
  char* p = (char*)MapViewOfFile(m, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (!p) return 11;
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
  char text[1024] = "";
  for (int i = 0; i < argc; ++i) {
    if (i) lstrcatA(text, "|");
    lstrcatA(text, argv[i]);
  }
  return map_text(base, text, true);
}

// Creates a named object whose name the parent then probes.
int create_and_hold(const char* base, const char* ready) {
  char name[256], ready_name[256];
  name_of(name, base);
  name_of(ready_name, ready);
  HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 4096, name);
  HANDLE e = OpenEventA(EVENT_MODIFY_STATE, FALSE, ready_name);
  if (!m || !e) return 10;
  char* p = (char*)MapViewOfFile(m, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (!p) return 11;
  lstrcpyA(p, "left by child");
  SetEvent(e);
  Sleep(INFINITE);
  return 0;
}

// Many create/open/wait/release/close rounds on one named mutex guarding a
// counter in a named mapping; the increment is deliberately not atomic.
int churn(const char* mutex_base, const char* map_base, int rounds) {
  char mname[256], pname[256];
  name_of(mname, mutex_base);
  name_of(pname, map_base);
  HANDLE map = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, pname);
  if (!map) return 10;
  volatile LONG* counter = (volatile LONG*)MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (!counter) return 11;
  int rc = 0;
  for (int i = 0; i < rounds && rc == 0; ++i) {
    // Open fails whenever nobody else has the name open at that moment.
    HANDLE m = (i % 2) ? OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, mname) : NULL;
    if (!m) m = CreateMutexA(NULL, FALSE, mname);
    if (!m) {
      rc = 12;
      break;
    }
    DWORD w = WaitForSingleObject(m, 20000);
    if (w != WAIT_OBJECT_0) {
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
  if (argc < 2) return 2;
  const char* mode = argv[1];
  if (!strcmp(mode, "exit") && argc == 3) return atoi(argv[2]);
  if (!strcmp(mode, "hold-mutex") && argc == 4) return hold_mutex(argv[2], argv[3], false);
  if (!strcmp(mode, "hold-mutex-wait") && argc == 4) return hold_mutex(argv[2], argv[3], true);
  if (!strcmp(mode, "set-event") && argc == 3) return set_event(argv[2]);
  if (!strcmp(mode, "wait-event") && argc == 4) return wait_event(argv[2], (DWORD)atoi(argv[3]));
  if (!strcmp(mode, "write-map") && argc == 4) return map_text(argv[2], argv[3], true);
  if (!strcmp(mode, "check-map") && argc == 4) return map_text(argv[2], argv[3], false);
  if (!strcmp(mode, "args") && argc >= 3) return record_args(argv[2], argc - 3, argv + 3);
  if (!strcmp(mode, "create-and-hold") && argc == 4) return create_and_hold(argv[2], argv[3]);
  if (!strcmp(mode, "churn") && argc == 5) return churn(argv[2], argv[3], atoi(argv[4]));
  if (!strcmp(mode, "sleep") && argc == 3) {
    Sleep((DWORD)atoi(argv[2]));
    return 0;
  }
  return 3;
}
