// Shared helpers of the window and message conformance tests.
#pragma once

#include <windows.h>

#include <vector>

namespace usertest {

// A message as a window procedure saw it.
struct Seen {
  HWND hwnd;
  UINT msg;
  WPARAM wp;
  LPARAM lp;
};

// Every message the recording procedure got, in order (per process; tests
// clear it first).
std::vector<Seen>& seen();
bool saw(UINT msg);

// Records the message; WM_USER + 100 answers wParam + lParam; everything
// else goes to DefWindowProcA.
LRESULT CALLBACK record_proc(HWND, UINT, WPARAM, LPARAM);

HINSTANCE instance();

// Registers (once per process) class `name` with the recording procedure
// and `extra` window bytes.
void ensure_class(const char* name, int extra);

// A hidden window of the recording class with `extra` bytes, as the
// product creates them.
HWND make_window(int extra = 0);

// Removes everything waiting in the calling thread's queue.
void drain();

}  // namespace usertest
