#include "debug/secuhlpr.h"

void ShowLastError(LPCSTR lpszMessage) { (void)lpszMessage; }

BOOL SetSecurityAttributes(SECURITY_ATTRIBUTES* lpsa, SECURITY_DESCRIPTOR* lpsd) {
  lpsa->nLength = sizeof(SECURITY_ATTRIBUTES);
  lpsa->bInheritHandle = TRUE;
  lpsa->lpSecurityDescriptor = lpsd;
  if (!InitializeSecurityDescriptor(lpsd, SECURITY_DESCRIPTOR_REVISION)) {
    ShowLastError("InitializeSecurityDescriptor() failure");
    return FALSE;
  }
  if (!SetSecurityDescriptorDacl(lpsd, TRUE, NULL, FALSE)) {
    ShowLastError("SetSecurityDescriptorDacl() failure");
    return FALSE;
  }
  return TRUE;
}
