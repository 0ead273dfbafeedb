// Diagnostic lines: prefixes, log file, fallback to the debugger output,
// and lines of several threads.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "debug/cm_debug.h"
#include "testutil.h"

namespace {

std::vector<std::string> gDebuggerLines;
std::mutex gDebuggerMutex;

void WINAPI CaptureDebugger(LPCSTR lpszLine) {
  std::lock_guard<std::mutex> lock(gDebuggerMutex);
  gDebuggerLines.push_back(lpszLine);
}

// Sets the log up as DBMSG_INIT would and puts everything back afterwards.
class Log : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_output_ = pfnDebugOutput;
    pfnDebugOutput = CaptureDebugger;
    gDebuggerLines.clear();
    remove(log_.c_str());
  }
  void TearDown() override {
    remove(log_.c_str());
    pfnDebugOutput = saved_output_;
    DBMSG_INIT("KRZMLC15");
  }
  void UseLogFile(const std::string& path) {
    strcpy(szDebugLogFile, path.c_str());
    bLogActive = TRUE;
  }
  std::string log_ = WindowsDirFile("krzmlc15-test.log");
  void(WINAPI* saved_output_)(LPCSTR) = nullptr;
};

TEST_F(Log, StampAndModulePrefixes) {
  UseLogFile(log_);
  wDbWin = DBG_STAMP | DBG_TRACE;
  DebugMsg("hello %d\n", 7);
  wDbWin = DBG_NOMODULE | DBG_TRACE;
  DebugMsg("plain %s\r\n", "line");
  wDbWin = DBG_TRACE;
  DebugMsg("moduled\n");

  char szIds[32];
  wsprintfA(szIds, "%08lX/%08lX  ", (DWORD)GetCurrentProcessId(), (DWORD)GetCurrentThreadId());
  std::string text = ReadFileText(log_);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(text, m,
                               std::regex("([0-9A-F]{8}/[0-9A-F]{8}  )[ 0-9]{4}[0-9]\\.[0-9]{3}  "
                                          "KRZMLC15: hello 7\n"
                                          "plain line\r\n"
                                          "KRZMLC15: moduled\n")))
      << text;
  EXPECT_EQ(m[1].str(), szIds);
  EXPECT_TRUE(gDebuggerLines.empty());
}

TEST_F(Log, WithoutALogFileLinesGoToTheDebuggerOutput) {
  bLogActive = FALSE;
  wDbWin = DBG_ERROR;
  DebugMsg("!   error %lx\n", (DWORD)0xBEEF);
  ASSERT_EQ(gDebuggerLines.size(), 1u);
  EXPECT_EQ(gDebuggerLines[0], "KRZMLC15: !   error beef\n");
}

TEST_F(Log, ALogFileInAMissingDirectoryFallsBackToTheDebuggerOutput) {
  UseLogFile(WindowsDirFile("no-such-directory") +
             (log_.find('\\') != std::string::npos ? "\\" : "/") + "mlc.log");
  wDbWin = DBG_NOMODULE | DBG_TRACE;
  DebugMsg("first\n");
  DebugMsg("second\n");
  EXPECT_EQ(gDebuggerLines, (std::vector<std::string>{"first\n", "second\n"}));
}

TEST_F(Log, LinesAreAppendedToTheLogFile) {
  TempFile existing(log_, "earlier line\n");
  UseLogFile(log_);
  EXPECT_TRUE(WriteLogFile("one\n"));
  EXPECT_TRUE(WriteLogFile("two\n"));
  EXPECT_EQ(ReadFileText(log_), "earlier line\none\ntwo\n");
}

TEST_F(Log, ALineTooLongForTheBufferIsCut) {
  bLogActive = FALSE;
  wDbWin = DBG_STAMP | DBG_TRACE;
  std::string big(2000, 'x');
  DebugMsg("%s\n", big.c_str());
  ASSERT_EQ(gDebuggerLines.size(), 1u);
  EXPECT_EQ(gDebuggerLines[0].size(), (size_t)DBG_LINE_SIZE - 1);
  EXPECT_EQ(gDebuggerLines[0].back(), 'x');
}

DWORD WINAPI LogFromThread(LPVOID lpParam) {
  DWORD dwThread = (DWORD)(ULONG_PTR)lpParam;
  for (int i = 0; i < 500; ++i) DebugMsg("thread %lu line %d of a longer message\n", dwThread, i);
  return 0;
}

TEST_F(Log, LinesOfThreadsLoggingAtOnceNeverMix) {
  bLogActive = FALSE;
  wDbWin = DBG_TRACE;
  HANDLE hThreads[4];
  for (DWORD i = 0; i < 4; ++i) {
    hThreads[i] = CreateThread(NULL, 0, LogFromThread, (LPVOID)(ULONG_PTR)i, 0, NULL);
  }
  for (HANDLE h : hThreads) {
    WaitForSingleObject(h, 60000);
    CloseHandle(h);
  }
  std::set<std::string> expected;
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 500; ++i) {
      expected.insert("KRZMLC15: thread " + std::to_string(t) + " line " + std::to_string(i) +
                      " of a longer message\n");
    }
  }
  ASSERT_EQ(gDebuggerLines.size(), 2000u);
  EXPECT_EQ(std::set<std::string>(gDebuggerLines.begin(), gDebuggerLines.end()), expected);
}

}  // namespace
