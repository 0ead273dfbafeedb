// KRZTBX15.INI and the diagnostic log: settings read from their section, the
// fallback when the log file is unusable, and lines of many threads.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "debug/cm_debug.h"
#include "shared/config.h"
#include "testutil.h"

namespace {

std::vector<std::string> gDebugger;  // lines passed to the debugger output
std::mutex gDebuggerMutex;
void WINAPI Capture(LPCSTR lpszLine) {
  std::lock_guard<std::mutex> lock(gDebuggerMutex);
  gDebugger.push_back(lpszLine);
}

class Settings : public ::testing::Test {
 protected:
  void SetUp() override { pfnDebugOutput = Capture; }
  void TearDown() override {
    remove(ini_.c_str());
    remove(log_.c_str());
    LoadIniValues();
    DBMSG_INIT("KRZMLC15");
  }
  void UseLogFile(const std::string& path) {
    strcpy(szDebugLogFile, path.c_str());
    bLogActive = TRUE;
  }
  std::string ini_ = WindowsDirFile("KRZTBX15.INI"), log_ = WindowsDirFile("krzmlc15-test.log");
};

TEST_F(Settings, ValuesAreReadFromTheirSectionAsWritten) {
  WriteTextFile(ini_,
                "[KRZMLC15]\r\nMLC_FORCE_POLL=2\r\nMLC_INTER_PACKET_TIME_OUT=150abc\r\n"
                "TO_HOST_PACKET_SIZE=2048\r\nHELPER_SETUP_TIMEOUT=300\r\n"
                "[Other]\r\nPingInterval=99\r\n");
  LoadIniValues();
  EXPECT_EQ(gMlc_Force_Poll, 2);  // stored as read; only 1 makes writes poll
  EXPECT_EQ(gMLC_Inter_Packet_Time_Out, 150);
  EXPECT_EQ(gTO_HOST_PACKET_SIZE, 2048);
  EXPECT_EQ(gHelper_Setup_Timeout, 300);
  EXPECT_EQ(gPingInterval, 15) << "a key of another section";
}

TEST_F(Settings, LinesGoToTheLogFileElseToTheDebuggerCutToTheBuffer) {
  UseLogFile(log_);
  gDebugger.clear();
  wDbWin = DBG_NOMODULE | DBG_TRACE;
  DebugMsg("to the file\n");
  EXPECT_EQ(ReadTextFile(log_), "to the file\n");
  EXPECT_TRUE(gDebugger.empty());
  const char* lpszSep = log_.find('\\') != std::string::npos ? "\\" : "/";
  UseLogFile(WindowsDirFile("missing-dir") + lpszSep + "mlc.log");
  gDebugger.clear();
  wDbWin = DBG_NOMODULE | DBG_TRACE;
  DebugMsg("first\n");
  bLogActive = FALSE;
  wDbWin = DBG_STAMP | DBG_TRACE;
  DebugMsg("%s\n", std::string(2000, 'x').c_str());
  ASSERT_EQ(gDebugger.size(), 2u);
  EXPECT_EQ(gDebugger[0], "first\n");
  EXPECT_EQ(gDebugger[1].size(), (size_t)DBG_LINE_SIZE - 1);
}

DWORD WINAPI LogLines(LPVOID lpThread) {
  for (int i = 0; i < 500; ++i) DebugMsg("thread %d line %d\n", (int)(ULONG_PTR)lpThread, i);
  return 0;
}

TEST_F(Settings, LinesOfThreadsLoggingAtOnceNeverMix) {
  gDebugger.clear();
  wDbWin = DBG_TRACE;
  std::set<std::string> expected;
  HANDLE hThreads[4];
  for (int t = 0; t < 4; ++t) {
    hThreads[t] = CreateThread(NULL, 0, LogLines, (LPVOID)(ULONG_PTR)t, 0, NULL);
    for (int i = 0; i < 500; ++i) {
      expected.insert("KRZMLC15: thread " + std::to_string(t) + " line " + std::to_string(i) +
                      "\n");
    }
  }
  for (HANDLE hThread : hThreads) WaitForSingleObject(hThread, 60000), CloseHandle(hThread);
  EXPECT_EQ(gDebugger.size(), 2000u);
  EXPECT_EQ(std::set<std::string>(gDebugger.begin(), gDebugger.end()), expected);
}

}  // namespace
