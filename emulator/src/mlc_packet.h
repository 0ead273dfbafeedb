// MLC packet codec: header layout, command and reply values, builders for
// every command-channel packet either side sends, a splitter that cuts a
// byte stream into whole packets, and a one-line decoder for the trace.
// Pure functions on bytes; nothing here knows about the wire or time.
#ifndef EMU_MLC_PACKET_H
#define EMU_MLC_PACKET_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace emu {

using Bytes = std::vector<uint8_t>;

constexpr size_t kHeaderSize = 6;
constexpr size_t kMaxCommandPayload = 64;

// ECP channel addresses carried by the wire.
constexpr uint8_t kMlcAddress = 0x4D;
constexpr uint8_t kSynchAddress = 0x4E;

enum Command : uint8_t {
  kInit = 0x00,
  kOpenChannel = 0x01,
  kCloseChannel = 0x02,
  kCredit = 0x03,
  kCreditRequest = 0x04,
  kDebit = 0x05,
  kDebitRequest = 0x06,
  kConfigSocket = 0x07,
  kExit = 0x08,
  kError = 0x7F,
};
constexpr uint8_t kReplyBit = 0x80;

// Result bytes of replies.
constexpr uint8_t kResultOk = 0x00;
constexpr uint8_t kResultMaxxedOut = 0x01;
// Our refusal of a socket we do not serve or a request we cannot honour.
constexpr uint8_t kResultRefused = 0x02;
constexpr uint8_t kResultNotApplied = 0x03;
constexpr uint8_t kResultUnsupported = 0xFF;

struct Header {
  uint8_t hsid = 0;
  uint8_t psid = 0;
  uint16_t length = 0;  // whole packet, header included
  uint8_t credit = 0;
  uint8_t status = 0;
};

Header ParseHeader(const uint8_t* p);
void PutU16(Bytes& out, uint16_t v);
uint16_t GetU16(const uint8_t* p);

// A whole packet: header (length filled in) followed by the payload.
Bytes MakePacket(uint8_t hsid, uint8_t psid, uint8_t credit, uint8_t status, const Bytes& payload);
// A command-channel packet (both socket ids 0, credit and status 0).
Bytes MakeCommand(const Bytes& payload);

// Packets a peripheral sends.
Bytes InitReply(uint8_t result, uint8_t revision);
Bytes OpenChannelReply(uint8_t result, uint16_t credit);
Bytes CloseChannelReply(uint8_t result);
Bytes CreditReply(uint8_t result);
Bytes CreditRequestReply(uint8_t result, uint16_t credit);
Bytes ConfigSocketReply(uint8_t result, uint16_t htop, uint16_t ptoh, uint8_t status_level);
Bytes ExitReply();
Bytes DebitCommand(uint8_t hsid, uint8_t psid, uint16_t debit);
Bytes UnsupportedReply(uint8_t command);

// Packets either side sends (same layout in both directions).
Bytes CreditCommand(uint8_t hsid, uint8_t psid, uint16_t credit);
Bytes CreditRequestCommand(uint8_t hsid, uint8_t psid, uint16_t credit);
Bytes ErrorCommand(uint8_t code);

// Packets a host sends (the tests play the host).
Bytes InitCommand(uint8_t revision);
Bytes OpenChannelCommand(uint8_t hsid, uint8_t psid, uint16_t credit);
Bytes CloseChannelCommand(uint8_t hsid, uint8_t psid);
Bytes ConfigSocketCommand(uint8_t psid, uint16_t htop, uint16_t ptoh, uint8_t status_level);
Bytes ExitCommand();
Bytes DebitReplyFromHost(uint8_t result, uint16_t debit);  // command byte 0x86

// Name of a command or reply value ("MLC_OPEN_CHANNEL_REPLY", "UNKNOWN_0x9A").
std::string CommandName(uint8_t value);
// Total length a packet with this command byte must have; 0 = any.
size_t RequiredLength(uint8_t value, bool from_host);

// One decoded line for a whole packet of n bytes: command with its fields,
// or a data packet with its ids, lengths, credit and status.
std::string Describe(const uint8_t* p, size_t n);
std::string HexBytes(const uint8_t* p, size_t n, size_t max_shown = 16);

// Cuts a byte stream into whole packets. A header announcing fewer than 6
// bytes cannot be framed: everything buffered is given up as garbage.
class PacketSplitter {
 public:
  void Feed(const uint8_t* p, size_t n);
  // Moves the next whole packet into out; false when none is complete.
  bool Next(Bytes& out);
  // Bytes that cannot be framed (bad header length); cleared by the call.
  Bytes TakeGarbage();
  // Drops a partial packet (used after an inter-packet time-out).
  Bytes TakePartial();
  size_t Pending() const { return buf_.size(); }

 private:
  Bytes buf_;
  Bytes garbage_;
};

}  // namespace emu

#endif
