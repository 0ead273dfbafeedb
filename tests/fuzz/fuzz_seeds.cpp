// krzmlc15_fuzz_seeds DIR: the receive target's seeds, what the emulator's
// core sends on its two channels, plain and with faults, cut into pieces.
#include <stdio.h>

#include <algorithm>
#include <string>

#include "emu_config.h"
#include "mlc_packet.h"
#include "peripheral.h"

namespace {

using emu::Bytes;

const uint16_t kPtoH = 7 + 255 * 4;  // the packet size an input's second byte 255 picks

// What the printer sends to four echo packets and status requests after the opens.
Bytes Conversation(const char* fault) {
  emu::EmuConfig cfg;
  cfg.max_ptoh = kPtoH;
  cfg.credit_request_ms = 0;
  cfg.services = emu::DefaultServices();  // the target opens the status and echo services
  std::string error;
  emu::Fault f;
  if (fault && emu::ParseFault(fault, &f, &error)) cfg.faults.push_back(f);
  emu::Peripheral p(cfg, nullptr);
  uint32_t now = 1;
  auto send = [&](const Bytes& packet) { p.Receive(0x4D, packet.data(), packet.size(), now++); };
  send(emu::InitCommand(3));
  send(emu::ConfigSocketCommand(3, 0x100C, kPtoH, 0));
  send(emu::OpenChannelCommand(0x80, 3, 8));
  send(emu::ConfigSocketCommand(1, 0x100C, kPtoH, 0));
  send(emu::OpenChannelCommand(0x81, 1, 1));
  p.TakeOutput();  // the replies the target's set-up already consumed
  Bytes out;
  for (int i = 0; i < 4; ++i) {
    send(emu::MakePacket(0x80, 3, 0, 0, Bytes(100 + 300 * i, (uint8_t)i)));
    send(emu::MakePacket(0x81, 1, 1, 0, Bytes{'S', '?'}));
    now += 50;
    p.Tick(now);
    Bytes b = p.TakeOutput();
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return fprintf(stderr, "usage: krzmlc15_fuzz_seeds DIR\n"), 2;
  struct Seed {
    const char* name;
    const char* fault;
    size_t piece;
  } seeds[] = {
      {"echo-and-status", nullptr, 255},     {"split-small", nullptr, 5},
      {"split-headers", nullptr, 3},         {"oversize", "oversize@bytes=1", 200},
      {"nocredit", "nocredit@bytes=1", 255}, {"badpsid", "badpsid@bytes=1", 64},
      {"overflow", "overflow@bytes=1", 100}, {"creditreq", "creditreq@bytes=1", 255},
      {"debit", "debit=2@bytes=1", 255},     {"msgcredit", "msgcredit@bytes=1", 50},
      {"shortlen", "shortlen@bytes=1", 255}, {"emptycmd", "emptycmd@bytes=1", 7},
  };
  for (const Seed& s : seeds) {
    Bytes out = Conversation(s.fault), input{7, 255};  // a ring of 8 KiB, packets of kPtoH
    for (size_t at = 0; at < out.size(); at += s.piece) {
      size_t n = std::min(out.size() - at, s.piece);
      input.push_back((uint8_t)n);
      input.insert(input.end(), out.begin() + (long)at, out.begin() + (long)(at + n));
    }
    FILE* f = fopen((std::string(argv[1]) + "/" + s.name).c_str(), "wb");
    if (!f || fwrite(input.data(), 1, input.size(), f) != input.size()) return 1;
    fclose(f);
  }
  return 0;
}
