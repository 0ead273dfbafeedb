// Processes, and kernel objects shared with a real child process.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>

#include "helpers.h"

namespace {

std::string program_dir_backslashed() {
  char path[MAX_PATH];
  std::string p(path, GetModuleFileNameA(NULL, path, sizeof path));
  std::replace(p.begin(), p.end(), '/', '\\');
  return p.substr(0, p.rfind('\\'));
}

// A named mapping for a child to report into; returns its view.
struct Report {
  explicit Report(const char* what) : base(kt::unique_name(what)) {
    std::string name = kt::with_lf(base);
    handle = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 4096, name.c_str());
    view = (char*)MapViewOfFile(handle, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  }
  ~Report() {
    UnmapViewOfFile(view);
    CloseHandle(handle);
  }
  std::string base;
  HANDLE handle;
  char* view;
};

TEST(Process, ExitCodesTerminateAndCommandLines) {
  HANDLE p = kt::start_child("sleep 300");
  ASSERT_NE(p, (HANDLE)NULL);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(p, &code));
  EXPECT_EQ(code, (DWORD)STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(p, 0), (DWORD)WAIT_TIMEOUT);
  EXPECT_EQ(kt::finish_child(p), 0u);
  p = kt::start_child("sleep 60000");
  EXPECT_TRUE(TerminateProcess(p, 1234));
  EXPECT_EQ(kt::finish_child(p), 1234u);
  // The child's arguments are split by the Windows rules.
  Report r("args");
  std::string args = "args " + r.base + " plain \"two words\" a\\\"b c:\\x\\y \"end\\\\\"";
  ASSERT_EQ(kt::run_child(args), 0u);
  EXPECT_STREQ(r.view, "plain|two words|a\"b|c:\\x\\y|end\\");
}

TEST(Process, FindsProgramsAsWindowsDoes) {
  // Case-insensitive, from the application's directory.
  EXPECT_EQ(kt::run(NULL, "KERNEL_CHILD.EXE exit 3"), 3u);
  // A full path with backslashes, quoted; or given as the application name.
  std::string path = program_dir_backslashed() + "\\kernel_child.exe";
  EXPECT_EQ(kt::run(NULL, "\"" + path + "\" exit 4"), 4u);
  EXPECT_EQ(kt::run(path.c_str(), "child exit 5"), 5u);
  // Nothing by that name.
  SetLastError(0);
  EXPECT_EQ(kt::run(NULL, "no_such_program_here.exe"), 0xFFFFFFFEu);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST(CrossProcess, MappingsAndEventsAreShared) {
  Report r("xmap");
  ASSERT_EQ(kt::run_child("write-map " + r.base + " from-child"), 0u);
  EXPECT_STREQ(r.view, "from-child");
  strcpy(r.view, "from-parent");
  EXPECT_EQ(kt::run_child("check-map " + r.base + " from-parent"), 0u);

  std::string base = kt::unique_name("xevent");
  HANDLE e = CreateEventA(NULL, FALSE, FALSE, kt::with_lf(base).c_str());
  ASSERT_NE(e, (HANDLE)NULL);
  EXPECT_EQ(kt::run_child("set-event " + base), 0u);
  EXPECT_EQ(WaitForSingleObject(e, 10000), WAIT_OBJECT_0);
  HANDLE waiter = kt::start_child("wait-event " + base + " 20000");
  ASSERT_NE(waiter, (HANDLE)NULL);
  EXPECT_EQ(WaitForSingleObject(waiter, 200), (DWORD)WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(e));
  EXPECT_EQ(kt::finish_child(waiter), 0u);
  CloseHandle(e);
}

// The child takes the named mutex, signals `ready`, then either exits or
// is killed while owning it: either way the next waiter gets it abandoned.
// A killed child also held a mapping, which goes with it.
TEST(CrossProcess, MutexOfExitedOrKilledOwnerIsAbandoned) {
  for (bool killed : {false, true}) {
    std::string mbase = kt::unique_name("xmutex"), rbase = kt::unique_name("ready");
    HANDLE m = CreateMutexA(NULL, FALSE, kt::with_lf(mbase).c_str());
    HANDLE ready = CreateEventA(NULL, TRUE, FALSE, kt::with_lf(rbase).c_str());
    ASSERT_NE(m, (HANDLE)NULL);
    HANDLE child =
        kt::start_child((killed ? "hold-mutex-wait " : "hold-mutex ") + mbase + " " + rbase);
    ASSERT_NE(child, (HANDLE)NULL);
    ASSERT_EQ(WaitForSingleObject(ready, 20000), WAIT_OBJECT_0);
    std::string map = kt::with_lf(mbase + "-map");
    if (killed) {
      EXPECT_EQ(WaitForSingleObject(m, 100), (DWORD)WAIT_TIMEOUT);  // the child owns it
      HANDLE seen = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, map.c_str());
      EXPECT_NE(seen, (HANDLE)NULL);
      CloseHandle(seen);
      EXPECT_TRUE(TerminateProcess(child, 9));
    }
    EXPECT_EQ(WaitForSingleObject(m, 20000), (DWORD)WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m));
    // An owner that simply exited did so cleanly, its mutex still owned.
    DWORD code = kt::finish_child(child);
    if (!killed) {
      EXPECT_EQ(code, 0u);
    } else {  // the name opens nothing; a new object under it is fresh
      EXPECT_EQ(FAIL_ERR(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, map.c_str())),
                (DWORD)ERROR_FILE_NOT_FOUND);
      HANDLE fresh =
          CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 4096, map.c_str());
      EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
      char* p = (char*)MapViewOfFile(fresh, FILE_MAP_ALL_ACCESS, 0, 0, 0);
      EXPECT_EQ(p[0], 0);
      UnmapViewOfFile(p);
      CloseHandle(fresh);
    }
    for (HANDLE h : {ready, m}) CloseHandle(h);
  }
}

