#include "wire_runner.h"

#include <vperi.h>

#include <chrono>
#include <vector>

namespace emu {

namespace {
// Waits for room towards the host, and of a stalled wire, are short slices.
constexpr DWORD kSliceMs = 5;
// The longest sleep for host bytes when the peripheral has nothing due: a
// bound for timed behaviour that MsUntilDue might not know of.
constexpr DWORD kIdleWaitMs = 1000;
}  // namespace

uint32_t SteadyMs() {
  auto d = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

WireRunner::WireRunner(const EmuConfig& cfg, Trace* trace, Clock clock)
    : peripheral_(cfg, trace), trace_(trace), clock_(std::move(clock)), max_idle_wait_ms_(kIdleWaitMs) {}

WireRunner::~WireRunner() { Stop(); }

bool WireRunner::Start(const std::string& port, std::string* error) {
  DWORD peri = VPERI_Attach(port.c_str());
  if (!peri) {
    if (error)
      *error = "cannot attach to " + port + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  const EmuConfig& cfg = peripheral_.config();
  Bytes id = RawDeviceId(cfg);
  if (!VPERI_SetDeviceId(peri, id.data(), static_cast<DWORD>(id.size())) ||
      !VPERI_SetCapabilities(peri, cfg.capabilities)) {
    VPERI_Detach(peri);
    if (error) *error = "cannot set the device ID or capabilities on " + port;
    return false;
  }
  peri_ = peri;
  attached_ = true;
  stop_ = false;
  start_ms_ = clock_();
  peripheral_.Tick(start_ms_);  // the trace's time starts at the attach
  if (trace_) {
    trace_->Line(0, std::string(kNote) + "attached to " + port + ", capabilities " +
                        std::to_string(cfg.capabilities) + ", device ID " +
                        std::to_string(id.size()) + " bytes: " + cfg.device_id);
  }
  thread_ = std::thread([this] { Loop(); });
  return true;
}

bool WireRunner::AddFault(const std::string& text, std::string* error) {
  Fault f;
  if (!ParseFault(text, &f, error)) return false;
  std::lock_guard<std::mutex> lock(mu_);
  peripheral_.AddFault(f);
  return true;
}

// Detaching first wakes the serving thread from its wait for host bytes
// (its wire calls then fail, and it sees the stop).
void WireRunner::Stop() {
  stop_ = true;
  Leave("stopped");
  if (thread_.joinable()) thread_.join();
}

void WireRunner::Leave(const char* why) {
  attached_ = false;  // before the host can see the wire free
  unsigned long peri = peri_.exchange(0);
  if (peri == 0) return;  // left already
  VPERI_Detach(static_cast<DWORD>(peri));
  if (trace_) {
    trace_->Line(clock_() - start_ms_, std::string(kNote) + "detached from the wire: " + why);
  }
}

void WireRunner::Loop() {
  std::vector<uint8_t> buf(65536);  // a whole packet of the largest size at once
  DWORD peri = static_cast<DWORD>(peri_);
  uint32_t due = 0;  // the peripheral's next timed step, from now
  while (!stop_) {
    bool stalled, leave;
    {
      std::lock_guard<std::mutex> lock(mu_);
      stalled = peripheral_.stalled();
      leave = peripheral_.detach_requested();
    }
    if (leave) {
      Leave("detach fault");
      return;
    }
    DWORD got = 0;
    BYTE address = 0;
    DWORD cap = max_idle_wait_ms_;
    DWORD wait = unsent_.empty() ? (due < cap ? due : cap) : 0;
    if (stalled) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
    } else if (!VPERI_Read(peri, buf.data(), static_cast<DWORD>(buf.size()), &got, &address,
                           wait)) {
      if (!stop_) Leave(("the wire failed (error " + std::to_string(GetLastError()) + ")").c_str());
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      uint32_t now = clock_();
      if (got) peripheral_.Receive(address, buf.data(), got, now);
      peripheral_.Tick(now);
      Bytes out = peripheral_.TakeOutput();
      unsent_.insert(unsent_.end(), out.begin(), out.end());
      due = peripheral_.MsUntilDue(now);
    }
    if (stalled || got == 0) ++quiet_rounds_;
    if (!unsent_.empty()) {
      DWORD written = 0;
      // Waits a little for the host to make room rather than spinning.
      VPERI_Write(peri, unsent_.data(), static_cast<DWORD>(unsent_.size()), &written, kSliceMs);
      unsent_.erase(unsent_.begin(), unsent_.begin() + written);
    }
  }
}

}  // namespace emu
