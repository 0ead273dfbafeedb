// Credit for the stream writer: asked for when it has none, and waited for
// while a request is outstanding.
#include "channel/channel.h"
#include "debug/cm_debug.h"
#include "link/link.h"
#include "notify/poll.h"
#include "shared/config.h"
#include "shared/locks.h"

int RequestStreamCredits(StreamChannel* lpStream) {
  MLCLOG(DBG_TRACE, "    RequestStreamCredits entry: bPsid: %d bHsid %d. bType %d\n",
         lpStream->bPsid, lpStream->bHsid, lpStream->bType);
  BYTE bPort = lpStream->bPort;
  BYTE bHsid = lpStream->bHsid;
  BYTE bIndex = (BYTE)(bHsid - MLC_FIRST_HSID);
  int iResult = 0;
  if (!CheckPortAndHsid(bPort, bHsid)) {
    MLCLOG(DBG_ERROR, "!   RequestStreamCredits - MLC_PHYSICAL_LINK_FAILURE\n");
    return MLC_PHYSICAL_LINK_FAILURE;
  }
  LinkStamp stamp = TakeLinkStamp(bPort, bIndex);
  if (lpStream->fRequestedCredits) {
    BOOL fIdle = FALSE, fPolled = FALSE;
    PollOnePort(bPort, FALSE, POLL_TYPE_LIBRARY, &fIdle, &fPolled);
    if (!LinkStampValid(bPort, bIndex, stamp)) {
      MLCLOG(DBG_ERROR, "!   RequestStreamCredits - Channel went down\n");
      return MLC_PHYSICAL_LINK_FAILURE;
    }
    if (lpStream->wHostHtoPCredits == 0 &&
        GetTickCount() - lpStream->dwCreditRequestTime > (DWORD)gCreditTimeout) {
      MLCLOG(DBG_ERROR,
             "!   RequestStreamCredits - timeout (%ums) waiting for MLC_CREDIT from printer, do "
             "MLCPing\n",
             (UINT)gCreditTimeout);
      MLCPingMlc(MLC_MAKE_CHANNEL(bPort, bHsid));
      if (!LinkStampValid(bPort, bIndex, stamp)) return MLC_PHYSICAL_LINK_FAILURE;
      lpStream->dwCreditRequestTime = GetTickCount();
    }
  } else if (!MLCCreditRequest(bPort, bHsid, lpStream->bPsid, 0xFFFF)) {
    MLCLOG(DBG_ERROR, "!   RequestStreamCredits - MLCCreditRequest failed\n");
    return MLC_PHYSICAL_LINK_FAILURE;
  } else if (lpStream->wHostHtoPCredits == 0) {
    lpStream->fRequestedCredits = 1;
    MLCLOG(DBG_TRACE, "    RequestStreamCredits - start wait for MLC_CREDIT from printer\n");
    lpStream->dwCreditRequestTime = GetTickCount();
  }
  MLCLOG(DBG_TRACE, "    RequestStreamCredits exit: iReturn: %d pStreamCH->wHostHtoPCredits %d\n",
         iResult, lpStream->wHostHtoPCredits);
  return iResult;
}
