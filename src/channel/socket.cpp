// Peripheral socket configuration: one SocketInfo entry per socket
// configured since the link came up, found or made by GetSocketInfo.
#include "channel/channel.h"
#include "debug/cm_debug.h"
#include "link/link.h"
#include "notify/hidden.h"
#include "port/porthandle.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"

#define MLC_CONFIG_SOCKET_LENGTH 13
// The entry count is a byte: more sockets than this cannot be recorded.
#define MLC_MAX_SOCKET_ENTRIES 255

namespace {

// Index of the entry of bPsid, or -1.
int FindSocket(BYTE bPort, const PerPortInfo* lpPPI, BYTE bPsid) {
  if (!lpPPI->hSocketInfoArray || lpPPI->bSocketInfoCount == 0) return -1;
  const SocketInfo* lpSockets = (const SocketInfo*)LockMLCCheck(bPort, lpPPI->hSocketInfoArray);
  if (!lpSockets) return -1;
  int iFound = -1;
  for (int i = 0; i < lpPPI->bSocketInfoCount; ++i) {
    if (lpSockets[i].bPsid == bPsid) {
      iFound = i;
      break;
    }
  }
  UnlockMLCCheck(bPort, lpPPI->hSocketInfoArray);
  return iFound;
}

// Grows the array by one entry and fills its first three bytes: FALSE when
// the block cannot be had (nothing changed).
BOOL AppendSocket(BYTE bPort, PerPortInfo* lpPPI, BYTE bPsid) {
  DWORD dwSize = ((DWORD)lpPPI->bSocketInfoCount + 1) * SOCKET_INFO_SIZE;
  HMEMBLOCK hArray = lpPPI->hSocketInfoArray
                         ? ReAllocMLCCheck(bPort, lpPPI->hSocketInfoArray, dwSize)
                         : AllocMLCCheck(bPort, dwSize);
  if (!hArray) return FALSE;
  lpPPI->hSocketInfoArray = hArray;
  SocketInfo* lpSockets = (SocketInfo*)LockMLCCheck(bPort, hArray);
  if (!lpSockets) return FALSE;
  SocketInfo* lpEntry = &lpSockets[lpPPI->bSocketInfoCount];
  ZeroMemory(lpEntry, sizeof *lpEntry);
  lpEntry->bPsid = bPsid;
  lpEntry->bHostRevision = lpPPI->bHostRevision;
  lpEntry->bPeerRevision = lpPPI->bPeerRevision;
  UnlockMLCCheck(bPort, hArray);
  lpPPI->bSocketInfoCount++;
  return TRUE;
}

// Drops the entry just appended, unless a link reset has emptied the array.
void DropNewSocket(PerPortInfo* lpPPI, HMEMBLOCK hArray, BYTE bCount) {
  if (lpPPI->hSocketInfoArray == hArray && lpPPI->bSocketInfoCount == bCount)
    lpPPI->bSocketInfoCount--;
}

}  // namespace

