// The machine-wide named mutexes guarding the shared records, the PML
// init/deinit event, and the operations that take and release them.
//
// Lock order: the attach mutex first; a port's PPI mutex before its Read
// mutex and before the MGD mutex; never the PPI mutexes of two ports at once.
#pragma once

#include <windows.h>

#include "shared/records.h"

extern HANDLE PPI_Mutex[MLC_PORT_COUNT];   // "PPI_API_MUTEX_<port>": the port's record and blocks
extern HANDLE Read_Mutex[MLC_PORT_COUNT];  // "READ_API_MUTEX_<port>": reading the port's wire
extern HANDLE MGD_Mutex;                   // "KRZMLC15_MLCMGDMutex_": MlcGlobalData
extern HANDLE Attach_Mutex;                // "KRZMLC15_MLCAttachMutex_": joining and leaving
extern HANDLE hPMLInitDeInit;              // "PML_INIT_DEINIT_EVENT"

// Creates (or opens) every mutex and the event; FALSE when a mutex fails.
BOOL CreateGlobalMutexes();
// In a process that joined existing shared state: opens the PPI and MGD
// mutexes again by name and uses those handles.
void FillMutexArray();
// Closes this process's mutex and event handles; TRUE.
BOOL CloseGlobalMutexes();

// Thread-local records of the per-packet paths. The default model: the
// library must stay loadable at run time (dlopen, LoadLibrary), where the
// faster initial-exec model may find no static thread storage left.
#define MLC_THREAD_LOCAL thread_local

// Takes the port's PPI mutex without limit; the port's record.
PerPortInfo* ObtainPPI(BYTE bPort);
// Takes it for at most gPPI_Mutex_Timeout ms; NULL when that ran out.
PerPortInfo* CheckPPI(BYTE bPort);
// The port's record without taking the mutex (last process's teardown only).
PerPortInfo* ObtainPPINoWait(BYTE bPort);
void ReleasePPI(BYTE bPort);
// TRUE while the calling thread holds the port's PPI mutex.
BOOL HoldsPPI(BYTE bPort);
// Releases the mutex once when lpPPI (a CheckPPI result) is not NULL.
void CheckReleasePPI(PerPortInfo* lpPPI, BYTE bPort);

MlcGlobalData* ObtainMGD();
void ReleaseMGD();

// Joining the shared state at attach and leaving it at detach (the count of
// attached processes and the last process's teardown) hold the attach
// mutex, so a process never joins records that are being torn down.
void ObtainAttach();
void ReleaseAttach();

// Channel records and socket entries by index. Each takes and releases the
// port's PPI mutex itself; callers may hold it already (it is recursive).
BYTE GetTypeIdx(BYTE bPort, BYTE bIndex);
LPVOID LockChannelIdx(BYTE bPort, BYTE bIndex);
// The record of the slot, locked, when it is of bType (MLC_STREAM_CHANNEL,
// MLC_PACKET_CHANNEL); NULL otherwise. The type is read under the same hold
// of the port's mutex that locks the record: a reset and a reopen between
// a caller's earlier look at the type and its use cannot change it.
LPVOID LockChannelOfType(BYTE bPort, BYTE bIndex, BYTE bType);
void UnlockChannelIdx(BYTE bPort, BYTE bIndex);
BOOL ValidChannelIdx(BYTE bPort, BYTE bIndex);
void UnlockAllLocksChannelIdx(BYTE bPort, BYTE bIndex);
LPVOID LockSocketIdx(BYTE bPort, WORD wIndex);
void UnlockSocketIdx(BYTE bPort, WORD wIndex);
