// krzemu: the printer emulator on a port's virtual wire, with the services
// and faults chosen on the command line, printing the decoded wire trace.
// Exit code: 0 when the host kept to the protocol, 1 when it did not,
// 2 for a usage error or a port that cannot be attached.
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

void PrintSummary(emu::WireRunner& runner, std::FILE* out) {
  runner.With([out](emu::Peripheral& p) {
    std::fprintf(out, "-- summary\n");
    for (const emu::ServiceSpec& s : p.config().services) {
      const emu::ServiceStats& st = p.service(s.psid)->stats();
      std::fprintf(out,
                   "   socket %u %-6s in %llu packets %llu bytes, out %llu packets %llu bytes, "
                   "drained %llu bytes\n",
                   s.psid, emu::ServiceKindName(s.kind),
                   static_cast<unsigned long long>(st.packets_in),
                   static_cast<unsigned long long>(st.bytes_in),
                   static_cast<unsigned long long>(st.packets_out),
                   static_cast<unsigned long long>(st.bytes_out),
                   static_cast<unsigned long long>(st.bytes_drained));
    }
    std::fprintf(out, "   synch bytes %llu, MLC_ERROR from host %zu, host violations %zu\n",
                 static_cast<unsigned long long>(p.synch_bytes()), p.host_errors().size(),
                 p.violations().size());
    for (const emu::Violation& v : p.violations()) {
      std::fprintf(out, "   !! %u.%03u %s\n", v.ms / 1000, v.ms % 1000, v.text.c_str());
    }
    return 0;
  });
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
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
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  auto start = std::chrono::steady_clock::now();
  while (!g_interrupted && runner.attached()) {
    if (opt.seconds &&
        std::chrono::steady_clock::now() - start >= std::chrono::seconds(opt.seconds)) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  runner.Stop();
  if (opt.summary) PrintSummary(runner, trace_file ? trace_file : stdout);
  int violations = runner.With([](emu::Peripheral& p) { return int(p.violations().size()); });
  if (trace_file && trace_file != stdout) std::fclose(trace_file);
  return violations ? 1 : 0;
}
