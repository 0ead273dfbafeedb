// /dev/parport0 emulated with umockdev for the processes started with its
// preload library: their ppdev ioctls, reads and writes reach handlers on a
// thread of this process, and the printer behind the port is the
// emulator's core.
#pragma once

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
  emu::EmuConfig printer;           // services: the default set when empty
};

// What the device saw: every call that changed something ("claim",
// "release", "settime MS", "negot MODE", "addr XX", "data N", "gone"), ECP
// reads that found nothing, bytes the print sink (socket 2) received, and
// the host's protocol violations.
struct FakeSeen {
  std::vector<std::string> log;
  size_t cEmptyReads = 0;
  uint64_t cbSink = 0;
  size_t cViolations = 0;
};

class FakeParport {
 public:
  explicit FakeParport(const FakeSetup& setup);
  ~FakeParport();
  FakeSeen Seen();
  std::string Dir();  // the testbed's folder: a child started with it sees the device
  struct State;

 private:
  std::unique_ptr<State> s_;
};

// Starts a program with the environment of this process, its output to
// outFile; with a testbed folder, under umockdev's preload library on that
// testbed (named here, not inherited: a testbed changes the process's
// environment when it comes and goes). Returns its pid.
int StartChild(const std::vector<std::string>& argv, const std::string& testbed,
               const std::string& outFile);
// Waits for a child; its exit status, or -1 when it ran over the time.
int WaitChild(int pid, unsigned uSeconds);
