// The emulator on LPT1 for the client tests, and views of the port's
// shared state.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "emu_config.h"
#include "trace.h"
#include "wire_runner.h"

using Bytes = std::vector<BYTE>;

// The emulator attached to LPT1 for the life of the object.
struct Printer {
  emu::Trace trace{nullptr, true};
  std::unique_ptr<emu::WireRunner> runner;
  explicit Printer(const emu::EmuConfig& cfg);
  ~Printer();
  size_t Count(const std::string& text) const { return trace.Matching(text).size(); }
  std::vector<BYTE> HostErrors();
  std::vector<std::string> Violations();
};
emu::EmuConfig PrinterConfig(const char* lpszFault = nullptr);

// Blocks in use in the shared area of LPT1 (0 when it does not exist).
DWORD PortAreaBlocks();
// A stream channel in slot 0 of LPT1 (host socket 0x80), as an open would
// leave it; the link is marked up. With lRing, a receive ring of that size
// with lStored bytes waiting from offset 0, and a socket entry whose
// peripheral-to-host packet size is wPtoH.
void MakeStreamChannel(BYTE bPsid, DWORD dwHostCredits, LONG lRing = 0, WORD wPtoH = 0,
                       LONG lStored = 0);
// A message channel in slot 0 of LPT1 holding wHostCredits; link marked up.
// With wPtoH, one receive slot of that size, granted to the peripheral, and
// a socket entry with that packet size.
void MakeMessageChannel(BYTE bPsid, WORD wHostCredits, WORD wPtoH = 0);
