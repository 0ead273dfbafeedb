// An agent of the randomized test (tests/README.md): runs steps, judges its lanes' traffic.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "krzmlc15.h"
#include "random_run.h"
#include "shared/locks.h"
#include "testutil.h"

namespace {

thread_local SharedRun* tRun;
thread_local HWND tWnd;
thread_local int tAgent;

BYTE Pattern(DWORD epoch, LONGLONG i) {
  unsigned long long x = (unsigned long long)(i + 1) * 0x9E3779B97F4A7C15ull ^
                         (unsigned long long)epoch * 0xD1B54A32D192ED03ull;
  return (BYTE)(x >> 56);
}

bool IsMessageLane(int lane) { return lane % RND_LANES == 2; }
bool IsSourceLane(int lane) { return lane % RND_LANES == 3; }

void CALLBACK AgentCallback(DWORD, DWORD dwCode, DWORD dwLane, DWORD) {
  if (dwCode == MLC_DISCONNECT && tRun && dwLane < RND_AGENTS * RND_LANES)
    tRun->lanes[dwLane].lost = 1;
}

LRESULT CALLBACK AgentWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  if (uMsg == RND_APP_MSG) AgentCallback(0, LOWORD(lParam), (DWORD)wParam, 0);
  return uMsg == RND_APP_MSG ? 0 : DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

// Takes in the notices (MLC_DISCONNECT); true when lane l is still as it was.
bool Pump(LaneRec& l) {
  MSG msg;
  while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  return !l.lost;
}

void Fail(const char* lpszFormat, long long a, long long b) {
  char* out = tRun->agents[tAgent].failure;
  if (!out[0]) snprintf(out, sizeof tRun->agents[0].failure, lpszFormat, a, b);
}

void TakeBytes(int lane, LaneRec& l, const BYTE* buffer, int iRead) {
  for (int i = 0; i < iRead; ++i) {
    BYTE bWant = IsSourceLane(lane) ? (BYTE)(l.cbBack + i) : Pattern(l.epoch, l.cbBack + i);
    if (buffer[i] != bWant)
      return Fail("wrong byte on lane %lld at offset %lld", lane, l.cbBack + i);
  }
  l.cbBack += iRead;
  tRun->agents[tAgent].cbChecked += iRead;
  LONGLONG cbSent = IsSourceLane(lane) ? RND_SOURCE_BYTES : l.cbSent;  // by writes, or the source
  if (l.cbBack > cbSent)
    Fail("lane %lld: %lld bytes came back that were not sent", lane, l.cbBack - cbSent);
}

void TakeMessage(int lane, LaneRec& l, const BYTE* msg, int iLength) {
  bool fRight = iLength >= 3 && msg[0] == (BYTE)l.msgBack && msg[1] == (BYTE)(l.msgBack >> 8) &&
                msg[2] == (BYTE)lane;
  for (int i = 3; fRight && i < iLength; ++i) fRight = msg[i] == Pattern(l.epoch, l.msgBack + i);
  if (!fRight)
    return Fail("lane %lld: message %lld wrong, out of order or not ours", lane, l.msgBack);
  ++tRun->agents[tAgent].msgChecked;
  if (++l.msgBack > l.msgSent) Fail("lane %lld: message %lld came back unsent", lane, l.msgBack);
}

// Whether a lane of this process holds hChannel (then a stale use is no fault).
bool HandleOpenInProcess(WORD hChannel, int iExceptLane = -1) {
  for (int n = 0; n < RND_AGENTS; ++n) {
    bool fOurs = n == tAgent || (n < RND_THREAD_AGENTS && tAgent < RND_THREAD_AGENTS);
    for (int i = 0; fOurs && i < RND_LANES; ++i) {
      const LaneRec& other = tRun->lanes[n * RND_LANES + i];
      if (n * RND_LANES + i != iExceptLane && other.open && other.hChannel == hChannel) return true;
    }
  }
  return false;
}

void Forget(LaneRec& l) {  // its handle is kept for stale uses
  if (l.open) l.hStale = l.hChannel, ++tRun->agents[tAgent].losses;
  l.open = l.lost = 0;
}

void ForgetIfTaken(int lane, LaneRec& l) {
  if (l.open && l.doubtful && HandleOpenInProcess(l.hChannel, lane)) Forget(l);
}

int Open(int lane, LaneRec& l, const Step& s) {
  DWORD dwBuffer = IsMessageLane(lane) ? (s.len & 1) * 2 : 2048 + (DWORD)s.len * 8;
  bool fCallback = s.style & RND_BLOCK;
  int iResult = MLCOpenChannel(0, (BYTE)(3 + lane % RND_LANES),
                               IsMessageLane(lane) ? MLC_PACKET_CHANNEL : MLC_STREAM_CHANNEL,
                               &dwBuffer, &l.hChannel, fCallback ? NULL : tWnd, RND_APP_MSG,
                               (DWORD)lane, fCallback ? AgentCallback : NULL, NULL);
  if (iResult == MLC_SUCCESS) {
    l.open = 1, l.lost = l.doubtful = 0;
    ++tRun->agents[tAgent].opens;
    l.epoch = tRun->seed * 7919u + (DWORD)lane * 131u + ++l.opens;
    l.cbSent = l.cbBack = 0, l.msgSent = l.msgBack = 0;
  }
  return iResult;
}

// A numbered message, or stream bytes unless the echo owes 40000 already.
int Write(int lane, LaneRec& l, const Step& s, std::vector<BYTE>& buffer) {
  bool fMessage = IsMessageLane(lane);
  if (IsSourceLane(lane) || (!fMessage && l.cbSent - l.cbBack > 40000)) return 0;
  int cb = fMessage ? 3 + s.len % 60 : 1 + s.len;
  for (int i = 0; i < cb; ++i) buffer[i] = Pattern(l.epoch, (fMessage ? l.msgSent : l.cbSent) + i);
  if (fMessage)
    buffer[0] = (BYTE)l.msgSent, buffer[1] = (BYTE)(l.msgSent >> 8), buffer[2] = (BYTE)lane;
  int iSent = MLCWrite(l.hChannel, buffer.data(), cb, s.style & RND_BLOCK, RND_BLOCK_MS);
  if (iSent > cb) Fail("lane %lld: a write of %lld bytes reported more", lane, cb);
  if (fMessage && iSent == cb && Pump(l)) ++l.msgSent;
  if (!fMessage && iSent > 0 && Pump(l)) l.cbSent += iSent;
  return iSent;
}

int Read(int lane, LaneRec& l, const Step& s, std::vector<BYTE>& buffer) {
  int cb = IsMessageLane(lane) ? 512 : 1 + s.len;
  int iRead = MLCRead(l.hChannel, buffer.data(), cb, s.style & RND_BLOCK, RND_BLOCK_MS);
  if (iRead > cb) Fail("lane %lld: a read of %lld bytes returned more", lane, cb);
  if (iRead > 0 && Pump(l))
    (IsMessageLane(lane) ? TakeMessage : TakeBytes)(lane, l, buffer.data(), iRead);
  return iRead;
}

// The direct reader, on the agent's echo lane in slot 0 once its ring is empty.
int Retrieve(int lane, LaneRec& l, std::vector<BYTE>& buffer) {
  if (IsMessageLane(lane) || l.hChannel != MLC_MAKE_CHANNEL(0, MLC_FIRST_HSID)) return 0;
  if (MLCRead(l.hChannel, NULL, 0, FALSE, 0) != 0) return 0;
  DWORD dwLength = (DWORD)buffer.size();
  int iResult = RetrieveData(0, buffer.data(), &dwLength);
  if (iResult == 1 && dwLength > 0 && Pump(l)) TakeBytes(lane, l, buffer.data(), (int)dwLength);
  return iResult;
}

// End of the run: everything a write reported sent comes back (with grants), then lanes close.
int Drain(int agent) {
  std::vector<BYTE> buffer(65536);
  DWORD dwEnd = GetTickCount() + RND_DRAIN_MS;
  for (int i = 0; i < RND_LANES; ++i) {
    int lane = agent * RND_LANES + i;
    LaneRec& l = tRun->lanes[lane];
    ForgetIfTaken(lane, l);
    auto owed = [&] {  // reads until nothing is owed, the lane went away or a read failed
      return IsMessageLane(lane) ? l.msgBack < l.msgSent
                                 : !IsSourceLane(lane) && l.cbBack < l.cbSent;
    };
    Eventually(
        [&] {
          if (!Pump(l) || !l.open || !owed()) return true;
          MLCPollChannels2(FALSE, 0);
          int iRead = Read(lane, l, Step{kOpRead, (BYTE)agent, (BYTE)i, 0, 65534}, buffer);
          if (iRead >= 0 || iRead == MLC_NO_MESSAGE) return false;
          if (l.doubtful) Forget(l);
          return true;
        },
        (DWORD)std::max<LONG>(0, (LONG)(dwEnd - GetTickCount())));
    if (Pump(l) && l.open && owed() && !tRun->noGrants)
      Fail("lane %lld: %lld bytes or messages a write reported sent never came back", lane,
           IsMessageLane(lane) ? l.msgSent - l.msgBack : l.cbSent - l.cbBack);
    if (Pump(l) && l.open) MLCCloseChannel(l.hChannel);
    l.open = 0;
  }
  return 0;
}

int Exec(const Step& s, std::vector<BYTE>& buffer) {
  int lane = s.agent * RND_LANES + s.lane;
  LaneRec& l = tRun->lanes[lane];
  if (!Pump(l)) Forget(l);
  ForgetIfTaken(lane, l);
  int iResult = 0;  // traffic on a lane that is not open opens it, in the step's style
  if (!l.open && (s.op == kOpWrite || s.op == kOpRead)) return Open(lane, l, s);
  switch (s.op) {
    case kOpOpen:
      return l.open ? 0 : Open(lane, l, s);
    case kOpClose:
      if (l.open && (iResult = MLCCloseChannel(l.hChannel)) == MLC_SUCCESS) l.open = 0;
      if (iResult == MLC_CLOSE_FAILED) l.doubtful = 1;
      return iResult;
    case kOpWrite:
      iResult = Write(lane, l, s, buffer);
      break;
    case kOpRead:
      iResult = Read(lane, l, s, buffer);
      // A read fails only on a channel a reset took (a failed write may have sent bytes).
      if (iResult < 0 && iResult != MLC_TIME_OUT && iResult != MLC_NO_MESSAGE &&
          iResult != MLC_CHANNEL_BUSY && Pump(l)) {
        if (!l.doubtful)
          Fail("lane %lld: a read failed with %lld on a channel no reset took", lane, iResult);
        Forget(l);
      }
      break;
    case kOpPoll:
      return MLCPollChannels2(FALSE, s.len % 3);
    case kOpRetrieve:
      iResult = l.open ? Retrieve(lane, l, buffer) : 0;
      break;
    case kOpStale:
      if (!l.hStale || HandleOpenInProcess(l.hStale)) return 0;
      iResult = MLCRead(l.hStale, buffer.data(), 4096, FALSE, 0);
      if (iResult > 0)
        Fail("a handle lost to a reset read %lld bytes of another channel (%lld)", iResult,
             l.hStale);
      return iResult;
    case kOpDrain:
      return Drain(s.agent);
    case kOpHold:  // the driver kills the agent next: the mutex is abandoned
      return ObtainPPI(0) ? 1 : 0;
  }
  if (!Pump(l)) Forget(l);
  return iResult;
}

}  // namespace

