// The poll of all ports, its statistics, and the switch of the helper's
// poll timer between its short and long period.
#include "notify/poll.h"

#include "channel/channel.h"
#include "debug/cm_debug.h"
#include "link/link.h"
#include "notify/retrieve.h"
#include "port/porthandle.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"

namespace {

// Packets one poll of a port takes at most.
constexpr int kPacketsPerPoll = 32;

// Returns pending credit on every stream channel of the port: the grant
// result of the last stream channel visited, or MLC_UNRECOVERABLE_ERROR at
// the first grant that failed (its reset may have freed the table, which is
// then not walked any further).
int GrantPort(BYTE bPort, PerPortInfo* lpPPI) {
  int iResult = MLC_PACKET_SUCCESSFUL;
  BYTE bSlots = lpPPI->bChannelsAllocated;
  for (BYTE bIndex = 0; bIndex < bSlots; ++bIndex) {
    if (!lpPPI->hChanPtrArray || bIndex >= lpPPI->bChannelsAllocated) break;
    if (!ValidChannelIdx(bPort, bIndex) || GetTypeIdx(bPort, bIndex) != MLC_STREAM_CHANNEL)
      continue;
    StreamChannel* lpStream = (StreamChannel*)LockChannelIdx(bPort, bIndex);
    if (!lpStream) continue;
    LinkStamp stamp = TakeLinkStamp(bPort, bIndex);
    iResult = GrantAnyCredits(lpPPI, lpStream);
    if (iResult == MLC_UNRECOVERABLE_ERROR) {
      if (LinkStampValid(bPort, bIndex, stamp)) UnlockChannelIdx(bPort, bIndex);
      MLCLOG(DBG_ERROR, "MLCLocalPoll - credit grant failed on port %d, slot %d\n", bPort, bIndex);
      return iResult;
    }
    UnlockChannelIdx(bPort, bIndex);
  }
  return iResult;
}

// Moves the helper's timer to the short period when a port was idle, back
// to the long one when packets came and no port was idle.
void AdjustPollTimer(BOOL fIdleSeen) {
  MlcGlobalData* lpMGD = ObtainMGD();
  HWND hHidden = HwndFromDword(lpMGD->hHiddenWnd);
  if (hHidden && IsWindow(hHidden)) {
    if (fIdleSeen && lpMGD->wPollTimerId == POLL_TIMER_MAX) {
      MLCLOG(DBG_TRACE, "MLCLocalPoll: setting min timer = %d\r\n", gMin_Poll_Interval);
      PostMessageA(hHidden, HIDDEN_POLL_TIMER, POLL_TIMER_MIN, (LPARAM)gMin_Poll_Interval);
      lpMGD->wPollTimerId = POLL_TIMER_MIN;
    } else if (!fIdleSeen && lpMGD->wPollTimerId == POLL_TIMER_MIN) {
      MLCLOG(DBG_TRACE, "MLCLocalPoll: setting max timer = %d\r\n", gMax_Poll_Interval);
      PostMessageA(hHidden, HIDDEN_POLL_TIMER, POLL_TIMER_MAX, (LPARAM)gMax_Poll_Interval);
      lpMGD->wPollTimerId = POLL_TIMER_MAX;
    }
  }
  ReleaseMGD();
}

}  // namespace

