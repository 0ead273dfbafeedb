// A shared library with a DllMain, as the product's libraries have one.
#include <windows.h>

namespace {
HINSTANCE g_instance = NULL;
int g_attaches = 0;
}  // namespace

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID) {
  if (dwReason == DLL_PROCESS_ATTACH) {
    g_instance = hInstance;
    ++g_attaches;
  }
  return TRUE;
}
W32_DLL_ENTRY(DllMain)

extern "C" W32_EXPORT HINSTANCE kernel_dll_instance(int* attaches) {
  *attaches = g_attaches;
  return g_instance;
}
