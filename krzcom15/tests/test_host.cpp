// One process on the virtual wire: opening, escapes and device ID, the
// address tagging the peripheral sees, and writes that time out.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "testutil.h"

namespace {

// Writes KRZCOM15.INI into the Windows directory for the whole run.
class ConfigEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char szDir[MAX_PATH];
    ASSERT_GT(GetWindowsDirectoryA(szDir, sizeof szDir), 0u);
    path_ = std::string(szDir) + "/KRZCOM15.INI";
    FILE* f = fopen(path_.c_str(), "w");
    ASSERT_NE(f, nullptr) << path_;
    fprintf(f,
            "[LPT2]\nWriteTimeout=%d\nToPeripheralBuffer=%d\nToHostBuffer=%d\n[LPT3]\nBackend="
            "parport\n",
            TEST_SHORT_TIMEOUT_MS, TEST_SMALL_BUFFER, TEST_SMALL_BUFFER);
    fclose(f);
  }
  void TearDown() override { remove(path_.c_str()); }

 private:
  std::string path_;
};
const ::testing::Environment* const g_config =
    ::testing::AddGlobalTestEnvironment(new ConfigEnvironment);

std::string ReadPeri(DWORD hPeri, DWORD cbMax, BYTE* pbAddress) {
  char ab[100];
  DWORD cb = 0;
  EXPECT_TRUE(VPERI_Read(hPeri, ab, cbMax, &cb, pbAddress, 0));
  return std::string(ab, cb);
}

TEST(HostPort, OpenAndCloseCheckNamesBackendsAndHandles) {
  for (const char* pszBad : {"LPT4", "LPT11", (const char*)NULL, "LPT3"})
    EXPECT_EQ(VCOMM_OpenCommA(pszBad, 1), 0u);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);  // LPT3: a backend that does not exist
  DWORD hPort = VCOMM_OpenCommA("lpt1", 1);
  ASSERT_NE(hPort, 0u);
  EXPECT_TRUE(VCOMM_CloseComm(hPort));
  EXPECT_FALSE(VCOMM_CloseComm(hPort));
  DWORD hAgain = VCOMM_OpenCommA("LPT1", 1);  // same slot, new handle value
  EXPECT_NE(hAgain, hPort);
  EXPECT_EQ(VCOMM_GetLastError(hPort), (DWORD)ERROR_INVALID_HANDLE);
  EXPECT_FALSE(VPERI_Detach(hAgain));  // host and peripheral handles do not mix
  EXPECT_TRUE(VCOMM_CloseComm(hAgain));
}

