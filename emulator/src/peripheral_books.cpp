// Data packets in both directions, the credit books of each channel, the
// service instances behind the sockets, and the commands we start ourselves
// (MLC_CREDIT, MLC_CREDIT_REQUEST and the fault commands), one at a time.
#include <algorithm>

#include "peripheral.h"
#include "peripheral_internal.h"

namespace emu {

using detail::Cap16;
using detail::Hex2;

void Peripheral::HandleData(const Bytes& pkt, uint32_t now) {
  Header h = ParseHeader(pkt.data());
  size_t n = pkt.size() - kHeaderSize;
  if (!link_up_) {
    NotInitialised(now, "data packet for " + Hex2(h.hsid));
    return;
  }
  auto it = channels_.find(h.hsid);
  if (it == channels_.end()) {
    Violate(now, "data packet for host socket " + Hex2(h.hsid) + ", which is not open");
    return;
  }
  ChannelBook& ch = it->second;
  if (h.psid != ch.psid) {
    Violate(now, "data packet for " + Hex2(h.hsid) + " names socket " + std::to_string(h.psid) +
                     " instead of " + std::to_string(ch.psid));
    return;
  }
  if (n == 0) return;  // carries nothing, costs nothing
  if (n > ch.htop_payload) {
    Violate(now, "data packet of " + std::to_string(n) + " bytes on " + Hex2(h.hsid) +
                     ", longer than the agreed " + std::to_string(ch.htop_payload));
    return;
  }
  if (ch.host_credit == 0) {
    Violate(now, "data packet on " + Hex2(h.hsid) + " without credit");
    return;
  }
  ch.host_credit--;
  ch.packets_in++;
  ch.bytes_in += n;
  data_bytes_in_ += n;
  if (h.credit) {
    if (!ch.service->IsPacketChannel()) {
      // On a stream channel the host grants credit only with MLC_CREDIT;
      // its own books do not count a header grant, so neither do ours.
      Violate(now, "credit byte " + std::to_string(h.credit) + " in the header of stream data on " +
                       Hex2(h.hsid));
    } else if (ch.peri_credit + h.credit > 0xFFFF) {
      Violate(now, "credit in a data header takes our credit past 65535");
    } else {
      ch.peri_credit += h.credit;  // each host message lets us send one more
      ch.credit_request_sent = false;
    }
  }
  ch.service->OnData(pkt.data() + kHeaderSize, n, now);
  CheckTriggers(now);
}

// ---------------------------------------------------------------- services and books

unsigned Peripheral::ChannelsOn(uint8_t psid) const {
  return static_cast<unsigned>(std::count_if(
      channels_.begin(), channels_.end(), [psid](const auto& c) { return c.second.psid == psid; }));
}

unsigned Peripheral::ChannelLimit(uint8_t psid) const {
  auto it = services_.find(psid);
  unsigned own = it == services_.end() ? 0 : it->second.front()->config().channels;
  return own ? own : cfg_.channels_per_socket;
}

Service* Peripheral::ServiceForOpen(uint8_t psid) {
  auto& pool = services_[psid];
  for (auto& s : pool) {
    bool busy = std::any_of(channels_.begin(), channels_.end(),
                            [&s](const auto& c) { return c.second.service == s.get(); });
    if (!busy) return s.get();
  }
  // The first instance's settings carry what faults changed (a sink told to stop draining).
  pool.push_back(MakeService(pool.front()->config()));
  return pool.back().get();
}

uint32_t Peripheral::Grantable(const ChannelBook& ch) const {
  if (cfg_.open_credit_only && ch.granted_total > 0) return 0;
  uint32_t cap = ch.service->Capacity();
  uint32_t promised = ch.host_credit + ch.withheld;
  if (cap <= promised) return 0;
  return std::min<uint32_t>(cap - promised, 0xFFFF - std::min<uint32_t>(ch.host_credit, 0xFFFF));
}

// ---------------------------------------------------------------- our own commands

bool Peripheral::OwnQueued(uint8_t command, uint8_t hsid) const {
  if (own_ && own_->command == command && own_->hsid == hsid) return true;
  return std::any_of(own_queue_.begin(), own_queue_.end(),
                     [&](const OwnCommand& c) { return c.command == command && c.hsid == hsid; });
}

void Peripheral::QueueOwn(uint8_t command, uint8_t hsid, uint8_t psid, uint16_t value) {
  OwnCommand c;
  c.command = command;
  c.hsid = hsid;
  c.psid = psid;
  c.value = value;
  own_queue_.push_back(c);
}

void Peripheral::SendNextOwn(uint32_t now) {
  // The flood's answers come first: nothing of ours is sent while they are due.
  while (!own_ && flood_outstanding_ == 0 && !own_queue_.empty() && !silent_ && link_up_) {
    OwnCommand c = own_queue_.front();
    own_queue_.pop_front();
    Bytes pkt;
    if (c.stray) {
      // The pair was free when the fault fired; if the host has opened it
      // since, the command would name an open channel and the host would
      // rightly apply it: the fault is not committed.
      auto open = channels_.find(c.hsid);
      if (open != channels_.end() && open->second.psid == c.psid) {
        Note(now, std::string(kNote) + "stray pair " + Hex2(c.hsid) + "/" + std::to_string(c.psid) +
                      " opened meanwhile: fault not committed");
        continue;
      }
      pkt = c.command == kCredit ? CreditCommand(c.hsid, c.psid, c.value)
                                 : DebitCommand(c.hsid, c.psid, c.value);
    } else if (detail::IsUnsupportedByHost(c.command)) {
      pkt = MakeCommand({c.command});
    } else {
      auto it = channels_.find(c.hsid);
      if (it == channels_.end()) continue;
      ChannelBook& ch = it->second;
      if (c.command == kCredit) {
        // A grant queued with value 0 takes what is free when it goes out.
        if (c.value == 0) c.value = static_cast<uint16_t>(Grantable(ch));
        if (c.value == 0) continue;
        uint32_t applied = c.value;
        ch.host_credit = Cap16(static_cast<uint64_t>(ch.host_credit) + applied);
        ch.granted_total += applied;
        pkt = CreditCommand(c.hsid, c.psid, c.value);
      } else if (c.command == kCreditRequest) {
        ch.credit_request_sent = true;
        ch.last_credit_request_ms = now;
        pkt = CreditRequestCommand(c.hsid, c.psid, c.value);
      } else {
        pkt = DebitCommand(c.hsid, c.psid, c.value);
      }
    }
    c.sent_ms = now;
    own_ = c;
    Emit(pkt, now);
  }
}

// ---------------------------------------------------------------- data out

void Peripheral::SendData(ChannelBook& ch, Bytes payload, uint32_t now) {
  uint8_t credit = 0;
  if (cfg_.piggyback) {
    credit = static_cast<uint8_t>(std::min<uint32_t>(Grantable(ch), 255));
    ch.host_credit += credit;
    ch.granted_total += credit;
  }
  Bytes pkt = MakePacket(ch.hsid, ch.psid, credit, 0, payload);
  ch.peri_credit--;
  ch.packets_out++;
  ch.bytes_out += payload.size();
  for (Fault& f : cfg_.faults) {
    bool data_fault = f.kind == FaultKind::kHalf || f.kind == FaultKind::kSplit;
    if (f.fired || !data_fault || f.command != kDataTarget) continue;
    f.fired = true;
    Note(now, kFaultNote + FaultText(f));
    if (f.kind == FaultKind::kSplit) {
      EmitSplit(pkt, f, now);
      return;
    }
    size_t half = pkt.size() / 2;
    Note(now, std::string(kToHost) + "PARTIAL " + std::to_string(half) + " of " +
                  std::to_string(pkt.size()) + " bytes of " + Describe(pkt.data(), pkt.size()) +
                  ", then silence");
    Output(pkt.data(), half);
    silent_ = true;
    return;
  }
  Emit(pkt, now);
}

void Peripheral::SendWanted(ChannelBook& ch, uint32_t now) {
  Service* svc = ch.service;
  svc->Tick(now);
  while (!silent_ && ch.peri_credit > 0 && svc->PacketsWanted(ch.ptoh_payload) > 0) {
    Bytes payload = svc->TakeOutput(ch.ptoh_payload);
    if (payload.empty() && !svc->IsPacketChannel()) break;
    SendData(ch, std::move(payload), now);
  }
}

void Peripheral::ServeChannels(uint32_t now) {
  for (auto& entry : channels_) {
    ChannelBook& ch = entry.second;
    Service* svc = ch.service;
    SendWanted(ch, now);
    uint32_t wanted = svc->PacketsWanted(ch.ptoh_payload);
    bool piggy_soon = cfg_.piggyback && wanted > 0 && ch.peri_credit > 0;
    if (cfg_.empty_credit) {
      GrantInEmptyPackets(ch, now);
    } else if (Grantable(ch) > 0 && !piggy_soon && !OwnQueued(kCredit, ch.hsid)) {
      QueueOwn(kCredit, ch.hsid, ch.psid, 0);
    }
    if (wanted > 0 && ch.peri_credit == 0 && cfg_.credit_request_ms &&
        (!ch.credit_request_sent || now - ch.last_credit_request_ms >= cfg_.credit_request_ms) &&
        !OwnQueued(kCreditRequest, ch.hsid)) {
      QueueOwn(kCreditRequest, ch.hsid, ch.psid, static_cast<uint16_t>(Cap16(wanted)));
    }
  }
}

}  // namespace emu
