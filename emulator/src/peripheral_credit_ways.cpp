// Ways of handling credit that a printer may choose and that hosts must
// live with, each switched on by an option (EmuConfig): data sent on a fresh
// MLC_CREDIT before its reply, and credit returned only in the headers of
// empty data packets.
#include <algorithm>

#include "peripheral.h"

namespace emu {

void Peripheral::SendOnFreshCredit(ChannelBook& ch, uint32_t now) {
  // The credit counts from the moment the command arrived: what waited for
  // it goes out at once, ahead of the reply.
  Service* svc = ch.service;
  svc->Tick(now);
  while (!silent_ && ch.peri_credit > 0 && svc->PacketsWanted(ch.ptoh_payload) > 0) {
    Bytes payload = svc->TakeOutput(ch.ptoh_payload);
    if (payload.empty() && !svc->IsPacketChannel()) break;
    SendData(ch, std::move(payload), now);
  }
}

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
