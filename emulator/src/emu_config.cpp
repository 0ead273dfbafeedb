#include "emu_config.h"

#include <cstdlib>

namespace emu {

const char kDefaultDeviceId[] =
    "MFG:Emulated;MDL:MLC Test Printer;CMD:MLC,PCL,PJL;CLS:PRINTER;DES:MLC printer emulator;";

namespace {

bool ParseNumber(const std::string& s, int64_t* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  long long v = std::strtoll(s.c_str(), &end, 0);
  if (*end != '\0') return false;
  *out = v;
  return true;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t at = s.find(sep, start);
    parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

bool Fail(std::string* error, const std::string& msg) {
  if (error) *error = msg;
  return false;
}

struct CommandNameEntry {
  const char* name;
  uint8_t value;
};
const CommandNameEntry kCommandNames[] = {
    {"init", kInit},
    {"open", kOpenChannel},
    {"close", kCloseChannel},
    {"credit", kCredit},
    {"creditreq", kCreditRequest},
    {"config", kConfigSocket},
    {"exit", kExit},
    {"debit", kDebit},
};

}  // namespace

bool ParseCommandName(const std::string& name, uint8_t* out) {
  for (const auto& e : kCommandNames) {
    if (name == e.name) {
      *out = e.value;
      return true;
    }
  }
  return false;
}

const char* ServiceKindName(ServiceKind kind) {
  switch (kind) {
    case ServiceKind::kSink:
      return "sink";
    case ServiceKind::kEcho:
      return "echo";
    case ServiceKind::kSource:
      return "source";
    case ServiceKind::kStatus:
      return "status";
    case ServiceKind::kMessageEcho:
      return "msgecho";
  }
  return "?";
}

bool ParseService(const std::string& text, ServiceSetup* out, std::string* error) {
  ServiceSetup s;
  size_t c1 = text.find(':');
  if (c1 == std::string::npos) return Fail(error, "service needs PSID:KIND: " + text);
  int64_t psid;
  if (!ParseNumber(text.substr(0, c1), &psid) || psid < 1 || psid > 255) {
    return Fail(error, "bad peripheral socket id in " + text);
  }
  s.psid = static_cast<uint8_t>(psid);
  size_t c2 = text.find(':', c1 + 1);
  std::string kind = text.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1);
  if (kind == "sink") {
    s.kind = ServiceKind::kSink;
  } else if (kind == "echo") {
    s.kind = ServiceKind::kEcho;
    s.credit = 4;
  } else if (kind == "source") {
    s.kind = ServiceKind::kSource;
    s.credit = 1;
    s.bytes = 65536;
  } else if (kind == "status") {
    s.kind = ServiceKind::kStatus;
    s.credit = 1;
  } else if (kind == "msgecho") {
    s.kind = ServiceKind::kMessageEcho;
    s.credit = 1;
  } else {
    return Fail(error, "unknown service kind '" + kind + "'");
  }
  if (c2 != std::string::npos) {
    for (const std::string& opt : Split(text.substr(c2 + 1), ',')) {
      size_t eq = opt.find('=');
      std::string key = opt.substr(0, eq);
      std::string val = eq == std::string::npos ? "" : opt.substr(eq + 1);
      int64_t n = 0;
      bool numeric = ParseNumber(val, &n);
      if (key == "store" && eq == std::string::npos) {
        s.store = true;
      } else if (key == "text" && eq != std::string::npos) {
        s.text = val;
      } else if (key == "drain" && val == "max") {
        s.drain = -1;
      } else if (!numeric || n < 0) {
        return Fail(error, "bad service option '" + opt + "'");
      } else if (key == "credit" && n >= 1 && n <= 65535) {
        s.credit = static_cast<uint32_t>(n);
      } else if (key == "drain") {
        s.drain = n;
      } else if (key == "bytes") {
        s.bytes = static_cast<uint64_t>(n);
      } else if (key == "channels" && n >= 1 && n <= 128) {
        s.channels = static_cast<unsigned>(n);
      } else {
        return Fail(error, "bad service option '" + opt + "'");
      }
    }
  }
  *out = s;
  return true;
}

bool IsReplyFault(FaultKind k) {
  return k == FaultKind::kNoReply || k == FaultKind::kLateReply || k == FaultKind::kBadLength ||
         k == FaultKind::kResult || k == FaultKind::kUnknownReply || k == FaultKind::kHalf ||
         k == FaultKind::kSplit;
}

namespace {

struct FaultNameEntry {
  const char* name;
  FaultKind kind;
};
const FaultNameEntry kFaultNames[] = {
    {"noreply", FaultKind::kNoReply},
    {"late", FaultKind::kLateReply},
    {"badlen", FaultKind::kBadLength},
    {"result", FaultKind::kResult},
    {"unknown", FaultKind::kUnknownReply},
    {"half", FaultKind::kHalf},
    {"split", FaultKind::kSplit},
    {"error", FaultKind::kError},
    {"nocredit", FaultKind::kNoCredit},
    {"oversize", FaultKind::kOversize},
    {"badpsid", FaultKind::kBadPsid},
    {"overflow", FaultKind::kOverflow},
    {"debit", FaultKind::kDebit},
    {"creditreq", FaultKind::kCreditRequest},
    {"nodrain", FaultKind::kNoDrain},
    {"stall", FaultKind::kStall},
    {"detach", FaultKind::kDetach},
    {"unsupported", FaultKind::kUnsupported},
    {"badcredit", FaultKind::kStrayCredit},
    {"baddebit", FaultKind::kStrayDebit},
    {"msgcredit", FaultKind::kMessageCredit},
    {"emptycmd", FaultKind::kEmptyCommand},
    {"shortlen", FaultKind::kShortLength},
};

// Event faults that carry a number after "=", and its default when none is given.
bool TakesValue(FaultKind k, int64_t* default_value) {
  switch (k) {
    case FaultKind::kError:
    case FaultKind::kDebit:
      *default_value = -1;  // required
      return true;
    case FaultKind::kCreditRequest:
      *default_value = 0xFFFF;
      return true;
    case FaultKind::kUnsupported:
      *default_value = kDebitRequest;
      return true;
    case FaultKind::kMessageCredit:
      *default_value = 300;
      return true;
    case FaultKind::kShortLength:
      *default_value = 2;
      return true;
    default:
      return false;
  }
}

// The arguments of badcredit and baddebit: "hsid[:H]" or "psid[:P]" (default "hsid").
bool ParseAim(const std::vector<std::string>& a, Fault* f) {
  f->value = -1;  // the id is chosen when the fault is committed
  if (a.empty()) return true;
  if (a.size() > 2 || (a[0] != "hsid" && a[0] != "psid")) return false;
  f->aim_psid = a[0] == "psid";
  if (a.size() == 2) {
    int64_t n;
    if (!ParseNumber(a[1], &n) || n < 0 || n > 255) return false;
    f->value = n;
  }
  return true;
}

// "CMD[#N]" -> command and occurrence.
bool ParseCommandRef(const std::string& s, uint8_t* cmd, unsigned* nth) {
  size_t hash = s.find('#');
  *nth = 1;
  if (hash != std::string::npos) {
    int64_t n;
    if (!ParseNumber(s.substr(hash + 1), &n) || n < 1) return false;
    *nth = static_cast<unsigned>(n);
  }
  return ParseCommandName(s.substr(0, hash), cmd);
}

bool ParseTrigger(const std::string& s, Trigger* t) {
  int64_t n;
  if (s.rfind("t=", 0) == 0) {
    if (!ParseNumber(s.substr(2), &n) || n < 0) return false;
    t->kind = Trigger::kTime;
    t->value = static_cast<uint64_t>(n);
    return true;
  }
  if (s.rfind("bytes=", 0) == 0) {
    if (!ParseNumber(s.substr(6), &n) || n < 0) return false;
    t->kind = Trigger::kBytes;
    t->value = static_cast<uint64_t>(n);
    return true;
  }
  t->kind = Trigger::kCommand;
  return ParseCommandRef(s, &t->command, &t->nth);
}

}  // namespace

bool ParseFault(const std::string& text, Fault* out, std::string* error) {
  Fault f;
  std::string body = text;
  size_t at = text.find('@');
  bool has_when = at != std::string::npos;
  if (has_when) body = text.substr(0, at);
  size_t eq = body.find('=');
  std::string name = body.substr(0, eq);
  std::string args = eq == std::string::npos ? "" : body.substr(eq + 1);
  bool known = false;
  for (const auto& e : kFaultNames) {
    if (name == e.name) {
      f.kind = e.kind;
      known = true;
    }
  }
  if (!known) return Fail(error, "unknown fault '" + name + "'");
  std::vector<std::string> a = args.empty() ? std::vector<std::string>{} : Split(args, ':');
  int64_t n = 0;
  if (IsReplyFault(f.kind)) {
    if (has_when) return Fail(error, "a reply fault names its command, not a moment: " + text);
    if (a.empty()) return Fail(error, "fault needs a command: " + text);
    if ((f.kind == FaultKind::kHalf || f.kind == FaultKind::kSplit) && a[0] == "data") {
      f.command = kDataTarget;
    } else if (!ParseCommandRef(a[0], &f.command, &f.nth)) {
      return Fail(error, "unknown command '" + a[0] + "'");
    }
    if (a.size() > (f.kind == FaultKind::kSplit ? 3u : 2u)) {
      return Fail(error, "too many arguments: " + text);
    }
    if (a.size() >= 2 && !ParseNumber(a[1], &n)) return Fail(error, "bad number in " + text);
    switch (f.kind) {
      case FaultKind::kSplit: {
        f.value = a.size() >= 2 ? n : 3;
        int64_t pause = 100;
        if (a.size() == 3 && !ParseNumber(a[2], &pause)) {
          return Fail(error, "bad number in " + text);
        }
        if (f.value < 1 || pause < 0 || pause > 600000) {
          return Fail(error, "split=CMD|data[:BYTES[:MS]], BYTES at least 1");
        }
        f.pause_ms = pause;
        break;
      }
      case FaultKind::kLateReply:
        if (a.size() != 2 || n < 0) return Fail(error, "late=CMD:MS");
        f.value = n;
        break;
      case FaultKind::kBadLength:
        f.value = a.size() == 2 ? n : 1;
        if (f.value == 0) return Fail(error, "badlen needs a non-zero change");
        break;
      case FaultKind::kResult:
        f.value = a.size() == 2 ? n : kResultMaxxedOut;
        if (f.value < 1 || f.value > 255) return Fail(error, "result must be 1..255");
        break;
      case FaultKind::kUnknownReply:
        f.value = a.size() == 2 ? n : 0x89;
        if (f.value < 0 || f.value > 255) return Fail(error, "reply value must be 0..255");
        break;
      default:
        if (a.size() != 1) return Fail(error, "too many arguments: " + text);
        break;
    }
  } else {
    int64_t default_value = 0;
    bool takes_value = TakesValue(f.kind, &default_value);
    bool aimed = f.kind == FaultKind::kStrayCredit || f.kind == FaultKind::kStrayDebit;
    if (aimed) {
      if (!ParseAim(a, &f)) return Fail(error, "badcredit|baddebit[=hsid[:H]|psid[:P]]: " + text);
    } else {
      if (a.size() > 1 || (!takes_value && !a.empty())) {
        return Fail(error, "bad arguments: " + text);
      }
      if (a.empty() && default_value < 0) return Fail(error, "the fault needs a number: " + text);
      if (!a.empty() && (!ParseNumber(a[0], &n) || n < 0 || n > 65535)) {
        return Fail(error, "bad number in " + text);
      }
      if (f.kind == FaultKind::kError && n > 255) return Fail(error, "error code must be 0..255");
      if (f.kind == FaultKind::kUnsupported && !a.empty() &&
          (n > 0x7E || n == kCredit || n == kCreditRequest || n == kDebit)) {
        return Fail(error, "unsupported=V needs a command the host does not support");
      }
      if (f.kind == FaultKind::kShortLength && n >= static_cast<int64_t>(kHeaderSize)) {
        return Fail(error, "shortlen=L needs L below 6");
      }
      f.value = a.empty() ? default_value : n;
    }
    bool immediate = f.kind == FaultKind::kStall || f.kind == FaultKind::kDetach ||
                     f.kind == FaultKind::kNoDrain || f.kind == FaultKind::kError;
    if (immediate) {
      f.when.kind = Trigger::kTime;
      f.when.value = 0;
    }
    if (has_when && !ParseTrigger(text.substr(at + 1), &f.when)) {
      return Fail(error, "bad moment '" + text.substr(at + 1) + "'");
    }
  }
  *out = f;
  return true;
}

std::string FaultText(const Fault& f) {
  std::string s;
  for (const auto& e : kFaultNames) {
    if (e.kind == f.kind) s = e.name;
  }
  auto cmd = [](uint8_t c) -> std::string {
    if (c == kDataTarget) return "data";
    for (const auto& e : kCommandNames) {
      if (e.value == c) return e.name;
    }
    return "?";
  };
  if (IsReplyFault(f.kind)) {
    s += "=";
    s += cmd(f.command);
    if (f.nth != 1) {
      s += "#";
      s += std::to_string(f.nth);
    }
    if (f.kind != FaultKind::kNoReply && f.kind != FaultKind::kHalf) {
      s += ":";
      s += std::to_string(f.value);
    }
    if (f.kind == FaultKind::kSplit) {
      s += ":";
      s += std::to_string(f.pause_ms);
    }
    return s;
  }
  int64_t unused;
  if (TakesValue(f.kind, &unused)) {
    s += "=";
    s += std::to_string(f.value);
  } else if (f.kind == FaultKind::kStrayCredit || f.kind == FaultKind::kStrayDebit) {
    s += f.aim_psid ? "=psid" : "=hsid";
    if (f.value >= 0) {
      s += ":";
      s += std::to_string(f.value);
    }
  }
  switch (f.when.kind) {
    case Trigger::kTime:
      s += "@t=";
      s += std::to_string(f.when.value);
      break;
    case Trigger::kBytes:
      s += "@bytes=";
      s += std::to_string(f.when.value);
      break;
    case Trigger::kCommand:
      s += "@";
      s += cmd(f.when.command);
      if (f.when.nth != 1) {
        s += "#";
        s += std::to_string(f.when.nth);
      }
      break;
  }
  return s;
}

Bytes RawDeviceId(const EmuConfig& cfg) {
  Bytes id;
  size_t truth = cfg.device_id.size() + 2;
  uint16_t claimed =
      cfg.id_length >= 0 ? static_cast<uint16_t>(cfg.id_length) : static_cast<uint16_t>(truth);
  PutU16(id, claimed);
  id.insert(id.end(), cfg.device_id.begin(), cfg.device_id.end());
  return id;
}

std::vector<ServiceSetup> DefaultServices() {
  std::vector<ServiceSetup> v;
  const char* const kDefaults[] = {"1:status", "2:sink", "3:echo", "4:source"};
  for (const char* d : kDefaults) {
    ServiceSetup s;
    ParseService(d, &s, nullptr);
    v.push_back(s);
  }
  return v;
}

}  // namespace emu
