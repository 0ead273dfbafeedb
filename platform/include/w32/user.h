/* Window classes, windows, messages and timers.
 *
 * Windows are never shown: they exist to own extra bytes and to receive
 * messages. A window belongs to the thread that created it; its handle is a
 * machine-wide value below 2^31 (so it survives a trip through a 32-bit
 * field in shared memory), valid in every process exactly while the window
 * exists. A slot reused for a later window gets a new generation, so a stale
 * handle never names another window.
 *
 * Every thread that creates a window or asks for messages gets a queue that
 * any thread of any process may post to (bounded at 10 000 posted messages;
 * a full queue fails the post with ERROR_NOT_ENOUGH_QUOTA instead of
 * blocking). A queue, its windows and its timers end with their thread,
 * also when the process is killed. Classes are private to the process that
 * registers them, as on Win32. See platform/README.md, "Windows and
 * messages", for what is deliberately left out. */
#ifndef W32POSIX_USER_H
#define W32POSIX_USER_H

#include "errors.h"
#include "types.h"

#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_CANNOT_FIND_WND_CLASS 1407L
#define ERROR_WINDOW_OF_OTHER_THREAD 1408L
#define ERROR_CLASS_ALREADY_EXISTS 1410L
#define ERROR_CLASS_DOES_NOT_EXIST 1411L
#define ERROR_CLASS_HAS_WINDOWS 1412L
#define ERROR_INVALID_INDEX 1413L
#define ERROR_NOT_ENOUGH_QUOTA 1816L

/* Messages. */
#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_NCCREATE 0x0081
#define WM_NCDESTROY 0x0082
#define WM_TIMER 0x0113
#define WM_USER 0x0400
#define WM_APP 0x8000

/* Window and class styles (accepted; windows are never shown). */
#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_CAPTION 0x00C00000L
#define WS_SYSMENU 0x00080000L
#define WS_THICKFRAME 0x00040000L
#define WS_MINIMIZEBOX 0x00020000L
#define WS_MAXIMIZEBOX 0x00010000L
#define WS_OVERLAPPEDWINDOW \
  (WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX)
#define CS_VREDRAW 0x0001
#define CS_HREDRAW 0x0002
#define CS_GLOBALCLASS 0x4000
#define CW_USEDEFAULT ((int)0x80000000)

/* PeekMessage flags. */
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define PM_NOYIELD 0x0002

/* Window longs with a negative index. */
#define GWL_STYLE (-16)
#define GWL_EXSTYLE (-20)
#define GWLP_WNDPROC (-4)
#define GWLP_HINSTANCE (-6)
#define GWLP_ID (-12)
#define GWLP_USERDATA (-21)

#define USER_TIMER_MINIMUM 0x0000000A
#define USER_TIMER_MAXIMUM 0x7FFFFFFF

#define MAKELPARAM(l, h) ((LPARAM)(DWORD)MAKELONG(l, h))
#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)MAKELONG(l, h))
#define MAKELRESULT(l, h) ((LRESULT)(DWORD)MAKELONG(l, h))
#define MAKEINTATOM(i) ((LPCSTR)((ULONG_PTR)((WORD)(i))))

#ifndef W32POSIX_HAVE_POINT
#define W32POSIX_HAVE_POINT
typedef struct tagPOINT {
  LONG x;
  LONG y;
} POINT, *PPOINT, *LPPOINT;
#endif

typedef LRESULT(CALLBACK *WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef void(CALLBACK *TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);

typedef struct tagWNDCLASSA {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCSTR lpszMenuName;
  LPCSTR lpszClassName;
} WNDCLASSA, *PWNDCLASSA, *LPWNDCLASSA;
typedef WNDCLASSA WNDCLASS;

typedef struct tagCREATESTRUCTA {
  LPVOID lpCreateParams;
  HINSTANCE hInstance;
  HMENU hMenu;
  HWND hwndParent;
  int cy;
  int cx;
  int y;
  int x;
  LONG style;
  LPCSTR lpszName;
  LPCSTR lpszClass;
  DWORD dwExStyle;
} CREATESTRUCTA, *LPCREATESTRUCTA;

typedef struct tagMSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
} MSG, *PMSG, *LPMSG;

