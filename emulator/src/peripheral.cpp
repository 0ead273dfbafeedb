#include "peripheral.h"

#include <algorithm>
#include <cstdio>

namespace emu {

namespace {

std::string Hex2(uint8_t v) {
  char b[8];
  std::snprintf(b, sizeof b, "0x%02X", v);
  return b;
}

Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i & 0xFF);
  return b;
}

void SetLength(Bytes& pkt) {
  pkt[2] = static_cast<uint8_t>(pkt.size() >> 8);
  pkt[3] = static_cast<uint8_t>(pkt.size() & 0xFF);
}

uint32_t Cap16(uint64_t v) { return v > 0xFFFF ? 0xFFFF : static_cast<uint32_t>(v); }

}  // namespace

Peripheral::Peripheral(const EmuConfig& cfg, Trace* trace) : cfg_(cfg), trace_(trace) {
  for (const ServiceSpec& s : cfg_.services) services_[s.psid] = MakeService(s);
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
  return it == services_.end() ? nullptr : it->second.get();
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

void Peripheral::Emit(const Bytes& packet, uint32_t now) {
  if (silent_) {
    Note(now, std::string(kNote) + "silent, not sent: " + Describe(packet.data(), packet.size()));
    return;
  }
  Note(now, kToHost + Describe(packet.data(), packet.size()));
  out_.insert(out_.end(), packet.begin(), packet.end());
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
  if (h.hsid != 0) {
    HandleData(pkt, now);
    return;
  }
  if (h.psid != 0 || h.credit != 0 || h.status != 0) {
    Violate(now, "command-channel header with non-zero psid, credit or status");
  }
  HandleCommand(pkt, now);
}

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
    Violate(now, CommandName(cmd) + " on a link that is not initialised");
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
  own_.reset();
  given_up_.reset();
  own_queue_.clear();
  Note(now, std::string(kNote) + "link down: " + why);
}

namespace {
uint8_t Forced(const Fault* f) {
  return f && f->kind == FaultKind::kResult ? static_cast<uint8_t>(f->value) : 0;
}
}  // namespace

void Peripheral::OnInit(const uint8_t* pl, Fault* f, uint32_t now) {
  host_revision_ = pl[1];
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
  bool psid_busy = std::any_of(channels_.begin(), channels_.end(),
                               [psid](const auto& c) { return c.second.psid == psid; });
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
  } else if (psid_busy || channels_.size() >= cfg_.max_channels) {
    result = kResultMaxxedOut;
  }
  if (Forced(f)) result = Forced(f);
  if (result) {
    EmitReply(kOpenChannel, OpenChannelReply(result, 0), f, now);
    return;
  }
  Service* svc = services_[psid].get();
  const SocketConfig& sc = sockets_[psid];
  ChannelBook ch;
  ch.hsid = hsid;
  ch.psid = psid;
  ch.htop_payload = sc.htop - kHeaderSize;
  ch.ptoh_payload = sc.ptoh - kHeaderSize;
  ch.peri_credit = credit;
  ch.service = svc;
  svc->Open(now);
  channels_[hsid] = ch;
  uint32_t grant = Grantable(channels_[hsid]);
  channels_[hsid].host_credit = grant;
  channels_[hsid].granted_total = grant;
  last_opened_ = hsid;
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

namespace {
// The host answers MLC_DEBIT with 0x86, every other command with command | 0x80.
uint8_t ExpectedReply(uint8_t command) {
  return static_cast<uint8_t>(kReplyBit | (command == kDebit ? uint8_t{kDebitRequest} : command));
}
}  // namespace

void Peripheral::HandleHostReply(const Bytes& pkt, uint32_t now) {
  const uint8_t* pl = pkt.data() + kHeaderSize;
  uint8_t v = pl[0];
  if (!own_ && given_up_ && v == ExpectedReply(given_up_->command)) {
    Note(now, std::string(kNote) + "late answer to our " + CommandName(given_up_->command));
    given_up_.reset();
    return;
  }
  if (!own_) {
    Violate(now, CommandName(v) + " answers nothing we sent");
    return;
  }
  OwnCommand own = *own_;
  own_.reset();
  uint8_t expected = ExpectedReply(own.command);
  if (v != expected) {
    Violate(now, CommandName(v) + " does not answer our " + CommandName(own.command));
    return;
  }
  if (pkt.size() != RequiredLength(v, true)) {
    Violate(now, "malformed " + CommandName(v) + ": length " + std::to_string(pkt.size()));
    return;
  }
  uint8_t result = pl[1];
  auto it = channels_.find(own.hsid);
  if (it == channels_.end()) return;
  ChannelBook& ch = it->second;
  if (own.command == kCredit && result != kResultOk) {
    uint32_t back = std::min(ch.host_credit, static_cast<uint32_t>(own.value));
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
    uint16_t debit = GetU16(pl + 2);
    ch.host_credit -= std::min(ch.host_credit, static_cast<uint32_t>(debit));
  }
}

