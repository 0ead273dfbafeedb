#include "link_testbed.h"

#include "channel/chanrec.h"
#include "shared/sharedmem.h"

const char kMlcDeviceId[] = "MFG:Far Side;MDL:Script;CMD:PCL,MLC;CLS:PRINTER;";

void WriteLinkIni() {
  auto ms = [](DWORD dw) { return std::to_string(dw) + "\r\n"; };
  WriteTextFile(WindowsDirFile("KRZCOM15.INI"),
                "[LPT3]\r\nWriteTimeout=" + ms(kStalledWriteMs) + "ToPeripheralBuffer=256\r\n");
  EmuClientTest::UseSettings("MLC_PACKET_TIMEOUT_WHILE_NOT_BUSY=" + ms(kReplyTimeoutMs) +
                             "MLC_PACKET_TIMEOUT_WHILE_BUSY=" + ms(kReplyTimeoutMs) +
                             "MLC_INTER_PACKET_TIME_OUT=" + ms(kInterPacketMs));
}

PerPortInfo PortRecord(BYTE bPort) {
  PerPortInfo record = *ObtainPPI(bPort);
  ReleasePPI(bPort);
  return record;
}

void SetLink(BOOL fInitDone, BYTE bLastCommand) {
  PerPortInfo* lpPPI = ObtainPPI(0);
  lpPPI->fMlcInitDone = fInitDone;
  lpPPI->bLastMlcCommand = bLastCommand;
  ReleasePPI(0);
}

LONG LinkBlocks(BYTE bPort) {
  return (LONG)LiveBlocks(bPort) - (PortRecord(bPort).hDeviceID != 0 ? 1 : 0);
}

namespace {
// fn(record) on a channel's locked record (NULL without one), under the port's
// mutex; the fields used sit at the same place in both kinds of record.
template <class Fn>
auto WithRecord(BYTE bPort, BYTE bHsid, Fn fn) {
  BYTE bIndex = (BYTE)(bHsid - MLC_FIRST_HSID);
  ObtainPPI(bPort);
  auto* lpRecord = (StreamChannel*)LockChannelIdx(bPort, bIndex);
  auto result = fn(lpRecord);
  if (lpRecord) UnlockChannelIdx(bPort, bIndex);
  ReleasePPI(bPort);
  return result;
}
}  // namespace

DWORD HostCredits(BYTE bPort, BYTE bHsid) {
  return WithRecord(bPort, bHsid, [](StreamChannel* p) -> DWORD {
    if (!p) return 0xFFFFFFFF;
    return p->bType == MLC_STREAM_CHANNEL ? p->wHostHtoPCredits
                                          : ((MessageChannel*)p)->wHostHtoPCredits;
  });
}

void SetChannelOpen(BYTE bPort, BYTE bHsid, BOOL fOpen) {
  WithRecord(bPort, bHsid, [fOpen](StreamChannel* p) { return p && (p->fChannelOpen = fOpen); });
}

void SetChannelType(BYTE bPort, BYTE bHsid, BYTE bType) {
  WithRecord(bPort, bHsid, [bType](StreamChannel* p) { return p && (p->bType = bType); });
}

void ExpectLinkDown(BYTE bPort) {
  PerPortInfo record = PortRecord(bPort);
  EXPECT_EQ(record.fMlcInitDone, 0);
  EXPECT_EQ(record.bLastMlcCommand, NO_COMMAND);
  EXPECT_EQ(record.hChanPtrArray, 0u);
  EXPECT_EQ(record.hSocketInfoArray, 0u);
  EXPECT_EQ(record.bChannelsAllocated, 0);
}

void LinkTest::SetUp() {
  EmuClientTest::SetUp();
  ASSERT_EQ(HiddenWindow(), hHelper_);
  if (fScript_) {
    ASSERT_TRUE(peri_.Attach(lpszPort_));
    ASSERT_TRUE(peri_.SetDeviceId(kMlcDeviceId));
  }
  lBlocksBefore_ = LinkBlocks(bPort_);
}

void LinkTest::TearDown() {
  peri_.Join();
  EXPECT_EQ(peri_.failures(), "");
  StartAllOverAgain(bPort_, FALSE);  // what a test left up goes the way a reset takes
  EXPECT_LE(LinkBlocks(bPort_), lBlocksBefore_) << "blocks left in the port's area";
  peri_.Detach();
  MLCCleanup();
  EmuClientTest::TearDown();
}

void LinkTest::BringUp() {
  StandInHelper();  // a reset stopped it: no real helper is started
  peri_.StartFn([](peri::Peripheral& p) { return p.AnswerInit(); });
  ASSERT_EQ(MLCInit(bPort_), 1);
  ASSERT_TRUE(peri_.Join()) << peri_.failures();
  ASSERT_EQ(PortRecord(bPort_).fMlcInitDone, 1);
}

int LinkTest::Poll(BYTE bChannelContext) {
  BYTE bHsid = 0, bPsid = 0, bCommand = 0;
  WORD wLength = 0;
  return PollForData(bPort_, &bHsid, &bPsid, &bCommand, &wLength, bChannelContext);
}
