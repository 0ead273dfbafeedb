// Host side of the virtual wire: opening, escapes, device ID, writes that
// time out, and the channel address tagging the peripheral sees.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

struct Chunk {
  std::string bytes;
  BYTE bAddress;
};

// Everything waiting for the peripheral, one VPERI_Read call per chunk.
std::vector<Chunk> ReadAll(DWORD hPeri) {
  std::vector<Chunk> chunks;
  for (;;) {
    char ab[100];
    DWORD cb = 0;
    BYTE bAddress = 0;
    EXPECT_TRUE(VPERI_Read(hPeri, ab, sizeof ab, &cb, &bAddress, 0));
    if (cb == 0) return chunks;
    chunks.push_back({std::string(ab, cb), bAddress});
  }
}

TEST(HostPort, OpenRejectsUnknownPortsAndBackendsAndClosesOnce) {
  EXPECT_EQ(VCOMM_OpenCommA("LPT4", 1), 0u);
  EXPECT_EQ(VCOMM_OpenCommA("COM1", 1), 0u);
  EXPECT_EQ(VCOMM_OpenCommA("LPT11", 1), 0u);
  EXPECT_EQ(VCOMM_OpenCommA(NULL, 1), 0u);
  EXPECT_EQ(VCOMM_OpenCommA("LPT3", 1), 0u);  // configured for a backend that does not exist
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);

  DWORD hPort = VCOMM_OpenCommA("lpt1", 1);
  ASSERT_NE(hPort, 0u);
  EXPECT_TRUE(VCOMM_CloseComm(hPort));
  EXPECT_FALSE(VCOMM_CloseComm(hPort));
  // A closed handle stays invalid even when its slot is used again.
  DWORD hAgain = VCOMM_OpenCommA("LPT1", 1);
  ASSERT_NE(hAgain, 0u);
  EXPECT_NE(hAgain, hPort);
  DWORD cb = 0;
  BYTE b = 0;
  EXPECT_FALSE(VCOMM_ReadComm(hPort, &b, 1, &cb));
  EXPECT_EQ(VCOMM_GetLastError(hPort), (DWORD)ERROR_INVALID_HANDLE);
  EXPECT_TRUE(VCOMM_CloseComm(hAgain));
}

TEST(HostPort, EscapesAndDeviceIdWithoutPeripheral) {
  DWORD hPort = VCOMM_OpenCommA("LPT1", 1);
  ASSERT_NE(hPort, 0u);

  EXPECT_FALSE(VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_CHECK_CONNECTION, NULL, NULL));
  EXPECT_EQ(VCOMM_GetLastError(hPort), (DWORD)ERROR_NOT_READY);

  BYTE abId[258];
  DWORD cbRoom = sizeof abId;
  EXPECT_FALSE(VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_GET_DEVICE_ID, &cbRoom, abId));
  DWORD cbId = 99;
  EXPECT_FALSE(VCOMM_GetDeviceIdA("LPT1", abId, sizeof abId, &cbId));
  EXPECT_EQ(cbId, 0u);

  // The port itself can do ECP and keeps its channel address.
  DWORD dwCaps = 0;
  EXPECT_TRUE(VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_GET_CAPABILITIES, NULL, &dwCaps));
  EXPECT_EQ(dwCaps, (DWORD)VCOMM_CAP_ECP);
  BYTE bAddress = 0x4D;
  EXPECT_TRUE(VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_SET_ECP_CHANNEL, &bAddress, NULL));

  // Unknown functions and missing buffers fail cleanly.
  EXPECT_FALSE(VCOMM_EscapeCommFunction(hPort, 42, &bAddress, &dwCaps));
  EXPECT_EQ(VCOMM_GetLastError(hPort), (DWORD)ERROR_INVALID_FUNCTION);
  EXPECT_FALSE(VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_SET_ECP_CHANNEL, NULL, NULL));
  EXPECT_FALSE(VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_GET_DEVICE_ID, NULL, abId));
  EXPECT_FALSE(VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_GET_CAPABILITIES, NULL, NULL));
  EXPECT_EQ(VCOMM_GetLastError(hPort), (DWORD)ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(VCOMM_EscapeCommFunction(0x7777, VCOMM_ESC_CHECK_CONNECTION, NULL, NULL));

  // Nothing to read is a normal, immediate result.
  DWORD cbRead = 5;
  EXPECT_TRUE(VCOMM_ReadComm(hPort, abId, sizeof abId, &cbRead));
  EXPECT_EQ(cbRead, 0u);
  EXPECT_TRUE(VCOMM_CloseComm(hPort));
}