struct Churn {
  std::string child_args;  // empty: churn in this process
  std::string name;
  volatile LONG* value;
  int rounds;
};

DWORD WINAPI churn_thread(LPVOID p) {
  const Churn* c = (const Churn*)p;
  if (!c->child_args.empty()) return kt::run_child(c->child_args) == 0 ? 0 : 1;
  for (int i = 0; i < c->rounds; ++i) {
    HANDLE m = CreateMutexA(NULL, FALSE, c->name.c_str());
    if (!m || WaitForSingleObject(m, 20000) != WAIT_OBJECT_0) return 2;
    LONG v = *c->value;
    if (i % 16 == 0) Sleep(0);
    *c->value = v + 1;
    if (!ReleaseMutex(m) || !CloseHandle(m)) return 3;
  }
  return 0;
}

// Two threads here and two child processes open, take, release and close
// one named mutex many times; the unprotected counter it guards must not
// lose an increment, and the name must survive while anyone holds it.
TEST(CrossProcess, NamedMutexExcludesUnderChurn) {
  std::string mbase = kt::unique_name("churn-m");
  Report counter("churn-c");
  const int rounds = 300;
  std::string args = "churn " + mbase + " " + counter.base + " " + std::to_string(rounds);
  Churn child{args, "", nullptr, 0};
  Churn local{"", kt::with_lf(mbase), (volatile LONG*)counter.view, rounds};
  HANDLE t[4];
  for (int i = 0; i < 4; ++i)
    t[i] = CreateThread(NULL, 0, churn_thread, i < 2 ? &child : &local, 0, NULL);
  for (HANDLE h : t) {
    EXPECT_EQ(WaitForSingleObject(h, 60000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeThread(h, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(h);
  }
  EXPECT_EQ(*(volatile LONG*)counter.view, 4 * rounds);
}

TEST(Directories, ReportLengthOrNeededSize) {
  char win[MAX_PATH], sys[MAX_PATH], tiny[2];
  UINT w = GetWindowsDirectoryA(win, sizeof win);
  UINT s = GetSystemDirectoryA(sys, sizeof sys);
  ASSERT_GT(w, 0u);
  ASSERT_GT(s, w);
  EXPECT_EQ(strlen(win), w);
  EXPECT_EQ(strlen(sys), s);
  EXPECT_EQ(lstrcmpiA(std::string(sys, w).c_str(), win), 0);  // the system directory is inside
  EXPECT_EQ(GetSystemDirectoryA(tiny, sizeof tiny), s + 1);
  EXPECT_EQ(GetWindowsDirectoryA(win, w), w + 1);
}

}  // namespace
