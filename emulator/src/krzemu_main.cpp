// krzemu: the printer emulator on a port's virtual wire, with the services
// and faults chosen on the command line, printing the decoded wire trace.
// Once attached it says so on standard output ("krzemu: ready on LPTn") and
// in the --ready-file, so that scripts can wait for it. The summary goes to
// standard output (and into the trace file when there is one).
// Exit code: 0 when the host kept to the protocol, 1 when it did not,
// 2 for a usage error or a port that cannot be attached.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include "cli_options.h"
#include "wire_runner.h"

namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void OnSignal(int) { g_interrupted = true; }

// The POSIX cksum of the bytes (CRC-32 of polynomial 0x04C11DB7 over the
// data and its length), so that a script can compare with `cksum FILE`.
unsigned long Cksum(const emu::Bytes& data) {
  uint32_t crc = 0;
  auto add = [&crc](uint8_t byte) {
    crc ^= static_cast<uint32_t>(byte) << 24;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  };
  for (uint8_t b : data) add(b);
  for (uint64_t n = data.size(); n; n >>= 8) add(static_cast<uint8_t>(n & 0xFF));
  return ~crc;
}

void PrintSummary(emu::Peripheral& p, std::FILE* out) {
  std::fprintf(out, "-- summary\n");
  for (const emu::ServiceSetup& s : p.config().services) {
    emu::ServiceStats st = p.socket_stats(s.psid);
    std::fprintf(out,
                 "   socket %u %-6s in %llu packets %llu bytes, out %llu packets %llu bytes, "
                 "drained %llu bytes\n",
                 s.psid, emu::ServiceKindName(s.kind),
                 static_cast<unsigned long long>(st.packets_in),
                 static_cast<unsigned long long>(st.bytes_in),
                 static_cast<unsigned long long>(st.packets_out),
                 static_cast<unsigned long long>(st.bytes_out),
                 static_cast<unsigned long long>(st.bytes_drained));
    // A storing sink tells exactly what it received.
    if (s.store && p.service(s.psid)) {
      const emu::Bytes& kept = p.service(s.psid)->stored();
      std::fprintf(out, "   socket %u stored %zu bytes, cksum %lu\n", s.psid, kept.size(),
                   Cksum(kept));
    }
  }
  std::fprintf(out, "   synch bytes %llu, MLC_ERROR from host %zu, host violations %zu\n",
               static_cast<unsigned long long>(p.synch_bytes()), p.host_errors().size(),
               p.violations().size());
  for (const emu::Violation& v : p.violations()) {
    std::fprintf(out, "   !! %u.%03u %s\n", v.ms / 1000, v.ms % 1000, v.text.c_str());
  }
  std::fflush(out);
}

bool WriteReadyFile(const std::string& name, const std::string& port) {
  std::FILE* f = std::fopen(name.c_str(), "w");
  if (!f) return false;
  std::fprintf(f, "%s %lu\n", port.c_str(), static_cast<unsigned long>(GetCurrentProcessId()));
  return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (emu::WantsHelp(args)) {
    std::fputs(emu::kEmulatorUsage, stdout);
    return 0;
  }
  emu::EmulatorOptions opt;
  std::string error;
  if (!emu::ParseEmulatorArgs(args, &opt, &error)) {
    std::fprintf(stderr, "krzemu: %s\n%s", error.c_str(), emu::kEmulatorUsage);
    return 2;
  }
  std::FILE* trace_file = nullptr;
  if (opt.trace == "-") {
    trace_file = stdout;
  } else if (!opt.trace.empty()) {
    trace_file = std::fopen(opt.trace.c_str(), "w");
    if (!trace_file) {
      std::fprintf(stderr, "krzemu: cannot write %s\n", opt.trace.c_str());
      return 2;
    }
  }
  emu::Trace trace(trace_file, false);
  emu::WireRunner runner(opt.cfg, &trace);
  if (!runner.Start(opt.port, &error)) {
    std::fprintf(stderr, "krzemu: %s\n", error.c_str());
    if (trace_file && trace_file != stdout) std::fclose(trace_file);
    return 2;
  }
  if (!opt.ready_file.empty() && !WriteReadyFile(opt.ready_file, opt.port)) {
    std::fprintf(stderr, "krzemu: cannot write %s\n", opt.ready_file.c_str());
  }
  std::printf("krzemu: ready on %s\n", opt.port.c_str());
  std::fflush(stdout);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  auto start = std::chrono::steady_clock::now();
  while (!g_interrupted && runner.attached()) {
    if (opt.seconds &&
        std::chrono::steady_clock::now() - start >= std::chrono::seconds(opt.seconds)) {
      break;
    }
    if (!opt.stop_file.empty()) {
      if (std::FILE* stop = std::fopen(opt.stop_file.c_str(), "r")) {
        std::fclose(stop);
        break;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  runner.Stop();
  if (!opt.ready_file.empty()) std::remove(opt.ready_file.c_str());
  int violations = runner.With([&](emu::Peripheral& p) {
    if (opt.summary) {
      PrintSummary(p, stdout);
      if (trace_file && trace_file != stdout) PrintSummary(p, trace_file);
    }
    return static_cast<int>(p.violations().size());
  });
  if (trace_file && trace_file != stdout) std::fclose(trace_file);
  return violations ? 1 : 0;
}