int PollOnePort(BYTE bPort, BOOL bAutoPing, int ePollType, BOOL* lpfIdle, BOOL* lpfPolled) {
  PerPortInfo* lpPPI = CheckPPI(bPort);
  if (!lpPPI || !GetPortHandle(bPort) || !lpPPI->fMlcInitDone || !lpPPI->hChanPtrArray) {
    MLCLOG(DBG_VERBOSE, "MLCLocalPoll Port mutexed or MLCInid done bPort %d\n", bPort);
    CheckReleasePPI(lpPPI, bPort);
    return 0;
  }
  if (lpPPI->bChannelsUsed == 0) {
    CheckReleasePPI(lpPPI, bPort);
    return 0;
  }
  int iResult = GrantPort(bPort, lpPPI);
  if (iResult != MLC_UNRECOVERABLE_ERROR && PollLeavesPortToReader(bPort, ePollType)) {
    CheckReleasePPI(lpPPI, bPort);
    return 0;
  }
  MLCLOG(DBG_TRACE, "MLCLocalPoll - polling port %d\n", bPort);
  if (iResult != MLC_UNRECOVERABLE_ERROR) {
    // Every stream packet already waiting is taken under this hold, up to a
    // bound that keeps a printer that never pauses from holding the port.
    // The peripheral sends no more than the credit granted above, which
    // the rings have room for. Any other packet ends the run: a message or
    // a command is handed on before the next packet is looked at.
    for (int iPacket = 0; iPacket < kPacketsPerPoll; ++iPacket) {
      BYTE bHsid = 0, bPsid = 0, bCommand = 0;
      WORD wLength = 0;
      int iPacketResult = PollForData(bPort, &bHsid, &bPsid, &bCommand, &wLength, 0);
      MLCLOG(DBG_TRACE, "MLCLocalPoll, poll returned %d\n", iPacketResult);
      // The poll reports the first packet's outcome, or the failure that
      // ended the run.
      if (iPacket == 0 || (iPacketResult != MLC_NO_DATA && iPacketResult != MLC_PACKET_SUCCESSFUL))
        iResult = iPacketResult;
      if (iPacketResult != MLC_PACKET_SUCCESSFUL || bHsid < MLC_FIRST_HSID) break;
      if (!lpPPI->fMlcInitDone || !GetPortHandle(bPort) ||
          GetTypeIdx(bPort, (BYTE)(bHsid - MLC_FIRST_HSID)) != MLC_STREAM_CHANNEL)
        break;
    }
  }
  PollStat* lpStat = &lpPPI->PollStats[ePollType];
  switch (iResult) {
    case MLC_PACKET_SUCCESSFUL:
      ++lpStat->dwPacketPolls;
      MLCLOG(DBG_TRACE, "MLCPoll: success or recoverable error\n");
      *lpfPolled = TRUE;
      break;
    case MLC_PACKET_REFUSED:
      MLCLOG(DBG_TRACE, "MLCPoll: success or recoverable error\n");
      *lpfPolled = TRUE;
      break;
    case MLC_NO_DATA:
      ++lpStat->dwEmptyPolls;
      if (!bAutoPing) {
        lpPPI->dwIdlePolls = 0;
        *lpfIdle = *lpfPolled = TRUE;
      } else if (lpPPI->dwIdlePolls > (DWORD)gPingInterval) {
        PingVcomm(bPort);
        if (GetPortHandle(bPort)) *lpfIdle = *lpfPolled = TRUE;
      } else {
        *lpfIdle = *lpfPolled = TRUE;
      }
      break;
    default:
      break;
  }
  CheckReleasePPI(lpPPI, bPort);
  return iResult;
}

int MLCLocalPoll(BOOL bAutoPing, int ePollType) {
  MLCLOG(DBG_ENTRY | DBG_API, "-->MLCLocalPoll entry, bAutoPing=%d, ePollType=%d\n", bAutoPing,
         ePollType);
  BOOL fIdleSeen = FALSE, fPolled = FALSE;
  for (BYTE bPort = 0; bPort < MLC_PORT_COUNT; ++bPort)
    PollOnePort(bPort, bAutoPing, ePollType, &fIdleSeen, &fPolled);
  if (fPolled) AdjustPollTimer(fIdleSeen);
  MLCLOG(DBG_API | DBG_EXIT, "<--MLCLocalPoll exit\n");
  return fIdleSeen ? 0 : 1;
}

int WINAPI MLCPollChannels(WORD bAutoPing) { return MLCLocalPoll(bAutoPing, POLL_TYPE_HELPER); }

int WINAPI MLCPollChannels2(WORD bAutoPing, DWORD ePollType) {
  // The statistics have one entry per poll type: a larger type is refused
  // before anything is touched.
  if (ePollType >= POLL_TYPE_COUNT) return MLC_INVALID_TYPE;
  return MLCLocalPoll(bAutoPing, (int)ePollType);
}

int WINAPI MLCResetPollStats(DWORD bPort) {
  if (bPort >= MLC_PORT_COUNT) return MLC_INVALID_PORT;
  PerPortInfo* lpPPI = ObtainPPI((BYTE)bPort);
  ZeroMemory(lpPPI->PollStats, sizeof(lpPPI->PollStats));
  ReleasePPI((BYTE)bPort);
  return MLC_SUCCESS;
}

int WINAPI MLCRetrievePollStats(DWORD bPort, PollStats* lpType0, PollStats* lpType1,
                                PollStats* lpType2) {
  if (bPort >= MLC_PORT_COUNT) return MLC_INVALID_PORT;
  if (!lpType0 || !lpType1 || !lpType2) return MLC_INVALID_TYPE;
  PerPortInfo* lpPPI = ObtainPPI((BYTE)bPort);
  PollStats* lpOut[POLL_TYPE_COUNT] = {lpType0, lpType1, lpType2};
  for (int i = 0; i < POLL_TYPE_COUNT; ++i) {
    lpOut[i]->dwPacketPolls = lpPPI->PollStats[i].dwPacketPolls;
    lpOut[i]->dwEmptyPolls = lpPPI->PollStats[i].dwEmptyPolls;
  }
  ReleasePPI((BYTE)bPort);
  return MLC_SUCCESS;
}
