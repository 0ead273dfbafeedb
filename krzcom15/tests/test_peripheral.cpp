// Peripheral side of the virtual wire: one peripheral per port, waiting
// reads woken by the host, and the peripheral-to-host stream.
#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "test_support.h"

namespace {

TEST(Peripheral, OnlyOneAttachesAndDetachFreesThePort) {
  EXPECT_EQ(VPERI_Attach("LPT9"), 0u);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
  DWORD hPeri = VPERI_Attach("LPT1");
  ASSERT_NE(hPeri, 0u);
  EXPECT_EQ(VPERI_Attach("LPT1"), 0u);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);
  DWORD hOtherPort = VPERI_Attach("LPT2");  // ports are independent
  EXPECT_NE(hOtherPort, 0u);
  EXPECT_TRUE(VPERI_Detach(hOtherPort));
  EXPECT_TRUE(VPERI_Detach(hPeri));
  hPeri = VPERI_Attach("LPT1");
  EXPECT_NE(hPeri, 0u);
  // A host handle is not a peripheral handle, and the other way round.
  DWORD hPort = VCOMM_OpenCommA("LPT1", 1);
  ASSERT_NE(hPort, 0u);
  EXPECT_FALSE(VPERI_Detach(hPort));
  EXPECT_FALSE(VCOMM_CloseComm(hPeri));
  EXPECT_TRUE(VCOMM_CloseComm(hPort));
  EXPECT_TRUE(VPERI_Detach(hPeri));
}

struct HostWrite {
  DWORD hPort;
  DWORD dwDelayMs;
  const char* psz;
};

DWORD WINAPI HostWriteLater(LPVOID lpParam) {
  HostWrite* p = (HostWrite*)lpParam;
  Sleep(p->dwDelayMs);
  DWORD cb = 0;
  return VCOMM_WriteComm(p->hPort, p->psz, (DWORD)strlen(p->psz), &cb) ? cb : 0xFFFF;
}

TEST(Peripheral, WaitingReadIsWokenByHostWriteAndTimesOutEmpty) {
  DWORD hPeri = VPERI_Attach("LPT1");
  ASSERT_NE(hPeri, 0u);
  DWORD hPort = VCOMM_OpenCommA("LPT1", 1);
  ASSERT_NE(hPort, 0u);
  BYTE bAddress = 0x4D;
  ASSERT_TRUE(VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_SET_ECP_CHANNEL, &bAddress, NULL));

  char ab[16];
  DWORD cb = 9;
  DWORD dwStart = GetTickCount();
  EXPECT_TRUE(VPERI_Read(hPeri, ab, sizeof ab, &cb, &bAddress, 100));
  EXPECT_EQ(cb, 0u);
  EXPECT_GE(GetTickCount() - dwStart, 80u);

  HostWrite w = {hPort, 100, "wake"};
  HANDLE hThread = CreateThread(NULL, 0, HostWriteLater, &w, 0, NULL);
  ASSERT_NE(hThread, nullptr);
  dwStart = GetTickCount();
  EXPECT_TRUE(VPERI_Read(hPeri, ab, sizeof ab, &cb, &bAddress, 20000));
  EXPECT_LT(GetTickCount() - dwStart, 15000u);  // woken, not timed out
  EXPECT_EQ(std::string(ab, cb), "wake");
  EXPECT_EQ(bAddress, 0x4D);
  WaitForSingleObject(hThread, INFINITE);
  CloseHandle(hThread);

  // A read on a detached handle fails instead of waiting.
  EXPECT_TRUE(VPERI_Detach(hPeri));
  EXPECT_FALSE(VPERI_Read(hPeri, ab, sizeof ab, &cb, &bAddress, 1000));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  VCOMM_CloseComm(hPort);
}

TEST(Peripheral, WritesToHostUntilFullThenTimesOut) {
  DWORD hPeri = VPERI_Attach("LPT2");
  ASSERT_NE(hPeri, 0u);
  DWORD hPort = VCOMM_OpenCommA("LPT2", 1);
  ASSERT_NE(hPort, 0u);
  std::vector<BYTE> data(TEST_SMALL_BUFFER + 1000);
  for (DWORD i = 0; i < data.size(); ++i) data[i] = PatternByte(i);

  DWORD cb = 0;
  EXPECT_FALSE(VPERI_Write(hPeri, data.data(), (DWORD)data.size(), &cb, 50));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
  EXPECT_EQ(cb, (DWORD)TEST_SMALL_BUFFER);

  // The host reads whatever is waiting, up to what it asks for, at once.
  std::vector<BYTE> got(data.size());
  DWORD cbRead = 0;
  ASSERT_TRUE(VCOMM_ReadComm(hPort, got.data(), 1000, &cbRead));
  EXPECT_EQ(cbRead, 1000u);
  ASSERT_TRUE(VCOMM_ReadComm(hPort, got.data() + 1000, (DWORD)got.size(), &cbRead));
  EXPECT_EQ(cbRead, (DWORD)TEST_SMALL_BUFFER - 1000);
  EXPECT_EQ(memcmp(got.data(), data.data(), TEST_SMALL_BUFFER), 0);

  EXPECT_TRUE(VPERI_Write(hPeri, data.data() + cb, (DWORD)data.size() - cb, &cb, 0));
  EXPECT_EQ(cb, 1000u);
  ASSERT_TRUE(VCOMM_ReadComm(hPort, got.data(), (DWORD)got.size(), &cbRead));
  EXPECT_EQ(cbRead, 1000u);
  EXPECT_EQ(memcmp(got.data(), data.data() + TEST_SMALL_BUFFER, 1000), 0);

  // What a detached peripheral sent stays readable; a new one starts clean.
  EXPECT_TRUE(VPERI_Write(hPeri, "bye", 3, &cb, 0));
  EXPECT_TRUE(VPERI_Detach(hPeri));
  EXPECT_FALSE(VPERI_Write(hPeri, "x", 1, &cb, 0));
  ASSERT_TRUE(VCOMM_ReadComm(hPort, got.data(), (DWORD)got.size(), &cbRead));
  EXPECT_EQ(std::string((char*)got.data(), cbRead), "bye");
  VCOMM_CloseComm(hPort);
}

}  // namespace
