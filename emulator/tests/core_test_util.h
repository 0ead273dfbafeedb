// Drives the protocol core directly, playing the host, with a clock the
// test moves by hand.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "emu_config.h"
#include "mlc_packet.h"
#include "peripheral.h"
#include "trace.h"

namespace emu {

// Whole packets, then a trailing partial packet as is.
inline std::vector<Bytes> SplitPackets(const Bytes& stream) {
  PacketSplitter sp;
  sp.Feed(stream.data(), stream.size());
  std::vector<Bytes> out;
  for (Bytes pkt; sp.Next(pkt);) out.push_back(pkt);
  if (sp.Pending()) out.push_back(sp.TakePartial());
  return out;
}

inline EmuConfig ConfigWith(const std::vector<std::string>& services,
                            const std::vector<std::string>& faults = {}) {
  EmuConfig cfg;
  std::string err;
  for (const std::string& s : services) {
    cfg.services.emplace_back();
    if (!ParseService(s, &cfg.services.back(), &err)) std::abort();
  }
  for (const std::string& f : faults) {
    cfg.faults.emplace_back();
    if (!ParseFault(f, &cfg.faults.back(), &err)) std::abort();
  }
  return cfg;
}

struct Harness {
  explicit Harness(const EmuConfig& cfg) : p(cfg, &trace) {}
  // The host writes a packet; returns everything the peripheral answered.
  Bytes Send(const Bytes& pkt) {
    p.Receive(kMlcAddress, pkt.data(), pkt.size(), now);
    return p.TakeOutput();
  }
  // Time passes; returns what the peripheral sent meanwhile.
  Bytes Advance(uint32_t ms) {
    p.Tick(now += ms);
    return p.TakeOutput();
  }
  // MLC_INIT, MLC_CONFIG_SOCKET (default sizes) and MLC_OPEN_CHANNEL; returns the open reply.
  Bytes Open(uint8_t hsid, uint8_t psid, uint16_t credit) {
    Send(InitCommand(3));
    Send(ConfigSocketCommand(psid, 0x100C, 0x0406, 0));
    return Send(OpenChannelCommand(hsid, psid, credit));
  }
  size_t violations() const { return p.violations().size(); }

  Trace trace{nullptr, true};
  Peripheral p;
  uint32_t now = 5000;
};

}  // namespace emu
