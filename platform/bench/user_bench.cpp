// Window-message benchmark: post-to-dispatch latency and messages per
// second, between two threads of one process and between two processes.
//
//   user_bench [round trips] [messages]
//
// Latency: the sender posts PING with its clock in lParam; the receiver's
// window procedure takes the difference to its own clock (one way, post to
// dispatch) and posts it back in PONG. Throughput: the sender floods FLOOD
// messages, keeping at most kWindow unacknowledged (the queue is bounded),
// and the receiver acknowledges every kAck of them.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace {

constexpr UINT kHello = WM_USER + 1, kPing = WM_USER + 2, kPong = WM_USER + 3, kFlood = WM_USER + 4,
               kAck = WM_USER + 5;
constexpr int kAckEvery = 1000, kWindow = 8000;

HWND g_peer = NULL;  // where the serving side answers
int g_flooded = 0;

DWORD now_ns() {
  return (DWORD)std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

LRESULT CALLBACK serve_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case kPing:
      PostMessageA(g_peer, kPong, wp, (LPARAM)(DWORD)(now_ns() - (DWORD)lp));
      return 0;
    case kFlood:
      if (++g_flooded % kAckEvery == 0) PostMessageA(g_peer, kAck, (WPARAM)g_flooded, 0);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcA(h, msg, wp, lp);
}

HWND make(const char* cls, WNDPROC proc) {
  WNDCLASSA wc{};
  if (!GetClassInfoA(GetModuleHandleA(NULL), cls, &wc)) {
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = cls;
    RegisterClassA(&wc);
  }
  return CreateWindowExA(0, cls, "", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, NULL, NULL,
                         GetModuleHandleA(NULL), NULL);
}

// The serving side: a window that announces itself to `peer` and pumps.
void serve(HWND peer) {
  g_peer = peer;
  g_flooded = 0;
  HWND h = make("BenchServe", serve_proc);
  PostMessageA(peer, kHello, (WPARAM)h, 0);
  MSG m;
  while (GetMessageA(&m, NULL, 0, 0) > 0) DispatchMessageA(&m);
}

HWND wait_for(HWND self, UINT msg, MSG* m) {
  while (GetMessageA(m, self, msg, msg) > 0)
    if (m->message == msg) return m->hwnd;
  return NULL;
}

void measure(const char* label, HWND self, HWND server, int trips, int messages) {
  MSG m;
  std::vector<DWORD> one_way;
  one_way.reserve(trips);
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < trips; ++i) {
    PostMessageA(server, kPing, i, (LPARAM)now_ns());
    wait_for(self, kPong, &m);
    one_way.push_back((DWORD)m.lParam);
  }
  double rtt_us =
      std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count() /
      trips;
  std::sort(one_way.begin(), one_way.end());
  auto pct = [&](double p) { return one_way[(size_t)(p * (one_way.size() - 1))] / 1000.0; };

  int acked = 0, sent = 0;
  t0 = std::chrono::steady_clock::now();
  while (acked < messages) {
    while (sent < messages && sent - acked < kWindow && PostMessageA(server, kFlood, sent, 0))
      ++sent;
    wait_for(self, kAck, &m);
    acked = (int)m.wParam;
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  printf(
      "%-14s latency post->dispatch: median %.1f us, p99 %.1f us, max %.1f us; "
      "round trip %.1f us; throughput %.0f messages/s\n",
      label, pct(0.5), pct(0.99), pct(1.0), rtt_us, messages / secs);
}

LRESULT CALLBACK quiet_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  return DefWindowProcA(h, msg, wp, lp);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && strcmp(argv[1], "child") == 0) {
    serve((HWND)(ULONG_PTR)strtoul(argv[2], NULL, 0));
    return 0;
  }
  int trips = argc > 1 ? atoi(argv[1]) : 20000;
  int messages = argc > 2 ? atoi(argv[2]) : 1000000;
  messages -= messages % kAckEvery;
  if (trips <= 0 || messages <= 0) return 2;
  HWND self = make("BenchMain", quiet_proc);
  MSG m;

  std::thread server_thread(serve, self);
  HWND server = wait_for(self, kHello, &m) ? (HWND)m.wParam : NULL;
  measure("same process", self, server, trips, messages);
  PostMessageA(server, WM_CLOSE, 0, 0);
  server_thread.join();

  char cmd[64];
  snprintf(cmd, sizeof cmd, "user_bench.exe child %lu", (unsigned long)(ULONG_PTR)self);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(NULL, cmd, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
    fprintf(stderr, "cannot start the child process (%lu)\n", (unsigned long)GetLastError());
    return 1;
  }
  server = wait_for(self, kHello, &m) ? (HWND)m.wParam : NULL;
  measure("cross process", self, server, trips, messages);
  PostMessageA(server, WM_CLOSE, 0, 0);
  WaitForSingleObject(pi.hProcess, INFINITE);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  DestroyWindow(self);
  return 0;
}
