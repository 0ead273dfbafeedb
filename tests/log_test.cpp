// The diagnostic log file: lines written at the same moment by several
// writers (threads here; processes take the same path) all arrive whole.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "debug/cm_debug.h"
#include "testutil.h"

TEST(LogFile, LinesOfWritersAtTheSameMomentAllArriveWhole) {
  std::string path = WindowsDirFile("krzlog.txt");
  remove(path.c_str());
  strcpy(szDebugLogFile, path.c_str());
  HANDLE hGo = CreateEventA(NULL, TRUE, FALSE, NULL);
  std::vector<std::thread> writers;
  for (int w = 0; w < 6; ++w)
    writers.emplace_back([w, hGo] {
      WaitForSingleObject(hGo, INFINITE);
      for (int i = 0; i < 150; ++i) {
        char line[64];
        snprintf(line, sizeof line, "writer %d line %03d\r\n", w, i);
        WriteLogFile(line);
      }
    });
  SetEvent(hGo);
  for (std::thread& t : writers) t.join();
  CloseHandle(hGo);
  szDebugLogFile[0] = '\0';
  std::ifstream in(path);
  std::set<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.insert(l);
  EXPECT_EQ(lines.size(), 6u * 150u);
  EXPECT_EQ(lines.count("writer 5 line 149\r"), 1u);
  remove(path.c_str());
}
