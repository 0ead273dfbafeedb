// Credit the peripheral grants the host on a stream channel.
#include "channel/channel.h"
#include "debug/cm_debug.h"
#include "link/link.h"
#include "notify/notify.h"

int AddStreamCredits(StreamChannel* lpStream, WORD wCredit) {
  if (lpStream->wHostHtoPCredits > (DWORD)(0xFFFF - wCredit)) {
    // Nothing of the record is touched after this: a failed send resets
    // the link, which frees it.
    SendErrorPacket(lpStream->bPort, MLC_ERROR_CREDIT_OVERFLOW, FALSE);
    return MLC_UNRECOVERABLE_ERROR;
  }
  lpStream->wHostHtoPCredits += wCredit;
  if (wCredit != 0 && lpStream->wHostHtoPCredits == wCredit) {
    // The channel had no credit: a writer may be waiting for it.
    NotifyChannel(lpStream, MLC_WRITE_STREAM, 0);
    lpStream->fRequestedCredits = 0;
  }
  return 0;
}
