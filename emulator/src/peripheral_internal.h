// Small helpers shared by the files that implement the Peripheral.
#ifndef EMU_PERIPHERAL_INTERNAL_H
#define EMU_PERIPHERAL_INTERNAL_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "mlc_packet.h"

namespace emu {
namespace detail {

inline std::string Hex2(uint8_t v) {
  char b[8];
  std::snprintf(b, sizeof b, "0x%02X", v);
  return b;
}

inline uint32_t Cap16(uint64_t v) { return v > 0xFFFF ? 0xFFFF : static_cast<uint32_t>(v); }

// Commands of our own that the host answers as unsupported (all but these three).
inline bool IsUnsupportedByHost(uint8_t command) {
  return command != kCredit && command != kCreditRequest && command != kDebit;
}

// The host answers MLC_DEBIT with 0x86, every other command with command | 0x80.
inline uint8_t ExpectedAnswer(uint8_t command) {
  return static_cast<uint8_t>(kReplyBit | (command == kDebit ? uint8_t{kDebitRequest} : command));
}

}  // namespace detail
}  // namespace emu

#endif
