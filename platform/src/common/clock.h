// Monotonic time and deadlines for timed waits across the platform layer.
#pragma once

#include <stdint.h>
#include <time.h>

namespace w32p {

// CLOCK_MONOTONIC in nanoseconds.
uint64_t mono_ns();

// A deadline `ms` milliseconds from now; INFINITE (0xFFFFFFFF) never ends.
struct Deadline {
  explicit Deadline(uint32_t ms);
  bool infinite() const { return end_ns == UINT64_MAX; }
  // Milliseconds left, rounded up; 0 when passed. UINT32_MAX when infinite.
  uint32_t remaining_ms() const;
  // Nanoseconds left (0 when passed).
  uint64_t remaining_ns() const;
  // Absolute CLOCK_MONOTONIC time of the deadline.
  timespec abs() const;
  uint64_t end_ns;
};

}  // namespace w32p
