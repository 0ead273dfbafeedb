/* Our Win32 subset for POSIX. Product code includes <windows.h> exactly as
 * on Windows; on Linux this header resolves here. Each area of the API has
 * its own header under w32/. */
#ifndef W32POSIX_WINDOWS_H
#define W32POSIX_WINDOWS_H

#include "w32/types.h"
#include "w32/errors.h"
#include "w32/kernel.h"
#include "w32/memory.h"
#include "w32/process.h"
#include "w32/profile.h"
#include "w32/format.h"
#include "w32/security.h"
#include "w32/user.h"

#endif
