// Link benchmark against the printer emulator on LPT1 (in this process):
//
//   krzmlc15_link_bench [seconds]
//
// 1. Bring-up round trips: MLCInit (device ID, channel address, flush,
//    MLC_INIT and its reply) followed by MLC_EXIT and its reply, which
//    leaves the link down for the next round; rounds per second.
// 2. The processor time the host spends in a reply wait of 2 s against a
//    printer that stays silent, as a share of one core.
//
// Run it with a private object namespace and Windows directory, as the
// tests do: W32POSIX_NAMESPACE=bench-$$ W32POSIX_ROOT=/tmp/somewhere.
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "krzmlc15.h"
#include "link/link.h"
#include "shared/locks.h"
#include "testutil.h"
#include "wire_runner.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

// Processor time (user + system) of this process in milliseconds.
static double ProcessCpuMs() {
#ifdef _WIN32
  FILETIME ftCreate, ftExit, ftKernel, ftUser;
  GetProcessTimes(GetCurrentProcess(), &ftCreate, &ftExit, &ftKernel, &ftUser);
  auto ms = [](const FILETIME& ft) {
    return (double)(((ULONGLONG)ft.dwHighDateTime << 32) | ft.dwLowDateTime) / 10000.0;
  };
  return ms(ftKernel) + ms(ftUser);
#else
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000.0 +
         (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000.0;
#endif
}

namespace {

LRESULT CALLBACK StandInProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  return uMsg == WM_CLOSE ? 0 : DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

// MLC_EXIT and its reply; the link is then down, as after the last close.
bool LeaveLink(BYTE bPort) {
  const BYTE exitPacket[] = {0x00, 0x00, 0x00, 0x07, 0x00, 0x00, MLC_EXIT};
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  bool fOk = SendPacket(bPort, exitPacket, sizeof exitPacket, NULL) != 0;
  if (fOk) {
    lpPPI->bLastMlcCommand = MLC_EXIT;
    fOk = ReceivePacket(bPort, 0, 0, MLC_EXIT_REPLY, FALSE, 1000) == 0;
  }
  lpPPI->fMlcInitDone = 0;
  ReleasePPI(bPort);
  return fOk;
}

}  // namespace

int main(int argc, char** argv) {
  double dSeconds = argc > 1 ? atof(argv[1]) : 3.0;
  WNDCLASSA wc{};
  wc.lpfnWndProc = StandInProc;
  wc.hInstance = GetModuleHandleA(NULL);
  wc.lpszClassName = "LinkBenchHelper";
  RegisterClassA(&wc);
  HWND hWnd =
      CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, NULL, NULL, wc.hInstance, NULL);
  if (MLCSetup(hWnd) != 1) {  // stands in for the helper process
    fprintf(stderr, "setup failed\n");
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

  int nRounds = 0;
  DWORD dwStart = GetTickCount();
  while (GetTickCount() - dwStart < (DWORD)(dSeconds * 1000)) {
    if (MLCInit(0) != 1 || !LeaveLink(0)) {
      fprintf(stderr, "round %d failed\n", nRounds);
      return 1;
    }
    ++nRounds;
  }
  DWORD dwSpent = GetTickCount() - dwStart;
  printf("bring-up + exit round trips: %d in %lu ms = %.0f per second (%.3f ms each)\n", nRounds,
         (unsigned long)dwSpent, nRounds * 1000.0 / dwSpent, (double)dwSpent / nRounds);

  if (MLCInit(0) != 1) return 1;
  ObtainPPI(0)->bLastMlcCommand = MLC_CREDIT;  // a reply the silent printer never sends
  ReleasePPI(0);
  double dCpu = ProcessCpuMs();
  dwStart = GetTickCount();
  int iWait = ReceivePacket(0, 0, 0, MLC_CREDIT_REPLY, FALSE, 2000);
  dwSpent = GetTickCount() - dwStart;
  dCpu = ProcessCpuMs() - dCpu;
  printf(
      "silent reply wait: result %d after %lu ms, %.1f ms of processor time = %.2f%% of a core\n",
      iWait, (unsigned long)dwSpent, dCpu, 100.0 * dCpu / dwSpent);

  size_t nViolations = printer.With([](emu::Peripheral& p) { return p.violations().size(); });
  printf("protocol violations the emulator saw: %zu\n", nViolations);
  printer.Stop();
  MLCCleanup();
  DestroyWindow(hWnd);
  return 0;
}
