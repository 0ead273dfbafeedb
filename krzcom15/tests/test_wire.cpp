// The virtual wire of KRZCOM15 in one process and across processes; the
// program plays the other process itself ("--child EVENT MODE PORT").
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "krzcom15.h"
#include "testutil.h"
#include "vperi.h"
#include "wire.h"

namespace {

// A device ID, its length bytes included.
std::string TestDeviceId(const char* pszText) {
  size_t cb = strlen(pszText) + 2;
  return std::string{(char)(cb >> 8), (char)(cb & 0xFF)} + pszText;
}

// The i-th byte of the test pattern.
BYTE PatternByte(DWORD i) { return (BYTE)((i * 7 + (i >> 8)) & 0xFF); }

const DWORD kShortTimeoutMs = 300, kSmallBuffer = 4096;  // LPT2's, in the INI main writes

// Starts this program as the child "<ready event> <args>"; true once it says
// it is ready, false when it could not start or ended first (Wait tells why).
bool StartChild(Child& child, const std::string& args) {
  NamedEvent ready("child");
  auto isSet = [](HANDLE h) { return WaitForSingleObject(h, 0) == WAIT_OBJECT_0; };
  return child.Run("krzcom15_tests.exe --child " + ready.name + " " + args) &&
         Eventually([&] { return isSet(ready.handle) || isSet(child.pi.hProcess); }, 20000) &&
         isSet(ready.handle);
}

BOOL Connected(DWORD hPort) {
  return VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_CHECK_CONNECTION, NULL, NULL);
}

// What the peripheral reads at once (nothing waiting: "").
std::string ReadPeri(DWORD hPeri, DWORD cbMax = 100, BYTE* pbAddress = nullptr) {
  char ab[100];
  DWORD cb = 0;
  BYTE bAddress = 0;
  EXPECT_TRUE(VPERI_Read(hPeri, ab, cbMax, &cb, pbAddress ? pbAddress : &bAddress, 0));
  return std::string(ab, cb);
}