void Peripheral::HandleData(const Bytes& pkt, uint32_t now) {
  Header h = ParseHeader(pkt.data());
  size_t n = pkt.size() - kHeaderSize;
  if (!link_up_) {
    Violate(now, "data packet for " + Hex2(h.hsid) + " on a link that is not initialised");
    return;
  }
  auto it = channels_.find(h.hsid);
  if (it == channels_.end()) {
    Violate(now, "data packet for host socket " + Hex2(h.hsid) + ", which is not open");
    return;
  }
  ChannelBook& ch = it->second;
  if (h.psid != ch.psid) {
    Violate(now, "data packet for " + Hex2(h.hsid) + " names socket " + std::to_string(h.psid) +
                     " instead of " + std::to_string(ch.psid));
    return;
  }
  if (n == 0) return;  // carries nothing, costs nothing
  if (n > ch.htop_payload) {
    Violate(now, "data packet of " + std::to_string(n) + " bytes on " + Hex2(h.hsid) +
                     ", longer than the agreed " + std::to_string(ch.htop_payload));
    return;
  }
  if (ch.host_credit == 0) {
    Violate(now, "data packet on " + Hex2(h.hsid) + " without credit");
    return;
  }
  ch.host_credit--;
  ch.packets_in++;
  ch.bytes_in += n;
  data_bytes_in_ += n;
  if (h.credit) {
    if (ch.peri_credit + h.credit > 0xFFFF) {
      Violate(now, "credit in a data header takes our credit past 65535");
    } else {
      ch.peri_credit += h.credit;
      ch.credit_request_sent = false;
    }
  }
  ch.service->OnData(pkt.data() + kHeaderSize, n, now);
  CheckTriggers(now);
}

// ---------------------------------------------------------------- faults

Fault* Peripheral::FindReplyFault(uint8_t command, unsigned occurrence) {
  for (Fault& f : cfg_.faults) {
    if (!f.fired && IsReplyFault(f.kind) && f.command == command && f.nth == occurrence) {
      return &f;
    }
  }
  return nullptr;
}

void Peripheral::EmitReply(uint8_t command, Bytes reply, Fault* f, uint32_t now) {
  if (!f) {
    Emit(reply, now);
    return;
  }
  f->fired = true;
  Note(now, kFaultNote + FaultText(*f));
  switch (f->kind) {
    case FaultKind::kNoReply:
      return;
    case FaultKind::kLateReply:
      scheduled_.push_back({now + static_cast<uint32_t>(f->value), reply});
      return;
    case FaultKind::kBadLength:
      if (f->value > 0) {
        reply.insert(reply.end(), static_cast<size_t>(f->value), 0);
      } else {
        size_t cut = std::min<size_t>(static_cast<size_t>(-f->value), reply.size() - 7);
        reply.resize(reply.size() - cut);
      }
      SetLength(reply);
      break;
    case FaultKind::kUnknownReply:
      reply[kHeaderSize] = static_cast<uint8_t>(f->value);
      break;
    case FaultKind::kHalf: {
      size_t half = std::max<size_t>(1, reply.size() / 2);
      Note(now, std::string(kToHost) + "PARTIAL " + std::to_string(half) + " of " +
                    std::to_string(reply.size()) + " bytes of " + CommandName(command | kReplyBit) +
                    ": " + HexBytes(reply.data(), half) + ", then silence");
      out_.insert(out_.end(), reply.begin(), reply.begin() + static_cast<ptrdiff_t>(half));
      silent_ = true;
      return;
    }
    default:
      break;
  }
  Emit(reply, now);
}

