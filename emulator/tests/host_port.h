// The host side of a port's virtual wire, as the tests drive it.
#ifndef EMU_HOST_PORT_H
#define EMU_HOST_PORT_H

#include <vperi.h>

#include <string>
#include <vector>

#include "mlc_packet.h"

namespace emu {

class HostPort {
 public:
  explicit HostPort(const char* port) : h_(VCOMM_OpenCommA(port, 1)) {}
  ~HostPort() { VCOMM_CloseComm(h_); }
  bool SetAddress(BYTE address) { return Escape(VCOMM_ESC_SET_ECP_CHANNEL, &address, nullptr); }
  bool Write(const Bytes& b) {
    DWORD written = 0;
    return VCOMM_WriteComm(h_, b.data(), static_cast<DWORD>(b.size()), &written) &&
           written == b.size();
  }
  // Whole packets, until count arrived or timeout_ms passed.
  std::vector<Bytes> Read(size_t count, DWORD timeout_ms = 3000) {
    std::vector<Bytes> out;
    for (DWORD start = GetTickCount();;) {
      for (Bytes pkt; out.size() < count && sp_.Next(pkt);) out.push_back(pkt);
      DWORD spent = GetTickCount() - start;
      if (out.size() >= count || spent >= timeout_ms) return out;
      uint8_t buf[4096];
      DWORD got = 0;
      if (VPERI_HostWaitInput(h_, timeout_ms - spent) && VCOMM_ReadComm(h_, buf, sizeof buf, &got))
        sp_.Feed(buf, got);
    }
  }
  // Writes a command and returns the first packet that comes back.
  Bytes Exchange(const Bytes& cmd) {
    std::vector<Bytes> v = Write(cmd) ? Read(1) : std::vector<Bytes>();
    return v.empty() ? Bytes{} : v[0];
  }
  uint32_t Capabilities() {  // 0xFFFFFFFF when it fails
    DWORD caps = 0;
    return Escape(VCOMM_ESC_GET_CAPABILITIES, nullptr, &caps) ? caps : 0xFFFFFFFF;
  }
  Bytes DeviceId() {  // empty when it fails
    Bytes buf(1024);
    DWORD room = static_cast<DWORD>(buf.size());
    buf.resize(Escape(VCOMM_ESC_GET_DEVICE_ID, &room, buf.data()) ? room : 0);
    return buf;
  }
  bool Connected() { return Escape(VCOMM_ESC_CHECK_CONNECTION, nullptr, nullptr); }

 private:
  bool Escape(DWORD code, void* in, void* out) {
    return VCOMM_EscapeCommFunction(h_, code, in, out) != 0;
  }
  DWORD h_;
  PacketSplitter sp_;
};

// Runs one of the programs next to this one (cmd: "krzemu.exe ..."); its
// exit code once it ended within ms (0xFFFFFFFF: it did not start or end).
struct Program {
  PROCESS_INFORMATION pi{};
  explicit Program(std::string cmd) {
    STARTUPINFOA si{};
    si.cb = sizeof si;
    if (!CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
      pi.hProcess = nullptr;
  }
  DWORD ExitCode(DWORD ms = 10000) {
    DWORD code = 0xFFFFFFFF;
    if (pi.hProcess && WaitForSingleObject(pi.hProcess, ms) == WAIT_OBJECT_0)
      GetExitCodeProcess(pi.hProcess, &code);
    return code;
  }
  ~Program() {
    if (!pi.hProcess) return;
    if (WaitForSingleObject(pi.hProcess, 0) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 9);
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
};

}  // namespace emu

#endif
