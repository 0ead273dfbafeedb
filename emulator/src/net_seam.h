// The few TCP operations the bridge needs, over Winsock on Windows and BSD
// sockets elsewhere. Blocking sockets with select()-based waits.
#ifndef EMU_NET_SEAM_H
#define EMU_NET_SEAM_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace emu::net {

using Socket = intptr_t;
constexpr Socket kNoSocket = -1;

bool Startup();
// Listens on host:port (port 0: any free port); *bound receives the port.
Socket Listen(const std::string& host, uint16_t port, uint16_t* bound);
// Waits up to timeout_ms for a connection; kNoSocket when none came.
Socket Accept(Socket listener, int timeout_ms);
Socket Connect(const std::string& host, uint16_t port);
// Waits up to timeout_ms for bytes: > 0 bytes read, 0 none yet, -1 the peer
// closed the connection or it failed.
int Receive(Socket s, uint8_t* buf, size_t n, int timeout_ms);
bool SendAll(Socket s, const uint8_t* p, size_t n);
void Close(Socket s);

}  // namespace emu::net

#endif
