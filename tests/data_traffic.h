// Traffic through stream channels with the public calls only, checked byte
// for byte: shared by the data tests and their child processes.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Sends cbTotal pseudo-random bytes (from seed) on every echo channel in
// handles, in random chunk sizes, polling and reading back what returns in
// random chunk sizes, until everything came back or dwLimitMs passed.
// Empty on success, else what went wrong.
std::string EchoTraffic(const std::vector<WORD>& handles, size_t cbTotal, unsigned seed,
                        DWORD dwLimitMs);
// Reads cbTotal bytes from a source channel (byte i is i & 0xFF) in random
// chunk sizes, polling in between. Empty on success, else what went wrong.
std::string SourceTraffic(WORD hChannel, size_t cbTotal, unsigned seed, DWORD dwLimitMs);
