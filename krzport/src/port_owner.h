// The owner of a physical port: opens the device through a KRZCOM15
// hardware backend, attaches as the peripheral of a port's virtual wire and
// moves bytes both ways until told to stop or the device fails. The wire's
// escapes are answered from the device: its device ID and capability word
// are read once, before attaching.
#ifndef KRZPORT_PORT_OWNER_H
#define KRZPORT_PORT_OWNER_H

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

struct OwnerOptions {
  std::string port = "LPT1";  // the wire: "LPT1".."LPT3"
  std::string device;         // "/dev/parport0", "\\.\LPT1.4"
  std::string backend;        // "ppdev", "winpar"
  DWORD dwWriteTimeoutMs = 2000;
};

struct PortOwner {
  OwnerOptions opt;
  DWORD hDevice = 0;  // KRZCOM15 host handle on the device
  DWORD hPeri = 0;    // peripheral handle on the wire
  std::string rawId;  // the device ID as the device sent it, length bytes first
  DWORD dwCaps = 0;   // the device's capability word
  std::atomic<bool> fFailed{false};
  std::atomic<DWORD> dwFailure{0};  // what ended the run when fFailed
  std::atomic<uint64_t> cbToDevice{0};
  std::atomic<uint64_t> cbToHost{0};
};

// The backend this platform's ports use.
const char* DefaultBackend();

// Opens the device and reads its ID and capabilities: ERROR_SUCCESS, or an
// error with *pMessage saying what to do about it.
DWORD OwnerOpenDevice(PortOwner* pOwner, std::string* pMessage);
// Attaches to the wire with the device's ID and capabilities.
DWORD OwnerAttach(PortOwner* pOwner, std::string* pMessage);
// Moves bytes until stop is set or the device or the wire fails (then
// fFailed and dwFailure tell why). Returns with both directions idle.
void OwnerRun(PortOwner* pOwner, const std::atomic<bool>& stop);
// Detaches from the wire (as a vanished peripheral would) and closes the
// device.
void OwnerClose(PortOwner* pOwner);

// What an error of the device or the backend means to the user.
std::string DescribeDeviceError(DWORD dwError, const std::string& device);

#endif
