#include "scripted_peripheral.h"

#include <stdio.h>

#include "vperi.h"

namespace peri {

std::string ToHex(const Bytes& bytes) {
  std::string s;
  char sz[4];
  for (BYTE b : bytes) s += (snprintf(sz, sizeof sz, "%02X ", b), sz);
  if (!s.empty()) s.pop_back();
  return s;
}

Bytes Packet(BYTE bHsid, BYTE bPsid, const Bytes& payload, BYTE bCredit, BYTE bStatus) {
  size_t total = payload.size() + 6;
  // Filled by index: GCC 12 at -O3 misreads an insert after a 6-byte
  // initialiser as an overrun (-Warray-bounds).
  Bytes p(total, 0);
  p[0] = bHsid, p[1] = bPsid, p[2] = (BYTE)(total >> 8), p[3] = (BYTE)total;
  p[4] = bCredit, p[5] = bStatus;
  for (size_t i = 0; i < payload.size(); ++i) p[6 + i] = payload[i];
  return p;
}

Peripheral::~Peripheral() {
  Join();
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
  // Two length bytes (big-endian, counting themselves), then the text; sized
  // once and filled in place for the same reason as Packet.
  Bytes raw(text.size() + 2);
  raw[0] = (BYTE)(raw.size() >> 8), raw[1] = (BYTE)raw.size();
  for (size_t i = 0; i < text.size(); ++i) raw[i + 2] = (BYTE)text[i];
  return SetRawDeviceId(raw);
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

bool Peripheral::Expect(const Bytes& bytes, BYTE bAddress) {
  for (DWORD dwStart = GetTickCount(), dwSpent;
       ahead_.size() < bytes.size() && (dwSpent = GetTickCount() - dwStart) < 5000;)
    Fill(5000 - dwSpent);
  size_t got = ahead_.size() < bytes.size() ? ahead_.size() : bytes.size();
  Bytes taken(ahead_.begin(), ahead_.begin() + (ptrdiff_t)got);
  BYTE bGotAddress = got ? aheadAddr_[0] : 0;
  for (size_t i = 1; i < got; ++i)
    if (aheadAddr_[i] != aheadAddr_[0]) bGotAddress = 0xFF;  // two addresses: never expected
  ahead_.erase(ahead_.begin(), ahead_.begin() + (ptrdiff_t)got);
  aheadAddr_.erase(aheadAddr_.begin(), aheadAddr_.begin() + (ptrdiff_t)got);
  if (taken == bytes && bGotAddress == bAddress) return true;
  char sz[64];
  snprintf(sz, sizeof sz, " on @%02X, got on @%02X: ", bAddress, bGotAddress);
  return Fail("expected " + ToHex(bytes) + sz + (taken.empty() ? "nothing" : ToHex(taken)));
}

bool Peripheral::ExpectSilence(DWORD dwMs) {
  for (DWORD dwStart = GetTickCount(), dwSpent; ahead_.empty(); Fill(dwMs - dwSpent))
    if ((dwSpent = GetTickCount() - dwStart) >= dwMs) return true;
  return Fail("expected silence, got " + ToHex(ahead_));
}

size_t Peripheral::Drain(DWORD dwQuietMs) {
  size_t n = 0;
  do {
    n += ahead_.size();
    ahead_.clear();
    aheadAddr_.clear();
  } while (Fill(dwQuietMs));
  return n;
}

bool Peripheral::Send(const Bytes& bytes) {
  DWORD cbWritten = 0;
  return VPERI_Write(hPeri_, bytes.data(), (DWORD)bytes.size(), &cbWritten, 5000) ||
         Fail("could not send " + ToHex(bytes));
}

bool Peripheral::AnswerInit() {
  return Expect(Command({0x00, 0x03})) && Send(Command({0x80, 0x00, 0x03}));
}

void Peripheral::StartFn(std::function<bool(Peripheral&)> fn) {
  fThreadOk_ = false;
  thread_ = std::thread([this, fn] { fThreadOk_ = fn(*this); });
}

bool Peripheral::Join() {
  if (thread_.joinable()) thread_.join();
  return fThreadOk_;
}

}  // namespace peri
