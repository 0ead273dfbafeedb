// Processes, and kernel objects shared with a real child process.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>

#include "../support.h"

namespace {

struct Report {
  std::string base = pt::unique_name("report");
  HANDLE handle =
      CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 4096, pt::lf(base).c_str());
  char* view = (char*)MapViewOfFile(handle, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  ~Report() { UnmapViewOfFile(view), CloseHandle(handle); }
};

// Exit codes, events and mappings shared with children, their arguments
// split and programs found as on Windows (termination: the killed owners
// below). A child that never asks for messages does not go idle.
TEST(Process, ExitCodesSharedObjectsArgumentsAndProgramSearch) {
  std::string base = pt::unique_name("xevent");
  HANDLE e = CreateEventA(NULL, FALSE, FALSE, pt::lf(base).c_str());
  EXPECT_EQ(pt::run_child("set-event " + base), 0u);
  EXPECT_EQ(WaitForSingleObject(e, 10000), WAIT_OBJECT_0);
  DWORD pid = 0;
  HANDLE waiter = pt::start_child("wait-event " + base, &pid);
  ASSERT_TRUE(pt::eventually([pid] { return pt::asleep(pid); }));  // in its wait
  EXPECT_EQ(WaitForInputIdle(waiter, 100), (DWORD)WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(e));
  EXPECT_EQ(pt::finish(waiter), 0u);
  CloseHandle(e);

  Report r;
  ASSERT_EQ(pt::run_child("args " + r.base + " plain \"two words\" a\\\"b c:\\x\\y \"end\\\\\""),
            0u);
  EXPECT_STREQ(r.view, "plain|two words|a\"b|c:\\x\\y|end\\");
  // Programs are found case-insensitively in the application's directory.
  EXPECT_EQ(pt::finish(pt::start("PLATFORM_CHILD.EXE exit 3")), 3u);
  // A full path with backslashes, quoted.
  char self[MAX_PATH];
  std::string path(self, GetModuleFileNameA(NULL, self, sizeof self));
  std::replace(path.begin(), path.end(), '/', '\\');
  path = path.substr(0, path.rfind('\\')) + "\\platform_child.exe";
  EXPECT_EQ(pt::finish(pt::start("\"" + path + "\" exit 4")), 4u);
  EXPECT_ERR(pt::start("no_such_program_here.exe"), ERROR_FILE_NOT_FOUND);
  char sys[MAX_PATH], tiny[2];
  UINT s = GetSystemDirectoryA(sys, sizeof sys);
  EXPECT_TRUE(s > 0 && strlen(sys) == s);
  EXPECT_EQ(GetSystemDirectoryA(tiny, sizeof tiny), s + 1);
}

// A child that exits owning the mutex, closes its only handle and exits, or
// is killed, abandons it; a killed child's mapping goes with it.
TEST(Process, MutexOfExitedOrKilledOwnerIsAbandoned) {
  for (std::string how : {"exit", "close", "kill"}) {
    SCOPED_TRACE(how);
    std::string mbase = pt::unique_name("xmutex"), rbase = pt::unique_name("ready");
    std::string map = pt::lf(mbase + "-map");
    HANDLE m = CreateMutexA(NULL, FALSE, pt::lf(mbase).c_str());
    HANDLE ready = CreateEventA(NULL, TRUE, FALSE, pt::lf(rbase).c_str());
    HANDLE child = pt::start_child("hold-mutex " + mbase + " " + rbase + " " + how);
    ASSERT_EQ(WaitForSingleObject(ready, 20000), WAIT_OBJECT_0);
    if (how == "kill") {
      EXPECT_EQ(WaitForSingleObject(m, 0), (DWORD)WAIT_TIMEOUT);  // the child owns it
      EXPECT_TRUE(CloseHandle(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, map.c_str())));
      EXPECT_TRUE(TerminateProcess(child, 9));
    } else {
      EXPECT_EQ(WaitForSingleObject(child, 20000), WAIT_OBJECT_0);  // nobody waited meanwhile
    }
    EXPECT_EQ(WaitForSingleObject(m, 20000), (DWORD)WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(m) && WaitForSingleObject(m, 0) == WAIT_OBJECT_0 && ReleaseMutex(m));
    EXPECT_EQ(pt::finish(child), how == "kill" ? 9u : 0u);
    EXPECT_TRUE(how != "kill" || FAIL_ERR(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE,
                                                           map.c_str())) == ERROR_FILE_NOT_FOUND);
    for (HANDLE h : {ready, m}) CloseHandle(h);
  }
}

// Two threads and two children churn one named mutex: the counter it
// guards loses no increment, the name survives while anyone holds it.
TEST(Process, NamedMutexExcludesUnderChurn) {
  std::string mname = pt::unique_name("churn-m");
  Report counter;
  volatile LONG* value = (volatile LONG*)counter.view;
  auto churn = [mname, value] { return pt::churn(pt::lf(mname), value, 300); };
  std::string args = "churn " + mname + " " + counter.base + " 300";
  HANDLE t[4] = {pt::start_child(args), pt::start_child(args), pt::thread(churn),
                 pt::thread(churn)};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(pt::finish(t[i], 60000, i >= 2), 0u) << i;
  EXPECT_EQ(*value, 4 * 300);
}

}  // namespace
