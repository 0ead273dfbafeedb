// A short soak as a test: the run must pass its own judgement, must really
// have killed clients (also one holding the port mutex) and moved checked
// data, and must leave no helper process behind.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

#include "testutil.h"

#ifndef _WIN32
#include <dirent.h>
#include <stdlib.h>

// Helper processes of this test's object namespace still running.
static int HelpersLeft() {
  const char* ns = getenv("W32POSIX_NAMESPACE");
  std::string mark = std::string("W32POSIX_NAMESPACE=") + (ns ? ns : "");
  int n = 0;
  DIR* d = opendir("/proc");
  while (dirent* e = d ? readdir(d) : nullptr) {
    std::string dir = std::string("/proc/") + e->d_name;
    std::string comm = ReadTextFile(dir + "/comm"), env = ReadTextFile(dir + "/environ");
    if (comm.find("KRZHID15") == 0 && env.find(mark + '\0') != std::string::npos) ++n;
  }
  if (d) closedir(d);
  return n;
}
#endif

TEST(Soak, ClientsKilledAndFaultsInjectedLoseNoReportedData) {
  std::string summary = WindowsDirFile("soak.summary");
  std::string cmd = "krzsoak.exe --seconds " + std::to_string(SOAK_TEST_SECONDS) +
                    " --seed 7 --summary " + summary + SOAK_TEST_EXTRA;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  ASSERT_TRUE(CreateProcessA(NULL, cmd.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi));
  ASSERT_EQ(WaitForSingleObject(pi.hProcess, (SOAK_TEST_SECONDS + 90) * 1000), WAIT_OBJECT_0);
  DWORD dwCode = 99;
  GetExitCodeProcess(pi.hProcess, &dwCode);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  std::string line = ReadTextFile(summary);
  EXPECT_EQ(dwCode, 0u) << line;
  int kills = 0, held = 0;
  unsigned long long cb = 0;
  const char* p = line.c_str();
  ASSERT_EQ(sscanf(strstr(p, "kills="), "kills=%d held-kills=%d", &kills, &held), 2) << line;
  unsigned long long messages = 0;
  ASSERT_EQ(sscanf(strstr(p, "bytes-verified="), "bytes-verified=%llu", &cb), 1) << line;
  ASSERT_EQ(sscanf(strstr(p, "messages="), "messages=%llu", &messages), 1) << line;
  EXPECT_GE(kills, 3) << line;
  EXPECT_GE(held, 1) << line;
  EXPECT_GT(cb, (unsigned long long)SOAK_TEST_MIN_BYTES) << line;
  EXPECT_GT(messages, (unsigned long long)SOAK_TEST_MIN_MESSAGES)
      << "status answers on the message channels: " << line;
#ifndef _WIN32
  int left = HelpersLeft();
  for (int i = 0; i < 100 && left; ++i, Sleep(100)) left = HelpersLeft();
  EXPECT_EQ(left, 0) << "helper processes left after the last client";
#endif
}
