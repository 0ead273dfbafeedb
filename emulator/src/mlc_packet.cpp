#include "mlc_packet.h"

#include <cstdio>

namespace emu {

Header ParseHeader(const uint8_t* p) {
  Header h;
  h.hsid = p[0];
  h.psid = p[1];
  h.length = GetU16(p + 2);
  h.credit = p[4];
  h.status = p[5];
  return h;
}

void PutU16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v & 0xFF));
}

uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

Bytes MakePacket(uint8_t hsid, uint8_t psid, uint8_t credit, uint8_t status, const Bytes& payload) {
  Bytes out;
  out.reserve(kHeaderSize + payload.size());
  out.push_back(hsid);
  out.push_back(psid);
  PutU16(out, static_cast<uint16_t>(kHeaderSize + payload.size()));
  out.push_back(credit);
  out.push_back(status);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes MakeCommand(const Bytes& payload) { return MakePacket(0, 0, 0, 0, payload); }

namespace {
Bytes WithU16(Bytes head, uint16_t v) {
  PutU16(head, v);
  return head;
}
uint8_t Reply(uint8_t command) { return static_cast<uint8_t>(command | kReplyBit); }
}  // namespace

Bytes InitReply(uint8_t result, uint8_t revision) {
  return MakeCommand({Reply(kInit), result, revision});
}
Bytes OpenChannelReply(uint8_t result, uint16_t credit) {
  return MakeCommand(WithU16({Reply(kOpenChannel), result}, credit));
}
Bytes CloseChannelReply(uint8_t result) { return MakeCommand({Reply(kCloseChannel), result}); }
Bytes CreditReply(uint8_t result) { return MakeCommand({Reply(kCredit), result}); }
Bytes CreditRequestReply(uint8_t result, uint16_t credit) {
  return MakeCommand(WithU16({Reply(kCreditRequest), result}, credit));
}
Bytes ConfigSocketReply(uint8_t result, uint16_t htop, uint16_t ptoh, uint8_t status_level) {
  Bytes p{Reply(kConfigSocket), result};
  PutU16(p, htop);
  PutU16(p, ptoh);
  p.push_back(status_level);
  return MakeCommand(p);
}
Bytes ExitReply() { return MakeCommand({Reply(kExit), kResultOk}); }
Bytes DebitCommand(uint8_t hsid, uint8_t psid, uint16_t debit) {
  return MakeCommand(WithU16({kDebit, hsid, psid}, debit));
}
Bytes UnsupportedReply(uint8_t command) {
  return MakeCommand({Reply(command), kResultUnsupported});
}
Bytes CreditCommand(uint8_t hsid, uint8_t psid, uint16_t credit) {
  return MakeCommand(WithU16({kCredit, hsid, psid}, credit));
}
Bytes CreditRequestCommand(uint8_t hsid, uint8_t psid, uint16_t credit) {
  return MakeCommand(WithU16({kCreditRequest, hsid, psid}, credit));
}
Bytes ErrorCommand(uint8_t code) { return MakeCommand({kError, code}); }
Bytes InitCommand(uint8_t revision) { return MakeCommand({kInit, revision}); }
Bytes OpenChannelCommand(uint8_t hsid, uint8_t psid, uint16_t credit) {
  return MakeCommand(WithU16({kOpenChannel, hsid, psid}, credit));
}
Bytes CloseChannelCommand(uint8_t hsid, uint8_t psid) {
  return MakeCommand({kCloseChannel, hsid, psid});
}
Bytes ConfigSocketCommand(uint8_t psid, uint16_t htop, uint16_t ptoh, uint8_t status_level) {
  Bytes p{kConfigSocket, psid};
  PutU16(p, htop);
  PutU16(p, ptoh);
  p.push_back(status_level);
  return MakeCommand(p);
}
Bytes ExitCommand() { return MakeCommand({kExit}); }
Bytes DebitReplyFromHost(uint8_t result, uint16_t debit) {
  return MakeCommand(WithU16({Reply(kDebitRequest), result}, debit));
}

std::string CommandName(uint8_t v) {
  static const char* const kNames[] = {
      "MLC_INIT",  "MLC_OPEN_CHANNEL",  "MLC_CLOSE_CHANNEL", "MLC_CREDIT", "MLC_CREDIT_REQUEST",
      "MLC_DEBIT", "MLC_DEBIT_REQUEST", "MLC_CONFIG_SOCKET", "MLC_EXIT"};
  if (v == kError) return "MLC_ERROR";
  if (v <= kExit) return kNames[v];
  if (v >= kReplyBit && v <= (kReplyBit | kExit)) {
    return std::string(kNames[v & 0x7F]) + "_REPLY";
  }
  char buf[24];
  std::snprintf(buf, sizeof buf, "UNKNOWN_0x%02X", v);
  return buf;
}

size_t RequiredLength(uint8_t v, bool from_host) {
  if (from_host) {
    switch (v) {
      case kInit:
        return 8;
      case kOpenChannel:
        return 11;
      case kCloseChannel:
        return 9;
      case kCredit:
        return 11;
      case kCreditRequest:
        return 11;
      case kConfigSocket:
        return 13;
      case kExit:
        return 7;
      case kError:
        return 8;
      case kReplyBit | kCredit:
        return 8;
      case kReplyBit | kCreditRequest:
        return 10;
      case kReplyBit | kDebitRequest:
        return 10;  // the host's answer to MLC_DEBIT
      default:
        return (v & kReplyBit) ? 8 : 0;  // an "unsupported" answer
    }
  }
  switch (v) {
    case kReplyBit | kInit:
      return 9;
    case kReplyBit | kOpenChannel:
      return 10;
    case kReplyBit | kCloseChannel:
      return 8;
    case kReplyBit | kCredit:
      return 8;
    case kReplyBit | kCreditRequest:
      return 10;
    case kReplyBit | kDebit:
      return 8;
    case kReplyBit | kDebitRequest:
      return 10;
    case kReplyBit | kConfigSocket:
      return 13;
    case kCredit:
      return 11;
    case kDebit:
      return 11;
    default:
      return 0;
  }
}

std::string HexBytes(const uint8_t* p, size_t n, size_t max_shown) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n && i < max_shown; ++i) {
    std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
    s += b;
  }
  if (n > max_shown) s += " ...";
  return s;
}