TEST(HostPort, EscapesAndDeviceIdWithAndWithoutPeripheral) {
  DWORD hPort = VCOMM_OpenCommA("LPT1", 1);
  ASSERT_NE(hPort, 0u);
  BYTE abId[258];
  DWORD cbRoom = sizeof abId, cbId = 99, dwCaps = 0;
  BYTE bAddress = 0x4D;
  auto escape = [&](int iCode, void* pIn, void* pOut) {
    return VCOMM_EscapeCommFunction(hPort, iCode, pIn, pOut) ? 0u : VCOMM_GetLastError(hPort);
  };
  // Without a peripheral: not connected, no device ID; the port itself can do ECP.
  EXPECT_EQ(escape(VCOMM_ESC_CHECK_CONNECTION, NULL, NULL), (DWORD)ERROR_NOT_READY);
  EXPECT_FALSE(VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_GET_DEVICE_ID, &cbRoom, abId));
  EXPECT_FALSE(VCOMM_GetDeviceIdA("LPT1", abId, sizeof abId, &cbId));
  EXPECT_EQ(cbId, 0u);
  EXPECT_EQ(escape(VCOMM_ESC_GET_CAPABILITIES, NULL, &dwCaps), 0u);
  EXPECT_EQ(dwCaps, (DWORD)VCOMM_CAP_ECP);
  EXPECT_EQ(escape(VCOMM_ESC_SET_ECP_CHANNEL, &bAddress, NULL), 0u);
  EXPECT_EQ(escape(42, &bAddress, &dwCaps), (DWORD)ERROR_INVALID_FUNCTION);
  EXPECT_EQ(escape(VCOMM_ESC_GET_DEVICE_ID, NULL, abId), (DWORD)ERROR_INVALID_PARAMETER);

  DWORD hPeri = VPERI_Attach("LPT1");
  ASSERT_NE(hPeri, 0u);
  std::string id = TestDeviceId("MFG:Test;CMD:PCL,MLC;");
  ASSERT_TRUE(VPERI_SetDeviceId(hPeri, id.data(), (DWORD)id.size()));
  ASSERT_TRUE(VPERI_SetCapabilities(hPeri, 0));
  EXPECT_EQ(escape(VCOMM_ESC_CHECK_CONNECTION, NULL, NULL), 0u);
  ASSERT_EQ(escape(VCOMM_ESC_GET_DEVICE_ID, &cbRoom, abId), 0u);
  EXPECT_EQ(std::string((char*)abId, cbRoom), id);
  memset(abId, 0xEE, sizeof abId);
  cbRoom = 5;  // less room than the ID: exactly the room, nothing beyond
  ASSERT_EQ(escape(VCOMM_ESC_GET_DEVICE_ID, &cbRoom, abId), 0u);
  EXPECT_EQ(std::string((char*)abId, cbRoom), id.substr(0, 5));
  EXPECT_EQ(abId[5], 0xEE);
  EXPECT_EQ(escape(VCOMM_ESC_GET_CAPABILITIES, NULL, &dwCaps), 0u);
  EXPECT_EQ(dwCaps, 0u);
  ASSERT_TRUE(VCOMM_GetDeviceIdA("LPT1", abId, 258, &cbId));
  EXPECT_EQ(std::string((char*)abId, cbId), id);
  std::string big(1025, 'x');
  EXPECT_FALSE(VPERI_SetDeviceId(hPeri, big.data(), (DWORD)big.size()));

  // After the peripheral leaves, the port is as without one.
  EXPECT_TRUE(VPERI_Detach(hPeri));
  EXPECT_EQ(escape(VCOMM_ESC_CHECK_CONNECTION, NULL, NULL), (DWORD)ERROR_NOT_READY);
  EXPECT_FALSE(VCOMM_GetDeviceIdA("LPT1", abId, 258, &cbId));
  EXPECT_EQ(escape(VCOMM_ESC_GET_CAPABILITIES, NULL, &dwCaps), 0u);
  EXPECT_EQ(dwCaps, (DWORD)VCOMM_CAP_ECP);
  EXPECT_TRUE(VCOMM_CloseComm(hPort));
}

TEST(HostPort, PeripheralSeesAddressChangesInOrderAcrossHandles) {
  DWORD hPeri = VPERI_Attach("LPT1");
  DWORD hA = VCOMM_OpenCommA("LPT1", 1), hB = VCOMM_OpenCommA("LPT1", 1);
  ASSERT_TRUE(hPeri && hA && hB);
  auto write = [](DWORD hPort, BYTE bAddress, const std::string& s) {
    DWORD cb = 0;
    if (bAddress) VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_SET_ECP_CHANNEL, &bAddress, NULL);
    EXPECT_TRUE(VCOMM_WriteComm(hPort, s.data(), (DWORD)s.size(), &cb));
  };
  write(hA, 0x4E, std::string(4, '\0'));
  write(hA, 0x4D, "init");
  write(hB, 0, "-more");  // the address belongs to the port, not to the handle
  write(hB, 0x10, "");    // a change without data in between is not seen
  write(hA, 0x4E, "xy");
  write(hB, 0x4D, "z");
  const struct {
    DWORD cbMax;  // room offered to the read
    std::string s;
    BYTE bAddress;
  } expected[] = {{100, std::string(4, '\0'), 0x4E},
                  {100, "init-more", 0x4D},
                  {1, "x", 0x4E},
                  {100, "y", 0x4E},
                  {100, "z", 0x4D},
                  {100, "", 0}};
  for (const auto& e : expected) {
    BYTE bAddress = 0;
    EXPECT_EQ(ReadPeri(hPeri, e.cbMax, &bAddress), e.s);
    EXPECT_EQ(bAddress, e.s.empty() ? bAddress : e.bAddress) << e.s;
  }
  VCOMM_CloseComm(hA);
  VCOMM_CloseComm(hB);
  VPERI_Detach(hPeri);
}

