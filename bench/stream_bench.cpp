// Stream benchmark of the library against the printer emulator running as a
// process of its own on LPT1's virtual wire, with the real helper process:
//
//   krzmlc15_stream_bench EMULATOR_PID [seconds per figure]
//
// Run by bench/run-stream-bench.sh, which builds, starts the emulator and
// runs this twice: with the default packet sizes and with the largest the
// emulator accepts (KRZTBX15.INI). Figures, on standard output:
// 1. raw virtual-wire throughput of KRZCOM15 alone (LPT2, a drain thread on
//    the peripheral side) in writes of one whole packet of the socket's size;
// 2. MLCWrite throughput to the emulator's sink for 512 B, 4 KiB and 64 KiB
//    writes, and its ratio to 1;
// 3. MLCRead throughput from the emulator's source, the client polling
//    whenever its ring is empty;
// 4. open+close latency of a second channel (median, p99);
// 5. processor time of client, helper and emulator per MB written, and
//    while idle with one channel open.
// Only the library's public header is used for the library itself.
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "krzcom15.h"
#include "krzmlc15.h"
#include "vperi.h"

namespace {

double NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

double SelfCpuMs() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000.0 +
         (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000.0;
}

// User + system time of another process, from /proc; -1 when it is gone.
double ProcCpuMs(long pid) {
  if (pid <= 0) return -1;
  char szPath[64];
  snprintf(szPath, sizeof szPath, "/proc/%ld/stat", pid);
  FILE* f = fopen(szPath, "r");
  if (!f) return -1;
  char szLine[1024] = "";
  size_t n = fread(szLine, 1, sizeof szLine - 1, f);
  fclose(f);
  szLine[n] = 0;
  const char* p = strrchr(szLine, ')');  // the command may hold spaces
  if (!p) return -1;
  unsigned long ulUser = 0, ulSystem = 0;
  // Fields after the command: state, then 10 numbers, then utime, stime.
  if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ulUser, &ulSystem) != 2)
    return -1;
  return (ulUser + ulSystem) * 1000.0 / sysconf(_SC_CLK_TCK);
}

// The helper process of this object namespace: KRZHID15 with our
// W32POSIX_NAMESPACE in its environment.
long FindHelper() {
  const char* lpszNs = getenv("W32POSIX_NAMESPACE");
  std::string want = std::string("W32POSIX_NAMESPACE=") + (lpszNs ? lpszNs : "");
  DIR* d = opendir("/proc");
  long found = 0;
  while (dirent* e = d ? readdir(d) : nullptr) {
    long pid = atol(e->d_name);
    if (pid <= 0) continue;
    char szPath[64], szComm[64] = "";
    snprintf(szPath, sizeof szPath, "/proc/%ld/comm", pid);
    FILE* f = fopen(szPath, "r");
    if (!f) continue;
    if (!fgets(szComm, sizeof szComm, f)) szComm[0] = 0;
    fclose(f);
    if (strncmp(szComm, "KRZHID15", 8) != 0) continue;
    snprintf(szPath, sizeof szPath, "/proc/%ld/environ", pid);
    f = fopen(szPath, "r");
    if (!f) continue;
    std::string env;
    char ab[4096];
    size_t cb;
    while ((cb = fread(ab, 1, sizeof ab, f)) > 0) env.append(ab, cb);
    fclose(f);
    for (size_t at = 0; at < env.size(); at += strlen(env.c_str() + at) + 1)
      if (strcmp(env.c_str() + at, want.c_str()) == 0) found = pid;
  }
  if (d) closedir(d);
  return found;
}

// Processor time of the three processes, taken at one moment.
struct Cpu {
  double dClient, dHelper, dEmulator;
};
Cpu TakeCpu(long helper, long emulator) {
  return {SelfCpuMs(), ProcCpuMs(helper), ProcCpuMs(emulator)};
}

struct DrainArgs {
  DWORD hPeri;
  std::atomic<bool> fStop;
};

DWORD WINAPI DrainMain(LPVOID lpParam) {
  auto* d = (DrainArgs*)lpParam;
  static BYTE ab[1 << 17];
  while (!d->fStop) {
    DWORD cb = 0;
    BYTE bAddress = 0;
    VPERI_Read(d->hPeri, ab, sizeof ab, &cb, &bAddress, 50);
  }
  return 0;
}

