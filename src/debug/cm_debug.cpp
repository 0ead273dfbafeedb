#include "debug/cm_debug.h"

#include <stdarg.h>
#include <string.h>

char szDebugModuleName[32] = "";
WORD wDbWin = 0;
char szDebugLogFile[128] = "";
BOOL bLogActive = FALSE;

static void WINAPI DefaultDebugOutput(LPCSTR lpszLine) { OutputDebugStringA(lpszLine); }
void(WINAPI* pfnDebugOutput)(LPCSTR lpszLine) = DefaultDebugOutput;

static const char szIniFile[] = "KRZTBX15.INI";
static const char szDebugSection[] = "DebugMsg";
static const char szLogFileMutex[] = "KRZMLC15_LogFileMutex";

WORD fstrtou(LPCSTR lpsz) {
  WORD wValue = 0;
  while (*lpsz >= '0' && *lpsz <= '9') {
    wValue = (WORD)(wValue * 10 + (*lpsz - '0'));
    ++lpsz;
  }
  return wValue;
}

void DBMSG_INIT(LPCSTR lpszModule) {
  strncpy(szDebugModuleName, lpszModule, sizeof(szDebugModuleName) - 1);
  szDebugModuleName[sizeof(szDebugModuleName) - 1] = '\0';
  wDbWin = 0;

  // The mask: decimal numbers separated by blanks, plus signs or commas,
  // summed ("1+2+64"). A piece that is not a number counts 0.
  char szMask[DBG_LINE_SIZE];
  GetPrivateProfileStringA(szDebugSection, szDebugModuleName, "", szMask, sizeof(szMask),
                           szIniFile);
  const char* lpszPiece = szMask;
  for (;;) {
    wDbWin = (WORD)(wDbWin + fstrtou(lpszPiece));
    lpszPiece += strcspn(lpszPiece, " +,");
    if (*lpszPiece == '\0') break;
    ++lpszPiece;
  }

  GetPrivateProfileStringA(szDebugSection, "LogFile", "", szDebugLogFile, sizeof(szDebugLogFile),
                           szIniFile);
  bLogActive = szDebugLogFile[0] != '\0';
}

BOOL WriteLogFile(LPCSTR lpszLine) {
  // Every writer seeks to the end and writes: two that seek at the same
  // moment write at the same place, and one line overwrites the other. The
  // seek and the write are one step under a machine-wide mutex, opened per
  // line like the file; a writer that does not get it in a second (a hung
  // logger) writes anyway rather than stop its caller.
  HANDLE hLock = CreateMutexA(NULL, FALSE, szLogFileMutex);
  DWORD dwWait = hLock ? WaitForSingleObject(hLock, 1000) : WAIT_FAILED;
  BOOL fLocked = dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED;
  HFILE hFile = _lopen(szDebugLogFile, OF_READWRITE);
  if (hFile == HFILE_ERROR) hFile = _lcreat(szDebugLogFile, 0);
  if (hFile != HFILE_ERROR) {
    _llseek(hFile, 0, FILE_END);
    _lwrite(hFile, lpszLine, (UINT)strlen(lpszLine));
    _lclose(hFile);
  }
  if (fLocked) ReleaseMutex(hLock);
  if (hLock) CloseHandle(hLock);
  return hFile != HFILE_ERROR;
}

// Each thread builds its lines in its own storage, so lines of threads that
// log at the same moment never mix. The message is formatted on its own
// first (wvsprintfA writes at most 1024 characters and a terminator), then
// joined to the prefixes and cut to DBG_LINE_SIZE - 1 characters.
static thread_local char tlsMessage[1025];
static thread_local char tlsLine[DBG_LINE_SIZE];

void DebugMsg(LPCSTR lpszFormat, ...) {
  char* lpszLine = tlsLine;
  size_t cbUsed = 0;
  if (wDbWin & DBG_STAMP) {
    DWORD dwTick = GetTickCount();
    cbUsed += wsprintfA(lpszLine, "%08lX/%08lX  ", (DWORD)GetCurrentProcessId(),
                        (DWORD)GetCurrentThreadId());
    cbUsed += wsprintfA(lpszLine + cbUsed, "%5lu.%03lu  ", dwTick / 1000, dwTick % 1000);
  }
  if (!(wDbWin & DBG_NOMODULE)) {
    cbUsed += wsprintfA(lpszLine + cbUsed, "%s: ", szDebugModuleName);
  }

  va_list args;
  va_start(args, lpszFormat);
  wvsprintfA(tlsMessage, lpszFormat, args);
  va_end(args);
  tlsMessage[sizeof(tlsMessage) - 1] = '\0';

  size_t cbMessage = strlen(tlsMessage);
  size_t cbRoom = DBG_LINE_SIZE - 1 - cbUsed;
  if (cbMessage > cbRoom) cbMessage = cbRoom;
  memcpy(lpszLine + cbUsed, tlsMessage, cbMessage);
  lpszLine[cbUsed + cbMessage] = '\0';

  if (!bLogActive || !WriteLogFile(lpszLine)) pfnDebugOutput(lpszLine);
}
