// KRZCOM15's host and peripheral interfaces as the emulator includes them.
#ifndef EMU_WIRE_API_H
#define EMU_WIRE_API_H

#include <windows.h>
// krzcom15.h defines CE_PTO with the same value as the system header but a
// different spelling, which the compilers warn about; keep its definition.
#undef CE_PTO
#include <vperi.h>

#endif
