// Drives the protocol core directly, playing the host, with a clock the
// test moves by hand.
#ifndef EMU_CORE_TEST_UTIL_H
#define EMU_CORE_TEST_UTIL_H

#include <memory>
#include <string>
#include <vector>

#include "emu_config.h"
#include "mlc_packet.h"
#include "peripheral.h"
#include "trace.h"

namespace emu {

Bytes Hex(const std::string& hex);  // "00 00 00 09" -> bytes
std::vector<Bytes> SplitPackets(const Bytes& stream);
EmuConfig ConfigWith(const std::vector<std::string>& services,
                     const std::vector<std::string>& faults = {});

struct Harness {
  explicit Harness(const EmuConfig& cfg);
  // The host writes a packet; returns everything the peripheral answered.
  Bytes Send(const Bytes& pkt);
  // Time passes; returns what the peripheral sent meanwhile.
  Bytes Advance(uint32_t ms);
  // MLC_INIT, MLC_CONFIG_SOCKET (default sizes) and MLC_OPEN_CHANNEL; returns the open reply.
  Bytes Open(uint8_t hsid, uint8_t psid, uint16_t credit);
  size_t violations() const { return p.violations().size(); }

  Trace trace{nullptr, true};
  Peripheral p;
  uint32_t now = 5000;
};

}  // namespace emu

#endif
