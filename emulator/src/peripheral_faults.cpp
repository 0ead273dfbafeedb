// The faults: reply faults change the reply to a chosen host command, event
// faults happen at a moment (after a command, at a time, after some bytes).
#include <algorithm>

#include "peripheral.h"
#include "peripheral_internal.h"

namespace emu {

namespace {

Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i & 0xFF);
  return b;
}

void SetLength(Bytes& pkt) {
  pkt[2] = static_cast<uint8_t>(pkt.size() >> 8);
  pkt[3] = static_cast<uint8_t>(pkt.size() & 0xFF);
}

}  // namespace

Fault* Peripheral::FindReplyFault(uint8_t command, unsigned occurrence) {
  for (Fault& f : cfg_.faults) {
    if (!f.fired && IsReplyFault(f.kind) && f.command == command && f.nth == occurrence) {
      return &f;
    }
  }
  return nullptr;
}

void Peripheral::EmitSplit(const Bytes& packet, const Fault& f, uint32_t now) {
  size_t first = static_cast<size_t>(f.value);
  if (silent_ || holding_ || first >= packet.size()) {
    Emit(packet, now);  // nothing to split (or a split already pausing): whole, in order
    return;
  }
  Note(now, kToHost + Describe(packet.data(), packet.size()) + " -- first " +
                std::to_string(first) + " bytes, the rest after " + std::to_string(f.pause_ms) +
                " ms");
  Output(packet.data(), first);
  holding_ = true;
  hold_until_ = now + static_cast<uint32_t>(f.pause_ms);
  held_.assign(packet.begin() + static_cast<ptrdiff_t>(first), packet.end());
}

void Peripheral::EmitReply(uint8_t command, Bytes reply, Fault* f, uint32_t now) {
  if (!f) {
    Emit(reply, now);
    return;
  }
  f->fired = true;
  Note(now, kFaultNote + FaultText(*f));
  switch (f->kind) {
    case FaultKind::kNoReply:
      return;
    case FaultKind::kLateReply:
      scheduled_.push_back({now + static_cast<uint32_t>(f->value), reply});
      return;
    case FaultKind::kBadLength:
      if (f->value > 0) {
        reply.insert(reply.end(), static_cast<size_t>(f->value), 0);
      } else {
        size_t cut = std::min<size_t>(static_cast<size_t>(-f->value), reply.size() - 7);
        reply.resize(reply.size() - cut);
      }
      SetLength(reply);
      break;
    case FaultKind::kUnknownReply:
      reply[kHeaderSize] = static_cast<uint8_t>(f->value);
      break;
    case FaultKind::kSplit:
      EmitSplit(reply, *f, now);
      return;
    case FaultKind::kHalf: {
      size_t half = std::max<size_t>(1, reply.size() / 2);
      Note(now, std::string(kToHost) + "PARTIAL " + std::to_string(half) + " of " +
                    std::to_string(reply.size()) + " bytes of " + CommandName(command | kReplyBit) +
                    ": " + HexBytes(reply.data(), half) + ", then silence");
      Output(reply.data(), half);
      silent_ = true;
      return;
    }
    default:
      break;
  }
  Emit(reply, now);
}

void Peripheral::FireCommandTriggers(uint8_t command, unsigned occurrence, uint32_t now) {
  for (size_t i = 0; i < cfg_.faults.size(); ++i) {
    Fault& f = cfg_.faults[i];
    if (!f.fired && !IsReplyFault(f.kind) && f.when.kind == Trigger::kCommand &&
        f.when.command == command && f.when.nth == occurrence) {
      FireEvent(f, now);
    }
  }
}

void Peripheral::CheckTriggers(uint32_t now) {
  for (size_t i = 0; i < cfg_.faults.size(); ++i) {
    Fault& f = cfg_.faults[i];
    if (f.fired || IsReplyFault(f.kind)) continue;
    if ((f.when.kind == Trigger::kTime && Ms(now) >= f.when.value) ||
        (f.when.kind == Trigger::kBytes && data_bytes_in_ >= f.when.value)) {
      FireEvent(f, now);
    }
  }
}

ChannelBook* Peripheral::Target() {
  auto it = channels_.find(last_opened_);
  if (it != channels_.end()) return &it->second;
  return channels_.empty() ? nullptr : &channels_.begin()->second;
}

ChannelBook* Peripheral::MessageTarget() {
  ChannelBook* last = Target();
  if (last && last->service->IsPacketChannel()) return last;
  for (auto& c : channels_) {
    if (c.second.service->IsPacketChannel()) return &c.second;
  }
  return nullptr;
}

