// Futex waits on 32-bit words, shared between processes when the word
// lives in shared memory.
#pragma once

#include <stdint.h>

#include "common/clock.h"

namespace w32p {

// Sleeps while *word == expected, at most until the deadline. Returns
// false when the deadline passed (spurious wake-ups return true).
bool futex_wait(uint32_t* word, uint32_t expected, const Deadline& deadline);
void futex_wake_all(uint32_t* word);

}  // namespace w32p