TEST(HostPort, OpenCloseEscapesAndDeviceId) {
  for (const char* pszBad : {"LPT4", "LPT11", (const char*)NULL, "LPT3"})
    EXPECT_EQ(VCOMM_OpenCommA(pszBad, 1), 0u);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);  // LPT3: a backend that does not exist
  DWORD hPort = VCOMM_OpenCommA("lpt1", 1);
  EXPECT_TRUE(VCOMM_CloseComm(hPort));
  EXPECT_FALSE(VCOMM_CloseComm(hPort));
  DWORD hAgain = VCOMM_OpenCommA("LPT1", 1);  // same slot, new handle value
  EXPECT_NE(hAgain, hPort);
  EXPECT_EQ(VCOMM_GetLastError(hPort), (DWORD)ERROR_INVALID_HANDLE);
  EXPECT_FALSE(VPERI_Detach(hAgain));  // host and peripheral handles do not mix
  hPort = hAgain;

  // Escapes and the device ID with and without a peripheral.
  BYTE abId[258];
  DWORD cbRoom = sizeof abId, cbId = 99, dwCaps = 0;
  BYTE bAddress = 0x4D;
  auto escape = [&](int iCode, void* pIn, void* pOut) {
    return VCOMM_EscapeCommFunction(hPort, iCode, pIn, pOut) ? 0u : VCOMM_GetLastError(hPort);
  };
  auto caps = [&] { return escape(VCOMM_ESC_GET_CAPABILITIES, NULL, &dwCaps) ? ~0u : dwCaps; };
  // Without a peripheral: not connected, no device ID; the port itself can do ECP.
  auto expectAlone = [&] {
    EXPECT_EQ(escape(VCOMM_ESC_CHECK_CONNECTION, NULL, NULL), (DWORD)ERROR_NOT_READY);
    EXPECT_NE(escape(VCOMM_ESC_GET_DEVICE_ID, &cbRoom, abId), 0u);
    EXPECT_FALSE(VCOMM_GetDeviceIdA("LPT1", abId, sizeof abId, &cbId));
    EXPECT_EQ(cbId, 0u);
    EXPECT_EQ(caps(), (DWORD)VCOMM_CAP_ECP);
  };
  expectAlone();
  EXPECT_EQ(escape(VCOMM_ESC_SET_ECP_CHANNEL, &bAddress, NULL), 0u);
  EXPECT_EQ(escape(42, &bAddress, &dwCaps), (DWORD)ERROR_INVALID_FUNCTION);
  EXPECT_EQ(escape(VCOMM_ESC_GET_DEVICE_ID, NULL, abId), (DWORD)ERROR_INVALID_PARAMETER);

  DWORD hPeri = VPERI_Attach("LPT1");
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
  EXPECT_EQ(caps(), 0u);
  ASSERT_TRUE(VCOMM_GetDeviceIdA("LPT1", abId, 258, &cbId));
  EXPECT_EQ(std::string((char*)abId, cbId), id);
  std::string big(1025, 'x');
  EXPECT_FALSE(VPERI_SetDeviceId(hPeri, big.data(), (DWORD)big.size()));

  // After the peripheral leaves, the port is as without one.
  EXPECT_TRUE(VPERI_Detach(hPeri));
  expectAlone();
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
  std::vector<BYTE> data(2 * kSmallBuffer), got(kSmallBuffer);
  for (DWORD i = 0; i < data.size(); ++i) data[i] = PatternByte(i);
  DWORD cb = 77, cbRead = 0;
  BYTE bAddress = 0;
  // The write gives up after its time-out (never before) with what was taken.
  auto timedOutWrite = [&](DWORD cbData, DWORD cbTaken) {
    DWORD dwStart = GetTickCount();
    EXPECT_FALSE(VCOMM_WriteComm(hPort, data.data(), cbData, &cb));
    EXPECT_GE(GetTickCount() - dwStart, (DWORD)kShortTimeoutMs - 20);
    EXPECT_EQ(cb, cbTaken);
    EXPECT_EQ(VCOMM_GetLastError(hPort), (DWORD)CE_PTO);
  };
  timedOutWrite(10, 0);                       // no peripheral: nothing is taken
  EXPECT_EQ(VCOMM_GetLastError(hOther), 0u);  // the error belongs to the handle
  DWORD hPeri = VPERI_Attach("LPT2");         // a peripheral that does not read
  timedOutWrite((DWORD)data.size(), kSmallBuffer);
  ASSERT_TRUE(VPERI_Read(hPeri, got.data(), (DWORD)got.size(), &cbRead, &bAddress, 0));
  EXPECT_EQ(cbRead, (DWORD)kSmallBuffer);
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
  // wake sleeps out its 60 s write time-out, and the reads find nothing.
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
  DWORD acb[2] = {0, 0}, cb = 1;
  static BYTE ab[8192];
  for (DWORD cbTotal = 0; cbTotal < 200 * 1024 && cb; cbTotal += cb) {
    BYTE bAddress = 0;
    EXPECT_TRUE(VPERI_Read(hPeri, ab, sizeof ab, &cb, &bAddress, 10000) && cb) << cbTotal;
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

TEST(Processes, KilledPeripheralOrLockHolderLeavesTheWireUsable) {
  Child child;
  ASSERT_TRUE(StartChild(child, "hold-peri LPT1"));
  DWORD hPort = VCOMM_OpenCommA("LPT1", 1);
  EXPECT_TRUE(Connected(hPort));
  BYTE abId[258];
  DWORD cbId = 0;
  ASSERT_TRUE(VCOMM_GetDeviceIdA("LPT1", abId, sizeof abId, &cbId));
  EXPECT_EQ(std::string((char*)abId, cbId), TestDeviceId("MFG:Child;CMD:MLC;"));
  EXPECT_EQ(VPERI_Attach("LPT1"), 0u);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);
  // Bytes the host wrote before the crash are not handed to the next one.
  DWORD cb = 0;
  ASSERT_TRUE(VCOMM_WriteComm(hPort, "lost", 4, &cb));
  child.Kill();
  EXPECT_FALSE(Connected(hPort));
  EXPECT_EQ(VCOMM_GetLastError(hPort), (DWORD)ERROR_NOT_READY);
  EXPECT_FALSE(VCOMM_GetDeviceIdA("LPT1", abId, sizeof abId, &cbId));
  DWORD hPeri = VPERI_Attach("LPT1");
  EXPECT_TRUE(Connected(hPort));
  EXPECT_EQ(ReadPeri(hPeri), "");

  // The child dies holding the lock in the middle of an update.
  ASSERT_TRUE(VCOMM_WriteComm(hPort, "before", 6, &cb));
  ASSERT_TRUE(StartChild(child, "hold-lock LPT1"));
  child.Kill();
  // The half-done update is undone (the waiting bytes are dropped); the
  // peripheral stays attached and the wire works.
  EXPECT_EQ(ReadPeri(hPeri), "");
  EXPECT_TRUE(Connected(hPort));
  ASSERT_TRUE(VCOMM_WriteComm(hPort, "after", 5, &cb));
  EXPECT_EQ(ReadPeri(hPeri), "after");
  EXPECT_TRUE(VPERI_Detach(hPeri));
  VCOMM_CloseComm(hPort);
}

