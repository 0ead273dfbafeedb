// krzbridge: carries the MLC channel of a port's virtual wire over one TCP
// connection, so that a peripheral simulator in any language can play the
// printer. Prints the TCP port when listening on a free one.
#include <atomic>
#include <csignal>
#include <cstdio>

#include "bridge.h"

namespace {
std::atomic<bool> g_stop{false};
extern "C" void OnSignal(int) { g_stop = true; }
}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (emu::WantsHelp(args)) {
    std::fputs(emu::kBridgeUsage, stdout);
    return 0;
  }
  emu::BridgeOptions opt;
  std::string error;
  if (!emu::ParseBridgeArgs(args, &opt, &error)) {
    std::fprintf(stderr, "krzbridge: %s\n%s", error.c_str(), emu::kBridgeUsage);
    return 2;
  }
  std::FILE* trace_file = nullptr;
  if (opt.trace == "-") {
    trace_file = stdout;
  } else if (!opt.trace.empty() && !(trace_file = std::fopen(opt.trace.c_str(), "w"))) {
    std::fprintf(stderr, "krzbridge: cannot write %s\n", opt.trace.c_str());
    return 2;
  }
  emu::Trace trace(trace_file, false);
  emu::Bridge bridge(opt, &trace);
  if (!bridge.Prepare(&error)) {
    std::fprintf(stderr, "krzbridge: %s\n", error.c_str());
    return 2;
  }
  if (opt.listen) {
    std::printf("krzbridge: %s on TCP port %u\n", opt.port.c_str(), bridge.port());
    std::fflush(stdout);
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  int rc = bridge.Run(g_stop);
  emu::BridgeStats st = bridge.stats();
  std::fprintf(trace_file ? trace_file : stdout,
               "-- bridged %llu bytes to the peer, %llu to the host; synch bytes %llu; "
               "other %llu; connections %u\n",
               static_cast<unsigned long long>(st.to_peer),
               static_cast<unsigned long long>(st.from_peer),
               static_cast<unsigned long long>(st.synch_bytes),
               static_cast<unsigned long long>(st.other_bytes), st.connections);
  if (trace_file && trace_file != stdout) std::fclose(trace_file);
  return rc;
}
