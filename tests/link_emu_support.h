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
// Puts a channel record into port bPort's table by hand, after those there,
// as an open would: open, holding dwCredits; a stream channel with a ring
// of lRing bytes (0: none), a packet channel with bSlots receive slots of
// wSlot bytes; with wPacketSize, a socket entry of that size both ways.
// Returns the host socket id.
BYTE AddChannel(BYTE bPort, BYTE bType, BYTE bPsid, DWORD dwCredits, WORD wPacketSize = 0,
                LONG lRing = 4096, BYTE bSlots = 2, WORD wSlot = 1024);
// A stream channel in slot 0 of a new table of LPT1 (host socket 0x80);
// the link is marked up. With lRing, a receive ring of that size with
// lStored bytes waiting from offset 0, and with wPtoH, a socket entry of
// that packet size.
void MakeStreamChannel(BYTE bPsid, DWORD dwHostCredits, LONG lRing = 0, WORD wPtoH = 0,
                       LONG lStored = 0);
// A message channel in slot 0 of a new table of LPT1 holding wHostCredits;
// link marked up. With wPtoH, one receive slot of that size, granted to
// the peripheral, and a socket entry with that packet size.
void MakeMessageChannel(BYTE bPsid, WORD wHostCredits, WORD wPtoH = 0);