bool Peripheral::StrayPair(const Fault& f, uint8_t* hsid, uint8_t* psid) {
  ChannelBook* ch = Target();
  if (f.aim_psid) {
    // The channel opened last, named with a peripheral socket id that is not its own.
    if (!ch) return false;
    *hsid = ch->hsid;
    *psid = f.value >= 0 ? static_cast<uint8_t>(f.value) : static_cast<uint8_t>(ch->psid % 255 + 1);
    return *psid != ch->psid;
  }
  *psid = ch ? ch->psid : 1;
  if (f.value >= 0) {
    *hsid = static_cast<uint8_t>(f.value);
    return !channels_.count(*hsid);
  }
  // By default the host socket id after the highest one opened on this link,
  // which the host has not handed out yet.
  unsigned start = highest_opened_ >= 0x80 ? highest_opened_ + 1u : 0x80u;
  for (unsigned i = 0; i < 128; ++i) {
    unsigned candidate = 0x80 + (start - 0x80 + i) % 128;
    if (!channels_.count(static_cast<uint8_t>(candidate))) {
      *hsid = static_cast<uint8_t>(candidate);
      return true;
    }
  }
  return false;
}

void Peripheral::FireEvent(Fault& f, uint32_t now) {
  f.fired = true;
  Note(now, kFaultNote + FaultText(f));
  bool needs_channel = f.kind == FaultKind::kNoCredit || f.kind == FaultKind::kOversize ||
                       f.kind == FaultKind::kBadPsid || f.kind == FaultKind::kOverflow ||
                       f.kind == FaultKind::kDebit || f.kind == FaultKind::kCreditRequest;
  ChannelBook* ch = needs_channel ? Target() : nullptr;
  if (needs_channel && !ch) {
    Note(now, std::string(kNote) + "no open channel: fault not committed");
    return;
  }
  switch (f.kind) {
    case FaultKind::kError:
      Emit(ErrorCommand(static_cast<uint8_t>(f.value)), now);
      DropLink(now, "sent MLC_ERROR");
      dropped_by_us_ = true;
      dropped_at_ = now;
      break;
    case FaultKind::kNoCredit: {
      uint32_t n = ch->peri_credit + 1;
      for (uint32_t i = 0; i < n; ++i) {
        Emit(MakePacket(ch->hsid, ch->psid, 0, 0, Pattern(ch->ptoh_payload)), now);
      }
      ch->peri_credit = 0;
      ch->packets_out += n;
      break;
    }
    case FaultKind::kOversize:
      Emit(MakePacket(ch->hsid, ch->psid, 0, 0, Pattern(ch->ptoh_payload + 1)), now);
      if (ch->peri_credit) ch->peri_credit--;
      break;
    case FaultKind::kBadPsid:
      Emit(MakePacket(ch->hsid, static_cast<uint8_t>(ch->psid % 255 + 1), 0, 0, Pattern(4)), now);
      break;
    case FaultKind::kOverflow:
      if (ch->host_credit == 0) QueueOwn(kCredit, ch->hsid, ch->psid, 1);
      QueueOwn(kCredit, ch->hsid, ch->psid, 0xFFFF);
      break;
    case FaultKind::kDebit:
      QueueOwn(kDebit, ch->hsid, ch->psid, static_cast<uint16_t>(f.value));
      break;
    case FaultKind::kCreditRequest:
      QueueOwn(kCreditRequest, ch->hsid, ch->psid, static_cast<uint16_t>(f.value));
      break;
    case FaultKind::kUnsupported:
      QueueOwn(static_cast<uint8_t>(f.value), 0, 0, 0);
      break;
    case FaultKind::kStrayCredit:
    case FaultKind::kStrayDebit: {
      OwnCommand c;
      c.command = f.kind == FaultKind::kStrayCredit ? kCredit : kDebit;
      c.value = 1;
      c.stray = true;
      if (!StrayPair(f, &c.hsid, &c.psid)) {
        Note(now, std::string(kNote) + "no socket pair to aim at: fault not committed");
        break;
      }
      own_queue_.push_back(c);
      break;
    }
    case FaultKind::kMessageCredit: {
      ChannelBook* m = MessageTarget();
      if (!m) {
        Note(now, std::string(kNote) + "no open message channel: fault not committed");
        break;
      }
      QueueOwn(kCredit, m->hsid, m->psid, static_cast<uint16_t>(f.value));
      break;
    }
    case FaultKind::kEmptyCommand:
      Emit(MakeCommand({}), now);
      break;
    case FaultKind::kShortLength:
      Emit(Bytes{0, 0, 0, static_cast<uint8_t>(f.value), 0, 0}, now);
      break;
    case FaultKind::kNoDrain:
      for (auto& pool : services_) {
        for (auto& s : pool.second) s->StopDraining();
      }
      break;
    case FaultKind::kStall:
      stalled_ = true;
      break;
    case FaultKind::kDetach:
      detach_ = true;
      break;
    default:
      break;
  }
  SendNextOwn(now);
}

}  // namespace emu
