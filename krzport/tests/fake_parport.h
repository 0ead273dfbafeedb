// /dev/parport0 emulated with umockdev for the processes started with its
// preload library: the ppdev ioctls, reads and writes of those processes
// reach handlers here, on a thread of this process, and the printer behind
// the port is the emulator's core. Every call the device sees is logged.
#ifndef KRZPORT_FAKE_PARPORT_H
#define KRZPORT_FAKE_PARPORT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emu_config.h"

struct FakeSetup {
  int iNegotiateErrno = 0;          // EIO or ENXIO: how the ECP negotiation fails
  size_t cbTakeBudget = SIZE_MAX;   // data bytes the printer takes before it stalls
  size_t cbVanishAfter = SIZE_MAX;  // data bytes after which the device is gone (ENODEV)
  size_t cbIdChunk = 7;             // device-ID bytes per nibble-mode read
  emu::EmuConfig printer;           // services: the default set when empty
};

class FakeParport {
 public:
  explicit FakeParport(const FakeSetup& setup);
  ~FakeParport();
  // "claim", "release", "settime MS", "negot MODE", "addr XX", "data N",
  // "gone": every call that changed something, in order.
  std::vector<std::string> Log();
  size_t EmptyReads();   // ECP reads that found nothing
  uint64_t SinkBytes();  // bytes the print sink (socket 2) received
  size_t Violations();   // host protocol violations the printer saw
  // The testbed's folder: a child started with it sees the device.
  std::string Dir();

  struct State;

 private:
  std::unique_ptr<State> s_;
};

// Starts a program with the environment of this process; with a testbed
// folder, under umockdev's preload library on that testbed (named here, not
// inherited: a testbed changes the process's environment when it comes and
// goes). Returns its pid.
int StartChild(const std::vector<std::string>& argv, const std::string& testbed,
               const std::string& outFile);
// Waits for a child; its exit status, or -1 when it ran over the time.
int WaitChild(int pid, unsigned uSeconds);
std::string ReadFile(const std::string& path);

#endif
