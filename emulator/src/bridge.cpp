#include "bridge.h"

#include <vperi.h>

#include <chrono>
#include <thread>

#include "emu_config.h"
#include "wire_runner.h"

namespace emu {

namespace {
constexpr DWORD kWaitMs = 5;
}  // namespace

Bridge::Bridge(const BridgeOptions& opt, Trace* trace)
    : opt_(opt), trace_(trace), start_ms_(SteadyMs()) {}

Bridge::~Bridge() {
  if (peri_) Detach("bridge ended");
  net::Close(listener_);
}

uint32_t Bridge::Ms() const { return SteadyMs() - start_ms_; }

BridgeStats Bridge::stats() const {
  std::lock_guard<std::mutex> lock(mu_);
  return stats_;
}

bool Bridge::Prepare(std::string* error) {
  if (!net::Startup()) {
    *error = "sockets are not available";
    return false;
  }
  port_ = opt_.tcp_port;
  if (!opt_.listen) return true;
  listener_ = net::Listen(opt_.host, opt_.tcp_port, &port_);
  if (listener_ == net::kNoSocket) {
    *error = "cannot listen on " + opt_.host + ":" + std::to_string(opt_.tcp_port);
    return false;
  }
  if (trace_)
    trace_->Line(Ms(),
                 std::string(kNote) + "listening on " + opt_.host + ":" + std::to_string(port_));
  return true;
}

bool Bridge::Attach() {
  DWORD peri = VPERI_Attach(opt_.port.c_str());
  if (!peri) {
    if (trace_) trace_->Line(Ms(), std::string(kNote) + "cannot attach to " + opt_.port);
    return false;
  }
  EmuConfig cfg;
  cfg.device_id = opt_.device_id;
  cfg.id_length = opt_.id_length;
  Bytes id = RawDeviceId(cfg);
  VPERI_SetDeviceId(peri, id.data(), static_cast<DWORD>(id.size()));
  VPERI_SetCapabilities(peri, opt_.capabilities);
  peri_ = peri;
  if (trace_) trace_->Line(Ms(), std::string(kNote) + "attached to " + opt_.port);
  return true;
}

void Bridge::Detach(const std::string& why) {
  VPERI_Detach(static_cast<DWORD>(peri_.exchange(0)));
  if (trace_) trace_->Line(Ms(), std::string(kNote) + "detached from " + opt_.port + ": " + why);
}

void Bridge::Decode(PacketSplitter& sp, const char* dir, const uint8_t* p, size_t n) {
  if (!trace_) return;
  sp.Feed(p, n);
  Bytes pkt;
  while (sp.Next(pkt)) trace_->Line(Ms(), dir + Describe(pkt.data(), pkt.size()));
  Bytes junk = sp.TakeGarbage();
  if (!junk.empty()) {
    trace_->Line(Ms(), std::string(dir) + "UNPARSEABLE " + std::to_string(junk.size()) +
                           " bytes: " + HexBytes(junk.data(), junk.size()));
  }
}

void Bridge::Pump(net::Socket s, const std::atomic<bool>& stop, uint32_t deadline) {
  PacketSplitter to_peer, to_host;
  uint8_t buf[4096];
  Bytes unsent;  // from the peer, not yet taken by the wire
  DWORD peri = static_cast<DWORD>(peri_);
  while (!stop && (!deadline || static_cast<int32_t>(SteadyMs() - deadline) < 0)) {
    DWORD got = 0;
    BYTE address = 0;
    if (!VPERI_Read(peri, buf, sizeof buf, &got, &address, unsent.empty() ? kWaitMs : 0)) {
      Detach("the wire failed (error " + std::to_string(GetLastError()) + ")");
      return;
    }
    if (got && address == kMlcAddress) {
      Decode(to_peer, kToPeripheral, buf, got);
      if (!net::SendAll(s, buf, got)) {
        Detach("connection lost");
        return;
      }
      std::lock_guard<std::mutex> lock(mu_);
      stats_.to_peer += got;
    } else if (got) {
      std::lock_guard<std::mutex> lock(mu_);
      (address == kSynchAddress ? stats_.synch_bytes : stats_.other_bytes) += got;
    }
    // The peer's bytes wait while the host has not read the earlier ones.
    if (unsent.empty()) {
      int n = net::Receive(s, buf, sizeof buf, 0);
      if (n < 0) {
        Detach("connection lost");
        return;
      }
      Decode(to_host, kToHost, buf, static_cast<size_t>(n));
      unsent.assign(buf, buf + n);
    }
    if (!unsent.empty()) {
      DWORD written = 0;
      VPERI_Write(peri, unsent.data(), static_cast<DWORD>(unsent.size()), &written, kWaitMs);
      unsent.erase(unsent.begin(), unsent.begin() + written);
      std::lock_guard<std::mutex> lock(mu_);
      stats_.from_peer += written;
    }
  }
  Detach(stop ? "stopped" : "time is up");
}

int Bridge::Run(const std::atomic<bool>& stop) {
  uint32_t deadline = opt_.seconds ? SteadyMs() + opt_.seconds * 1000 : 0;
  auto time_left = [&] { return !deadline || static_cast<int32_t>(SteadyMs() - deadline) < 0; };
  bool served = false;
  while (!stop && time_left()) {
    net::Socket s = net::kNoSocket;
    if (opt_.listen) {
      s = net::Accept(listener_, 100);
      if (s == net::kNoSocket) continue;
    } else {
      s = net::Connect(opt_.host, opt_.tcp_port);
      if (s == net::kNoSocket) {
        if (trace_)
          trace_->Line(Ms(), std::string(kNote) + "cannot connect to " + opt_.host + ":" +
                                 std::to_string(opt_.tcp_port));
        return served ? 0 : 2;
      }
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      stats_.connections++;
    }
    if (trace_) trace_->Line(Ms(), std::string(kNote) + "peer connected");
    if (!Attach()) {
      net::Close(s);
      return 2;
    }
    served = true;
    Pump(s, stop, deadline);
    net::Close(s);
    if (!opt_.listen || opt_.once) break;
  }
  return served || opt_.listen ? 0 : 2;
}

}  // namespace emu
