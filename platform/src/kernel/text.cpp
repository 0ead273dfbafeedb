// lstr helpers and debugger output.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>
#include <windows.h>

int WINAPI lstrlenA(LPCSTR lpString) { return lpString ? (int)strlen(lpString) : 0; }

LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2) {
  if (!lpString1 || !lpString2) return NULL;
  return strcpy(lpString1, lpString2);
}

LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength) {
  if (!lpString1 || !lpString2 || iMaxLength <= 0) return lpString1;
  int i = 0;
  for (; i < iMaxLength - 1 && lpString2[i]; ++i) lpString1[i] = lpString2[i];
  lpString1[i] = '\0';
  return lpString1;
}

LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2) {
  if (!lpString1 || !lpString2) return NULL;
  return strcat(lpString1, lpString2);
}

int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2) {
  int r = strcmp(lpString1 ? lpString1 : "", lpString2 ? lpString2 : "");
  return r < 0 ? -1 : r > 0 ? 1 : 0;
}

int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) {
  int r = strcasecmp(lpString1 ? lpString1 : "", lpString2 ? lpString2 : "");
  return r < 0 ? -1 : r > 0 ? 1 : 0;
}

void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
  if (!lpOutputString) return;
  size_t len = strlen(lpOutputString);
  const char* sink = getenv("W32POSIX_DEBUG_SINK");
  int fd = 2;
  if (sink && *sink) {
    fd = open(sink, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) fd = 2;
  }
  // One write per call keeps concurrent writers' texts whole.
  ssize_t r = write(fd, lpOutputString, len);
  (void)r;
  if (fd != 2) close(fd);
}