int GetSocketInfo(BYTE bPort, BYTE bPsid, BYTE bStatusLevel, BOOL* lpfRefused) {
  if (lpfRefused) *lpfRefused = FALSE;
  MLCLOG(DBG_ENTRY, "    GetSocketInfo - Start: bPort %d bPsid %d\n", bPort, bPsid);
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  int iFound = FindSocket(bPort, lpPPI, bPsid);
  if (iFound >= 0) {
    MLCLOG(DBG_EXIT, "    GetSocketInfo - end: Config already exists;returning (iCount)  %d \r\n",
           iFound);
    ReleasePPI(bPort);
    return iFound;
  }
  if (lpPPI->bSocketInfoCount >= MLC_MAX_SOCKET_ENTRIES || !AppendSocket(bPort, lpPPI, bPsid)) {
    ReleasePPI(bPort);
    return MLC_NO_MEMORY;
  }
  HMEMBLOCK hArray = lpPPI->hSocketInfoArray;
  BYTE bCount = lpPPI->bSocketInfoCount;

  BYTE abPacket[MLC_CONFIG_SOCKET_LENGTH];
  BuildCommandHeader(abPacket, sizeof(abPacket));
  abPacket[6] = MLC_CONFIG_SOCKET;
  abPacket[7] = bPsid;
  PutWireWord(abPacket + 8, (WORD)(gTO_PERI_PACKET_SIZE + MLC_HEADER_SIZE));
  PutWireWord(abPacket + 10, (WORD)(gTO_HOST_PACKET_SIZE + MLC_HEADER_SIZE));
  abPacket[12] = bStatusLevel;
  if (!SendPacket(bPort, abPacket, sizeof(abPacket), NULL)) {
    DropNewSocket(lpPPI, hArray, bCount);
    ReleasePPI(bPort);
    return MLC_SOCKET_CONFIG_FAILED;
  }
  MLCLOG(DBG_TRACE, "(   GetSocketInfo - MLC_CONFIG_SOCKET sent ok\n");
  lpPPI->bLastMlcCommand = MLC_CONFIG_SOCKET;
  int iWait = ReceivePacket(bPort, 0, 0, MLC_CONFIG_SOCKET_REPLY, TRUE,
                            (DWORD)gMLC_Packet_TimeOut_While_Not_Busy);
  if (iWait != 0) {
    // A refusal (the reply came with a non-zero result) leaves the link up.
    if (iWait == 1 && lpfRefused) *lpfRefused = TRUE;
    DropNewSocket(lpPPI, hArray, bCount);
    ReleasePPI(bPort);
    return MLC_SOCKET_CONFIG_FAILED;
  }
  int iIndex = lpPPI->bSocketInfoCount - 1;
  MLCLOG(DBG_EXIT, "    GetSocketInfo - end: returning (PPIptr->bSocketInfoCount - 1) = %d \r\n",
         iIndex);
  ReleasePPI(bPort);
  return iIndex;
}

int WINAPI MLCGetSocketInfo(DWORD dwPort, DWORD dwPsid, LPBYTE lpBuffer, int cbBuffer) {
  BYTE bPort = (BYTE)dwPort;
  BYTE bPsid = (BYTE)dwPsid;
  MLCLOG(DBG_ENTRY | DBG_API, " -->MLCGetSocketInfo\n");
  if (bPort >= MLC_PORT_COUNT) return MLC_INVALID_PORT;
  if (!CanSendOnPort(bPort)) return MLC_PHYSICAL_LINK_FAILURE;
  PerPortInfo* lpPPI = ObtainPPI(bPort);
  int iResult = MLC_SUCCESS;
  if (!lpPPI->fMlcInitDone && (MLCInit(bPort) < 0 || !lpPPI->fMlcInitDone)) {
    iResult = MLC_INIT_FAILED;
  } else {
    int iIndex = GetSocketInfo(bPort, bPsid, 0xFF, NULL);
    if (iIndex < 0) {
      iResult = iIndex;
    } else if (lpBuffer && cbBuffer > 0) {
      const SocketInfo* lpEntry = (const SocketInfo*)LockSocketIdx(bPort, (WORD)iIndex);
      if (lpEntry) {
        // Every field that fits whole, at its offset; the rest untouched.
        static const int aiFieldEnd[] = {1, 2, 3, 5, 7, 8};
        int cbCopy = 0;
        for (int iEnd : aiFieldEnd)
          if (iEnd <= cbBuffer) cbCopy = iEnd;
        CopyMemory(lpBuffer, lpEntry, (SIZE_T)cbCopy);
        UnlockSocketIdx(bPort, (WORD)iIndex);
      }
    }
  }
  if (iResult < 0 && AllChannelsClosed()) KillHiddenExe();
  ReleasePPI(bPort);
  MLCLOG(DBG_API | DBG_EXIT, " <--MLCGetSocketInfo exit\n");
  return iResult;
}
