// Telling clients of channel events, and the waits of blocking calls.
//
// Every event of a channel (data arrived, credit arrived, a message arrived,
// the channel went down) goes to one target: the window of a blocking call
// of the channel while one waits, else the client's own window, else the
// callback window of the client that gave a callback. Handles that are no
// longer windows get nothing.
#pragma once

#include <windows.h>

#include "channel/chanrec.h"
#include "krzmlc15.h"

// Where the events of one channel go, read from its record.
struct ChannelTargets {
  BYTE bPort;
  BYTE bHsid;
  DWORD hMlcWnd;
  DWORD hAppWnd;
  DWORD hCallBackWnd;
  WORD wAppMsg;
  DWORD dwAppData;
  ULONG_PTR lpfnCallBack;
};

template <class Record>
ChannelTargets TargetsOf(const Record* lpRecord) {
  return ChannelTargets{lpRecord->bPort,     lpRecord->bHsid,        lpRecord->hMlcWnd,
                        lpRecord->hAppWnd,   lpRecord->hCallBackWnd, lpRecord->wAppMsg,
                        lpRecord->dwAppData, lpRecord->lpfnCallBack};
}

// Posts event wCode (MLC_READ_STREAM ... MLC_DISCONNECT) with count wCount:
// to the blocking call's window (MLC_NOTIFY_MSG, wParam dwAppData, lParam
// MAKELPARAM(code, count)) when fWaitWindow allows and one waits; else to
// the client's window (its message, same parameters); else to the callback
// window (MLC_CALLBACK_MSG, wParam code, lParam port << 8 | host socket).
void PostChannelEvent(const ChannelTargets& targets, WORD wCode, WORD wCount, BOOL fWaitWindow);

// The event to whoever waits for it. The caller holds the port's mutex with
// the record locked.
inline void NotifyChannel(StreamChannel* lpStream, WORD wCode, WORD wCount) {
  PostChannelEvent(TargetsOf(lpStream), wCode, wCount, TRUE);
}
inline void NotifyChannel(MessageChannel* lpMsgChan, WORD wCode, WORD wCount) {
  PostChannelEvent(TargetsOf(lpMsgChan), wCode, wCount, TRUE);
}

// A blocking call ends (its window no longer published, the record locked
// under the port's mutex): the data, credit and message events still queued
// for its window go to the client's own target, which would otherwise never
// hear of them (the arrival that posted them is not posted again).
void HandOverWaitEvents(HWND hWnd, const ChannelTargets& targets);

// A blocking call's window got an event it does not wait for: the client's
// own target gets it instead. Takes the port's mutex; nothing happens when
// the channel is gone.
void ForwardChannelEvent(WORD hChannel, WORD wCode, WORD wCount);

// The channel is going down (its record is locked under the port's mutex):
// a waiting blocking call is told MLC_DISCONNECT; with fNotifyClient and the
// record's fNotifyOnClose the client is told too (its window gets its
// message; a callback client gets HIDDEN_DISCONNECT_LPT1 + port posted to
// its callback window); then the callback window is closed (WM_CLOSE after
// the disconnect) and forgotten.
void PostChannelClose(const ChannelTargets& targets, BOOL fTellClient);
template <class Record>
void NotifyChannelClose(Record* lpRecord, BOOL fNotifyClient) {
  PostChannelClose(TargetsOf(lpRecord), fNotifyClient && lpRecord->fNotifyOnClose);
  lpRecord->hCallBackWnd = 0;
}

// ---- Blocking calls (waitwnd.cpp, p1284wnd.cpp) ----

// What the window of a blocking call waits for.
#define WAIT_STREAM_READ 1   // bytes into the caller's buffer
#define WAIT_STREAM_WRITE 2  // bytes out of the caller's buffer
#define WAIT_EVENT 3         // one event code (a message arrived)

// The window's state in this process (GWLP_USERDATA points at it). The
// extra bytes hold the channel handle (offset 0), the low 32 bits of the
// next byte's address (2), the bytes still to move (6) and the error word (8).
struct WaitState {
  int iKind;
  WORD hChannel;
  BYTE* lpNext;     // stream read or write: next byte of the caller's buffer
  WORD wEventCode;  // WAIT_EVENT: the code that ends the wait
  // This process's open the wait began on (ownopen.h), set when the window
  // is made: an event for a later open of the slot does not serve it.
  DWORD dwOpenSerial;
};
#define WAIT_WND_CHANNEL 0
#define WAIT_WND_ADDRESS 2
#define WAIT_WND_REMAINING 6
#define WAIT_WND_ERROR 8

// A blocking-call window of the calling thread for lpState, wRemaining
// bytes (or 1 for an event) still to come: the window, or NULL (no module
// instance, or no window). The class is registered in this process on
// first use.
HWND CreateWaitWindow(WaitState* lpState, WORD wRemaining);
// Sleeps in the window's message loop, holding no lock, until nothing
// remains (0), the error word is set (MLC_PHYSICAL_LINK_FAILURE) or
// dwTimeOut ms passed (MLC_TIME_OUT; INFINITE: never). When a poll period
// (MIN_POLL_INTERVAL) passes, the waiter polls the port itself once, in case
// no helper does.
int RunWaitWindow(HWND hWnd, DWORD dwTimeOut);
// Bytes still to move.
WORD WaitRemaining(HWND hWnd);
void DestroyWaitWindow(HWND hWnd);

// The handler of MLC_NOTIFY_MSG for a blocking-call window (P1284WndProc).
void HandleWaitNotify(HWND hWnd, WORD wCode, WORD wCount);
// The waiter's own poll at the end of a poll period without news.
void HandleWaitTick(HWND hWnd);

// Waits for one event on a channel of either type (a blocking message read
// waits for MLC_READ_PACKET and then reads the message itself). The caller
// holds the port's mutex once, with the record unlocked, and has seen that
// the event is still to come; it holds the mutex once again on return and
// must re-validate the channel before using it. 1 when wCode
// came, MLC_TIME_OUT, MLC_PHYSICAL_LINK_FAILURE (closed, reset, or the wait
// failed), MLC_SYSTEM_FAILURE (no window), MLC_CHANNEL_BUSY (another
// blocking call waits on the channel).
int WaitForChannelEvent(WORD hChannel, WORD wCode, DWORD dwTimeOut);
