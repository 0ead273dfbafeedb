// The host's commands and our replies to them, and the host's answers to
// the commands we start ourselves.
#include <algorithm>

#include "peripheral.h"
#include "peripheral_internal.h"

namespace emu {

using detail::Hex2;

namespace {
uint8_t Forced(const Fault* f) {
  return f && f->kind == FaultKind::kResult ? static_cast<uint8_t>(f->value) : 0;
}
}  // namespace

void Peripheral::HandleCommand(const Bytes& pkt, uint32_t now) {
  const uint8_t* pl = pkt.data() + kHeaderSize;
  size_t pn = pkt.size() - kHeaderSize;
  if (pn == 0) {
    Violate(now, "command packet without a command byte");
    return;
  }
  if (pn > kMaxCommandPayload) {
    Violate(now, "command payload of " + std::to_string(pn) + " bytes (more than 64)");
    return;
  }
  uint8_t cmd = pl[0];
  if (cmd & kReplyBit) {
    HandleHostReply(pkt, now);
    return;
  }
  bool known = cmd == kInit || cmd == kOpenChannel || cmd == kCloseChannel || cmd == kCredit ||
               cmd == kCreditRequest || cmd == kConfigSocket || cmd == kExit || cmd == kError;
  if (!known) {
    Violate(now, "unsupported command " + CommandName(cmd));
    Emit(UnsupportedReply(cmd), now);
    return;
  }
  size_t need = RequiredLength(cmd, true);
  if (pkt.size() != need) {
    Violate(now, "malformed " + CommandName(cmd) + ": length " + std::to_string(pkt.size()) +
                     ", expected " + std::to_string(need));
    return;
  }
  if (cmd == kError) {
    host_errors_.push_back(pl[1]);
    DropLink(now, "host sent MLC_ERROR code " + std::to_string(pl[1]));
    return;
  }
  if (cmd != kInit && !link_up_) {
    NotInitialised(now, CommandName(cmd));
    return;
  }
  unsigned occurrence = ++command_count_[cmd];
  Fault* f = FindReplyFault(cmd, occurrence);
  switch (cmd) {
    case kInit:
      OnInit(pl, f, now);
      break;
    case kConfigSocket:
      OnConfigSocket(pl, f, now);
      break;
    case kOpenChannel:
      OnOpen(pl, f, now);
      break;
    case kCloseChannel:
      OnClose(pl, f, now);
      break;
    case kCredit:
      OnCredit(pl, f, now);
      break;
    case kCreditRequest:
      OnCreditRequest(pl, f, now);
      break;
    case kExit: {
      Bytes reply = ExitReply();
      if (f && f->kind == FaultKind::kResult) reply[7] = static_cast<uint8_t>(f->value);
      EmitReply(kExit, reply, f, now);
      DropLink(now, "MLC_EXIT");
      break;
    }
    default:
      break;
  }
  FireCommandTriggers(cmd, occurrence, now);
}

void Peripheral::DropLink(uint32_t now, const std::string& why) {
  link_up_ = false;
  channels_.clear();
  sockets_.clear();
  highest_opened_ = 0;
  own_.reset();
  given_up_.reset();
  own_queue_.clear();
  Note(now, std::string(kNote) + "link down: " + why);
}

void Peripheral::NotInitialised(uint32_t now, const std::string& what) {
  // Sent before the host could read our MLC_ERROR (a write in progress
  // reads nothing until it needs credit): not the host's mistake. A host
  // still talking a second later did not take the error in.
  if (dropped_by_us_ && now - dropped_at_ < 1000)
    Note(now, std::string(kNote) + what + " crossed our MLC_ERROR");
  else
    Violate(now, what + " on a link that is not initialised");
}

void Peripheral::OnInit(const uint8_t* pl, Fault* f, uint32_t now) {
  host_revision_ = pl[1];
  dropped_by_us_ = false;
  if (link_up_ || !channels_.empty()) DropLink(now, "MLC_INIT on a live link");
  silent_ = false;
  uint8_t result = Forced(f);
  link_up_ = result == kResultOk;
  EmitReply(kInit, InitReply(result, cfg_.revision), f, now);
  if (link_up_) Note(now, std::string(kNote) + "link up, host revision " + std::to_string(pl[1]));
}

void Peripheral::OnConfigSocket(const uint8_t* pl, Fault* f, uint32_t now) {
  uint8_t psid = pl[1];
  uint16_t htop = GetU16(pl + 2);
  uint16_t ptoh = GetU16(pl + 4);
  uint8_t level = pl[6];
  uint8_t result = Forced(f);
  auto agreed = sockets_.find(psid);
  if (!result && agreed != sockets_.end()) {
    // The host keeps a socket's configuration until the link goes down and
    // reuses it for every channel; asking again means its books lost it.
    // The agreement in force stands and is repeated.
    Violate(now, "second MLC_CONFIG_SOCKET for socket " + std::to_string(psid) +
                     ", configured already on this link");
    const SocketConfig& sc = agreed->second;
    EmitReply(kConfigSocket, ConfigSocketReply(kResultOk, sc.htop, sc.ptoh, sc.status_level), f,
              now);
    return;
  }
  if (!result && (htop <= kHeaderSize || ptoh <= kHeaderSize)) {
    Violate(now, "MLC_CONFIG_SOCKET proposes packets with no room for data");
    result = kResultRefused;
  }
  if (!result && !services_.count(psid)) {
    Note(now, std::string(kNote) + "socket " + std::to_string(psid) + " is not served: refused");
    result = kResultRefused;
  }
  if (result) {
    EmitReply(kConfigSocket, ConfigSocketReply(result, 0, 0, 0), f, now);
    return;
  }
  SocketConfig sc;
  sc.htop = std::min(htop, cfg_.max_htop);
  sc.ptoh = std::min(ptoh, cfg_.max_ptoh);
  sc.status_level = std::min(level, cfg_.max_status_level);
  sockets_[psid] = sc;
  EmitReply(kConfigSocket, ConfigSocketReply(kResultOk, sc.htop, sc.ptoh, sc.status_level), f, now);
}

void Peripheral::OnOpen(const uint8_t* pl, Fault* f, uint32_t now) {
  uint8_t hsid = pl[1];
  uint8_t psid = pl[2];
  uint16_t credit = GetU16(pl + 3);
  uint8_t result = kResultOk;
  if (hsid < 0x80) {
    Violate(now, "MLC_OPEN_CHANNEL with host socket id " + Hex2(hsid) + " below 0x80");
    result = kResultRefused;
  } else if (channels_.count(hsid)) {
    Violate(now, "MLC_OPEN_CHANNEL for host socket " + Hex2(hsid) + ", which is already open");
    result = kResultRefused;
  } else if (!services_.count(psid)) {
    Note(now, std::string(kNote) + "socket " + std::to_string(psid) + " is not served: refused");
    result = kResultRefused;
  } else if (!sockets_.count(psid)) {
    Violate(now, "MLC_OPEN_CHANNEL to socket " + std::to_string(psid) + " before its config");
    result = kResultRefused;
  } else if (ChannelsOn(psid) >= ChannelLimit(psid) || channels_.size() >= cfg_.max_channels) {
    result = kResultMaxxedOut;
  }
  if (Forced(f)) result = Forced(f);
  if (result) {
    EmitReply(kOpenChannel, OpenChannelReply(result, 0), f, now);
    return;
  }
  Service* svc = ServiceForOpen(psid);
  const SocketConfig& sc = sockets_[psid];
  ChannelBook ch;
  ch.hsid = hsid;
  ch.psid = psid;
  ch.htop_payload = sc.htop - kHeaderSize;
  ch.ptoh_payload = sc.ptoh - kHeaderSize;
  ch.peri_credit = credit;
  ch.host_grants = credit > 0;
  ch.service = svc;
  svc->Open(now);
  ChannelBook& book = channels_[hsid] = ch;
  uint32_t grant = Grantable(book);
  book.host_credit = grant;
  book.granted_total = grant;
  last_opened_ = hsid;
  highest_opened_ = std::max(highest_opened_, hsid);
  EmitReply(kOpenChannel, OpenChannelReply(kResultOk, static_cast<uint16_t>(grant)), f, now);
}

void Peripheral::OnClose(const uint8_t* pl, Fault* f, uint32_t now) {
  uint8_t hsid = pl[1];
  uint8_t psid = pl[2];
  auto it = channels_.find(hsid);
  if (it == channels_.end() || it->second.psid != psid) {
    Violate(now, "MLC_CLOSE_CHANNEL for " + Hex2(hsid) + "/" + std::to_string(psid) +
                     ", which is not open");
    EmitReply(kCloseChannel, CloseChannelReply(kResultRefused), f, now);
    return;
  }
  uint8_t result = Forced(f);
  if (!result) {
    channels_.erase(it);
    own_queue_.erase(std::remove_if(own_queue_.begin(), own_queue_.end(),
                                    [hsid](const OwnCommand& c) { return c.hsid == hsid; }),
                     own_queue_.end());
  }
  EmitReply(kCloseChannel, CloseChannelReply(result), f, now);
}

void Peripheral::OnCredit(const uint8_t* pl, Fault* f, uint32_t now) {
  uint8_t hsid = pl[1];
  uint8_t psid = pl[2];
  uint16_t credit = GetU16(pl + 3);
  auto it = channels_.find(hsid);
  uint8_t result = Forced(f);
  if (it == channels_.end() || it->second.psid != psid) {
    Violate(now,
            "MLC_CREDIT for " + Hex2(hsid) + "/" + std::to_string(psid) + ", which is not open");
    result = kResultNotApplied;
  } else if (it->second.peri_credit + credit > 0xFFFF) {
    Violate(now, "MLC_CREDIT takes our credit past 65535");
    result = kResultNotApplied;
  } else if (!result) {
    it->second.peri_credit += credit;
    if (credit) it->second.credit_request_sent = false;
    // With data on fresh credit, what waited for it goes out at once, ahead of the reply.
    if (credit && cfg_.data_on_credit) SendWanted(it->second, now);
  }
  EmitReply(kCredit, CreditReply(result), f, now);
}

void Peripheral::OnCreditRequest(const uint8_t* pl, Fault* f, uint32_t now) {
  uint8_t hsid = pl[1];
  uint8_t psid = pl[2];
  uint16_t want = GetU16(pl + 3);
  auto it = channels_.find(hsid);
  uint8_t result = Forced(f);
  uint32_t grant = 0;
  if (it == channels_.end() || it->second.psid != psid) {
    Violate(now, "MLC_CREDIT_REQUEST for " + Hex2(hsid) + "/" + std::to_string(psid) +
                     ", which is not open");
    result = kResultNotApplied;
  } else if (!result) {
    grant = std::min<uint32_t>(Grantable(it->second), want);
    it->second.host_credit += grant;
    it->second.granted_total += grant;
  }
  EmitReply(kCreditRequest, CreditRequestReply(result, static_cast<uint16_t>(grant)), f, now);
}

// ---------------------------------------------------------------- the host's answers

void Peripheral::HandleHostReply(const Bytes& pkt, uint32_t now) {
  if (TakeFloodAnswer(pkt, now)) return;
  const uint8_t* pl = pkt.data() + kHeaderSize;
  uint8_t v = pl[0];
  if (!own_ && given_up_ && v == detail::ExpectedAnswer(given_up_->command)) {
    Note(now, std::string(kNote) + "late answer to our " + CommandName(given_up_->command));
    given_up_.reset();
    return;
  }
  if (!own_ && !link_up_) {  // our command went with the link we dropped
    NotInitialised(now, CommandName(v));
    return;
  }
  if (!own_) {
    Violate(now, CommandName(v) + " answers nothing we sent");
    return;
  }
  OwnCommand own = *own_;
  own_.reset();
  if (v != detail::ExpectedAnswer(own.command)) {
    Violate(now, CommandName(v) + " does not answer our " + CommandName(own.command));
    return;
  }
  // An unsupported command is answered with 8 bytes whatever its value
  // (0x86 then too, although the answer to MLC_DEBIT shares that value).
  bool unsupported = detail::IsUnsupportedByHost(own.command);
  size_t need = unsupported ? 8 : RequiredLength(v, true);
  if (pkt.size() != need) {
    Violate(now, "malformed " + CommandName(v) + ": length " + std::to_string(pkt.size()) +
                     ", expected " + std::to_string(need));
    return;
  }
  uint8_t result = pl[1];
  CheckAnswerResult(own, result, now);
  if (unsupported || own.stray) return;
  auto it = channels_.find(own.hsid);
  if (it == channels_.end()) return;
  ChannelBook& ch = it->second;
  if (own.command == kCredit && result != kResultOk) {
    uint32_t back = std::min<uint32_t>(ch.host_credit, own.value);
    ch.host_credit -= back;
    ch.granted_total -= std::min(ch.granted_total, back);
    Note(now, std::string(kNote) + "host did not apply our credit (result " +
                  std::to_string(result) + ")");
  } else if (own.command == kCreditRequest) {
    uint16_t credit = GetU16(pl + 2);
    if (ch.peri_credit + credit > 0xFFFF) {
      Violate(now, "MLC_CREDIT_REQUEST_REPLY takes our credit past 65535");
    } else {
      ch.peri_credit += credit;
    }
  } else if (own.command == kDebit && result == kResultOk) {
    // The debited credit is gone for good: it is not granted again on this channel.
    uint32_t debit = std::min(ch.host_credit, static_cast<uint32_t>(GetU16(pl + 2)));
    ch.host_credit -= debit;
    ch.withheld += debit;
    Note(now, std::string(kNote) + "host gave up " + std::to_string(debit) + " credit on " +
                  Hex2(ch.hsid) + "; withheld for the channel's life");
  }
}

// The results the host must give: 0xFF to a command it does not support,
// and never 0 (applied) to credit or debit for a socket pair that is not open.
void Peripheral::CheckAnswerResult(const OwnCommand& own, uint8_t result, uint32_t now) {
  if (detail::IsUnsupportedByHost(own.command)) {
    if (result != kResultUnsupported) {
      Violate(now, "our unsupported command " + Hex2(own.command) + " answered with result " +
                       Hex2(result) + " instead of 0xFF");
    }
    return;
  }
  if (own.stray && result == kResultOk) {
    Violate(now, "host applied our " + CommandName(own.command) + " for " + Hex2(own.hsid) + "/" +
                     std::to_string(own.psid) + ", which is not open");
  }
}

}  // namespace emu
