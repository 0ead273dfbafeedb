// The link of one port shared by real processes: two of them bringing it up
// at once, one killed in the middle of an exchange while it holds the port's
// mutex, and early returns that must let the port go (a process's mutex is
// recursive, so only another process sees one that was kept).
#include <gtest/gtest.h>
#include <string.h>

#include <fstream>
#include <string>

#include "krzmlc15.h"
#include "link_testbed.h"
#include "shared/locks.h"
#include "testutil.h"
#include "vperi.h"

namespace {

// A process of its own playing the printer from a script.
bool StartScript(Child* lpPrinter, const std::string& script) {
  std::string file = WindowsDirFile("linkrace.script");
  std::ofstream(file, std::ios::binary) << script;
  return lpPrinter->Run("krzperi_script.exe LPT1 " + file);
}

}  // namespace

class LinkProcesses : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { WriteLinkIni(); }
  void SetUp() override {
    helper_ = new FakeHelper;  // no helper process: the children find setup done
    ASSERT_TRUE(helper_->ok());
    lBlocksBefore_ = LinkBlocks(0);
  }
  void TearDown() override {
    StartAllOverAgain(0, FALSE);  // what a test left up goes the way a reset takes
    EXPECT_LE(LinkBlocks(0), lBlocksBefore_) << "blocks left in the port's area";
    delete helper_;
  }
  FakeHelper* helper_ = nullptr;
  LONG lBlocksBefore_ = 0;
};

TEST_F(LinkProcesses, TwoProcessesBringingThePortUpPutOneInitOnTheWire) {
  NamedEvent ready("peripheral"), go("go"), firstReady("first"), secondReady("second");
  Child printer;
  // Exactly one MLC_INIT, answered, and then nothing more.
  ASSERT_TRUE(StartScript(&printer, std::string("id ") + kMlcDeviceId + "\nsignal " + ready.name +
                                        "\ninit\nsilence 1000\n"));
  ASSERT_TRUE(ready.WaitSet());
  Child first, second;
  ASSERT_TRUE(first.Start("linkup 0 " + firstReady.name + " " + go.name));
  ASSERT_TRUE(second.Start("linkup 0 " + secondReady.name + " " + go.name));
  ASSERT_TRUE(firstReady.WaitSet());
  ASSERT_TRUE(secondReady.WaitSet());
  SetEvent(go.handle);  // both start at once
  EXPECT_EQ(first.Wait(), 101u);
  EXPECT_EQ(second.Wait(), 101u);
  EXPECT_EQ(printer.Wait(), 0u) << "the printer saw something other than one MLC_INIT";
  EXPECT_EQ(PortRecord(0).fMlcInitDone, 1);
}

// A process that dies holding the port, waiting for a reply to its command
// or in the middle of reading a packet, leaves a link nobody can trust: the
// next call resets it and brings it up anew.
TEST_F(LinkProcesses, AProcessKilledMidExchangeLeavesALinkTheNextCallerBringsUpAgain) {
  for (const char* lpszWhere : {"linkhold", "linkread"}) {
    SCOPED_TRACE(lpszWhere);
    peri::Peripheral printer;
    ASSERT_TRUE(printer.Attach("LPT1"));
    ASSERT_TRUE(printer.SetDeviceId(kMlcDeviceId));
    printer.Start("init");
    ASSERT_EQ(MLCInit(0), 1);
    ASSERT_TRUE(printer.Join()) << printer.failures();

    NamedEvent ready("ready");
    Child holder;
    bool fReading = strcmp(lpszWhere, "linkread") == 0;
    if (fReading) {
      ASSERT_TRUE(printer.Send({0x00, 0x00, 0x00}));  // a header begun
    }
    ASSERT_TRUE(holder.Start(std::string(lpszWhere) + " 0 " + ready.name));
    ASSERT_TRUE(ready.WaitSet());
    if (fReading) {
      // Once the holder has taken the bytes off the wire, it is in the read,
      // waiting for the rest.
      ASSERT_TRUE(Eventually([] { return !VPERI_HostWaitInput(GetHportVal(0), 0); }));
    } else {
      // The credit command is on the wire; its sender waits for the reply.
      EXPECT_TRUE(printer.Expect(peri::Command({0x03, 0x80, 0x01, 0x00, 0x00})));
    }
    holder.Kill();

    printer.set_timeout(3000);
    printer.Start("init");
    EXPECT_EQ(MLCInit(0), 1);  // this call finds the mutex abandoned
    EXPECT_TRUE(printer.Join()) << "no new MLC_INIT: " << printer.failures();
    PerPortInfo record = PortRecord(0);
    EXPECT_EQ(record.fMlcInitDone, 1);
    EXPECT_EQ(record.bLastMlcCommand, NO_COMMAND);
    StartAllOverAgain(0, FALSE);
  }
}

namespace {

// Another process takes the port's mutex within 5 s and lets it go.
void ExpectAnotherProcessGetsThePort(BYTE bPort) {
  NamedEvent ready("taken"), go("go");
  Child other;
  ASSERT_TRUE(other.Start("ppi " + std::to_string(bPort) + " " + ready.name + " " + go.name));
  EXPECT_EQ(WaitForSingleObject(ready.handle, 5000), (DWORD)WAIT_OBJECT_0) << "the port was kept";
  SetEvent(go.handle);
}

void SetChannelType(BYTE bPort, BYTE bHsid, BYTE bType) {
  ObtainPPI(bPort);
  auto* lpRecord = (BYTE*)LockChannelIdx(bPort, (BYTE)(bHsid - MLC_FIRST_HSID));
  *lpRecord = bType;  // bType leads both records
  UnlockChannelIdx(bPort, (BYTE)(bHsid - MLC_FIRST_HSID));
  ReleasePPI(bPort);
}

}  // namespace

TEST_F(LinkProcesses, EarlyReturnsLetThePortGo) {
  // Bring-up in a process without a handle of the port.
  ASSERT_TRUE(MLCReleasePortHandle(GetHportVal(1)));
  EXPECT_EQ(MLCInit(1), MLC_PHYSICAL_LINK_FAILURE);
  ExpectAnotherProcessGetsThePort(1);

  // The liveness probe while another command awaits its reply, and on a
  // channel whose type is neither stream nor packet.
  ObtainPPI(0)->fMlcInitDone = TRUE;  // up, as far as the probe looks
  ReleasePPI(0);
  BYTE bHsid = AddChannel(0, MLC_STREAM_CHANNEL, 0x02, 0);
  SetLastCommand(0, MLC_OPEN_CHANNEL);
  EXPECT_EQ(MLCPingMlc(MLC_MAKE_CHANNEL(0, bHsid)), 0);
  ExpectAnotherProcessGetsThePort(0);
  SetLastCommand(0, NO_COMMAND);
  SetChannelType(0, bHsid, 9);
  EXPECT_EQ(MLCPingMlc(MLC_MAKE_CHANNEL(0, bHsid)), 0);
  ExpectAnotherProcessGetsThePort(0);
  SetChannelType(0, bHsid, MLC_STREAM_CHANNEL);  // so that the reset frees it as what it is
}
