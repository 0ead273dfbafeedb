// When time next matters to the peripheral: the wire runner sleeps until
// then unless the host's bytes come first, instead of waking in slices.
#include "peripheral.h"

namespace emu {

namespace {
// How often a sink that drains at a rate is looked at while it holds packets.
constexpr uint32_t kDrainStepMs = 5;
}  // namespace

uint32_t Peripheral::MsUntilDue(uint32_t now) const {
  uint32_t due = kNothingDue;
  auto at = [&](uint32_t when) {
    int32_t left = static_cast<int32_t>(when - now);
    uint32_t ms = left < 0 ? 0 : static_cast<uint32_t>(left);
    if (ms < due) due = ms;
  };
  if (splitter_.Pending()) at(last_rx_ms_ + cfg_.inter_packet_ms);
  if (holding_) at(hold_until_);
  for (const Scheduled& s : scheduled_) at(s.due_ms);
  if (own_) at(own_->sent_ms + cfg_.reply_wait_ms);
  for (const Fault& f : cfg_.faults) {
    if (!f.fired && !IsReplyFault(f.kind) && f.when.kind == Trigger::kTime)
      at(start_ms_ + static_cast<uint32_t>(f.when.value));
  }
  // The filler stream goes out every millisecond until it ends; a flood of
  // credit requests ends by time.
  if (filler_ == Phase::kRunning || (cfg_.stream_before_init_ms && filler_ == Phase::kIdle))
    at(now + 1);
  if (flood_ == Phase::kRunning) at(flood_start_ + cfg_.credit_request_flood_ms);
  if (!link_up_) return due;
  for (const auto& entry : channels_) {
    const ChannelBook& ch = entry.second;
    if (ch.service->Timed()) at(now + kDrainStepMs);
    // A first request is queued by the Tick that finds it wanted; a queued
    // one waits for the host's answers, not for time.
    if (cfg_.credit_request_ms && ch.credit_request_sent && ch.peri_credit == 0 &&
        ch.service->PacketsWanted(ch.ptoh_payload) > 0 && !OwnQueued(kCreditRequest, ch.hsid)) {
      at(ch.last_credit_request_ms + cfg_.credit_request_ms);
    }
  }
  return due;
}

}  // namespace emu
