// The services behind the peripheral's sockets. A service takes the payload
// of each host data packet, says how many host packets it can hold (that is
// the credit the peripheral may grant), and produces the payloads it wants
// to send back. Credit and packet framing are the peripheral's business.
#ifndef EMU_SERVICES_H
#define EMU_SERVICES_H

#include <cstdint>
#include <deque>
#include <memory>

#include "emu_config.h"
#include "mlc_packet.h"

namespace emu {

struct ServiceStats {
  uint64_t packets_in = 0;
  uint64_t bytes_in = 0;
  uint64_t packets_out = 0;
  uint64_t bytes_out = 0;
  uint64_t bytes_drained = 0;  // sink: bytes consumed so far
};

class Service {
 public:
  explicit Service(const ServiceSetup& config) : config_(config) {}
  virtual ~Service() = default;
  const ServiceSetup& config() const { return config_; }
  const ServiceStats& stats() const { return stats_; }
  // A message (packet) channel rather than a byte stream.
  virtual bool IsPacketChannel() const { return false; }
  // Forgets what a previous channel left behind (the counters stay).
  virtual void Open(uint32_t now_ms) = 0;
  virtual void OnData(const uint8_t* p, size_t n, uint32_t now_ms) = 0;
  virtual void Tick(uint32_t /*now_ms*/) {}
  // Ticks change the service as time passes (a sink draining at its rate).
  virtual bool Timed() const { return false; }
  // Host packets the service can hold now, counting those still in flight.
  virtual uint32_t Capacity() const = 0;
  // Packets of at most max bytes the service still wants to send.
  virtual uint32_t PacketsWanted(size_t /*max*/) const { return 0; }
  // The next payload of at most max bytes (a message is cut to max).
  virtual Bytes TakeOutput(size_t /*max*/) { return {}; }
  virtual void StopDraining() {}
  // Sink with "store": everything received, in order.
  const Bytes& stored() const { return stored_; }

 protected:
  void CountIn(size_t n) {
    stats_.packets_in++;
    stats_.bytes_in += n;
  }
  void CountOut(size_t n) {
    stats_.packets_out++;
    stats_.bytes_out += n;
  }
  ServiceSetup config_;
  ServiceStats stats_;
  Bytes stored_;
};

// Print sink: holds up to `credit` packets and consumes them at `drain`
// bytes per second, so a slow sink makes the host run out of credit.
class SinkService : public Service {
 public:
  using Service::Service;
  void Open(uint32_t now_ms) override;
  void OnData(const uint8_t* p, size_t n, uint32_t now_ms) override;
  void Tick(uint32_t now_ms) override;
  uint32_t Capacity() const override;
  void StopDraining() override { config_.drain = 0; }
  bool Timed() const override { return config_.drain > 0 && !held_.empty(); }
  size_t held_packets() const { return held_.size(); }

 private:
  std::deque<size_t> held_;  // bytes still to consume of each held packet
  uint32_t last_ms_ = 0;
  double budget_ = 0;
};

// Echo: sends back every byte it receives; a packet's slot is free again
// once its bytes have gone out.
class EchoService : public Service {
 public:
  using Service::Service;
  void Open(uint32_t now_ms) override;
  void OnData(const uint8_t* p, size_t n, uint32_t now_ms) override;
  uint32_t Capacity() const override;
  uint32_t PacketsWanted(size_t max) const override;
  Bytes TakeOutput(size_t max) override;

 private:
  std::deque<Bytes> pending_;
};

// Source: after each open sends `bytes` bytes (byte i of the stream is
// i & 0xFF); whatever the host sends is counted and dropped.
class SourceService : public Service {
 public:
  using Service::Service;
  void Open(uint32_t now_ms) override;
  void OnData(const uint8_t* p, size_t n, uint32_t now_ms) override;
  uint32_t Capacity() const override { return config_.credit; }
  uint32_t PacketsWanted(size_t max) const override;
  Bytes TakeOutput(size_t max) override;

 private:
  uint64_t sent_ = 0;
};

// Message services (message channels): each message from the host is
// answered by one message, the configured text (status) or the message
// itself (msgecho); a message's slot is free again once its answer went out.
class MessageService : public Service {
 public:
  using Service::Service;
  bool IsPacketChannel() const override { return true; }
  void Open(uint32_t now_ms) override;
  void OnData(const uint8_t* p, size_t n, uint32_t now_ms) override;
  uint32_t Capacity() const override;
  uint32_t PacketsWanted(size_t /*max*/) const override {
    return static_cast<uint32_t>(answers_.size());
  }
  Bytes TakeOutput(size_t max) override;

 private:
  std::deque<Bytes> answers_;
};

std::unique_ptr<Service> MakeService(const ServiceSetup& config);

}  // namespace emu

#endif