// MB/s of whole packets of cbPacket bytes through KRZCOM15 on LPT2.
double RawWire(DWORD cbPacket, double dSeconds) {
  DWORD hPeri = VPERI_Attach("LPT2");
  DWORD hPort = VCOMM_OpenCommA("LPT2", 1);
  if (!hPeri || !hPort) return -1;
  BYTE bAddress = 0x4D;
  VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_SET_ECP_CHANNEL, &bAddress, NULL);
  DrainArgs d;
  d.hPeri = hPeri;
  d.fStop = false;
  HANDLE hThread = CreateThread(NULL, 0, DrainMain, &d, 0, NULL);
  std::vector<BYTE> packet(cbPacket, 0x5A);
  double dStart = NowMs(), dBytes = 0;
  while (NowMs() - dStart < dSeconds * 1000) {
    for (DWORD cbDone = 0; cbDone < cbPacket;) {
      DWORD cb = 0;
      if (!VCOMM_WriteComm(hPort, packet.data() + cbDone, cbPacket - cbDone, &cb) && cb == 0) break;
      cbDone += cb;
    }
    dBytes += cbPacket;
  }
  double dMs = NowMs() - dStart;
  d.fStop = true;
  WaitForSingleObject(hThread, INFINITE);
  CloseHandle(hThread);
  VCOMM_CloseComm(hPort);
  VPERI_Detach(hPeri);
  return dBytes / 1048576.0 / (dMs / 1000.0);
}

// MB/s of MLCWrite calls of cbWrite bytes, each continued until all went.
double WriteRate(WORD hChannel, int cbWrite, double dSeconds, double* lpdMB) {
  std::vector<BYTE> data((size_t)cbWrite, 0x42);
  double dStart = NowMs(), dBytes = 0;
  while (NowMs() - dStart < dSeconds * 1000) {
    for (int cbDone = 0; cbDone < cbWrite;) {
      int n = MLCWrite(hChannel, data.data() + cbDone, cbWrite - cbDone, 0, 0);
      if (n < 0) {
        fprintf(stderr, "MLCWrite: %d\n", n);
        return -1;
      }
      // Out of credit: a poll brings the printer's grant.
      if (n == 0) MLCPollChannels2(FALSE, 0);
      cbDone += n;
    }
    dBytes += cbWrite;
  }
  *lpdMB = dBytes / 1048576.0;
  return *lpdMB / ((NowMs() - dStart) / 1000.0);
}

}  // namespace

