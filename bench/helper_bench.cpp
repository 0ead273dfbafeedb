// Helper benchmark: how soon data from the printer reaches a client that
// does not poll, with the helper process (KRZHID15, started by the library)
// polling on its timer alone and with its wake on port input.
//
//   krzmlc15_helper_bench [timer samples] [wake samples] [idle seconds]
//
// The printer emulator runs on LPT1 in this process, with its echo service.
// Each sample arms the channel's notification (a read of nothing), pauses,
// then writes 64 bytes and waits for MLC_READ_STREAM at the client window:
// the time from the write to the notification. The write itself and the
// echo cost tens of microseconds (the "client polls itself" line measures
// that path with this process spinning on MLCPollChannels2). Per mode the
// helper's processor time is then measured over an idle period with the
// channel open. Default INI periods (MIN_POLL_INTERVAL 1000 ms,
// MAX_POLL_INTERVAL 5000 ms). Run with a private namespace and Windows
// directory: W32POSIX_NAMESPACE=bench-$$ W32POSIX_ROOT=/tmp/somewhere.
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#ifndef _WIN32
#include <dirent.h>
#endif

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "../krzhid15/helper.h"
#include "krzmlc15.h"
#include "shared/locks.h"
#include "wire_runner.h"

namespace {

constexpr UINT kAppMsg = WM_USER + 1;
constexpr UINT_PTR kWatchdog = 99;
using Clock = std::chrono::steady_clock;

LRESULT CALLBACK ClientProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

bool WriteIni(bool fWake) {
  char szDir[MAX_PATH];
  UINT n = GetWindowsDirectoryA(szDir, sizeof szDir);
  if (n == 0) return false;
  std::string path = std::string(szDir, n) + "/KRZTBX15.INI";
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  fprintf(f, "[KRZHID15]\r\nWAKE_ON_INPUT=%d\r\n", fWake ? 1 : 0);
  fclose(f);
  return true;
}

// Processor time of a process in ms: the sum over its threads of the run
// time the scheduler counts (Linux: /proc/PID/task/TID/schedstat, in ns).
double ProcessCpuMs(DWORD dwPid) {
#ifdef _WIN32
  (void)dwPid;
  return -1;
#else
  char szDir[64];
  snprintf(szDir, sizeof szDir, "/proc/%lu/task", (unsigned long)dwPid);
  DIR* lpDir = opendir(szDir);
  if (!lpDir) return -1;
  double dNs = 0;
  while (dirent* lpEntry = readdir(lpDir)) {
    if (lpEntry->d_name[0] == '.') continue;
    std::string path = std::string(szDir) + "/" + lpEntry->d_name + "/schedstat";
    FILE* f = fopen(path.c_str(), "r");
    if (!f) continue;
    unsigned long long ullRun = 0;
    if (fscanf(f, "%llu", &ullRun) == 1) dNs += (double)ullRun;
    fclose(f);
  }
  closedir(lpDir);
  return dNs / 1e6;
#endif
}

struct Stats {
  double dMedian, dP90, dP99, dMax;
};
Stats Summarise(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  auto at = [&](double q) { return v.empty() ? 0.0 : v[(size_t)(q * (double)(v.size() - 1))]; };
  return {at(0.5), at(0.9), at(0.99), v.empty() ? 0.0 : v.back()};
}
void PrintRow(const char* lpszWhat, const std::vector<double>& v) {
  Stats s = Summarise(v);
  printf("| %s | %zu | %.3f | %.3f | %.3f | %.3f |\n", lpszWhat, v.size(), s.dMedian, s.dP90,
         s.dP99, s.dMax);
}

// Waits for MLC_READ_STREAM at hClient (at most 20 s): true when it came.
bool WaitReadStream(HWND hClient, bool fSpinPoll) {
  MSG msg;
  if (fSpinPoll) {
    Clock::time_point tEnd = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < tEnd) {
      MLCPollChannels2(FALSE, 0);
      while (PeekMessageA(&msg, hClient, kAppMsg, kAppMsg, PM_REMOVE))
        if (LOWORD(msg.lParam) == 0x100) return true;
    }
    return false;
  }
  SetTimer(hClient, kWatchdog, 20000, NULL);
  bool fCame = false;
  while (GetMessageA(&msg, NULL, 0, 0) > 0) {
    if (msg.message == kAppMsg && LOWORD(msg.lParam) == 0x100) {
      fCame = true;
      break;
    }
    if (msg.message == WM_TIMER && msg.wParam == kWatchdog) break;
  }
  KillTimer(hClient, kWatchdog);
  return fCame;
}

// Latencies (ms) from a 64-byte write on the echo channel to the client's
// notification, one per sample.
std::vector<double> Latencies(WORD hChannel, HWND hClient, int iSamples, bool fSpinPoll) {
  std::vector<double> v;
  BYTE abData[64], abBack[64];
  for (int i = 0; i < iSamples; ++i) {
    for (size_t j = 0; j < sizeof abData; ++j) abData[j] = (BYTE)(i + j);
    MLCRead(hChannel, NULL, 0, FALSE, 0);  // arms the notification (and asks the helper to read)
    Sleep(20 + rand() % 30);               // that read request is served before the write
    MSG msg;
    while (PeekMessageA(&msg, hClient, 0, 0, PM_REMOVE)) {
    }
    Clock::time_point t0 = Clock::now();
    if (MLCWrite(hChannel, abData, sizeof abData, FALSE, 0) != (int)sizeof abData) {
      fprintf(stderr, "write failed in sample %d\n", i);
      break;
    }
    bool fCame = WaitReadStream(hClient, fSpinPoll);
    double dMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    if (!fCame) {
      fprintf(stderr, "no notification within 20 s in sample %d\n", i);
      break;
    }
    if (MLCRead(hChannel, abBack, sizeof abBack, FALSE, 0) != (int)sizeof abBack ||
        memcmp(abBack, abData, sizeof abData) != 0) {
      fprintf(stderr, "echo differs in sample %d\n", i);
      break;
    }
    v.push_back(dMs);
  }
  return v;
}

