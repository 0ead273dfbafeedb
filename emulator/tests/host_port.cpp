#include "host_port.h"

namespace emu {

HostPort::HostPort(const char* port) : h_(VCOMM_OpenCommA(port, 1)) {}

HostPort::~HostPort() {
  if (h_) VCOMM_CloseComm(h_);
}

bool HostPort::SetAddress(BYTE address) {
  return VCOMM_EscapeCommFunction(h_, VCOMM_ESC_SET_ECP_CHANNEL, &address, nullptr);
}

bool HostPort::Write(const Bytes& b) {
  DWORD written = 0;
  return VCOMM_WriteComm(h_, b.data(), static_cast<DWORD>(b.size()), &written) &&
         written == b.size();
}

std::vector<Bytes> HostPort::Read(size_t count, DWORD timeout_ms) {
  std::vector<Bytes> out;
  Bytes pkt;
  DWORD start = GetTickCount();
  for (;;) {
    while (out.size() < count && sp_.Next(pkt)) out.push_back(pkt);
    DWORD spent = GetTickCount() - start;
    if (out.size() >= count || spent >= timeout_ms) return out;
    if (!VPERI_HostWaitInput(h_, timeout_ms - spent)) continue;
    uint8_t buf[4096];
    DWORD got = 0;
    if (VCOMM_ReadComm(h_, buf, sizeof buf, &got) && got) sp_.Feed(buf, got);
  }
}

Bytes HostPort::Exchange(const Bytes& cmd) {
  if (!Write(cmd)) return {};
  std::vector<Bytes> v = Read(1);
  return v.empty() ? Bytes{} : v[0];
}

uint32_t HostPort::Capabilities() {
  DWORD caps = 0;
  return VCOMM_EscapeCommFunction(h_, VCOMM_ESC_GET_CAPABILITIES, nullptr, &caps) ? caps
                                                                                  : 0xFFFFFFFF;
}

Bytes HostPort::DeviceId() {
  Bytes buf(1024);
  DWORD room = static_cast<DWORD>(buf.size());
  if (!VCOMM_EscapeCommFunction(h_, VCOMM_ESC_GET_DEVICE_ID, &room, buf.data())) return {};
  buf.resize(room);
  return buf;
}

bool HostPort::Connected() {
  return VCOMM_EscapeCommFunction(h_, VCOMM_ESC_CHECK_CONNECTION, nullptr, nullptr) != 0;
}

}  // namespace emu
