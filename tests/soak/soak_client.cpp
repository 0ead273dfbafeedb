// A client of the soak: opens its channels on LPT1 and keeps checked
// traffic going on all of them until its time is up, reopening what a link
// reset took away. It writes its counters to a status file twice a second,
// so that what it verified counts even when it is killed.
//
//   krzsoak_client --id N --seed S --until TICK --status FILE [--packets]
//   krzsoak_client --hold EVENT     take the port mutex, set EVENT, wait to be killed
//
// Exit code 0 when every byte came back in order and no call waited longer
// than its time-outs allow; 3 wrong data; 4 a call waited too long; 5 no
// port; 2 bad arguments.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "krzmlc15.h"
#include "shared/locks.h"
#include "soak_limits.h"

#ifndef MLC_DISCONNECT
#define MLC_DISCONNECT 0x103  // notification code: the channel was closed
#endif

namespace {

// One channel and the pseudo-random stream it carries: byte i of an epoch
// is Pattern(epoch seed, i). A reset starts a new epoch on a new channel.
struct Lane {
  BYTE bPsid = 0;
  BYTE bType = MLC_STREAM_CHANNEL;
  WORD hChannel = 0;
  bool open = false;
  unsigned epoch = 0;
  unsigned long long cbSent = 0;
  unsigned long long cbBack = 0;
  int requestsOut = 0;  // packet lanes: status requests not yet answered
};

struct Counters {
  unsigned long long cbVerified = 0;
  unsigned long long messages = 0;
  unsigned long resets = 0;
  unsigned long maxWaitMs = 0;
  const char* failure = nullptr;
};

BYTE Pattern(unsigned epoch, unsigned long long i) {
  unsigned long long x =
      (i + 1) * 0x9E3779B97F4A7C15ull ^ (unsigned long long)epoch * 0xD1B54A32D192ED03ull;
  return (BYTE)(x >> 56);
}

Counters g;
std::mt19937 rng;
std::vector<Lane> lanes;
HWND hWnd;  // receives the library's notices about our channels

// Times one library call; a call may not outlast the longest wait the
// configured time-outs allow it.
template <class F>
int Timed(F call) {
  DWORD dwStart = GetTickCount();
  int iResult = call();
  DWORD dwTook = GetTickCount() - dwStart;
  if (dwTook > g.maxWaitMs) g.maxWaitMs = dwTook;
  if (dwTook > SOAK_LONGEST_CALL_MS && !g.failure) g.failure = "a call waited too long";
  return iResult;
}

bool Open(Lane& lane, DWORD dwIndex, unsigned seed) {
  DWORD dwBuffer = lane.bType == MLC_STREAM_CHANNEL ? 8192 : 2;
  int iResult = Timed([&] {
    return MLCOpenChannel(0, lane.bPsid, lane.bType, &dwBuffer, &lane.hChannel, hWnd, SOAK_APP_MSG,
                          dwIndex, NULL, NULL);
  });
  if (iResult != MLC_SUCCESS) return false;
  lane.open = true;
  lane.epoch = seed * 7919u + (unsigned)rng();
  lane.cbSent = lane.cbBack = 0;
  lane.requestsOut = 0;
  return true;
}

// The channel went away under us (link reset, or closed by the library). Its
// handle is not closed: after a reset the same handle may already name
// another process's new channel.
void Lost(Lane& lane) {
  if (!lane.open) return;
  lane.open = false;
  ++g.resets;
}

LRESULT CALLBACK WndProc(HWND hWindow, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  if (uMsg == SOAK_APP_MSG && LOWORD(lParam) == MLC_DISCONNECT && wParam < lanes.size())
    Lost(lanes[wParam]);
  return uMsg == SOAK_APP_MSG ? 0 : DefWindowProcA(hWindow, uMsg, wParam, lParam);
}

// Takes in the library's notifications; true when the lane is still open.
bool Pump(const Lane& lane) {
  MSG msg;
  while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  return lane.open;
}

void StreamStep(Lane& lane) {
  static std::vector<BYTE> buffer(20000);
  if (lane.cbSent - lane.cbBack < 32768 && rng() % 2 == 0) {
    int cb = 1 + (int)(rng() % 9000);
    for (int i = 0; i < cb; ++i) buffer[i] = Pattern(lane.epoch, lane.cbSent + i);
    if (!Pump(lane)) return;
    int iSent = Timed([&] { return MLCWrite(lane.hChannel, buffer.data(), cb, FALSE, 0); });
    if (!Pump(lane)) return;
    if (iSent > 0)
      lane.cbSent += (unsigned)iSent;
    else if (iSent != MLC_TIME_OUT && iSent != 0)
      return Lost(lane);
  }
  if (!Pump(lane)) return;
  int iRead = Timed(
      [&] { return MLCRead(lane.hChannel, buffer.data(), 1 + (int)(rng() % 12000), FALSE, 0); });
  // A close posts its notice before the slot can be reused: bytes read
  // after one may be another channel's, so they are not judged.
  if (!Pump(lane)) return;
  if (iRead < 0) return Lost(lane);
  for (int i = 0; i < iRead; ++i)
    if (buffer[i] != Pattern(lane.epoch, lane.cbBack + i) && !g.failure) g.failure = "wrong byte";
  lane.cbBack += (unsigned)iRead;
  g.cbVerified += (unsigned)iRead;
}

// Packet lanes talk to the status service: one answer per request.
void PacketStep(Lane& lane) {
  static const char kRequest[] = "STATUS?";
  BYTE answer[512];
  if (lane.requestsOut == 0) {
    if (!Pump(lane)) return;
    int iSent = Timed([&] { return MLCWrite(lane.hChannel, (BYTE*)kRequest, 7, FALSE, 0); });
    if (!Pump(lane)) return;
    if (iSent == 7)
      ++lane.requestsOut;
    else if (iSent < 0 && iSent != MLC_TIME_OUT && iSent != MLC_CHANNEL_BUSY)
      return Lost(lane);
  }
  if (!Pump(lane)) return;
  int iRead = Timed([&] { return MLCRead(lane.hChannel, answer, sizeof answer, FALSE, 0); });
  if (!Pump(lane)) return;
  if (iRead == MLC_NO_MESSAGE || iRead == 0) return;
  if (iRead < 0) return Lost(lane);
  if ((iRead != 13 || memcmp(answer, "STATUS:READY;", 13) != 0) && !g.failure)
    g.failure = "wrong status answer";
  --lane.requestsOut;
  ++g.messages;
}

void WriteStatus(const char* path, bool done) {
  char text[256];
  snprintf(text, sizeof text,
           "verified=%llu messages=%llu resets=%lu maxwait=%lu done=%d failure=%s\n", g.cbVerified,
           g.messages, g.resets, g.maxWaitMs, done ? 1 : 0, g.failure ? g.failure : "none");
  std::string tmp = std::string(path) + ".tmp";
  FILE* f = fopen(tmp.c_str(), "w");
  if (!f) return;
  fputs(text, f);
  fclose(f);
  rename(tmp.c_str(), path);
}

// Takes the port mutex the way the library does and is killed holding it.
int Hold(const char* lpszEvent) {
  DWORD hPort = MLCGetPortHandle(0);
  if (!hPort) return 5;
  HANDLE hEvent = OpenEventA(EVENT_MODIFY_STATE, FALSE, lpszEvent);
  if (!hEvent || !ObtainPPI(0)) return 5;
  SetEvent(hEvent);
  Sleep(INFINITE);
  return 0;
}

const char* Arg(int argc, char** argv, const char* name) {
  for (int i = 1; i + 1 < argc; ++i)
    if (strcmp(argv[i], name) == 0) return argv[i + 1];
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* lpszEvent = Arg(argc, argv, "--hold")) return Hold(lpszEvent);
  const char* lpszId = Arg(argc, argv, "--id");
  const char* lpszSeed = Arg(argc, argv, "--seed");
  const char* lpszUntil = Arg(argc, argv, "--until");
  const char* lpszStatus = Arg(argc, argv, "--status");
  if (!lpszId || !lpszSeed || !lpszUntil || !lpszStatus) return 2;
  bool bPackets = argc > 0 && strcmp(argv[argc - 1], "--packets") == 0;
  unsigned seed = (unsigned)strtoul(lpszSeed, nullptr, 10);
  DWORD dwUntil = (DWORD)strtoul(lpszUntil, nullptr, 10);
  rng.seed(seed);