void Peripheral::FireCommandTriggers(uint8_t command, unsigned occurrence, uint32_t now) {
  for (size_t i = 0; i < cfg_.faults.size(); ++i) {
    Fault& f = cfg_.faults[i];
    if (!f.fired && !IsReplyFault(f.kind) && f.when.kind == Trigger::kCommand &&
        f.when.command == command && f.when.nth == occurrence) {
      FireEvent(f, now);
    }
  }
}

void Peripheral::CheckTriggers(uint32_t now) {
  for (size_t i = 0; i < cfg_.faults.size(); ++i) {
    Fault& f = cfg_.faults[i];
    if (f.fired || IsReplyFault(f.kind)) continue;
    if ((f.when.kind == Trigger::kTime && Ms(now) >= f.when.value) ||
        (f.when.kind == Trigger::kBytes && data_bytes_in_ >= f.when.value)) {
      FireEvent(f, now);
    }
  }
}

ChannelBook* Peripheral::Target() {
  auto it = channels_.find(last_opened_);
  if (it != channels_.end()) return &it->second;
  return channels_.empty() ? nullptr : &channels_.begin()->second;
}

void Peripheral::FireEvent(Fault& f, uint32_t now) {
  f.fired = true;
  Note(now, kFaultNote + FaultText(f));
  bool needs_channel = f.kind == FaultKind::kNoCredit || f.kind == FaultKind::kOversize ||
                       f.kind == FaultKind::kBadPsid || f.kind == FaultKind::kOverflow ||
                       f.kind == FaultKind::kDebit || f.kind == FaultKind::kCreditRequest;
  ChannelBook* ch = needs_channel ? Target() : nullptr;
  if (needs_channel && !ch) {
    Note(now, std::string(kNote) + "no open channel: fault not committed");
    return;
  }
  switch (f.kind) {
    case FaultKind::kError:
      Emit(ErrorCommand(static_cast<uint8_t>(f.value)), now);
      DropLink(now, "sent MLC_ERROR");
      break;
    case FaultKind::kNoCredit: {
      uint32_t n = ch->peri_credit + 1;
      for (uint32_t i = 0; i < n; ++i) {
        Emit(MakePacket(ch->hsid, ch->psid, 0, 0, Pattern(ch->ptoh_payload)), now);
      }
      ch->peri_credit = 0;
      ch->packets_out += n;
      break;
    }
    case FaultKind::kOversize:
      Emit(MakePacket(ch->hsid, ch->psid, 0, 0, Pattern(ch->ptoh_payload + 1)), now);
      if (ch->peri_credit) ch->peri_credit--;
      break;
    case FaultKind::kBadPsid:
      Emit(MakePacket(ch->hsid, static_cast<uint8_t>(ch->psid % 255 + 1), 0, 0, Pattern(4)), now);
      break;
    case FaultKind::kOverflow:
      if (ch->host_credit == 0) own_queue_.push_back({kCredit, ch->hsid, ch->psid, 1, 0});
      own_queue_.push_back({kCredit, ch->hsid, ch->psid, 0xFFFF, 0});
      break;
    case FaultKind::kDebit:
      own_queue_.push_back({kDebit, ch->hsid, ch->psid, static_cast<uint16_t>(f.value), 0});
      break;
    case FaultKind::kCreditRequest:
      own_queue_.push_back({kCreditRequest, ch->hsid, ch->psid, static_cast<uint16_t>(f.value), 0});
      break;
    case FaultKind::kNoDrain:
      for (auto& s : services_) s.second->StopDraining();
      break;
    case FaultKind::kStall:
      stalled_ = true;
      break;
    case FaultKind::kDetach:
      detach_ = true;
      break;
    default:
      break;
  }
  SendNextOwn(now);
}

// ---------------------------------------------------------------- output

uint32_t Peripheral::Grantable(const ChannelBook& ch) const {
  uint32_t cap = ch.service->Capacity();
  // A message channel's credit from an open or MLC_CREDIT counts only its low 8 bits.
  if (ch.service->IsPacketChannel()) cap = std::min<uint32_t>(cap, 255);
  if (cap <= ch.host_credit) return 0;
  return std::min<uint32_t>(cap - ch.host_credit,
                            0xFFFF - std::min<uint32_t>(ch.host_credit, 0xFFFF));
}

