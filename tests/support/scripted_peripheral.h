// A scripted far side for the link tests: the peripheral of a port's virtual
// wire (vperi.h), driven byte by byte. It expects exact bytes together with
// their ECP channel address, sends exact bytes, checks silence, and answers
// MLC_INIT; steps run on the test's thread or on a thread of their own.
#pragma once

#include <windows.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace peri {

using Bytes = std::vector<BYTE>;

constexpr BYTE kMlcAddress = 0x4D;
constexpr BYTE kSynchAddress = 0x4E;

std::string ToHex(const Bytes& bytes);
// Any packet: the 6-byte header with the true total length, then the payload.
Bytes Packet(BYTE bHsid, BYTE bPsid, const Bytes& payload, BYTE bCredit = 0, BYTE bStatus = 0);
// A command-channel packet (host and peripheral socket 0) around a payload.
inline Bytes Command(const Bytes& payload) { return Packet(0, 0, payload); }

class Peripheral {
 public:
  Peripheral() = default;
  ~Peripheral();
  Peripheral(const Peripheral&) = delete;
  Peripheral& operator=(const Peripheral&) = delete;

  bool Attach(const char* lpszPort);
  void Detach();
  bool SetDeviceId(const std::string& text);  // two length bytes in front
  bool SetRawDeviceId(const Bytes& raw);

  // Exactly these bytes next, all on this address, within 5 s.
  bool Expect(const Bytes& bytes, BYTE bAddress = kMlcAddress);
  // No byte arrives for this long.
  bool ExpectSilence(DWORD dwMs);
  // Drops what arrives until dwQuietMs pass without a byte; the count.
  size_t Drain(DWORD dwQuietMs);
  bool Send(const Bytes& bytes);
  // Expects MLC_INIT and answers it as a printer that accepts it.
  bool AnswerInit();

  // Runs fn on a thread of its own; Join waits for it and tells whether it
  // held.
  void StartFn(std::function<bool(Peripheral&)> fn);
  bool Join();
  // What went wrong, one line per failed step.
  std::string failures() const;

 private:
  bool Fail(const std::string& why);
  // Moves waiting host bytes into the look-ahead, waiting up to dwMs for
  // the first; false when nothing came.
  bool Fill(DWORD dwMs);

  DWORD hPeri_ = 0;
  Bytes ahead_;  // bytes read from the wire and not consumed yet
  std::vector<BYTE> aheadAddr_;
  std::thread thread_;
  bool fThreadOk_ = true;
  mutable std::mutex mu_;
  std::string failures_;
};

}  // namespace peri
