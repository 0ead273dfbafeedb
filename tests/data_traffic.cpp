// Checked traffic through echo and source channels.
#include "data_traffic.h"

#include <random>

#include "krzmlc15.h"

namespace {

struct EchoChannel {
  WORD hChannel;
  std::vector<BYTE> data;
  size_t cbSent = 0;
  size_t cbBack = 0;
};

std::string Describe(const char* lpszWhat, WORD hChannel, long long llValue) {
  return std::string(lpszWhat) + " on channel " + std::to_string(hChannel) + ": " +
         std::to_string(llValue);
}

}  // namespace

std::string EchoTraffic(const std::vector<WORD>& handles, size_t cbTotal, unsigned seed,
                        DWORD dwLimitMs) {
  std::mt19937 rng(seed);
  std::vector<EchoChannel> channels;
  for (WORD h : handles) {
    EchoChannel c{h, std::vector<BYTE>(cbTotal)};
    for (BYTE& b : c.data) b = (BYTE)rng();
    channels.push_back(std::move(c));
  }
  std::vector<BYTE> back(65536);
  DWORD dwStart = GetTickCount();
  for (;;) {
    bool fDone = true;
    for (EchoChannel& c : channels) {
      if (c.cbSent < cbTotal) {
        size_t cb = 1 + rng() % 20000;
        if (cb > cbTotal - c.cbSent) cb = cbTotal - c.cbSent;
        int iWritten = MLCWrite(c.hChannel, c.data.data() + c.cbSent, (int)cb, FALSE, 0);
        if (iWritten < 0) return Describe("write failed", c.hChannel, iWritten);
        c.cbSent += (size_t)iWritten;
      }
      int iRead = MLCRead(c.hChannel, back.data(), 1 + (int)(rng() % 30000), FALSE, 0);
      if (iRead < 0) return Describe("read failed", c.hChannel, iRead);
      if (c.cbBack + (size_t)iRead > cbTotal) return Describe("too much back", c.hChannel, iRead);
      for (int i = 0; i < iRead; ++i)
        if (back[i] != c.data[c.cbBack + i])
          return Describe("wrong byte back at offset", c.hChannel, (long long)(c.cbBack + i));
      c.cbBack += (size_t)iRead;
      if (c.cbBack < cbTotal) fDone = false;
    }
    if (fDone) return "";
    MLCPollChannels2(FALSE, 0);
    if (GetTickCount() - dwStart > dwLimitMs)
      for (const EchoChannel& c : channels)
        if (c.cbBack < cbTotal)
          return Describe("time limit, back", c.hChannel, (long long)c.cbBack);
  }
}

std::string SourceTraffic(WORD hChannel, size_t cbTotal, unsigned seed, DWORD dwLimitMs) {
  std::mt19937 rng(seed);
  std::vector<BYTE> buffer(70000);
  size_t cbRead = 0;
  DWORD dwStart = GetTickCount();
  while (cbRead < cbTotal) {
    int iRead = rng() % 4 == 0
                    ? MLCRead64(hChannel, buffer.data(), 65536 + (int)(rng() % 4000), FALSE, 0)
                    : MLCRead(hChannel, buffer.data(), 1 + (int)(rng() % 9000), FALSE, 0);
    if (iRead < 0) return Describe("read failed", hChannel, iRead);
    for (int i = 0; i < iRead; ++i)
      if (buffer[i] != (BYTE)(cbRead + i))
        return Describe("wrong byte at offset", hChannel, (long long)(cbRead + i));
    cbRead += (size_t)iRead;
    if (iRead == 0) MLCPollChannels2(FALSE, 0);
    if (GetTickCount() - dwStart > dwLimitMs)
      return Describe("time limit, read", hChannel, (long long)cbRead);
  }
  return "";
}