namespace {
// Appends " name=value" for a field of the payload when the packet holds it.
struct FieldWriter {
  const uint8_t* pl;
  size_t n;
  std::string& s;
  void U8(const char* name, size_t at, bool hex = true) {
    if (at >= n) return;
    char b[32];
    std::snprintf(b, sizeof b, hex ? " %s=%02X" : " %s=%u", name, pl[at]);
    s += b;
  }
  void U16(const char* name, size_t at, bool hex = false) {
    if (at + 1 >= n) return;
    char b[40];
    std::snprintf(b, sizeof b, hex ? " %s=0x%04X" : " %s=%u", name, GetU16(pl + at));
    s += b;
  }
};
}  // namespace

std::string Describe(const uint8_t* p, size_t n) {
  char b[96];
  if (n < kHeaderSize) {
    std::snprintf(b, sizeof b, "UNPARSEABLE %zu bytes: ", n);
    return b + HexBytes(p, n);
  }
  Header h = ParseHeader(p);
  const uint8_t* pl = p + kHeaderSize;
  size_t pn = n - kHeaderSize;
  if (h.length < kHeaderSize) {
    std::snprintf(b, sizeof b, "HEADER announcing %u bytes, below 6: ", h.length);
    return b + HexBytes(p, n);
  }
  // Host socket id 0 is the command channel, whatever the other header bytes say.
  if (h.hsid != 0) {
    std::snprintf(b, sizeof b, "DATA hsid=%02X psid=%02X len=%u payload=%zu credit=%u status=%02X",
                  h.hsid, h.psid, h.length, pn, h.credit, h.status);
    return b;
  }
  std::string odd;
  if (h.psid != 0 || h.credit != 0 || h.status != 0) {
    std::snprintf(b, sizeof b, " [header psid=%02X credit=%u status=%02X]", h.psid, h.credit,
                  h.status);
    odd = b;
  }
  if (pn == 0) return "EMPTY command packet (len 6)" + odd;
  uint8_t v = pl[0];
  std::string s = CommandName(v);
  FieldWriter f{pl, pn, s};
  switch (v) {
    case kInit:
      f.U8("rev", 1, false);
      break;
    case kOpenChannel:
    case kCredit:
    case kCreditRequest:
    case kDebit:
      f.U8("hsid", 1);
      f.U8("psid", 2);
      f.U16(v == kDebit ? "debit" : "credit", 3);
      break;
    case kCloseChannel:
      f.U8("hsid", 1);
      f.U8("psid", 2);
      break;
    case kConfigSocket:
      f.U8("psid", 1);
      f.U16("htop", 2, true);
      f.U16("ptoh", 4, true);
      f.U8("status_level", 6);
      break;
    case kError:
      f.U8("code", 1, false);
      break;
    case kReplyBit | kInit:
      f.U8("result", 1);
      f.U8("rev", 2, false);
      break;
    case kReplyBit | kOpenChannel:
    case kReplyBit | kCreditRequest:
      f.U8("result", 1);
      f.U16("credit", 2);
      break;
    case kReplyBit | kDebitRequest:
      f.U8("result", 1);
      f.U16("debit", 2);
      break;
    case kReplyBit | kConfigSocket:
      f.U8("result", 1);
      f.U16("htop", 2, true);
      f.U16("ptoh", 4, true);
      f.U8("status_level", 6);
      break;
    default:
      if (v & kReplyBit) f.U8("result", 1);
      break;
  }
  std::snprintf(b, sizeof b, " (len %u)", h.length);
  s += b;
  if (v > (kReplyBit | kExit) || (v > kExit && v < kReplyBit && v != kError)) {
    s += " bytes: " + HexBytes(pl, pn);
  }
  return s + odd;
}

void PacketSplitter::Feed(const uint8_t* p, size_t n) { buf_.insert(buf_.end(), p, p + n); }

bool PacketSplitter::Next(Bytes& out) {
  if (buf_.size() < kHeaderSize) return false;
  uint16_t len = GetU16(buf_.data() + 2);
  if (len < kHeaderSize) {
    garbage_.insert(garbage_.end(), buf_.begin(), buf_.end());
    buf_.clear();
    return false;
  }
  if (buf_.size() < len) return false;
  out.assign(buf_.begin(), buf_.begin() + len);
  buf_.erase(buf_.begin(), buf_.begin() + len);
  return true;
}

Bytes PacketSplitter::TakeGarbage() {
  Bytes g;
  g.swap(garbage_);
  return g;
}

Bytes PacketSplitter::TakePartial() {
  Bytes g;
  g.swap(buf_);
  return g;
}

}  // namespace emu
