// Helpers shared by the test programs and their child: content patterns,
// and a small generator.
#pragma once

#include <windows.h>

#include "krzmem15.h"

constexpr DWORD kPortInit = 0xA0000;  // the sizes of a port area of the library
constexpr DWORD kPortMax = 0xF10000;

// Byte i of the pattern of key (key 0xFFFFFFFF: zeros).
inline BYTE PatternByte(DWORD key, DWORD i) {
  return key == 0xFFFFFFFF ? 0 : static_cast<BYTE>((key * 2654435761u + i * 40503u) >> 13);
}
inline void Fill(void* p, DWORD n, DWORD key) {
  for (DWORD i = 0; i < n; ++i) static_cast<BYTE*>(p)[i] = PatternByte(key, i);
}
inline bool Check(const void* p, DWORD n, DWORD key) {  // p holds n bytes of key's pattern
  for (DWORD i = 0; p && i < n; ++i)
    if (static_cast<const BYTE*>(p)[i] != PatternByte(key, i)) return false;
  return p != nullptr;
}
inline bool AllZero(const void* p, DWORD n) { return Check(p, n, 0xFFFFFFFF); }

struct Rng {  // xorshift32
  DWORD s;
  DWORD below(DWORD n) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s % n;
  }
};
