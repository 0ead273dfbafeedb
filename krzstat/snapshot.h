// A copy of the library's shared state, taken without changing it: the
// global record, and per port the port record, its socket entries and its
// channel records, each port copied under that port's mutex and nothing
// held longer than the copy.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "shared/layout.h"

namespace krzstat {

struct ChannelCopy {
  BYTE bSlot = 0;            // slot index; host socket id 0x80 + slot
  BYTE bType = 0;            // MLC_STREAM_CHANNEL, MLC_PACKET_CHANNEL, else unknown
  StreamChannel stream{};    // when bType is MLC_STREAM_CHANNEL
  MessageChannel message{};  // when bType is MLC_PACKET_CHANNEL
  DWORD dwQueuedBytes = 0;   // packet channels: bytes in the send queue
  DWORD dwOwnerPid = 0;      // process of the channel's window, 0 = unknown
};

enum class PortState {
  kIdle,    // no link and no blocks: nothing to read
  kCopied,  // copied under the port's mutex
  kBusy,    // the mutex stayed taken for the whole time limit: not copied
  kLost,    // the record names blocks, but their area is gone
};

struct PortCopy {
  BYTE bPort = 0;
  PortState state = PortState::kIdle;
  PerPortInfo info{};
  std::vector<SocketInfo> sockets;
  std::vector<ChannelCopy> channels;
};

struct Snapshot {
  BOOL fLoaded = FALSE;      // some process has the library loaded
  BOOL fGlobalBusy = FALSE;  // its global mutex stayed taken: global not copied
  DWORD dwTakenTick = 0;
  MlcGlobalData global{};
  BOOL fHelperWindow = FALSE;  // hHiddenWnd names a live window
  DWORD dwHelperPid = 0;
  PortCopy ports[3];
};

// Takes the snapshot; a port whose mutex is not free within dwWaitMs is
// reported busy.
Snapshot Take(DWORD dwWaitMs);

}  // namespace krzstat
