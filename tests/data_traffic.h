// Traffic through stream channels with the public calls only, checked byte
// for byte, in random chunk sizes from seed, polling in between: empty on
// success, else what went wrong (also when dwLimitMs passed first).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// cbTotal pseudo-random bytes sent on every echo channel and read back.
std::string EchoTraffic(const std::vector<WORD>& handles, size_t cbTotal, unsigned seed,
                        DWORD dwLimitMs);
// cbTotal bytes read from a source channel (byte i is i & 0xFF).
std::string SourceTraffic(WORD hChannel, size_t cbTotal, unsigned seed, DWORD dwLimitMs);
