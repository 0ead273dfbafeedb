// The TCP bridge: attaches as the peripheral of a port while a TCP peer is
// connected and carries the raw bytes of the MLC channel (ECP address 0x4D)
// both ways; bytes on the synch channel (0x4E) are counted, not forwarded.
// Losing the connection detaches from the wire. The packets passing through
// are decoded into the trace.
#ifndef EMU_BRIDGE_H
#define EMU_BRIDGE_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "cli_options.h"
#include "mlc_packet.h"
#include "net_seam.h"
#include "trace.h"

namespace emu {

struct BridgeStats {
  uint64_t to_peer = 0;      // MLC bytes from the host sent to the TCP peer
  uint64_t from_peer = 0;    // bytes from the TCP peer written to the host
  uint64_t synch_bytes = 0;  // bytes on 0x4E, counted only
  uint64_t other_bytes = 0;  // bytes on any other channel address, dropped
  unsigned connections = 0;
};

class Bridge {
 public:
  Bridge(const BridgeOptions& opt, Trace* trace);
  ~Bridge();
  // Listens (listen mode); after it, port() is the TCP port in use.
  bool Prepare(std::string* error);
  uint16_t port() const { return port_; }
  // Serves until stop is set, the time is up, or (connect mode, or --once)
  // the connection ends. Returns 0, or 2 when nothing could be served.
  int Run(const std::atomic<bool>& stop);
  BridgeStats stats() const;
  bool attached() const { return peri_ != 0; }

 private:
  bool Attach();
  void Detach(const std::string& why);
  void Pump(net::Socket s, const std::atomic<bool>& stop, uint32_t deadline);
  void Decode(PacketSplitter& sp, const char* dir, const uint8_t* p, size_t n);
  uint32_t Ms() const;

  BridgeOptions opt_;
  Trace* trace_;
  uint16_t port_ = 0;
  net::Socket listener_ = net::kNoSocket;
  std::atomic<unsigned long> peri_{0};
  mutable std::mutex mu_;
  BridgeStats stats_;
  uint32_t start_ms_ = 0;
};

}  // namespace emu

#endif
