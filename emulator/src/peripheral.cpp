#include "peripheral.h"

#include <algorithm>

#include "peripheral_internal.h"

namespace emu {

using detail::Hex2;

Peripheral::Peripheral(const EmuConfig& cfg, Trace* trace) : cfg_(cfg), trace_(trace) {
  for (const ServiceSetup& s : cfg_.services) {
    auto& pool = services_[s.psid];
    pool.clear();
    pool.push_back(MakeService(s));
  }
}

const ChannelBook* Peripheral::channel(uint8_t hsid) const {
  auto it = channels_.find(hsid);
  return it == channels_.end() ? nullptr : &it->second;
}

const SocketConfig* Peripheral::socket(uint8_t psid) const {
  auto it = sockets_.find(psid);
  return it == sockets_.end() ? nullptr : &it->second;
}

Service* Peripheral::service(uint8_t psid) {
  auto it = services_.find(psid);
  return it == services_.end() || it->second.empty() ? nullptr : it->second.front().get();
}

ServiceStats Peripheral::socket_stats(uint8_t psid) const {
  ServiceStats sum;
  auto it = services_.find(psid);
  if (it == services_.end()) return sum;
  for (const auto& s : it->second) {
    const ServiceStats& st = s->stats();
    sum.packets_in += st.packets_in;
    sum.bytes_in += st.bytes_in;
    sum.packets_out += st.packets_out;
    sum.bytes_out += st.bytes_out;
    sum.bytes_drained += st.bytes_drained;
  }
  return sum;
}

void Peripheral::AddFault(Fault f) {
  if (IsReplyFault(f.kind)) {
    f.nth += command_count_[f.command];
  } else if (f.when.kind == Trigger::kCommand) {
    f.when.nth += command_count_[f.when.command];
  } else if (f.when.kind == Trigger::kTime) {
    f.when.value += started_ ? Ms(last_ms_) : 0;
  } else {
    f.when.value += data_bytes_in_;
  }
  cfg_.faults.push_back(f);
}

Bytes Peripheral::TakeOutput() {
  Bytes b;
  b.swap(out_);
  return b;
}

void Peripheral::Note(uint32_t now, const std::string& text) {
  if (trace_) trace_->Line(Ms(now), text);
}

void Peripheral::Violate(uint32_t now, const std::string& text) {
  violations_.push_back({Ms(now), text});
  Note(now, kViolation + text);
}

void Peripheral::Output(const uint8_t* p, size_t n) {
  Bytes& to = holding_ ? held_ : out_;
  to.insert(to.end(), p, p + n);
}

void Peripheral::Emit(const Bytes& packet, uint32_t now) {
  if (silent_) {
    Note(now, std::string(kNote) + "silent, not sent: " + Describe(packet.data(), packet.size()));
    return;
  }
  Note(now, kToHost + Describe(packet.data(), packet.size()));
  Output(packet.data(), packet.size());
}

// ---------------------------------------------------------------- input

void Peripheral::Receive(uint8_t address, const uint8_t* p, size_t n, uint32_t now) {
  if (!started_) {
    started_ = true;
    start_ms_ = now;
  }
  if (n == 0) return;
  if (address == kSynchAddress) {
    synch_bytes_ += n;
    Note(now, std::string(kToPeripheral) + "SYNCH channel 0x4E: " + std::to_string(n) +
                  " bytes: " + HexBytes(p, n));
    return;
  }
  if (address != kMlcAddress) {
    Violate(now, std::to_string(n) + " bytes on ECP channel address " + Hex2(address));
    return;
  }
  if (filler_ == Phase::kRunning) EndFiller(now, "the host spoke");
  splitter_.Feed(p, n);
  last_rx_ms_ = now;
  Bytes pkt;
  while (splitter_.Next(pkt)) {
    Note(now, kToPeripheral + Describe(pkt.data(), pkt.size()));
    HandlePacket(pkt, now);
  }
  Bytes garbage = splitter_.TakeGarbage();
  if (!garbage.empty()) {
    Note(now, std::string(kToPeripheral) + "UNPARSEABLE " + std::to_string(garbage.size()) +
                  " bytes: " + HexBytes(garbage.data(), garbage.size()) +
                  " (header length below 6)");
    Violate(now, "packet header announces a length below 6");
  }
  Tick(now);
}

void Peripheral::HandlePacket(const Bytes& pkt, uint32_t now) {
  Header h = ParseHeader(pkt.data());
  // The host writes 0 into the status byte of every header it sends.
  if (h.status != 0) Violate(now, "status byte " + Hex2(h.status) + " in a host header");
  if (h.hsid != 0) {
    HandleData(pkt, now);
    return;
  }
  if (h.psid != 0 || h.credit != 0) {
    Violate(now, "command-channel header with non-zero psid or credit");
  }
  HandleCommand(pkt, now);
}

// ---------------------------------------------------------------- time

void Peripheral::Tick(uint32_t now) {
  if (!started_) {
    started_ = true;
    start_ms_ = now;
  }
  last_ms_ = now;
  if (splitter_.Pending() && now - last_rx_ms_ >= cfg_.inter_packet_ms) {
    Bytes partial = splitter_.TakePartial();
    Note(now, std::string(kToPeripheral) + "UNPARSEABLE " + std::to_string(partial.size()) +
                  " bytes: " + HexBytes(partial.data(), partial.size()) +
                  " (incomplete packet, then silence)");
    Violate(now, "incomplete packet of " + std::to_string(partial.size()) + " bytes");
  }
  if (holding_ && static_cast<int32_t>(now - hold_until_) >= 0) {
    holding_ = false;
    Note(now, std::string(kToHost) + "rest of the split packet and what waited behind it: " +
                  std::to_string(held_.size()) + " bytes");
    out_.insert(out_.end(), held_.begin(), held_.end());
    held_.clear();
  }
  for (size_t i = 0; i < scheduled_.size();) {
    if (static_cast<int32_t>(now - scheduled_[i].due_ms) >= 0) {
      Bytes b = std::move(scheduled_[i].bytes);
      scheduled_.erase(scheduled_.begin() + static_cast<ptrdiff_t>(i));
      Emit(b, now);
    } else {
      ++i;
    }
  }
  if (own_ && now - own_->sent_ms >= cfg_.reply_wait_ms) {
    Note(now, std::string(kNote) + "no answer to our " + CommandName(own_->command) + " after " +
                  std::to_string(cfg_.reply_wait_ms) + " ms");
    given_up_ = own_;
    own_.reset();
  }
  CheckTriggers(now);
  if (link_up_) ServeChannels(now);
  WaitBehaviours(now);
  SendNextOwn(now);
}

}  // namespace emu
