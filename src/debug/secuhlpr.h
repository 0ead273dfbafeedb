// Security attributes for the machine-wide named objects.
#pragma once

#include <windows.h>

// Fills lpsa for objects every user of the machine may open (a descriptor
// with a present NULL access list) and inheritable handles; lpsd must stay
// alive as long as lpsa is used.
BOOL SetSecurityAttributes(SECURITY_ATTRIBUTES* lpsa, SECURITY_DESCRIPTOR* lpsd);

// Hook for reporting a failed system call; reports nothing.
void ShowLastError(LPCSTR lpszMessage);
