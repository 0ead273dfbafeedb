#include "scripted_peripheral.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

#include <sstream>

#include "vperi.h"

namespace peri {

Bytes Hex(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  std::string word;
  while (in >> word) {
    char* end = nullptr;
    unsigned long v = strtoul(word.c_str(), &end, 16);
    if (*end || v > 0xFF) break;
    out.push_back((BYTE)v);
  }
  return out;
}

std::string ToHex(const Bytes& bytes) {
  std::string s;
  char sz[4];
  for (BYTE b : bytes) {
    snprintf(sz, sizeof sz, "%02X ", b);
    s += sz;
  }
  if (!s.empty()) s.pop_back();
  return s;
}

Bytes Packet(BYTE bHsid, BYTE bPsid, const Bytes& payload, BYTE bCredit, BYTE bStatus) {
  size_t total = payload.size() + 6;
  // Filled by index: GCC 12 at -O3 misreads an insert after a 6-byte
  // initialiser as an overrun (-Warray-bounds).
  Bytes p(total, 0);
  p[0] = bHsid;
  p[1] = bPsid;
  p[2] = (BYTE)(total >> 8);
  p[3] = (BYTE)total;
  p[4] = bCredit;
  p[5] = bStatus;
  for (size_t i = 0; i < payload.size(); ++i) p[6 + i] = payload[i];
  return p;
}

Bytes Command(const Bytes& payload) { return Packet(0, 0, payload); }

Peripheral::~Peripheral() {
  if (thread_.joinable()) thread_.join();
  Detach();
}

bool Peripheral::Attach(const char* lpszPort) {
  hPeri_ = VPERI_Attach(lpszPort);
  return hPeri_ != 0 || Fail(std::string("cannot attach to ") + lpszPort);
}

void Peripheral::Detach() {
  if (hPeri_) VPERI_Detach(hPeri_);
  hPeri_ = 0;
}

bool Peripheral::SetRawDeviceId(const Bytes& raw) {
  return VPERI_SetDeviceId(hPeri_, raw.data(), (DWORD)raw.size()) || Fail("device ID refused");
}

bool Peripheral::SetDeviceId(const std::string& text) {
  // Two length bytes (big-endian, counting themselves), then the text. Sized
  // once and filled in place: GCC 12 at -O3 misreads an insert into a
  // two-byte vector as an out-of-bounds copy.
  size_t total = text.size() + 2;
  Bytes raw(total);
  raw[0] = (BYTE)(total >> 8);
  raw[1] = (BYTE)total;
  for (size_t i = 0; i < text.size(); ++i) raw[i + 2] = (BYTE)text[i];
  return SetRawDeviceId(raw);
}

bool Peripheral::SetCapabilities(DWORD dwCaps) {
  return VPERI_SetCapabilities(hPeri_, dwCaps) || Fail("capabilities refused");
}

bool Peripheral::Fail(const std::string& why) {
  std::lock_guard<std::mutex> lock(mu_);
  failures_ += why + "\n";
  return false;
}

std::string Peripheral::failures() const {
  std::lock_guard<std::mutex> lock(mu_);
  return failures_;
}

bool Peripheral::Fill(DWORD dwMs) {
  BYTE buf[4096], bAddress = 0;
  DWORD cbRead = 0;
  if (!VPERI_Read(hPeri_, buf, sizeof buf, &cbRead, &bAddress, dwMs) || cbRead == 0) return false;
  ahead_.insert(ahead_.end(), buf, buf + cbRead);
  aheadAddr_.insert(aheadAddr_.end(), cbRead, bAddress);
  return true;
}

bool Peripheral::Take(size_t n, DWORD dwTimeoutMs, Bytes* out, BYTE* lpbAddress) {
  DWORD dwStart = GetTickCount();
  while (ahead_.size() < n) {
    DWORD dwSpent = GetTickCount() - dwStart;
    if (dwSpent >= dwTimeoutMs) break;
    Fill(dwTimeoutMs - dwSpent);
  }
  size_t got = ahead_.size() < n ? ahead_.size() : n;
  out->assign(ahead_.begin(), ahead_.begin() + (ptrdiff_t)got);
  *lpbAddress = got ? aheadAddr_[0] : 0;
  for (size_t i = 1; i < got; ++i) {
    if (aheadAddr_[i] != aheadAddr_[0]) *lpbAddress = 0xFF;  // two addresses: never expected
  }
  ahead_.erase(ahead_.begin(), ahead_.begin() + (ptrdiff_t)got);
  aheadAddr_.erase(aheadAddr_.begin(), aheadAddr_.begin() + (ptrdiff_t)got);
  return got == n;
}

bool Peripheral::Expect(const Bytes& bytes, BYTE bAddress) {
  Bytes got;
  BYTE bGotAddress = 0;
  bool fComplete = Take(bytes.size(), dwTimeoutMs_, &got, &bGotAddress);
  if (fComplete && got == bytes && bGotAddress == bAddress) return true;
  char sz[64];
  snprintf(sz, sizeof sz, " on @%02X, got on @%02X: ", bAddress, bGotAddress);
  return Fail("expected " + ToHex(bytes) + sz + (got.empty() ? "nothing" : ToHex(got)));
}

bool Peripheral::NextPacket(Bytes* packet, DWORD dwTimeoutMs) {
  BYTE bAddress = 0;
  Bytes rest;
  if (!Take(6, dwTimeoutMs, packet, &bAddress)) return false;
  size_t total = ((size_t)(*packet)[2] << 8) | (*packet)[3];
  if (total > 6 && Take(total - 6, dwTimeoutMs, &rest, &bAddress)) {
    packet->insert(packet->end(), rest.begin(), rest.end());
  }
  return packet->size() >= total;
}

bool Peripheral::ExpectSilence(DWORD dwMs) {
  DWORD dwStart = GetTickCount();
  while (ahead_.empty()) {
    DWORD dwSpent = GetTickCount() - dwStart;
    if (dwSpent >= dwMs) return true;
    Fill(dwMs - dwSpent);
  }
  return Fail("expected silence, got " + ToHex(ahead_));
}

size_t Peripheral::Drain(DWORD dwQuietMs) {
  size_t n = ahead_.size();
  ahead_.clear();
  aheadAddr_.clear();
  while (Fill(dwQuietMs)) {
    n += ahead_.size();
    ahead_.clear();
    aheadAddr_.clear();
  }
  return n;
}

bool Peripheral::Send(const Bytes& bytes) {
  DWORD cbWritten = 0;
  return VPERI_Write(hPeri_, bytes.data(), (DWORD)bytes.size(), &cbWritten, dwTimeoutMs_) ||
         Fail("could not send " + ToHex(bytes));
}

bool Peripheral::AnswerInit() {
  return Expect(Command({0x00, 0x03})) && Send(Command({0x80, 0x00, 0x03}));
}

std::vector<Bytes> Peripheral::Serve(DWORD dwMs) {
  std::vector<Bytes> seen;
  DWORD dwStart = GetTickCount();
  for (DWORD dwSpent; (dwSpent = GetTickCount() - dwStart) < dwMs;) {
    Bytes p;
    if (!NextPacket(&p, dwMs - dwSpent)) break;
    seen.push_back(p);
    if (p.size() > 6 && p[0] == 0 && p[6] == 0x00) Send(Command({0x80, 0x00, 0x03}));
    if (p.size() > 6 && p[0] == 0 && p[6] == 0x08) Send(Command({0x88, 0x00}));
  }
  return seen;
}

bool Peripheral::Step(const std::string& line) {
  std::istringstream in(line);
  std::string verb, rest;
  in >> verb;
  std::getline(in >> std::ws, rest);
  if (verb.empty() || verb[0] == '#') return true;
  bool fCmd = rest.rfind("cmd ", 0) == 0;
  if (fCmd) rest = rest.substr(4);
  if (verb == "id") return SetDeviceId(rest);
  if (verb == "rawid") return SetRawDeviceId(Hex(rest));
  if (verb == "caps") return SetCapabilities((DWORD)strtoul(rest.c_str(), nullptr, 0));
  if (verb == "timeout") return set_timeout((DWORD)atol(rest.c_str())), true;
  if (verb == "expect") {
    BYTE bAddress = kMlcAddress;
    if (!rest.empty() && rest[0] == '@') {
      bAddress = (BYTE)strtoul(rest.c_str() + 1, nullptr, 16);
      rest = rest.substr(rest.find(' ') + 1);
    }
    return Expect(fCmd ? Command(Hex(rest)) : Hex(rest), bAddress);
  }
  if (verb == "send") return Send(fCmd ? Command(Hex(rest)) : Hex(rest));
  if (verb == "pause") return Sleep((DWORD)atol(rest.c_str())), true;
  if (verb == "silence") return ExpectSilence((DWORD)atol(rest.c_str()));
  if (verb == "drain") return Drain((DWORD)atol(rest.c_str())), true;
  if (verb == "init") return AnswerInit();
  if (verb == "signal" || verb == "wait") {
    HANDLE hEvent = OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, rest.c_str());
    bool fOk = hEvent && (verb == "signal" ? SetEvent(hEvent) != 0
                                           : WaitForSingleObject(hEvent, 30000) == WAIT_OBJECT_0);
    if (hEvent) CloseHandle(hEvent);
    return fOk || Fail(verb + " " + rest + " failed");
  }
  return Fail("unknown script line: " + line);
}

bool Peripheral::Run(const std::string& script) {
  std::istringstream in(script);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();  // a file written on Windows
    if (!Step(line)) return Fail("at: " + line);
  }
  return true;
}

void Peripheral::StartFn(std::function<bool(Peripheral&)> fn) {
  fThreadOk_ = false;
  thread_ = std::thread([this, fn] { fThreadOk_ = fn(*this); });
}

void Peripheral::Start(const std::string& script) {
  StartFn([script](Peripheral& p) { return p.Run(script); });
}

bool Peripheral::Join() {
  if (thread_.joinable()) thread_.join();
  return fThreadOk_;
}

}  // namespace peri