TEST(HostPort, EscapesAndDeviceIdWithPeripheral) {
  DWORD hPeri = VPERI_Attach("LPT1");
  ASSERT_NE(hPeri, 0u);
  DWORD hPort = VCOMM_OpenCommA("LPT1", 1);
  ASSERT_NE(hPort, 0u);
  std::string id = TestDeviceId("MFG:Test;CMD:PCL,MLC;MDL:Wire;");
  ASSERT_TRUE(VPERI_SetDeviceId(hPeri, id.data(), (DWORD)id.size()));

  EXPECT_TRUE(VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_CHECK_CONNECTION, NULL, NULL));
  BYTE abId[258];
  DWORD cbRoom = sizeof abId;
  ASSERT_TRUE(VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_GET_DEVICE_ID, &cbRoom, abId));
  EXPECT_EQ(std::string((char*)abId, cbRoom), id);
  // Less room than the ID: exactly the room is delivered, nothing beyond it.
  memset(abId, 0xEE, sizeof abId);
  cbRoom = 5;
  ASSERT_TRUE(VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_GET_DEVICE_ID, &cbRoom, abId));
  EXPECT_EQ(cbRoom, 5u);
  EXPECT_EQ(std::string((char*)abId, 5), id.substr(0, 5));
  EXPECT_EQ(abId[5], 0xEE);

  DWORD cbId = 0;
  ASSERT_TRUE(VCOMM_GetDeviceIdA("LPT1", abId, 258, &cbId));
  EXPECT_EQ(std::string((char*)abId, cbId), id);

  // Length bytes that lie are passed on as they are.
  std::string liar = id;
  liar[0] = 0x01;
  liar[1] = 0x2C;  // claims 300 bytes
  ASSERT_TRUE(VPERI_SetDeviceId(hPeri, liar.data(), (DWORD)liar.size()));
  ASSERT_TRUE(VCOMM_GetDeviceIdA("LPT1", abId, 258, &cbId));
  EXPECT_EQ(std::string((char*)abId, cbId), liar);
  std::string big(1025, 'x');
  EXPECT_FALSE(VPERI_SetDeviceId(hPeri, big.data(), (DWORD)big.size()));

  DWORD dwCaps = 0xFFFF;
  EXPECT_TRUE(VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_GET_CAPABILITIES, NULL, &dwCaps));
  EXPECT_EQ(dwCaps, (DWORD)VCOMM_CAP_ECP);
  ASSERT_TRUE(VPERI_SetCapabilities(hPeri, 0));
  EXPECT_TRUE(VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_GET_CAPABILITIES, NULL, &dwCaps));
  EXPECT_EQ(dwCaps, 0u);

  // After the peripheral leaves, the port is as without one.
  EXPECT_TRUE(VPERI_Detach(hPeri));
  EXPECT_FALSE(VPERI_Detach(hPeri));
  EXPECT_FALSE(VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_CHECK_CONNECTION, NULL, NULL));
  EXPECT_FALSE(VCOMM_GetDeviceIdA("LPT1", abId, 258, &cbId));
  EXPECT_TRUE(VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_GET_CAPABILITIES, NULL, &dwCaps));
  EXPECT_EQ(dwCaps, (DWORD)VCOMM_CAP_ECP);
  EXPECT_TRUE(VCOMM_CloseComm(hPort));
}

