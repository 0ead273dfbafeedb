// Fault injection for the test build KRZMEM15F: the process dies at one
// chosen ordered store, in the middle of a change and holding the area
// mutex, exactly as a process killed at that instant would.
#include <stdlib.h>

#include "layout.h"

namespace krzmem {

void FaultPoint() {
  static long target = [] {
    const char* at = getenv("KRZMEM15_FAULT_AT");
    return at ? atol(at) : 0L;
  }();
  static std::atomic<long> count{0};
  if (target > 0 && ++count == target) ExitProcess(0xFA);
}

}  // namespace krzmem
