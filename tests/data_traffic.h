// Echo traffic on the public calls only: cbTotal random bytes written on each
// channel and read back byte for byte. Empty on success, else what went wrong.
#pragma once

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "krzmlc15.h"

inline std::string EchoTraffic(const std::vector<WORD>& handles, size_t cbTotal, unsigned seed,
                               DWORD dwLimitMs) {
  std::mt19937 rng(seed);
  // Channel c sends the bytes from c * 131 on: no two channels send the same.
  std::vector<BYTE> data(cbTotal + 131 * handles.size()), buffer(30000);
  for (BYTE& b : data) b = (BYTE)rng();
  std::vector<size_t> sent(handles.size()), back(handles.size());
  for (DWORD dwStart = GetTickCount(); GetTickCount() - dwStart < dwLimitMs;) {
    size_t cbDone = 0;
    for (size_t c = 0; c < handles.size(); ++c) {
      size_t cb = std::min<size_t>(1 + rng() % 20000, cbTotal - sent[c]);
      int iSent = cb ? MLCWrite(handles[c], data.data() + 131 * c + sent[c], (int)cb, FALSE, 0) : 0;
      int iRead = MLCRead(handles[c], buffer.data(), 1 + (int)(rng() % buffer.size()), FALSE, 0);
      if (iSent < 0 || iRead < 0)
        return "write " + std::to_string(iSent) + ", read " + std::to_string(iRead);
      sent[c] += (size_t)iSent;
      if (back[c] + iRead > cbTotal ||
          !std::equal(buffer.begin(), buffer.begin() + iRead, data.begin() + 131 * c + back[c]))
        return "wrong bytes back at " + std::to_string(back[c]) + " on channel " +
               std::to_string(c);
      cbDone += (back[c] += (size_t)iRead);
    }
    if (cbDone == cbTotal * handles.size()) return "";
    MLCPollChannels2(FALSE, 0);
  }
  return "time limit";
}
