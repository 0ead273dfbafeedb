// Reading the shared state. The names and sizes of the areas, blocks and
// mutexes are the library's; the records are shared/layout.h. Every area,
// named block and lock taken here is given back before the next step, so a
// library process never waits on this tool longer than one copy.
#include "snapshot.h"

#include <string.h>

#include "krzmem15.h"
#include "krzmlc15.h"
#include "shared/sharedmem.h"

namespace krzstat {
namespace {

const char* const kPortNames[3] = {"LPT1", "LPT2", "LPT3"};
const char kGlobalArea[] = "KRZMLC15_MLCGlobal_";
const char kGlobalMutex[] = "KRZMLC15_MLCMGDMutex_";
// A message queue longer than any port area could hold is a broken chain.
const int kMaxQueueWalk = 4096;

// A named mutex of the library, waited for at most dwWaitMs: the handle
// (owned, to be released and closed), or NULL.
HANDLE TakeMutex(const char* lpszName, DWORD dwWaitMs) {
  HANDLE hMutex = OpenMutexA(SYNCHRONIZE, FALSE, lpszName);
  if (!hMutex) return NULL;
  DWORD dwWait = WaitForSingleObject(hMutex, dwWaitMs);
  if (dwWait != WAIT_OBJECT_0 && dwWait != WAIT_ABANDONED) {
    CloseHandle(hMutex);
    return NULL;
  }
  return hMutex;
}

void GiveMutex(HANDLE hMutex) {
  ReleaseMutex(hMutex);
  CloseHandle(hMutex);
}

// Copies cb bytes of a block; FALSE when the handle names no block.
BOOL CopyBlock(HMEMAREA hArea, HMEMBLOCK hBlock, void* lpTo, size_t cb) {
  const void* lpFrom = hBlock ? memLockBlock(hArea, hBlock) : NULL;
  if (!lpFrom) return FALSE;
  memcpy(lpTo, lpFrom, cb);
  memUnlockBlock(hArea, hBlock);
  return TRUE;
}

// Copies a named block of the global area (one reference, dropped again).
BOOL CopyNamedBlock(HMEMAREA hArea, const char* lpszName, void* lpTo, size_t cb) {
  HMEMBLOCK hBlock = memAllocNamedBlock(hArea, (DWORD)cb, lpszName);
  if (!hBlock) return FALSE;
  BOOL fCopied = CopyBlock(hArea, hBlock, lpTo, cb);
  memFreeNamedBlock(hArea, lpszName);
  return fCopied;
}

DWORD WindowPid(DWORD dwWnd) {
  HWND hWnd = (HWND)(ULONG_PTR)dwWnd;
  DWORD dwPid = 0;
  if (hWnd && IsWindow(hWnd)) GetWindowThreadProcessId(hWnd, &dwPid);
  return dwPid;
}

// The blocks of one port, under its mutex, from its area.
void CopyPortBlocks(HMEMAREA hArea, PortCopy& port) {
  const PerPortInfo& info = port.info;
  if (info.hSocketInfoArray && info.bSocketInfoCount) {
    port.sockets.resize(info.bSocketInfoCount);
    if (!CopyBlock(hArea, info.hSocketInfoArray, port.sockets.data(),
                   port.sockets.size() * sizeof(SocketInfo)))
      port.sockets.clear();
  }
  if (!info.hChanPtrArray || !info.bChannelsAllocated) return;
  std::vector<HMEMBLOCK> slots(info.bChannelsAllocated);
  if (!CopyBlock(hArea, info.hChanPtrArray, slots.data(), slots.size() * sizeof(HMEMBLOCK))) return;
  for (size_t i = 0; i < slots.size(); ++i) {
    if (!slots[i]) continue;
    ChannelCopy channel;
    channel.bSlot = (BYTE)i;
    BYTE bType = 0;
    if (!CopyBlock(hArea, slots[i], &bType, 1)) continue;
    channel.bType = bType;
    if (bType == MLC_STREAM_CHANNEL) {
      CopyBlock(hArea, slots[i], &channel.stream, sizeof channel.stream);
    } else if (bType == MLC_PACKET_CHANNEL) {
      CopyBlock(hArea, slots[i], &channel.message, sizeof channel.message);
      HMEMBLOCK hNode = channel.message.hMsgQueueHead;
      for (int n = 0; hNode && n < kMaxQueueWalk; ++n) {
        QueuedMessage node;
        if (!CopyBlock(hArea, hNode, &node, sizeof node)) break;
        channel.dwQueuedBytes += node.wMsgLength;
        hNode = node.hNext;
      }
    }
    port.channels.push_back(channel);
  }
}

void CopyPort(HMEMAREA hGlobal, BYTE bPort, DWORD dwWaitMs, PortCopy& port) {
  port.bPort = bPort;
  char szName[64];
  wsprintfA(szName, "PPI_API_MUTEX_%s", kPortNames[bPort]);
  HANDLE hMutex = TakeMutex(szName, dwWaitMs);
  if (!hMutex) {
    port.state = PortState::kBusy;
    return;
  }
  PerPortInfo all[3];
  if (!CopyNamedBlock(hGlobal, "PORTS", all, sizeof all)) {
    GiveMutex(hMutex);
    return;
  }
  port.info = all[bPort];
  port.state = PortState::kCopied;
  if (port.info.hChanPtrArray || port.info.hSocketInfoArray || port.info.hDeviceID) {
    // Library processes have this area mapped while the record names
    // blocks; one made anew here means they are gone with it.
    wsprintfA(szName, "%s%s%s\n", "KRZMLC15", "_SHARED_PORT_", kPortNames[bPort]);
    BOOL fNew = FALSE;
    HMEMAREA hArea = memCreateSharedArea(MLC_PORT_AREA_SIZE, szName, MLC_PORT_AREA_MAX, &fNew);
    if (hArea && !fNew) CopyPortBlocks(hArea, port);
    if (!hArea || fNew) port.state = PortState::kLost;
    if (hArea) memReleaseSharedArea(hArea);
  }
  GiveMutex(hMutex);
  for (ChannelCopy& channel : port.channels) {
    DWORD dwAppWnd =
        channel.bType == MLC_PACKET_CHANNEL ? channel.message.hAppWnd : channel.stream.hAppWnd;
    DWORD dwCallBackWnd = channel.bType == MLC_PACKET_CHANNEL ? channel.message.hCallBackWnd
                                                              : channel.stream.hCallBackWnd;
    channel.dwOwnerPid = WindowPid(dwAppWnd ? dwAppWnd : dwCallBackWnd);
  }
}

}  // namespace

Snapshot Take(DWORD dwWaitMs) {
  Snapshot snap;
  snap.dwTakenTick = GetTickCount();
  // The library's global mutex exists exactly while a process has it loaded.
  HANDLE hProbe = OpenMutexA(SYNCHRONIZE, FALSE, kGlobalMutex);
  if (!hProbe) return snap;
  CloseHandle(hProbe);
  BOOL fNew = FALSE;
  HMEMAREA hGlobal =
      memCreateSharedArea(MLC_GLOBAL_AREA_SIZE, kGlobalArea, MLC_GLOBAL_AREA_MAX, &fNew);
  if (!hGlobal) return snap;
  if (!fNew) {
    snap.fLoaded = TRUE;
    HANDLE hMutex = TakeMutex(kGlobalMutex, dwWaitMs);
    snap.fGlobalBusy = !hMutex;
    if (hMutex) {
      CopyNamedBlock(hGlobal, "GLOBAL", &snap.global, sizeof snap.global);
      GiveMutex(hMutex);
    }
    {
      for (BYTE bPort = 0; bPort < 3; ++bPort)
        CopyPort(hGlobal, bPort, dwWaitMs, snap.ports[bPort]);
      HWND hHelper = (HWND)(ULONG_PTR)snap.global.hHiddenWnd;
      snap.fHelperWindow = hHelper && IsWindow(hHelper);
      snap.dwHelperPid = WindowPid(snap.global.hHiddenWnd);
    }
  }
  memReleaseSharedArea(hGlobal);
  return snap;
}

}  // namespace krzstat
