// The wire across processes: handles of several processes share it, a
// peripheral process that dies frees it, and a process that dies holding
// the wire's lock leaves it usable.
#include <gtest/gtest.h>

#include <vector>

#include "test_support.h"

namespace {

BOOL Connected(DWORD hPort) {
  return VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_CHECK_CONNECTION, NULL, NULL);
}

// What the peripheral reads at once (nothing waiting: "").
std::string ReadNow(DWORD hPeri) {
  char ab[16];
  DWORD cb = 0;
  BYTE bAddress = 0;
  EXPECT_TRUE(VPERI_Read(hPeri, ab, sizeof ab, &cb, &bAddress, 0));
  return std::string(ab, cb);
}

TEST(Processes, HandlesOfTwoProcessesShareOneWire) {
  DWORD hPeri = VPERI_Attach("LPT1");
  ASSERT_NE(hPeri, 0u);
  // The child waits for "ping", reads it through its own handle and writes
  // it back on 0x4E; each side is woken by the other process.
  PROCESS_INFORMATION pi;
  ASSERT_TRUE(StartChild("host-echo LPT1 4E", &pi));
  DWORD cb = 0;
  ASSERT_TRUE(VPERI_Write(hPeri, "ping", 4, &cb, 0));
  char ab[16];
  BYTE bAddress = 0;
  ASSERT_TRUE(VPERI_Read(hPeri, ab, sizeof ab, &cb, &bAddress, 20000));
  EXPECT_EQ(FinishChild(&pi), 4u);
  EXPECT_EQ(std::string(ab, cb), "ping");
  EXPECT_EQ(bAddress, 0x4E);
  // The peripheral of this process is seen from the other one.
  EXPECT_FALSE(StartChild("hold-peri LPT1", &pi));
  EXPECT_EQ(FinishChild(&pi), (DWORD)ERROR_BUSY);
  EXPECT_TRUE(VPERI_Detach(hPeri));
}

TEST(Processes, LongWriteDrainedByPeripheralProcessArrivesIntact) {
  // Three times the default 64 KiB buffer, so the writer must wait for room.
  const DWORD cbTotal = 3 * 65536 + 1234;
  std::vector<BYTE> data(cbTotal);
  for (DWORD i = 0; i < cbTotal; ++i) data[i] = PatternByte(i);
  PROCESS_INFORMATION pi;
  ASSERT_TRUE(StartChild(("drain LPT1 " + std::to_string(cbTotal)).c_str(), &pi));
  DWORD hPort = VCOMM_OpenCommA("LPT1", 1);
  BYTE bAddress = 0x4D;
  ASSERT_TRUE(VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_SET_ECP_CHANNEL, &bAddress, NULL));
  // Packet-sized writes, as the link layer makes them.
  for (DWORD cbDone = 0, cb = 0; cbDone < cbTotal; cbDone += cb) {
    DWORD cbChunk = cbTotal - cbDone < 4102 ? cbTotal - cbDone : 4102;
    ASSERT_TRUE(VCOMM_WriteComm(hPort, data.data() + cbDone, cbChunk, &cb) && cb == cbChunk)
        << "after " << cbDone << " error " << VCOMM_GetLastError(hPort);
  }
  EXPECT_EQ(FinishChild(&pi), 0u);
  VCOMM_CloseComm(hPort);
}

TEST(Processes, KilledPeripheralFreesTheWire) {
  PROCESS_INFORMATION pi;
  ASSERT_TRUE(StartChild("hold-peri LPT1", &pi));
  DWORD hPort = VCOMM_OpenCommA("LPT1", 1);
  ASSERT_NE(hPort, 0u);
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
  KillChild(&pi);
  EXPECT_FALSE(Connected(hPort));
  EXPECT_EQ(VCOMM_GetLastError(hPort), (DWORD)ERROR_NOT_READY);
  EXPECT_FALSE(VCOMM_GetDeviceIdA("LPT1", abId, sizeof abId, &cbId));
  DWORD hPeri = VPERI_Attach("LPT1");
  ASSERT_NE(hPeri, 0u);
  EXPECT_TRUE(Connected(hPort));
  EXPECT_EQ(ReadNow(hPeri), "");
  EXPECT_TRUE(VPERI_Detach(hPeri));
  VCOMM_CloseComm(hPort);
}

TEST(Processes, ProcessKilledHoldingTheLockLeavesTheWireUsable) {
  DWORD hPeri = VPERI_Attach("LPT1");
  DWORD hPort = VCOMM_OpenCommA("LPT1", 1);
  ASSERT_TRUE(hPeri && hPort);
  DWORD cb = 0;
  ASSERT_TRUE(VCOMM_WriteComm(hPort, "before", 6, &cb));
  // The child takes the lock and leaves the rings inconsistent, as a crash
  // in the middle of an update would.
  PROCESS_INFORMATION pi;
  ASSERT_TRUE(StartChild("hold-lock LPT1", &pi));
  KillChild(&pi);
  // The half-done update is undone (the waiting bytes are dropped); the
  // peripheral stays attached and the wire works.
  EXPECT_EQ(ReadNow(hPeri), "");
  EXPECT_TRUE(Connected(hPort));
  ASSERT_TRUE(VCOMM_WriteComm(hPort, "after", 5, &cb));
  EXPECT_EQ(ReadNow(hPeri), "after");
  EXPECT_TRUE(VPERI_Detach(hPeri));
  VCOMM_CloseComm(hPort);
}

}  // namespace
