// Shared helpers of the window and message conformance tests.
#pragma once

#include <windows.h>

#include <vector>

namespace usertest {

// A message as the recording window procedure saw it.
struct Seen {
  HWND hwnd;
  UINT msg;
  WPARAM wp;
  LPARAM lp;
};

// Messages the recording procedure got, in order (only touched by threads
// that do not run at the same time; tests clear it first).
std::vector<Seen>& seen();

// Records the message; WM_USER + 100 answers wParam + lParam, WM_USER + 101
// posts WM_USER + 102 to the window and answers 77; everything else goes to
// DefWindowProcA.
LRESULT CALLBACK record_proc(HWND, UINT, WPARAM, LPARAM);

HINSTANCE instance();

// A hidden window of a recording class with `extra` window bytes, created
// as the product creates its windows.
HWND make_window(int extra = 0);

// Removes everything waiting in the calling thread's queue.
void drain();

}  // namespace usertest
