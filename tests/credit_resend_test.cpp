// Resending stream packets cut by the port's write time-out: the cap of
// three resends holds for each packet, not for a whole write, so a printer
// that pauses now and then during a long job does not lose it.
#include <gtest/gtest.h>

#include "data/stream.h"
#include "krzmlc15.h"
#include "link_testbed.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "shared/sharedmem.h"

namespace {

// LPT3: a small wire and a short write time-out (link_testbed).
class ResendTest : public LinkTest {
 protected:
  void SetUp() override {
    bPort_ = 2;
    lpszPort_ = "LPT3";
    LinkTest::SetUp();
    gRetry_Resent_Stream_Packet = 1;
  }
  void TearDown() override {
    gRetry_Resent_Stream_Packet = 0;
    LinkTest::TearDown();
  }
};

TEST_F(ResendTest, EveryPacketOfALongWriteHasItsOwnResends) {
  BringUp();
  BYTE bHsid = AddChannel(2, MLC_STREAM_CHANNEL, 0x02, 6);  // one left: no credit request
  PerPortInfo* lpPPI = ObtainPPI(2);
  lpPPI->hSocketInfoArray = AllocMLCCheck(2, sizeof(SocketInfo));
  auto* lpSocket = (SocketInfo*)LockMLCCheck(2, lpPPI->hSocketInfoArray);
  *lpSocket = SocketInfo{};
  lpSocket->bPsid = 0x02;
  lpSocket->wHtoPPacketSize = lpSocket->wPtoHPacketSize = 1000;
  UnlockMLCCheck(2, lpPPI->hSocketInfoArray);
  lpPPI->bSocketInfoCount = 1;
  ReleasePPI(2);
  peri::Bytes job(5000);
  for (size_t i = 0; i < job.size(); ++i) job[i] = (BYTE)(i * 13);
  // The printer pauses after each packet, longer than the port's write
  // time-out: every later packet is cut once (twice at most) and finished.
  peri_.StartFn([&](peri::Peripheral& p) {
    for (size_t k = 0; k < 5; ++k) {
      if (k) Sleep(2 * kStalledWriteMs - 100);
      peri::Bytes payload(job.begin() + 1000 * k, job.begin() + 1000 * (k + 1));
      if (!p.Expect(peri::Packet(bHsid, 0x02, payload))) return false;
    }
    return true;
  });
  EXPECT_EQ(WriteStreamData(MLC_MAKE_CHANNEL(2, bHsid), job.data(), 5000, FALSE, 0), 5000);
  EXPECT_TRUE(peri_.Join()) << peri_.failures();
  EXPECT_EQ(PortRecord(2).fMlcInitDone, 1);
}

}  // namespace
