#include "services.h"

#include <algorithm>

namespace emu {

namespace {
uint32_t FreeSlots(uint32_t credit, size_t used) {
  return used >= credit ? 0 : static_cast<uint32_t>(credit - used);
}
uint32_t PacketsFor(uint64_t bytes, size_t max) {
  if (max == 0) return 0;
  uint64_t n = (bytes + max - 1) / max;
  return n > 0xFFFF ? 0xFFFF : static_cast<uint32_t>(n);
}
}  // namespace

void SinkService::Open(uint32_t now_ms) {
  held_.clear();
  last_ms_ = now_ms;
  budget_ = 0;
}

void SinkService::OnData(const uint8_t* p, size_t n, uint32_t now_ms) {
  CountIn(n);
  if (config_.store) stored_.insert(stored_.end(), p, p + n);
  held_.push_back(n);
  Tick(now_ms);
}

void SinkService::Tick(uint32_t now_ms) {
  uint32_t elapsed = now_ms - last_ms_;
  last_ms_ = now_ms;
  if (config_.drain < 0) {
    for (size_t n : held_) stats_.bytes_drained += n;
    held_.clear();
    return;
  }
  if (held_.empty()) {
    budget_ = 0;  // an idle sink saves nothing up
    return;
  }
  budget_ += static_cast<double>(config_.drain) * elapsed / 1000.0;
  while (!held_.empty() && budget_ >= static_cast<double>(held_.front())) {
    budget_ -= static_cast<double>(held_.front());
    stats_.bytes_drained += held_.front();
    held_.pop_front();
  }
  if (held_.empty()) budget_ = 0;
}

uint32_t SinkService::Capacity() const { return FreeSlots(config_.credit, held_.size()); }

void EchoService::Open(uint32_t /*now_ms*/) { pending_.clear(); }

void EchoService::OnData(const uint8_t* p, size_t n, uint32_t /*now_ms*/) {
  CountIn(n);
  pending_.emplace_back(p, p + n);
}

uint32_t EchoService::Capacity() const { return FreeSlots(config_.credit, pending_.size()); }

uint32_t EchoService::PacketsWanted(size_t max) const {
  uint64_t bytes = 0;
  for (const Bytes& b : pending_) bytes += b.size();
  return PacketsFor(bytes, max);
}

Bytes EchoService::TakeOutput(size_t max) {
  Bytes out;
  while (!pending_.empty() && out.size() < max) {
    Bytes& front = pending_.front();
    size_t take = std::min(max - out.size(), front.size());
    out.insert(out.end(), front.begin(), front.begin() + static_cast<ptrdiff_t>(take));
    front.erase(front.begin(), front.begin() + static_cast<ptrdiff_t>(take));
    if (front.empty()) pending_.pop_front();
  }
  if (!out.empty()) CountOut(out.size());
  return out;
}

void SourceService::Open(uint32_t /*now_ms*/) { sent_ = 0; }

void SourceService::OnData(const uint8_t* /*p*/, size_t n, uint32_t /*now_ms*/) { CountIn(n); }

uint32_t SourceService::PacketsWanted(size_t max) const {
  return PacketsFor(config_.bytes - sent_, max);
}

Bytes SourceService::TakeOutput(size_t max) {
  uint64_t left = config_.bytes - sent_;
  size_t n = static_cast<size_t>(std::min<uint64_t>(left, max));
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>((sent_ + i) & 0xFF);
  sent_ += n;
  if (n) CountOut(n);
  return out;
}

void MessageService::Open(uint32_t /*now_ms*/) { answers_.clear(); }

void MessageService::OnData(const uint8_t* p, size_t n, uint32_t /*now_ms*/) {
  CountIn(n);
  if (config_.kind == ServiceKind::kStatus)
    answers_.emplace_back(config_.text.begin(), config_.text.end());
  else
    answers_.emplace_back(p, p + n);
}

uint32_t MessageService::Capacity() const { return FreeSlots(config_.credit, answers_.size()); }

Bytes MessageService::TakeOutput(size_t max) {
  if (answers_.empty()) return {};
  Bytes out = std::move(answers_.front());
  answers_.pop_front();
  if (out.size() > max) out.resize(max);
  CountOut(out.size());
  return out;
}

std::unique_ptr<Service> MakeService(const ServiceSetup& config) {
  switch (config.kind) {
    case ServiceKind::kSink:
      return std::make_unique<SinkService>(config);
    case ServiceKind::kEcho:
      return std::make_unique<EchoService>(config);
    case ServiceKind::kSource:
      return std::make_unique<SourceService>(config);
    case ServiceKind::kStatus:
    case ServiceKind::kMessageEcho:
      return std::make_unique<MessageService>(config);
  }
  return nullptr;
}

}  // namespace emu