// The child's roles; each sets the ready event once ready.
const char* g_pszReady;

bool Ready() {
  HANDLE hReady = OpenEventA(EVENT_MODIFY_STATE, FALSE, g_pszReady);
  return hReady != NULL && SetEvent(hReady);
}

// Reports ready, then waits to be killed (ends by itself should the test die).
int ReadyUntilKilled() {
  if (!Ready()) return 5;
  WaitForSingleObject(CreateEventA(NULL, TRUE, FALSE, NULL), 120000);
  return 0;
}

int HoldPeripheral(const char* pszPort) {
  DWORD hPeri = VPERI_Attach(pszPort);
  if (hPeri == 0) return (int)GetLastError();
  std::string id = TestDeviceId("MFG:Child;CMD:MLC;");
  VPERI_SetDeviceId(hPeri, id.data(), (DWORD)id.size());
  return ReadyUntilKilled();
}

int HoldLock(const char* pszPort) {
  char szName[64];
  krzcom::WireObjectName(pszPort, krzcom::kObjMutex, szName);
  HANDLE hMutex = OpenMutexA(SYNCHRONIZE, FALSE, szName);
  krzcom::WireObjectName(pszPort, krzcom::kObjMap, szName);
  HANDLE hMap = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, szName);
  if (hMutex == NULL || hMap == NULL) return 3;
  auto* h = (krzcom::WireHeader*)MapViewOfFile(hMap, FILE_MAP_ALL_ACCESS, 0, 0, krzcom::kMapBytes);
  if (h == NULL || WaitForSingleObject(hMutex, 10000) != WAIT_OBJECT_0) return 4;
  // As if killed in the middle of storing bytes: the counts no longer match.
  h->fBusy = 1;
  h->cbToPeriCount += 5;
  return ReadyUntilKilled();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && strcmp(argv[1], "--child") == 0) {  // --child EVENT MODE PORT
    g_pszReady = argv[2];
    if (strcmp(argv[3], "hold-lock") == 0) return HoldLock(argv[4]);
    return strcmp(argv[3], "hold-peri") == 0 ? HoldPeripheral(argv[4]) : 201;
  }
  // LPT1: a write time-out longer than any wait of the tests (otherwise the
  // defaults: virtual wire, 64 KiB buffers); LPT3 names a backend that is not there.
  std::string ini = WindowsDirFile("KRZCOM15.INI");
  WriteTextFile(ini,
                "[LPT1]\nWriteTimeout=60000\n[LPT2]\nWriteTimeout=300\nToPeripheralBuffer=4096\n"
                "ToHostBuffer=4096\n[LPT3]\nBackend=parport\n");
  ::testing::InitGoogleTest(&argc, argv);
  int rc = RUN_ALL_TESTS();
  DeleteFileA(ini.c_str());
  return rc;
}