TEST(HostPort, WritesTimeOutWithTheirCountWhenNobodyDrains) {
  DWORD hPort = VCOMM_OpenCommA("LPT2", 1), hOther = VCOMM_OpenCommA("LPT2", 1);
  ASSERT_TRUE(hPort && hOther);
  std::vector<BYTE> data(3 * TEST_SMALL_BUFFER), got(TEST_SMALL_BUFFER);
  for (DWORD i = 0; i < data.size(); ++i) data[i] = PatternByte(i);
  DWORD cb = 77, cbRead = 0;
  BYTE bAddress = 0;
  // The write gives up after its time-out (never before) with what was taken.
  auto timedOutWrite = [&](DWORD cbData, DWORD cbTaken) {
    DWORD dwStart = GetTickCount();
    EXPECT_FALSE(VCOMM_WriteComm(hPort, data.data(), cbData, &cb));
    EXPECT_GE(GetTickCount() - dwStart, (DWORD)TEST_SHORT_TIMEOUT_MS - 20);
    EXPECT_EQ(cb, cbTaken);
    EXPECT_EQ(VCOMM_GetLastError(hPort), (DWORD)CE_PTO);
  };
  timedOutWrite(10, 0);                       // no peripheral: nothing is taken
  EXPECT_EQ(VCOMM_GetLastError(hOther), 0u);  // the error belongs to the handle
  DWORD hPeri = VPERI_Attach("LPT2");         // a peripheral that does not read
  ASSERT_NE(hPeri, 0u);
  timedOutWrite((DWORD)data.size(), TEST_SMALL_BUFFER);
  ASSERT_TRUE(VPERI_Read(hPeri, got.data(), (DWORD)got.size(), &cbRead, &bAddress, 0));
  EXPECT_EQ(cbRead, (DWORD)TEST_SMALL_BUFFER);
  EXPECT_EQ(memcmp(got.data(), data.data(), cbRead), 0);

  // The other direction: the peripheral's write times out when the host
  // does not read; the host then gets what is waiting at once.
  SetLastError(0);
  EXPECT_FALSE(VPERI_HostWaitInput(hOther, 50));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
  SetLastError(0);
  EXPECT_FALSE(VPERI_Write(hPeri, data.data(), (DWORD)data.size(), &cb, 50));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
  EXPECT_EQ(cb, (DWORD)TEST_SMALL_BUFFER);
  EXPECT_TRUE(VPERI_HostWaitInput(hOther, 0));
  ASSERT_TRUE(VCOMM_ReadComm(hOther, got.data(), (DWORD)got.size(), &cbRead));
  EXPECT_EQ(cbRead, (DWORD)TEST_SMALL_BUFFER);
  EXPECT_EQ(memcmp(got.data(), data.data(), cbRead), 0);

  // Detaching drops what the peripheral never took.
  EXPECT_TRUE(VCOMM_WriteComm(hPort, "abc", 3, &cb));
  VPERI_Detach(hPeri);
  hPeri = VPERI_Attach("LPT2");
  EXPECT_EQ(ReadPeri(hPeri, 100, &bAddress), "");
  VPERI_Detach(hPeri);
  VCOMM_CloseComm(hOther);
  VCOMM_CloseComm(hPort);
}

TEST(HostPort, WritersWaitingForAPeripheralAreWokenWhenItAttaches) {
  // Two writers of 100 KiB each wait before any peripheral is there; the
  // 64 KiB wire takes neither write at once. A writer the attach does not
  // wake fails with its 2 s write time-out.
  struct Writer {
    DWORD hPort = VCOMM_OpenCommA("LPT1", 1);
    std::atomic<DWORD> dwTid{0};
    bool fOk = false;
    std::thread thread;
  } w[2];
  for (int i = 0; i < 2; ++i) {
    w[i].thread = std::thread([&w, i] {
      std::vector<BYTE> data(100 * 1024, (BYTE)('a' + i));
      DWORD cb = 0;
      w[i].dwTid = GetCurrentThreadId();
      w[i].fOk =
          VCOMM_WriteComm(w[i].hPort, data.data(), (DWORD)data.size(), &cb) && cb == data.size();
    });
  }
  for (int i = 0; i < 2; ++i)  // both are in the write, asleep in its wait for room
    EXPECT_TRUE(Eventually([&] { return w[i].dwTid && AsleepInWait(w[i].dwTid); })) << i;
  DWORD hPeri = VPERI_Attach("LPT1");
  EXPECT_NE(hPeri, 0u);
  DWORD acb[2] = {0, 0}, cb = 1;
  static BYTE ab[8192];
  for (DWORD cbTotal = 0; cbTotal < 200 * 1024 && cb; cbTotal += cb) {
    BYTE bAddress = 0;
    EXPECT_TRUE(VPERI_Read(hPeri, ab, sizeof ab, &cb, &bAddress, 5000) && cb) << cbTotal;
    for (DWORD i = 0; i < cb; ++i) acb[ab[i] - 'a'] += 1;
  }
  for (int i = 0; i < 2; ++i) {
    w[i].thread.join();
    EXPECT_TRUE(w[i].fOk) << i;
    EXPECT_EQ(acb[i], 100u * 1024);
    VCOMM_CloseComm(w[i].hPort);
  }
  VPERI_Detach(hPeri);
}

}  // namespace
