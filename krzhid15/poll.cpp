// The helper's polls: the library's poll of all ports, run on the helper's
// timer, when a reader asks for a read soon, and when a waiter saw input.
// The poll statistics of type 2 (MLCPollChannels) tell whether a poll
// handled a packet on a port.
#include "helper.h"
#include "krzmlc15.h"

DWORD g_dwHelperPolls = 0;
DWORD g_dwInputPolls = 0;

namespace {

// The polls of type 2 on a port so far that handled a packet (0 when the
// statistics cannot be read).
void PortPolls(BYTE bPort, DWORD* lpdwPackets) {
  PollStats type0, type1, type2;
  *lpdwPackets = 0;
  if (MLCRetrievePollStats(bPort, &type0, &type1, &type2) == 1) *lpdwPackets = type2.dwPacketPolls;
}

}  // namespace

void HelperPoll() {
  ++g_dwHelperPolls;
  MLCPollChannels(FALSE);
}

BOOL HelperInputPoll(BYTE bPort) {
  ++g_dwInputPolls;
  DWORD dwBefore = 0, dwAfter = 0;
  PortPolls(bPort, &dwBefore);
  MLCPollChannels(FALSE);
  PortPolls(bPort, &dwAfter);
  return dwAfter != dwBefore;
}
