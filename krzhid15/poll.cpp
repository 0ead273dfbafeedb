// The helper's polls: the library's poll of all ports, run on the helper's
// timer, when a reader asks for a read soon, and when a waiter saw input.
// The poll statistics of type 2 (MLCPollChannels) tell which ports a poll
// served and whether it handled a packet there.
#include "helper.h"
#include "krzmlc15.h"

DWORD g_dwHelperPolls = 0;
DWORD g_dwInputPolls = 0;

namespace {

// Polls of type 2 on a port so far: *lpdwPackets those that handled a
// packet, the result all of them (0 when the statistics cannot be read).
DWORD PortPolls(BYTE bPort, DWORD* lpdwPackets) {
  PollStats type0, type1, type2;
  *lpdwPackets = 0;
  if (MLCRetrievePollStats(bPort, &type0, &type1, &type2) != 1) return 0;
  *lpdwPackets = type2.dwPacketPolls;
  return type2.dwPacketPolls + type2.dwEmptyPolls;
}

}  // namespace

void HelperPoll() {
  ++g_dwHelperPolls;
  DWORD adwBefore[MLC_PORT_COUNT], dwPackets = 0;
  for (BYTE bPort = 0; bPort < MLC_PORT_COUNT; ++bPort)
    adwBefore[bPort] = PortPolls(bPort, &dwPackets);
  MLCPollChannels(FALSE);
  // A port the poll served has channels open: watch its input until the
  // next regular poll says otherwise.
  for (BYTE bPort = 0; bPort < MLC_PORT_COUNT; ++bPort)
    WatchPort(bPort, PortPolls(bPort, &dwPackets) != adwBefore[bPort]);
}

void HelperInputPoll(BYTE bPort) {
  if (bPort >= MLC_PORT_COUNT) return;
  ++g_dwInputPolls;
  DWORD dwBefore = 0, dwAfter = 0;
  PortPolls(bPort, &dwBefore);
  MLCPollChannels(FALSE);
  PortPolls(bPort, &dwAfter);
  WatchPort(bPort, dwAfter != dwBefore);
}
