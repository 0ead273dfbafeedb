// Whether the thread or process dwId (a thread id or process id of this
// machine) is asleep in a wait: natively, sleeping in the futex call every
// wait of the platform layer ends in. Windows shows no other thread's wait;
// there it is true. Shared by the library's and KRZCOM15's tests.
#pragma once

#include <windows.h>

#ifndef _WIN32
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <string>
#endif

inline bool AsleepInWait(DWORD dwId) {
#ifdef _WIN32
  (void)dwId;
  return true;
#else
  std::string dir = "/proc/" + std::to_string(dwId);
  std::ifstream stat(dir + "/stat"), call(dir + "/syscall");
  std::string line;
  long lCall = -1;
  std::getline(stat, line);
  size_t at = line.rfind(')');
  return at != std::string::npos && at + 2 < line.size() && line[at + 2] == 'S' && call >> lCall &&
         lCall == SYS_futex;
#endif
}
