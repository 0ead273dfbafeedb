// A shared library with a DllMain, as the product's libraries have one:
// attach creates named objects and detach, while the process exits, closes
// them and takes a named mutex. That must work, or the test program's exit
// fails.
#include <unistd.h>
#include <windows.h>

static HINSTANCE g_instance = NULL;
static int g_attaches = 0;
static HANDLE g_event = NULL;

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID) {
  if (dwReason == DLL_PROCESS_ATTACH) {
    g_instance = hInstance;
    ++g_attaches;
    return (g_event = CreateEventA(NULL, TRUE, FALSE, "kernel_dll attach\n")) != NULL;
  }
  if (dwReason == DLL_PROCESS_DETACH) {
    HANDLE m = CreateMutexA(NULL, TRUE, "kernel_dll detach\n");
    if (!m || !ReleaseMutex(m) || !CloseHandle(m) || !CloseHandle(g_event)) _exit(99);
  }
  return TRUE;
}
W32_DLL_ENTRY(DllMain)

extern "C" W32_EXPORT HINSTANCE kernel_dll_instance(int* attaches) {
  *attaches = g_attaches;
  return g_instance;
}
