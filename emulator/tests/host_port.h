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
  explicit HostPort(const char* port);
  ~HostPort();
  bool ok() const { return h_ != 0; }
  bool SetAddress(BYTE address);
  bool Write(const Bytes& b);
  // Whole packets, until count arrived or timeout_ms passed.
  std::vector<Bytes> Read(size_t count, DWORD timeout_ms = 3000);
  // Writes a command and returns the first packet that comes back.
  Bytes Exchange(const Bytes& cmd);
  uint32_t Capabilities();  // escape 19; 0xFFFFFFFF when it fails
  Bytes DeviceId();         // escape 18; empty when it fails
  bool Connected();         // escape 23

 private:
  DWORD h_;
  PacketSplitter sp_;
};

}  // namespace emu

#endif
