/* The "memory" backend of KRZCOM15: a port whose peripheral is the calling
 * process itself, for tests that script the peripheral's bytes exactly (the
 * fuzzer among them). Select it per port in KRZCOM15.INI:
 *
 *     [LPT1]
 *     Backend=memory
 *
 * The port is an in-process record shared by every handle of the port in
 * this process. Bytes fed to it are read by the host in the pieces they were
 * fed in (one piece per read at most: a read never joins two pieces), so a
 * test controls how a packet is split across reads. What the host writes is
 * counted and its last bytes kept. The device ID is the one fed last (none:
 * a plain MLC printer), the capability word 4 (ECP), the connection good. */
#ifndef VMEM_H
#define VMEM_H

#include <windows.h>

/* VCOMM_EscapeCommFunction(handle, VMEM_ESC_FEED, &feed, NULL): queue bytes. */
#define VMEM_ESC_FEED 0x4D46
/* VCOMM_EscapeCommFunction(handle, VMEM_ESC_TAKE, NULL, &taken): what the
 * host wrote since the last take, and forget the pieces not yet read. */
#define VMEM_ESC_TAKE 0x4D54
/* VCOMM_EscapeCommFunction(handle, VMEM_ESC_DEVICE_ID, &id, NULL): the ID
 * text the next GET_DEVICE_ID escape returns (length bytes included). */
#define VMEM_ESC_DEVICE_ID 0x4D49

/* VCOMM_EscapeCommFunction(handle, VMEM_ESC_RESPONDER, &responder, NULL):
 * every write of the host is handed to pfnWritten (outside the port's lock,
 * so it may feed the answer at once); a NULL function removes it. */
#define VMEM_ESC_RESPONDER 0x4D52

typedef struct VMemResponder {
  void (*pfnWritten)(void* pContext, const BYTE* pbBytes, DWORD cbBytes);
  void* pContext;
} VMemResponder;

typedef struct VMemFeed {
  const BYTE* pbBytes;
  DWORD cbBytes; /* queued as one piece */
} VMemFeed;

#define VMEM_KEPT 512 /* last host bytes kept by the port */

typedef struct VMemTaken {
  DWORD cbWritten;        /* bytes the host wrote since the last take */
  DWORD cbUnread;         /* fed bytes the host had not read (dropped now) */
  DWORD cbKept;           /* how many of the last written bytes follow */
  BYTE abKept[VMEM_KEPT]; /* the last bytes written, oldest first */
} VMemTaken;

#endif