TEST(HostPort, PeripheralSeesAddressChangesInOrderAcrossHandles) {
  DWORD hPeri = VPERI_Attach("LPT1");
  ASSERT_NE(hPeri, 0u);
  DWORD hA = VCOMM_OpenCommA("LPT1", 1);
  DWORD hB = VCOMM_OpenCommA("LPT1", 1);
  ASSERT_NE(hA, 0u);
  ASSERT_NE(hB, 0u);
  auto write = [](DWORD hPort, const std::string& s) {
    DWORD cb = 0;
    EXPECT_TRUE(VCOMM_WriteComm(hPort, s.data(), (DWORD)s.size(), &cb));
    EXPECT_EQ(cb, s.size());
  };
  auto select = [](DWORD hPort, BYTE bAddress) {
    EXPECT_TRUE(VCOMM_EscapeCommFunction(hPort, VCOMM_ESC_SET_ECP_CHANNEL, &bAddress, NULL));
  };
  select(hA, 0x4E);
  write(hA, std::string(4, '\0'));
  select(hA, 0x4D);
  write(hA, "init");
  write(hB, "-more");  // the address belongs to the port, not to the handle
  select(hB, 0x4E);
  select(hB, 0x10);  // changes without data in between are not seen
  write(hA, "x");
  select(hB, 0x4D);
  write(hB, "yz");

  std::vector<Chunk> chunks = ReadAll(hPeri);
  ASSERT_EQ(chunks.size(), 4u);
  EXPECT_EQ(chunks[0].bytes, std::string(4, '\0'));
  EXPECT_EQ(chunks[0].bAddress, 0x4E);
  EXPECT_EQ(chunks[1].bytes, "init-more");
  EXPECT_EQ(chunks[1].bAddress, 0x4D);
  EXPECT_EQ(chunks[2].bytes, "x");
  EXPECT_EQ(chunks[2].bAddress, 0x10);
  EXPECT_EQ(chunks[3].bytes, "yz");
  EXPECT_EQ(chunks[3].bAddress, 0x4D);

  // A read never crosses into the next address, even with a short buffer.
  select(hA, 0x4E);
  write(hA, "abc");
  select(hA, 0x4D);
  write(hA, "def");
  char ab[2];
  DWORD cb = 0;
  BYTE bAddress = 0;
  ASSERT_TRUE(VPERI_Read(hPeri, ab, 2, &cb, &bAddress, 0));
  EXPECT_EQ(std::string(ab, cb), "ab");
  ASSERT_TRUE(VPERI_Read(hPeri, ab, 2, &cb, &bAddress, 0));
  EXPECT_EQ(std::string(ab, cb), "c");
  EXPECT_EQ(bAddress, 0x4E);
  ASSERT_TRUE(VPERI_Read(hPeri, ab, 2, &cb, &bAddress, 0));
  EXPECT_EQ(std::string(ab, cb), "de");
  EXPECT_EQ(bAddress, 0x4D);

  VCOMM_CloseComm(hA);
  VCOMM_CloseComm(hB);
  VPERI_Detach(hPeri);
}

TEST(HostPort, WriteTimesOutWithCountWhenNobodyDrains) {
  DWORD hPort = VCOMM_OpenCommA("LPT2", 1);
  DWORD hOther = VCOMM_OpenCommA("LPT2", 1);
  ASSERT_NE(hPort, 0u);
  std::vector<BYTE> data(3 * TEST_SMALL_BUFFER);
  for (DWORD i = 0; i < data.size(); ++i) data[i] = PatternByte(i);

  // Without a peripheral nothing is taken.
  DWORD cb = 77;
  DWORD dwStart = GetTickCount();
  EXPECT_FALSE(VCOMM_WriteComm(hPort, data.data(), 10, &cb));
  EXPECT_GE(GetTickCount() - dwStart, (DWORD)TEST_SHORT_TIMEOUT_MS - 20);
  EXPECT_EQ(cb, 0u);
  EXPECT_EQ(VCOMM_GetLastError(hPort), (DWORD)CE_PTO);
  EXPECT_EQ(VCOMM_GetLastError(hOther), 0u);  // the error belongs to the handle

  // A peripheral that does not read: the buffer fills, then the time-out.
  DWORD hPeri = VPERI_Attach("LPT2");
  ASSERT_NE(hPeri, 0u);
  dwStart = GetTickCount();
  EXPECT_FALSE(VCOMM_WriteComm(hPort, data.data(), (DWORD)data.size(), &cb));
  EXPECT_GE(GetTickCount() - dwStart, (DWORD)TEST_SHORT_TIMEOUT_MS - 20);
  EXPECT_EQ(cb, (DWORD)TEST_SMALL_BUFFER);
  EXPECT_EQ(VCOMM_GetLastError(hPort), (DWORD)CE_PTO);

  // Once it reads, the rest goes through, in order.
  std::vector<BYTE> got(TEST_SMALL_BUFFER);
  DWORD cbRead = 0;
  BYTE bAddress = 0;
  ASSERT_TRUE(VPERI_Read(hPeri, got.data(), (DWORD)got.size(), &cbRead, &bAddress, 0));
  EXPECT_EQ(cbRead, (DWORD)TEST_SMALL_BUFFER);
  EXPECT_EQ(memcmp(got.data(), data.data(), cbRead), 0);
  EXPECT_TRUE(VCOMM_WriteComm(hPort, data.data() + cb, 100, &cb));
  EXPECT_EQ(cb, 100u);

  // Detaching drops what the peripheral never took.
  VPERI_Detach(hPeri);
  hPeri = VPERI_Attach("LPT2");
  ASSERT_NE(hPeri, 0u);
  EXPECT_TRUE(VPERI_Read(hPeri, got.data(), (DWORD)got.size(), &cbRead, &bAddress, 0));
  EXPECT_EQ(cbRead, 0u);
  VPERI_Detach(hPeri);
  VCOMM_CloseComm(hOther);
  VCOMM_CloseComm(hPort);
}

}  // namespace
