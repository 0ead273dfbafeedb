// A scripted far side for the link tests: the peripheral of a port's virtual
// wire (vperi.h), driven byte by byte. It expects exact bytes together with
// their ECP channel address, sends exact bytes (in pieces, with pauses),
// checks silence, and answers the bring-up commands. Steps are called
// directly or written as a small text script, run on a thread of the test
// process or by the child program krzperi_script.
//
// Script lines (a '#' starts a comment; HEX is bytes like "00 00 00 08"):
//   id TEXT             device ID TEXT, its two length bytes put in front
//   rawid HEX           device ID bytes exactly as given (length bytes too)
//   caps N              capability word answered to escape 19
//   timeout MS          how long the following expects wait (default 5000)
//   expect [@AA] HEX    exactly these bytes next, on address AA (default 4D)
//   expect cmd HEX      a command-channel packet with this payload
//   send HEX            these bytes to the host
//   send cmd HEX        a command-channel packet with this payload
//   pause MS            wait
//   silence MS          nothing arrives for MS
//   drain MS            drop what arrives until MS pass without a byte
//   init                expect MLC_INIT and answer it (result 0, revision 3)
//   signal NAME / wait NAME   set / wait for (30 s) the named event NAME
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

// "00 0a FF" -> {0x00, 0x0A, 0xFF}; stops at the first word that is not hex.
Bytes Hex(const std::string& text);
std::string ToHex(const Bytes& bytes);
// A command-channel packet (host and peripheral socket 0) around a payload.
Bytes Command(const Bytes& payload);
// Any packet: the 6-byte header with the true total length, then the payload.
Bytes Packet(BYTE bHsid, BYTE bPsid, const Bytes& payload, BYTE bCredit = 0, BYTE bStatus = 0);

class Peripheral {
 public:
  Peripheral() = default;
  ~Peripheral();
  Peripheral(const Peripheral&) = delete;
  Peripheral& operator=(const Peripheral&) = delete;

  bool Attach(const char* lpszPort);
  void Detach();
  bool attached() const { return hPeri_ != 0; }

  bool SetDeviceId(const std::string& text);  // two length bytes in front
  bool SetRawDeviceId(const Bytes& raw);
  bool SetCapabilities(DWORD dwCaps);

  // Exactly these bytes next, all on this address, within the time-out.
  bool Expect(const Bytes& bytes, BYTE bAddress = kMlcAddress);
  // The next whole packet on the MLC address (header, then what its length
  // announces); false when none came in time.
  bool NextPacket(Bytes* packet, DWORD dwTimeoutMs);
  // No byte arrives for this long.
  bool ExpectSilence(DWORD dwMs);
  // Drops what arrives until dwQuietMs pass without a byte; the count.
  size_t Drain(DWORD dwQuietMs);
  bool Send(const Bytes& bytes);
  // Expects MLC_INIT and answers it as a printer that accepts it.
  bool AnswerInit();
  // Answers every MLC_INIT and MLC_EXIT for dwMs; every packet seen.
  std::vector<Bytes> Serve(DWORD dwMs);

  void set_timeout(DWORD dwMs) { dwTimeoutMs_ = dwMs; }

  // Runs a script on this thread; false at the first step that fails.
  bool Run(const std::string& script);
  // Runs a script, or any function, on a thread of its own; Join waits for
  // it and tells whether every step held.
  void Start(const std::string& script);
  void StartFn(std::function<bool(Peripheral&)> fn);
  bool Join();

  // What went wrong, one line per failed step.
  std::string failures() const;

 private:
  bool Fail(const std::string& why);
  // Moves waiting host bytes into the look-ahead, waiting up to dwMs for
  // the first; false when nothing came.
  bool Fill(DWORD dwMs);
  // Takes n bytes of one address from the look-ahead, reading as needed.
  bool Take(size_t n, DWORD dwTimeoutMs, Bytes* out, BYTE* lpbAddress);
  bool Step(const std::string& line);

  DWORD hPeri_ = 0;
  DWORD dwTimeoutMs_ = 5000;
  Bytes ahead_;  // bytes read from the wire and not consumed yet
  std::vector<BYTE> aheadAddr_;
  std::thread thread_;
  bool fThreadOk_ = true;
  mutable std::mutex mu_;
  std::string failures_;
};

}  // namespace peri
