// Checked traffic through echo and source channels.
#include "data_traffic.h"

#include <algorithm>
#include <random>

#include "krzmlc15.h"

namespace {
std::string Failure(const char* lpszWhat, WORD hChannel, long long llValue) {
  return std::string(lpszWhat) + " on channel " + std::to_string(hChannel) + ": " +
         std::to_string(llValue);
}
}  // namespace

std::string EchoTraffic(const std::vector<WORD>& handles, size_t cbTotal, unsigned seed,
                        DWORD dwLimitMs) {
  std::mt19937 rng(seed);
  std::vector<std::vector<BYTE>> data(handles.size(), std::vector<BYTE>(cbTotal));
  for (auto& bytes : data)
    for (BYTE& b : bytes) b = (BYTE)rng();
  std::vector<size_t> sent(handles.size()), back(handles.size());
  std::vector<BYTE> buffer(65536);
  for (DWORD dwStart = GetTickCount();; MLCPollChannels2(FALSE, 0)) {
    bool fDone = true;
    for (size_t c = 0; c < handles.size(); ++c) {
      size_t cb = std::min<size_t>(1 + rng() % 20000, cbTotal - sent[c]);
      int iWritten = cb ? MLCWrite(handles[c], data[c].data() + sent[c], (int)cb, FALSE, 0) : 0;
      if (iWritten < 0) return Failure("write failed", handles[c], iWritten);
      sent[c] += (size_t)iWritten;
      int iRead = MLCRead(handles[c], buffer.data(), 1 + (int)(rng() % 30000), FALSE, 0);
      if (iRead < 0) return Failure("read failed", handles[c], iRead);
      for (int i = 0; i < iRead; ++i)
        if (back[c] + i >= cbTotal || buffer[i] != data[c][back[c] + i])
          return Failure("wrong byte back at offset", handles[c], (long long)(back[c] + i));
      back[c] += (size_t)iRead;
      fDone = fDone && back[c] == cbTotal;
    }
    if (fDone) return "";
    if (GetTickCount() - dwStart > dwLimitMs) return Failure("time limit", handles[0], 0);
  }
}

std::string SourceTraffic(WORD hChannel, size_t cbTotal, unsigned seed, DWORD dwLimitMs) {
  std::mt19937 rng(seed);
  std::vector<BYTE> buffer(70000);
  size_t cbRead = 0;
  for (DWORD dwStart = GetTickCount(); cbRead < cbTotal;) {
    int iRead = rng() % 4 == 0
                    ? MLCRead64(hChannel, buffer.data(), 65536 + (int)(rng() % 4000), FALSE, 0)
                    : MLCRead(hChannel, buffer.data(), 1 + (int)(rng() % 9000), FALSE, 0);
    if (iRead < 0) return Failure("read failed", hChannel, iRead);
    for (int i = 0; i < iRead; ++i)
      if (buffer[i] != (BYTE)(cbRead + i))
        return Failure("wrong byte at offset", hChannel, (long long)(cbRead + i));
    cbRead += (size_t)iRead;
    if (iRead == 0) MLCPollChannels2(FALSE, 0);
    if (GetTickCount() - dwStart > dwLimitMs)
      return Failure("time limit", hChannel, (long long)cbRead);
  }
  return "";
}
