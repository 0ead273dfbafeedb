// A library whose DllMain, as the product's, makes named objects at attach
// and closes them and takes a named mutex at detach (during process exit).
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
