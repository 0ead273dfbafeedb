#include "common/clock.h"

namespace w32p {

uint64_t mono_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

Deadline::Deadline(uint32_t ms)
    : end_ns(ms == 0xFFFFFFFFu ? UINT64_MAX : mono_ns() + (uint64_t)ms * 1000000ull) {}

uint64_t Deadline::remaining_ns() const {
  if (infinite()) return UINT64_MAX;
  uint64_t now = mono_ns();
  return now >= end_ns ? 0 : end_ns - now;
}

uint32_t Deadline::remaining_ms() const {
  if (infinite()) return UINT32_MAX;
  uint64_t ns = remaining_ns();
  uint64_t ms = (ns + 999999) / 1000000;
  return ms >= UINT32_MAX ? UINT32_MAX - 1 : (uint32_t)ms;
}

timespec Deadline::abs() const {
  timespec ts;
  uint64_t e = infinite() ? mono_ns() + 3600ull * 1000000000ull : end_ns;
  ts.tv_sec = (time_t)(e / 1000000000ull);
  ts.tv_nsec = (long)(e % 1000000000ull);
  return ts;
}

}  // namespace w32p