std::string AgentEventName(const std::string& run, int n, const char* what) {
  return run + "." + what + "." + std::to_string(n);
}

// Once per process, before any agent starts (else a window may fail under Wine).
bool RegisterAgentClass() {
  WNDCLASSA wc{};
  wc.lpfnWndProc = AgentWndProc;
  wc.lpszClassName = "KrzRandomAgent";
  return RegisterClassA(&wc) != 0;
}

int RunAgent(const std::string& name, int n) {
  HANDLE hMap = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, (name + ".map").c_str());
  HANDLE hGo = OpenEventA(EVENT_ALL_ACCESS, FALSE, AgentEventName(name, n, "go").c_str());
  HANDLE hDone = OpenEventA(EVENT_ALL_ACCESS, FALSE, AgentEventName(name, n, "done").c_str());
  tRun = hMap ? (SharedRun*)MapViewOfFile(hMap, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(SharedRun))
              : nullptr;
  tAgent = n;
  tWnd = CreateWindowExA(0, "KrzRandomAgent", "", 0, 0, 0, 0, 0, NULL, NULL, NULL, NULL);
  // Without its window it still answers every step: the driver reports why at once.
  if (tRun && !tWnd) Fail("agent %lld has no window (error %lld)", n, (long long)GetLastError());
  int iExit = tRun && hGo && hDone ? 0 : 5;
  std::vector<BYTE> buffer(70000);
  // A process agent whose driver died (its mutex is free or abandoned) leaves.
  HANDLE hAlive =
      n < RND_THREAD_AGENTS ? NULL : OpenMutexA(SYNCHRONIZE, FALSE, (name + ".alive").c_str());
  for (;;) {
    DWORD dwWait = iExit == 0 ? WaitForSingleObject(hGo, 2000) : WAIT_FAILED;
    if (dwWait == WAIT_TIMEOUT && (!hAlive || WaitForSingleObject(hAlive, 0) == WAIT_TIMEOUT))
      continue;
    if (dwWait != WAIT_OBJECT_0) break;
    AgentRec& a = tRun->agents[n];
    if (a.step.op == kOpExit) break;
    a.result = tWnd ? Exec(a.step, buffer) : 0;
    SetEvent(hDone);
  }
  if (tWnd) DestroyWindow(tWnd);
  if (tRun) UnmapViewOfFile(tRun);
  tRun = nullptr;
  for (HANDLE h : {hMap, hGo, hDone, hAlive})
    if (h) CloseHandle(h);
  return iExit;
}
