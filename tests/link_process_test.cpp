// The link of one port shared by real processes: two of them bringing it up
// at once, and one killed in the middle of an exchange while it holds the
// port's mutex.
#include <gtest/gtest.h>
#include <string.h>

#include <fstream>
#include <string>

#include "link_testbed.h"
#include "testutil.h"

namespace {

// A process of its own playing the printer from a script.
struct ScriptProcess {
  PROCESS_INFORMATION pi{};
  bool Start(const std::string& port, const std::string& script) {
    std::string file = WindowsDirFile("linkrace.script");
    std::ofstream(file, std::ios::binary) << script;
    std::string cmd = "krzperi_script.exe " + port + " " + file;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    return CreateProcessA(NULL, cmd.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi) != 0;
  }
  DWORD Wait() {
    DWORD dwCode = 0xFFFFFFFF;
    if (WaitForSingleObject(pi.hProcess, 30000) == WAIT_OBJECT_0) {
      GetExitCodeProcess(pi.hProcess, &dwCode);
    } else {
      TerminateProcess(pi.hProcess, 99);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return dwCode;
  }
};

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
    EXPECT_LE(LinkBlocks(0), lBlocksBefore_) << "blocks left in the port's area";
    StartAllOverAgain(0, FALSE);
    delete helper_;
  }
  FakeHelper* helper_ = nullptr;
  LONG lBlocksBefore_ = 0;
};

TEST_F(LinkProcesses, TwoProcessesBringingThePortUpPutOneInitOnTheWire) {
  NamedEvent ready("peripheral"), go("go"), firstReady("first"), secondReady("second");
  ScriptProcess printer;
  // Exactly one MLC_INIT, answered, and then nothing more.
  ASSERT_TRUE(printer.Start("LPT1", std::string("id ") + kMlcDeviceId + "\nsignal " + ready.name +
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
      Sleep(300);  // into the read; killed before or in it, the port is held
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