int main(int argc, char** argv) {
  long emulator = argc > 1 ? atol(argv[1]) : 0;
  double dSeconds = argc > 2 ? atof(argv[2]) : 2.0;
  DWORD cbPeri = GetPrivateProfileIntA("KRZMLC15", "TO_PERI_PACKET_SIZE", 4102, "KRZTBX15.INI");
  DWORD cbHost = GetPrivateProfileIntA("KRZMLC15", "TO_HOST_PACKET_SIZE", 1024, "KRZTBX15.INI");
  printf("packet payloads: to the printer %lu B, to the host %lu B\n", (unsigned long)cbPeri,
         (unsigned long)cbHost);

  // The port is used through a handle of this process; the sink channel
  // keeps the link up for the whole run.
  DWORD hPort = MLCGetPortHandle(0);
  if (!hPort) {
    fprintf(stderr, "cannot open LPT1\n");
    return 1;
  }
  WORD hSink = 0;
  int iOpen = MLCOpenChannel(0, 2, MLC_STREAM_CHANNEL, NULL, &hSink, NULL, 0, 0, NULL, NULL);
  if (iOpen != 1) {
    fprintf(stderr, "open of the sink: %d\n", iOpen);
    return 1;
  }
  Sleep(200);  // the helper is up before MLCOpenChannel returns; its name may lag
  long helper = FindHelper();
  if (!helper) fprintf(stderr, "helper process not found: its time is not counted\n");

  double dRaw = RawWire(cbPeri + 6, dSeconds);
  printf("raw wire, %lu-byte packets: %.1f MB/s\n", (unsigned long)cbPeri + 6, dRaw);
  for (int cbWrite : {512, 4096, 65536}) {
    double dMB = 0;
    Cpu before = TakeCpu(helper, emulator);
    double dRate = WriteRate(hSink, cbWrite, dSeconds, &dMB);
    Cpu after = TakeCpu(helper, emulator);
    printf(
        "MLCWrite %5d B: %7.1f MB/s = %.2f x raw wire; CPU per MB: client %.2f ms, helper %.2f "
        "ms, emulator %.2f ms\n",
        cbWrite, dRate, dRate / dRaw, (after.dClient - before.dClient) / dMB,
        (after.dHelper - before.dHelper) / dMB, (after.dEmulator - before.dEmulator) / dMB);
  }

  // Reads from the source (socket 4), which sends as long as the run lasts.
  WORD hSource = 0;
  DWORD dwRing = cbHost * 4 > 65536 ? cbHost * 4 : 65536;
  if (MLCOpenChannel(0, 4, MLC_STREAM_CHANNEL, &dwRing, &hSource, NULL, 0, 0, NULL, NULL) == 1) {
    std::vector<BYTE> buf(65536);
    Cpu before = TakeCpu(helper, emulator);
    double dStart = NowMs(), dBytes = 0;
    while (NowMs() - dStart < dSeconds * 1000) {
      int n = MLCRead(hSource, buf.data(), 0xFFFF, 0, 0);
      if (n < 0) {
        fprintf(stderr, "MLCRead: %d\n", n);
        break;
      }
      if (n == 0) MLCPollChannels2(FALSE, 0);
      dBytes += n;
    }
    double dMB = dBytes / 1048576.0;
    Cpu after = TakeCpu(helper, emulator);
    printf(
        "MLCRead, %lu B ring: %7.1f MB/s; CPU per MB: client %.2f ms, helper %.2f ms, emulator "
        "%.2f ms\n",
        (unsigned long)dwRing, dMB / ((NowMs() - dStart) / 1000.0),
        (after.dClient - before.dClient) / dMB, (after.dHelper - before.dHelper) / dMB,
        (after.dEmulator - before.dEmulator) / dMB);
    MLCCloseChannel(hSource);
  } else {
    fprintf(stderr, "open of the source failed\n");
  }

  // Open and close of a second channel while the sink keeps the link up.
  std::vector<double> times;
  double dStart = NowMs();
  while (NowMs() - dStart < dSeconds * 1000) {
    WORD hEcho = 0;
    DWORD dwSize = 4096;
    double t0 = NowMs();
    int iEcho = MLCOpenChannel(0, 3, MLC_STREAM_CHANNEL, &dwSize, &hEcho, NULL, 0, 0, NULL, NULL);
    int iClose = iEcho == 1 ? MLCCloseChannel(hEcho) : 0;
    if (iEcho != 1 || iClose != 1) {
      fprintf(stderr, "open %d, close %d\n", iEcho, iClose);
      break;
    }
    times.push_back(NowMs() - t0);
  }
  std::sort(times.begin(), times.end());
  if (!times.empty())
    printf("open+close: %zu rounds, median %.3f ms, p99 %.3f ms\n", times.size(),
           times[times.size() / 2], times[times.size() * 99 / 100]);

  // Idle with the sink channel open: the helper's timer polls the port.
  Sleep(500);
  Cpu before = TakeCpu(helper, emulator);
  double dIdleStart = NowMs();
  Sleep((DWORD)(dSeconds * 2000));
  Cpu after = TakeCpu(helper, emulator);
  double dIdleMs = NowMs() - dIdleStart;
  printf(
      "idle, one channel open, %.0f ms: client %.2f%%, helper %.2f%%, emulator %.2f%% of a core\n",
      dIdleMs, 100 * (after.dClient - before.dClient) / dIdleMs,
      100 * (after.dHelper - before.dHelper) / dIdleMs,
      100 * (after.dEmulator - before.dEmulator) / dIdleMs);
  MLCCloseChannel(hSink);
  MLCReleasePortHandle(hPort);
  return 0;
}
