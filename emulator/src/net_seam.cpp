#include "net_seam.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using SockLen = int;
using Native = SOCKET;
constexpr int kSendFlags = 0;
#define EMU_CLOSESOCKET closesocket
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
using SockLen = socklen_t;
using Native = int;
constexpr int kSendFlags = MSG_NOSIGNAL;  // a closed peer is an error, not a signal
#define EMU_CLOSESOCKET close
#endif

#include <cstring>

namespace emu::net {

namespace {

bool Address(const std::string& host, uint16_t port, sockaddr_in* sa) {
  std::memset(sa, 0, sizeof *sa);
  sa->sin_family = AF_INET;
  sa->sin_port = htons(port);
  return inet_pton(AF_INET, host.c_str(), &sa->sin_addr) == 1;
}

// Waits until the socket is readable; false on time-out.
bool Readable(Socket s, int timeout_ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(static_cast<Native>(s), &set);
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  return select(static_cast<int>(s) + 1, &set, nullptr, nullptr, &tv) > 0;
}

void NoDelay(Socket s) {
  int one = 1;
  setsockopt(static_cast<Native>(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
             sizeof one);
}

}  // namespace

bool Startup() {
#ifdef _WIN32
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
#else
  return true;
#endif
}

Socket Listen(const std::string& host, uint16_t port, uint16_t* bound) {
  sockaddr_in sa;
  if (!Address(host, port, &sa)) return kNoSocket;
  auto s = socket(AF_INET, SOCK_STREAM, 0);
  if (static_cast<Socket>(s) == kNoSocket) return kNoSocket;
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
  SockLen len = sizeof sa;
  if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(s, 1) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    EMU_CLOSESOCKET(s);
    return kNoSocket;
  }
  if (bound) *bound = ntohs(sa.sin_port);
  return static_cast<Socket>(s);
}

Socket Accept(Socket listener, int timeout_ms) {
  if (!Readable(listener, timeout_ms)) return kNoSocket;
  auto s = accept(static_cast<Native>(listener), nullptr, nullptr);
  if (static_cast<Socket>(s) == kNoSocket) return kNoSocket;
  NoDelay(static_cast<Socket>(s));
  return static_cast<Socket>(s);
}

Socket Connect(const std::string& host, uint16_t port) {
  sockaddr_in sa;
  if (!Address(host, port, &sa)) return kNoSocket;
  auto s = socket(AF_INET, SOCK_STREAM, 0);
  if (static_cast<Socket>(s) == kNoSocket) return kNoSocket;
  if (connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    EMU_CLOSESOCKET(s);
    return kNoSocket;
  }
  NoDelay(static_cast<Socket>(s));
  return static_cast<Socket>(s);
}

int Receive(Socket s, uint8_t* buf, size_t n, int timeout_ms) {
  if (!Readable(s, timeout_ms)) return 0;
  auto got = recv(static_cast<Native>(s), reinterpret_cast<char*>(buf), static_cast<int>(n), 0);
  return got > 0 ? static_cast<int>(got) : -1;
}

bool SendAll(Socket s, const uint8_t* p, size_t n) {
  while (n) {
    auto sent = send(static_cast<Native>(s), reinterpret_cast<const char*>(p), static_cast<int>(n),
                     kSendFlags);
    if (sent <= 0) return false;
    p += sent;
    n -= static_cast<size_t>(sent);
  }
  return true;
}

void Close(Socket s) {
  if (s != kNoSocket) EMU_CLOSESOCKET(static_cast<Native>(s));
}

}  // namespace emu::net
