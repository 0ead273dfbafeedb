// /dev/parport0 emulated with umockdev for the processes started with its
// preload library, handled on a thread of this process; the printer behind
// it is the emulator's core.
#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "peripheral.h"

struct FakeSetup {
  int iNegotiateErrno = 0;          // EIO or ENXIO: how the ECP negotiation fails
  size_t cbTakeBudget = SIZE_MAX;   // data bytes the printer takes before it stalls
  size_t cbVanishAfter = SIZE_MAX;  // data bytes after which the device is gone (ENODEV)
  emu::EmuConfig printer;           // services: the default set when empty
};

typedef struct _GMainLoop GMainLoop;

// The device's state; read it under mu.
struct FakeParport {
  explicit FakeParport(const FakeSetup& setup);
  ~FakeParport();
  FakeSetup setup;
  std::mutex mu;
  // Every call that changed something: "claim", "release", "settime MS",
  // "negot MODE", "addr XX", "data N", "gone".
  std::vector<std::string> log;
  emu::Peripheral printer;  // its socket 2 is the print sink
  emu::Bytes toHost, idLeft;
  int iMode;
  bool fAddrMode = false, fGone = false;
  uint8_t bAddress = 0;
  size_t cbData = 0, cEmptyReads = 0;  // data bytes taken; ECP reads that found nothing
  std::string dir;  // the testbed's folder: a child started with it sees the device
  GMainLoop* loop = nullptr;
  std::thread thread;
};

// Starts a program, its output to outFile; with a testbed folder, under
// umockdev's preload library on it (named, not inherited: a testbed changes
// the environment when it comes and goes). Returns its pid.
int StartChild(const std::vector<std::string>& argv, const std::string& testbed,
               const std::string& outFile);
// Waits for a child; its exit status, or -1 when it ran over the time.
int WaitChild(int pid, unsigned uSeconds);
