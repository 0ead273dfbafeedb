// Checked traffic through echo channels with the public calls only: cbTotal
// pseudo-random bytes (from seed) written on every channel in random chunk
// sizes, polling, and read back byte for byte. Empty on success, else what
// went wrong (also when dwLimitMs passed first).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

std::string EchoTraffic(const std::vector<WORD>& handles, size_t cbTotal, unsigned seed,
                        DWORD dwLimitMs);
