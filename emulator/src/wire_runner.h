// Runs a Peripheral as the peripheral of a port's virtual wire: attaches
// through KRZCOM15's peripheral side, announces the device ID and the
// capability word, and on its own thread feeds the host's bytes to the
// peripheral and writes its answers back.
#ifndef EMU_WIRE_RUNNER_H
#define EMU_WIRE_RUNNER_H

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "emu_config.h"
#include "peripheral.h"
#include "trace.h"

namespace emu {

// Milliseconds of a monotonic clock (wraps like a tick count).
uint32_t SteadyMs();

class WireRunner {
 public:
  using Clock = std::function<uint32_t()>;
  WireRunner(const EmuConfig& cfg, Trace* trace, Clock clock = SteadyMs);
  ~WireRunner();
  WireRunner(const WireRunner&) = delete;
  WireRunner& operator=(const WireRunner&) = delete;

  // Attaches to the port ("LPT1".."LPT3") and starts serving it.
  bool Start(const std::string& port, std::string* error);
  // Stops serving and detaches (if the peripheral has not already left).
  void Stop();
  // False once the peripheral left the wire (detach fault) or was stopped.
  bool attached() const { return attached_; }

  // Rounds of the serving thread that found no host bytes on the wire (or
  // were stalled). Two more rounds than when a host call returned: the
  // peripheral has taken in everything that call wrote.
  uint64_t quiet_rounds() const { return quiet_rounds_; }
  // The longest wait of an idle round (1 s by default, so that an idle
  // printer costs next to nothing). A test that counts quiet rounds sets a
  // few milliseconds, so that rounds follow each other quickly.
  void set_max_idle_wait_ms(uint32_t ms) { max_idle_wait_ms_ = ms; }

  // Parses and adds a fault (see Peripheral::AddFault); false with the reason.
  bool AddFault(const std::string& text, std::string* error);

  // Runs fn on the peripheral while the serving thread keeps off it.
  template <class F>
  auto With(F fn) {
    std::lock_guard<std::mutex> lock(mu_);
    return fn(peripheral_);
  }

 private:
  void Loop();
  void Leave(const char* why);

  Peripheral peripheral_;
  Trace* trace_;
  Clock clock_;
  std::mutex mu_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> attached_{false};
  std::atomic<uint64_t> quiet_rounds_{0};
  std::atomic<uint32_t> max_idle_wait_ms_;
  std::atomic<unsigned long> peri_{0};  // 0 once left
  uint32_t start_ms_ = 0;
  Bytes unsent_;
};

}  // namespace emu

#endif
