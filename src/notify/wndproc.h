// Window classes and window procedures of the library.
#pragma once

#include <windows.h>

#include "krzmlc15.h"

// Class of the windows of blocking calls (registered by MLCSetup).
#define MLC_HIDDEN_WND_CLASS "KRZHID15_WndClass"
// Class of the callback windows (registered when a channel with a callback
// is opened).
#define MLC_CALLBACK_WND_CLASS "KRZCallBack_WndClass"
// Extra bytes of a blocking-call window: channel handle (2), buffer address
// or message slot (4), remaining count (2), error flag (2).
#define MLC_WAIT_WND_EXTRA 10

// P1284WndProc and CallBackWndProc are exported (krzmlc15.h).
// A callback window of the calling thread for the callback of key
// dwCallBackKey (notify/cbtable.h), kept in the window's GWLP_USERDATA; the
// window drops that key's reference when it is destroyed. The class is
// registered on first use and stays until MLCCleanup. The window, or NULL.
HWND CreateCallBackWindow(DWORD dwCallBackKey);
