// Shared by the client tests against the emulator (channels, data, events,
// the helper): a printer with chosen services, a window of a class of its
// own, waiting for a condition, and the check that the port's area holds no
// more than its record keeps between links.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "link_emu_support.h"
#include "shared/records.h"
#include "testutil.h"

// The emulator's default printer with the given services ("PSID:KIND:...")
// in place of those on the same sockets.
inline emu::EmuConfig ConfigWith(std::initializer_list<const char*> services) {
  emu::EmuConfig cfg = PrinterConfig();
  for (const char* lpszService : services) {
    emu::ServiceSetup service;
    std::string error;
    if (!emu::ParseService(lpszService, &service, &error)) ADD_FAILURE() << error;
    std::erase_if(cfg.services, [&](const emu::ServiceSetup& s) { return s.psid == service.psid; });
    cfg.services.push_back(service);
  }
  return cfg;
}

// Starts the command line cmd as lpChild (killed if the test ends first).
inline bool Spawn(Child* lpChild, std::string cmd) {
  STARTUPINFOA si{};
  si.cb = sizeof si;
  lpChild->running =
      CreateProcessA(NULL, cmd.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &lpChild->pi) != 0;
  return lpChild->running;
}

// No channel is left, and the port's area holds only the blocks its record
// keeps between links (device ID, socket and channel tables), or nothing
// once the last process that mapped it has left.
inline void ExpectOnlyTheRecordsBlocks() {
  const PerPortInfo& port = pPerPortInfo[0];
  EXPECT_EQ(port.bChannelsUsed, 0);
  DWORD dwHeld = (port.hDeviceID != 0) + (port.hSocketInfoArray != 0) + (port.hChanPtrArray != 0);
  DWORD dwBlocks = PortAreaBlocks();
  EXPECT_TRUE(dwBlocks == 0 || dwBlocks == dwHeld) << dwBlocks << " blocks, " << dwHeld << " held";
}
