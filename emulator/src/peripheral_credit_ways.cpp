// Ways of handling credit that a printer may choose and that hosts must
// live with, each switched on by an option (EmuConfig): data sent on a fresh
// MLC_CREDIT before its reply (SendWanted, from the command's handler), and
// credit returned only in the headers of empty data packets.
#include <algorithm>

#include "peripheral.h"

namespace emu {

void Peripheral::GrantInEmptyPackets(ChannelBook& ch, uint32_t now) {
  // An empty packet costs one of our credits like any other. A channel the
  // host gave no credit at all (no receive buffer) gets the packet all the
  // same: it is the only way our grants reach the host there.
  for (uint32_t grant = std::min<uint32_t>(Grantable(ch), 255); grant > 0 && !silent_;
       grant = std::min<uint32_t>(Grantable(ch), 255)) {
    if (ch.host_grants && ch.peri_credit == 0) return;  // until the host grants again
    if (ch.peri_credit > 0) ch.peri_credit--;
    ch.host_credit += grant;
    ch.granted_total += grant;
    ch.packets_out++;
    Emit(MakePacket(ch.hsid, ch.psid, static_cast<uint8_t>(grant), 0, Bytes{}), now);
  }
}

}  // namespace emu