/* Classes: per module instance; CS_GLOBALCLASS makes a class visible to
 * every module of the process. Names compare case-insensitively. */
W32_EXTERN_C ATOM WINAPI RegisterClassA(const WNDCLASSA *lpWndClass);
W32_EXTERN_C BOOL WINAPI UnregisterClassA(LPCSTR lpClassName, HINSTANCE hInstance);
W32_EXTERN_C BOOL WINAPI GetClassInfoA(HINSTANCE hInstance, LPCSTR lpClassName,
                                       LPWNDCLASSA lpWndClass);

/* Windows: style, position, size, parent and menu are accepted and ignored.
 * WM_NCCREATE and WM_CREATE are sent during creation; DestroyWindow (owner
 * thread only) sends WM_DESTROY and WM_NCDESTROY. */
W32_EXTERN_C HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName,
                                         DWORD dwStyle, int X, int Y, int nWidth, int nHeight,
                                         HWND hWndParent, HMENU hMenu, HINSTANCE hInstance,
                                         LPVOID lpParam);
#define CreateWindowA(cls, name, style, x, y, w, h, parent, menu, inst, param) \
  CreateWindowExA(0, cls, name, style, x, y, w, h, parent, menu, inst, param)
W32_EXTERN_C BOOL WINAPI DestroyWindow(HWND hWnd);
W32_EXTERN_C BOOL WINAPI IsWindow(HWND hWnd);
W32_EXTERN_C LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
W32_EXTERN_C DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId);

/* Extra bytes at any byte offset (unaligned included) and the negative
 * indexes above. Only within the process that owns the window; from
 * another process they fail with ERROR_ACCESS_DENIED. */
W32_EXTERN_C WORD WINAPI GetWindowWord(HWND hWnd, int nIndex);
W32_EXTERN_C WORD WINAPI SetWindowWord(HWND hWnd, int nIndex, WORD wNewWord);
W32_EXTERN_C LONG WINAPI GetWindowLongA(HWND hWnd, int nIndex);
W32_EXTERN_C LONG WINAPI SetWindowLongA(HWND hWnd, int nIndex, LONG dwNewLong);
W32_EXTERN_C LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex);
W32_EXTERN_C LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong);

/* Messages. */
W32_EXTERN_C BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
W32_EXTERN_C LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
W32_EXTERN_C BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin,
                                      UINT wMsgFilterMax, UINT wRemoveMsg);
W32_EXTERN_C BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin,
                                     UINT wMsgFilterMax);
W32_EXTERN_C void WINAPI PostQuitMessage(int nExitCode);
W32_EXTERN_C BOOL WINAPI TranslateMessage(const MSG *lpMsg);
W32_EXTERN_C LRESULT WINAPI DispatchMessageA(const MSG *lpMsg);

/* Timers: WM_TIMER is produced by the owning thread's message loop when no
 * posted message is waiting, at most one per timer at a time. */
W32_EXTERN_C UINT_PTR WINAPI SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse,
                                      TIMERPROC lpTimerFunc);
W32_EXTERN_C BOOL WINAPI KillTimer(HWND hWnd, UINT_PTR uIDEvent);

/* 0 once a thread of the process waits for messages with an empty queue
 * (or the process has ended), WAIT_TIMEOUT when that does not happen in
 * time, WAIT_FAILED for an invalid process handle. */
W32_EXTERN_C DWORD WINAPI WaitForInputIdle(HANDLE hProcess, DWORD dwMilliseconds);

#define RegisterClass RegisterClassA
#define UnregisterClass UnregisterClassA
#define GetClassInfo GetClassInfoA
#define CreateWindowEx CreateWindowExA
#define CreateWindow CreateWindowA
#define DefWindowProc DefWindowProcA
#define GetWindowLong GetWindowLongA
#define SetWindowLong SetWindowLongA
#define GetWindowLongPtr GetWindowLongPtrA
#define SetWindowLongPtr SetWindowLongPtrA
#define PostMessage PostMessageA
#define SendMessage SendMessageA
#define PeekMessage PeekMessageA
#define GetMessage GetMessageA
#define DispatchMessage DispatchMessageA

#endif