struct Mode {
  std::vector<double> latencies;
  std::vector<double> spin;  // timer mode only
  double dIdleCpuMs = -1;
  long lIdlePolls = 0;
};

bool RunMode(bool fWake, HWND hClient, int iSamples, int iSpinSamples, double dIdleSeconds,
             Mode* lpMode) {
  if (!WriteIni(fWake)) return false;
  DWORD dwBuffer = 4096;
  WORD hChannel = 0;
  int iOpen = MLCOpenChannel(0, 3, MLC_STREAM_CHANNEL, &dwBuffer, &hChannel, hClient, kAppMsg, 0,
                             NULL, NULL);
  if (iOpen != 1) {
    fprintf(stderr, "open failed: %d\n", iOpen);
    return false;
  }
  HWND hHidden = HwndFromDword(ObtainMGD()->hHiddenWnd);
  ReleaseMGD();
  DWORD dwPid = 0;
  GetWindowThreadProcessId(hHidden, &dwPid);
  lpMode->latencies = Latencies(hChannel, hClient, iSamples, false);
  if (iSpinSamples > 0) lpMode->spin = Latencies(hChannel, hClient, iSpinSamples, true);

  // Idle with the channel open: the helper's processor time and polls.
  Sleep(300);
  auto polls = [&] {
    return (long)(SendMessageA(hHidden, HELPER_QUERY_POLLS, 0, 0) +
                  SendMessageA(hHidden, HELPER_QUERY_INPUT_POLLS, 0, 0));
  };
  long lPolls = polls();
  double dCpu = ProcessCpuMs(dwPid);
  Sleep((DWORD)(dIdleSeconds * 1000));
  double dCpuAfter = ProcessCpuMs(dwPid);
  lpMode->lIdlePolls = polls() - lPolls;
  if (dCpu >= 0 && dCpuAfter >= 0) lpMode->dIdleCpuMs = dCpuAfter - dCpu;
  MLCCloseChannel(hChannel);
  Sleep(500);  // the helper ends; the next open starts a new one
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int iTimerSamples = argc > 1 ? atoi(argv[1]) : 12;
  int iWakeSamples = argc > 2 ? atoi(argv[2]) : 300;
  double dIdleSeconds = argc > 3 ? atof(argv[3]) : 10.0;
  srand(12345);

  WNDCLASSA wc{};
  wc.lpfnWndProc = ClientProc;
  wc.hInstance = GetModuleHandleA(NULL);
  wc.lpszClassName = "HelperBenchClient";
  RegisterClassA(&wc);
  HWND hClient =
      CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, NULL, NULL, wc.hInstance, NULL);
  if (!hClient || !MLCGetPortHandle(0)) {
    fprintf(stderr, "no window or no port handle\n");
    return 1;
  }
  emu::EmuConfig cfg;
  cfg.services = emu::DefaultServices();
  emu::Trace trace(nullptr, false);
  emu::WireRunner printer(cfg, &trace);
  std::string error;
  if (!printer.Start("LPT1", &error)) {
    fprintf(stderr, "emulator: %s\n", error.c_str());
    return 1;
  }

  Mode timer, wake;
  bool fOk = RunMode(false, hClient, iTimerSamples, 100, dIdleSeconds, &timer) &&
             RunMode(true, hClient, iWakeSamples, 0, dIdleSeconds, &wake);
  size_t cViolations = printer.With([](emu::Peripheral& p) { return p.violations().size(); });
  printer.Stop();
  MLCReleasePortHandle(GetHportVal(0));
  if (!fOk) return 1;

  printf("Write on the echo channel to MLC_READ_STREAM at the client window, ms:\n\n");
  printf("| Helper | Samples | Median | p90 | p99 | Max |\n|---|---|---|---|---|---|\n");
  PrintRow("timer alone (1000/5000 ms)", timer.latencies);
  PrintRow("timer + wake on input", wake.latencies);
  PrintRow("none: client polls itself, spinning", timer.spin);
  printf("\nHelper idle with one channel open, %.0f s:\n\n", dIdleSeconds);
  printf("| Helper | Processor time | Share of a core | Polls |\n|---|---|---|---|\n");
  auto idle = [&](const char* lpszWhat, const Mode& m) {
    printf("| %s | %.2f ms | %.4f %% | %ld |\n", lpszWhat, m.dIdleCpuMs,
           m.dIdleCpuMs / (dIdleSeconds * 10.0), m.lIdlePolls);
  };
  idle("timer alone", timer);
  idle("timer + wake on input", wake);
  printf("\nEmulator protocol violations: %zu\n", cViolations);
  return cViolations == 0 ? 0 : 1;
}
