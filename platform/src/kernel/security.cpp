// Security descriptors: only the DACL decision matters (see w32/security.h).
#include <string.h>
#include <windows.h>

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                         DWORD dwRevision) {
  if (!pSecurityDescriptor) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (dwRevision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(ERROR_UNKNOWN_REVISION);
    return FALSE;
  }
  memset(pSecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
  ((SECURITY_DESCRIPTOR*)pSecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
  return TRUE;
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent,
                                      PACL pDacl, BOOL bDaclDefaulted) {
  SECURITY_DESCRIPTOR* sd = (SECURITY_DESCRIPTOR*)pSecurityDescriptor;
  if (!sd) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(ERROR_UNKNOWN_REVISION);
    return FALSE;
  }
  if (!bDaclPresent) {
    sd->Control &= (WORD) ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED);
    sd->Dacl = NULL;
    return TRUE;
  }
  sd->Control |= SE_DACL_PRESENT;
  if (bDaclDefaulted) {
    sd->Control |= SE_DACL_DEFAULTED;
  } else {
    sd->Control &= (WORD)~SE_DACL_DEFAULTED;
  }
  sd->Dacl = pDacl;
  return TRUE;
}
