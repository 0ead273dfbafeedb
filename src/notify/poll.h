// The poll: every port's pending credit returned and one waiting packet read
// and dispatched, with statistics and the helper's timer period.
#pragma once

#include <windows.h>

// Poll types: the statistics keep one entry for each.
#define POLL_TYPE_CALLER 0   // free for callers of MLCPollChannels2
#define POLL_TYPE_LIBRARY 1  // polls the write and credit-wait paths run
#define POLL_TYPE_HELPER 2   // MLCPollChannels, the helper's timer
#define POLL_TYPE_COUNT 3

// Polls ports 0, 1, 2: 0 when at least one port was found idle, else 1.
int MLCLocalPoll(BOOL bAutoPing, int ePollType);
// Polls one port whose mutex the caller may hold already: the result of
// the port (MLC_PACKET_* results), 0 when the port was skipped. *lpfIdle
// is set when the port counts as idle, *lpfPolled when it counts as polled.
int PollOnePort(BYTE bPort, BOOL bAutoPing, int ePollType, BOOL* lpfIdle, BOOL* lpfPolled);
