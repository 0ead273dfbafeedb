// Printer behaviours that test how long the host waits: MLC_CREDIT_REQUEST
// back to back (every poll of the host finds a packet), filler streamed
// without pause before the first MLC_INIT (the host flushes the wire then),
// and credit given at the open only (MLC_CREDIT of 0, the host's ping, is
// still answered). Each is bounded in time so that a host that waits for
// it to end is seen in the trace, not hung for ever.
#include "peripheral.h"
#include "peripheral_internal.h"

namespace emu {

namespace {

constexpr unsigned kFloodDepth = 1024;  // requests on their way at once
constexpr size_t kFillerBytes = 16;     // per millisecond

}  // namespace

void Peripheral::EndFiller(uint32_t now, const char* why) {
  filler_ = Phase::kEnded;
  Note(now, std::string(kNote) + "filler stream ended: " + why);
}

bool Peripheral::TakeFloodAnswer(const Bytes& pkt, uint32_t now) {
  const uint8_t* pl = pkt.data() + kHeaderSize;
  if (flood_outstanding_ == 0 || pl[0] != (kCreditRequest | kReplyBit)) return false;
  --flood_outstanding_;
  if (pkt.size() != RequiredLength(pl[0], true)) {
    Violate(now, "malformed answer to a flood request: length " + std::to_string(pkt.size()));
    return true;
  }
  auto it = channels_.find(flood_hsid_);
  ChannelBook* ch = it == channels_.end() ? nullptr : &it->second;
  if (ch && pl[1] == 0)
    ch->peri_credit = detail::Cap16(static_cast<uint64_t>(ch->peri_credit) + GetU16(pl + 2));
  return true;
}

void Peripheral::WaitBehaviours(uint32_t now) {
  if (cfg_.stream_before_init_ms && filler_ == Phase::kIdle) {
    filler_ = Phase::kRunning;
    filler_last_ = now - 8;  // the first bytes go out at once
    Note(now, std::string(kNote) + "filler stream begins");
  }
  if (filler_ == Phase::kRunning) {
    if (Ms(now) >= cfg_.stream_before_init_ms) {
      EndFiller(now, ("after " + std::to_string(cfg_.stream_before_init_ms) + " ms").c_str());
    } else if (now != filler_last_) {
      Bytes zeros(kFillerBytes * std::min<uint32_t>(now - filler_last_, 8), 0);
      filler_last_ = now;
      Output(zeros.data(), zeros.size());
    }
  }

  if (cfg_.credit_request_flood_ms && flood_ == Phase::kIdle && link_up_ && Target()) {
    flood_ = Phase::kRunning;
    flood_start_ = now;
    flood_hsid_ = Target()->hsid;
    flood_psid_ = Target()->psid;
    Note(now, std::string(kNote) + "MLC_CREDIT_REQUEST flood begins");
  }
  if (flood_ != Phase::kRunning) return;
  // The flood goes on for its channel while the host has it open, also
  // through a close we leave unanswered.
  if (!link_up_) {
    flood_ = Phase::kEnded;
    flood_outstanding_ = 0;
    Note(now, std::string(kNote) + "MLC_CREDIT_REQUEST flood ended: link down");
    return;
  }
  if (now - flood_start_ >= cfg_.credit_request_flood_ms) {
    flood_ = Phase::kEnded;
    Note(now, std::string(kNote) + "MLC_CREDIT_REQUEST flood ended after " +
                  std::to_string(cfg_.credit_request_flood_ms) + " ms");
    return;
  }
  if (own_ || silent_) return;  // an exchange of ours is answered first
  while (flood_outstanding_ < kFloodDepth) {
    Bytes pkt = CreditRequestCommand(flood_hsid_, flood_psid_, 1);
    Output(pkt.data(), pkt.size());
    ++flood_outstanding_;
  }
}

}  // namespace emu
