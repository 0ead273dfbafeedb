// The diagnostic log: lines chosen per module by a class mask from the INI
// file, written to a log file or to the debugger output.
#pragma once

#include <windows.h>

// Classes of diagnostic lines (bits of wDbWin), and two prefix switches.
#define DBG_ERROR 0x01     // failures and protocol errors
#define DBG_TRACE 0x02     // steps inside operations
#define DBG_ENTRY 0x04     // entry of operations
#define DBG_API 0x08       // entry and exit of exported operations
#define DBG_EXIT 0x10      // exit of operations
#define DBG_VERBOSE 0x20   // mutex releases, block locks, skipped ports
#define DBG_STAMP 0x40     // prefix: process id, thread id, time
#define DBG_NOMODULE 0x80  // leave out the module-name prefix

// Longest line, terminating zero included; longer lines are cut.
#define DBG_LINE_SIZE 512

extern char szDebugModuleName[32];
extern WORD wDbWin;
extern char szDebugLogFile[128];
extern BOOL bLogActive;

// Where a line goes when there is no log file or it cannot be written.
// Normally OutputDebugStringA; tests may point it elsewhere.
extern void(WINAPI* pfnDebugOutput)(LPCSTR lpszLine);

void DBMSG_INIT(LPCSTR lpszModule);
void DebugMsg(LPCSTR lpszFormat, ...);
BOOL WriteLogFile(LPCSTR lpszLine);
WORD fstrtou(LPCSTR lpsz);

// Emits a line when any of its class bits is enabled.
#define MLCLOG(classes, ...)                       \
  do {                                             \
    if (wDbWin & (classes)) DebugMsg(__VA_ARGS__); \
  } while (0)
