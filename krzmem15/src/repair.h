// Rebuilds an area's structure after a process died while changing it.
#pragma once

#include "layout.h"

namespace krzmem {

// Makes the heap walk, the chunk<->slot links, the slot FIFO, the bins, the
// named entries and their references agree again. Blocks whose allocation
// or free was cut short are settled one way or the other; every block that
// was complete keeps its handle, content and lock count.
void Repair(const View& v);

}  // namespace krzmem
