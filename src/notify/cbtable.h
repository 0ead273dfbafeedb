// Client callbacks of this process, reached from the shared channel records
// by a 32-bit key.
//
// A callback pointer is only meaningful in the process that opened the
// channel, and it is 8 bytes wide in 64-bit processes, while the channel
// records in shared memory must have one layout for 32-bit and 64-bit
// clients alike. The records therefore hold a key into this process-local
// table; only the opening process (its callback window) turns the key back
// into the function.
#pragma once

#include <windows.h>

#include "krzmlc15.h"

// Registers lpfnCallBack for this process and takes one reference to it:
// the key (never 0; the same function gets the same key while referenced),
// or 0 when lpfnCallBack is NULL or the table is full.
DWORD RegisterCallBack(MLC_CALLBACK lpfnCallBack);
// The callback of a key of this process, or NULL for 0 and for a key that
// is unknown or was forgotten.
MLC_CALLBACK LookupCallBack(DWORD dwKey);
// Drops one reference taken by RegisterCallBack; the last one frees the
// entry, whose key then finds nothing. Unknown keys are ignored.
void ForgetCallBack(DWORD dwKey);
