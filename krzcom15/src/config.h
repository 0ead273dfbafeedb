// Per-port configuration of KRZCOM15, read from its own INI file.
//
// The file is "KRZCOM15.INI" (no path: the Windows directory), one section
// per port ("[LPT1]" .. "[LPT3]"). Every value has a default, so a machine
// without the file gets the virtual wire. See krzcom15/README.md.
#pragma once

#include <windows.h>

namespace krzcom {

constexpr int kPortCount = 3;
constexpr DWORD kDefaultWriteTimeoutMs = 2000;
constexpr DWORD kDefaultRingBytes = 64 * 1024;
constexpr DWORD kMinRingBytes = 256;
constexpr DWORD kMaxRingBytes = 1024 * 1024;
constexpr DWORD kMaxWriteTimeoutMs = 600000;

struct PortConfig {
  int iPort;               // 0, 1, 2 for LPT1..LPT3
  char szPort[8];          // canonical name, "LPT1"
  char szBackend[32];      // backend name, lower case ("virtual")
  DWORD dwWriteTimeoutMs;  // longest wait for the peripheral to take bytes
  DWORD cbToPeripheral;    // host-to-peripheral buffer of a new virtual wire
  DWORD cbToHost;          // peripheral-to-host buffer of a new virtual wire
  char szDevice[260];      // hardware backends: the device ("/dev/parport0", "\\\\.\\LPT1.4")
};

// Index of a port name ("LPT1".."LPT3", any case), or -1.
int PortIndex(LPCSTR lpszPort);

// Fills *pConfig for the named port. FALSE when the name is not a port.
// Out-of-range numbers are clamped to their limits.
BOOL ReadPortConfig(LPCSTR lpszPort, PortConfig* pConfig);

}  // namespace krzcom
