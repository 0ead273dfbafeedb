// The check of a port's receive-credit books, for tests: every stream
// channel with a ring keeps
//   bytes in the ring + wAvailBytes + P x wPeriPtoHCredits = P x G
// (P the socket's peripheral-to-host packet size, G the credit granted at
// open, the ring's size in whole packets), and every message channel keeps
// its unread messages plus the grants the peripheral holds within its slots.
#pragma once

#include <windows.h>

// TRUE when the books of every open channel of bPort hold (a port without
// link holds trivially). Otherwise FALSE, with the first broken book
// described in lpszWhy (cchWhy bytes, may be NULL). Takes the port's mutex;
// call it between operations, not from inside one. The direct reader's
// channel grants on its own terms and is not checked.
BOOL CreditBooksHold(BYTE bPort, char* lpszWhy, DWORD cchWhy);
