/* Security descriptors, reduced to what decides who may open a named object.
 *
 * On this platform a named object (mutex, event, file mapping) is a file in
 * /dev/shm. Its permission bits follow from the SECURITY_ATTRIBUTES given
 * when it is created:
 *   - a descriptor with a NULL DACL present (SetSecurityDescriptorDacl with
 *     bDaclPresent TRUE and pDacl NULL): every local user may open it, mode
 *     0666 (set with fchmod, so the umask does not narrow it);
 *   - no attributes, no descriptor, or any other DACL: only the creating
 *     user may open it, mode 0600 (ACL contents are not interpreted).
 * Opening an object one may not open fails with ERROR_ACCESS_DENIED. */
#ifndef W32POSIX_SECURITY_H
#define W32POSIX_SECURITY_H

#include "types.h"

#define SECURITY_DESCRIPTOR_REVISION 1
#define SECURITY_DESCRIPTOR_MIN_LENGTH 40
#define SE_DACL_PRESENT 0x0004
#define SE_DACL_DEFAULTED 0x0008

typedef WORD SECURITY_DESCRIPTOR_CONTROL;
typedef struct _ACL {
  BYTE AclRevision;
  BYTE Sbz1;
  WORD AclSize;
  WORD AceCount;
  WORD Sbz2;
} ACL, *PACL;

/* The absolute form, with the Windows field order. */
typedef struct _SECURITY_DESCRIPTOR {
  BYTE Revision;
  BYTE Sbz1;
  SECURITY_DESCRIPTOR_CONTROL Control;
  PVOID Owner;
  PVOID Group;
  PACL Sacl;
  PACL Dacl;
} SECURITY_DESCRIPTOR, *PISECURITY_DESCRIPTOR;
typedef PVOID PSECURITY_DESCRIPTOR;

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

W32_EXTERN_C BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                                      DWORD dwRevision);
W32_EXTERN_C BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                                   BOOL bDaclPresent, PACL pDacl,
                                                   BOOL bDaclDefaulted);

#endif