bool Peripheral::OwnQueued(uint8_t command, uint8_t hsid) const {
  if (own_ && own_->command == command && own_->hsid == hsid) return true;
  return std::any_of(own_queue_.begin(), own_queue_.end(),
                     [&](const OwnCommand& c) { return c.command == command && c.hsid == hsid; });
}

void Peripheral::QueueOwn(uint8_t command, uint8_t hsid, uint8_t psid, uint16_t value) {
  own_queue_.push_back({command, hsid, psid, value, 0});
}

void Peripheral::SendNextOwn(uint32_t now) {
  while (!own_ && !own_queue_.empty() && !silent_ && link_up_) {
    OwnCommand c = own_queue_.front();
    own_queue_.pop_front();
    auto it = channels_.find(c.hsid);
    if (it == channels_.end()) continue;
    ChannelBook& ch = it->second;
    Bytes pkt;
    if (c.command == kCredit) {
      // A grant queued with value 0 takes what is free when it goes out.
      if (c.value == 0) c.value = static_cast<uint16_t>(Grantable(ch));
      if (c.value == 0) continue;
      ch.host_credit = Cap16(static_cast<uint64_t>(ch.host_credit) + c.value);
      ch.granted_total += c.value;
      pkt = CreditCommand(c.hsid, c.psid, c.value);
    } else if (c.command == kCreditRequest) {
      ch.credit_request_sent = true;
      ch.last_credit_request_ms = now;
      pkt = CreditRequestCommand(c.hsid, c.psid, c.value);
    } else {
      pkt = DebitCommand(c.hsid, c.psid, c.value);
    }
    c.sent_ms = now;
    own_ = c;
    Emit(pkt, now);
  }
}

void Peripheral::SendData(ChannelBook& ch, Bytes payload, uint32_t now) {
  uint8_t credit = 0;
  if (cfg_.piggyback) {
    credit = static_cast<uint8_t>(std::min<uint32_t>(Grantable(ch), 255));
    ch.host_credit += credit;
    ch.granted_total += credit;
  }
  Bytes pkt = MakePacket(ch.hsid, ch.psid, credit, 0, payload);
  ch.peri_credit--;
  ch.packets_out++;
  ch.bytes_out += payload.size();
  for (Fault& f : cfg_.faults) {
    if (!f.fired && f.kind == FaultKind::kHalf && f.command == kDataTarget) {
      f.fired = true;
      size_t half = pkt.size() / 2;
      Note(now, kFaultNote + FaultText(f));
      Note(now, std::string(kToHost) + "PARTIAL " + std::to_string(half) + " of " +
                    std::to_string(pkt.size()) + " bytes of " + Describe(pkt.data(), pkt.size()) +
                    ", then silence");
      out_.insert(out_.end(), pkt.begin(), pkt.begin() + static_cast<ptrdiff_t>(half));
      silent_ = true;
      return;
    }
  }
  Emit(pkt, now);
}

void Peripheral::ServeChannels(uint32_t now) {
  for (auto& entry : channels_) {
    ChannelBook& ch = entry.second;
    Service* svc = ch.service;
    svc->Tick(now);
    while (!silent_ && ch.peri_credit > 0 && svc->PacketsWanted(ch.ptoh_payload) > 0) {
      Bytes payload = svc->TakeOutput(ch.ptoh_payload);
      if (payload.empty() && !svc->IsPacketChannel()) break;
      SendData(ch, std::move(payload), now);
    }
    uint32_t wanted = svc->PacketsWanted(ch.ptoh_payload);
    bool piggy_soon = cfg_.piggyback && wanted > 0 && ch.peri_credit > 0;
    if (Grantable(ch) > 0 && !piggy_soon && !OwnQueued(kCredit, ch.hsid)) {
      QueueOwn(kCredit, ch.hsid, ch.psid, 0);
    }
    if (wanted > 0 && ch.peri_credit == 0 && cfg_.credit_request_ms &&
        (!ch.credit_request_sent || now - ch.last_credit_request_ms >= cfg_.credit_request_ms) &&
        !OwnQueued(kCreditRequest, ch.hsid)) {
      QueueOwn(kCreditRequest, ch.hsid, ch.psid, static_cast<uint16_t>(Cap16(wanted)));
    }
  }
}

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
  SendNextOwn(now);
}

}  // namespace emu