  DWORD hPort = MLCGetPortHandle(0);
  if (!hPort) return 5;
  WNDCLASSA wc{};
  wc.lpfnWndProc = WndProc;
  wc.hInstance = GetModuleHandleA(NULL);
  wc.lpszClassName = "KrzSoakClient";
  if (!RegisterClassA(&wc)) return 5;
  hWnd = CreateWindowExA(0, "KrzSoakClient", NULL, 0, 0, 0, 0, 0, NULL, NULL, wc.hInstance, NULL);
  if (!hWnd) return 5;
  lanes.resize(SOAK_CHANNELS_PER_CLIENT);
  for (size_t i = 0; i < lanes.size(); ++i) {
    lanes[i].bPsid = (BYTE)(SOAK_ECHO_PSID + i % 2);
    if (bPackets && i == lanes.size() - 1) {
      lanes[i].bPsid = SOAK_STATUS_PSID;
      lanes[i].bType = MLC_PACKET_CHANNEL;
    }
  }

  DWORD dwLastStatus = 0;
  while ((LONG)(dwUntil - GetTickCount()) > 0 && !g.failure) {
    bool bAnyOpen = false;
    for (DWORD i = 0; i < lanes.size(); ++i) {
      Lane& lane = lanes[i];
      if (!lane.open && !Open(lane, i, seed)) continue;
      bAnyOpen = true;
      if (lane.bType == MLC_STREAM_CHANNEL)
        StreamStep(lane);
      else
        PacketStep(lane);
    }
    Timed([] { return MLCPollChannels2(FALSE, 0); });
    if (!bAnyOpen) Sleep(50);  // the link is coming back: do not hammer it
    if (GetTickCount() - dwLastStatus >= 500) {
      WriteStatus(lpszStatus, false);
      dwLastStatus = GetTickCount();
    }
  }
  // Drain: what went out on a channel that survived must all come back.
  DWORD dwDrainEnd = GetTickCount() + SOAK_DRAIN_MS;
  for (Lane& lane : lanes) {
    while (lane.open && lane.bType == MLC_STREAM_CHANNEL && lane.cbBack < lane.cbSent &&
           (LONG)(dwDrainEnd - GetTickCount()) > 0 && !g.failure) {
      Timed([] { return MLCPollChannels2(FALSE, 0); });
      unsigned long long cbBefore = lane.cbBack;
      BYTE buffer[8192];
      if (!Pump(lane)) break;
      int iRead = Timed([&] { return MLCRead(lane.hChannel, buffer, sizeof buffer, FALSE, 0); });
      if (!Pump(lane)) break;
      if (iRead < 0) {
        Lost(lane);
        break;
      }
      for (int i = 0; i < iRead; ++i)
        if (buffer[i] != Pattern(lane.epoch, cbBefore + i) && !g.failure) g.failure = "wrong byte";
      lane.cbBack += (unsigned)iRead;
      g.cbVerified += (unsigned)iRead;
      if (iRead == 0) Sleep(5);
    }
    if (lane.open && lane.bType == MLC_STREAM_CHANNEL && lane.cbBack < lane.cbSent && !g.failure)
      g.failure = "bytes a write reported sent never came back";
    if (Pump(lane)) Timed([&] { return MLCCloseChannel(lane.hChannel); });
  }
  DestroyWindow(hWnd);
  MLCReleasePortHandle(hPort);
  WriteStatus(lpszStatus, true);
  if (!g.failure) return 0;
  fprintf(stderr, "krzsoak_client %s: %s\n", lpszId, g.failure);
  return strcmp(g.failure, "a call waited too long") == 0 ? 4 : 3;
}
