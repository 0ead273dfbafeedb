// Helpers shared by the KRZCOM15 tests and their child program.
#pragma once

#include <string.h>
#include <windows.h>

#include <string>

#include "krzcom15.h"
#include "vperi.h"

// The device ID the test peripherals announce (length bytes included).
inline std::string TestDeviceId(const char* pszText) {
  size_t cb = strlen(pszText) + 2;
  return std::string{(char)(cb >> 8), (char)(cb & 0xFF)} + pszText;
}

// The i-th byte of the test pattern.
inline BYTE PatternByte(DWORD i) { return (BYTE)((i * 7 + (i >> 8)) & 0xFF); }
