#include "core_test_util.h"

#include <cstdlib>

namespace emu {

Bytes Hex(const std::string& hex) {
  Bytes out;
  const char* s = hex.c_str();
  char* end = nullptr;
  for (;;) {
    unsigned long v = std::strtoul(s, &end, 16);
    if (end == s) return out;
    out.push_back(static_cast<uint8_t>(v));
    s = end;
  }
}

std::vector<Bytes> SplitPackets(const Bytes& stream) {
  PacketSplitter sp;
  sp.Feed(stream.data(), stream.size());
  std::vector<Bytes> out;
  Bytes pkt;
  while (sp.Next(pkt)) out.push_back(pkt);
  if (sp.Pending()) out.push_back(sp.TakePartial());  // a trailing partial packet as is
  return out;
}

EmuConfig ConfigWith(const std::vector<std::string>& services,
                     const std::vector<std::string>& faults) {
  EmuConfig cfg;
  for (const std::string& s : services) {
    ServiceSetup service;
    std::string err;
    if (!ParseService(s, &service, &err)) std::abort();
    cfg.services.push_back(service);
  }
  for (const std::string& f : faults) {
    Fault fault;
    std::string err;
    if (!ParseFault(f, &fault, &err)) std::abort();
    cfg.faults.push_back(fault);
  }
  return cfg;
}

Harness::Harness(const EmuConfig& cfg) : p(cfg, &trace) {}

Bytes Harness::Send(const Bytes& pkt) {
  p.Receive(kMlcAddress, pkt.data(), pkt.size(), now);
  return p.TakeOutput();
}

Bytes Harness::Advance(uint32_t ms) {
  now += ms;
  p.Tick(now);
  return p.TakeOutput();
}

Bytes Harness::Open(uint8_t hsid, uint8_t psid, uint16_t credit) {
  Send(InitCommand(3));
  Send(ConfigSocketCommand(psid, 0x100C, 0x0406, 0));
  return Send(OpenChannelCommand(hsid, psid, credit));
}

}  // namespace emu
