// The port mutex against a child holding the port, and the settings, in a
// process that has loaded the test flavour of the library.

#include <gtest/gtest.h>
#include <stdio.h>

#include "shared/config.h"
#include "testutil.h"

namespace {

TEST(PortMutex, CheckPPIGivesUpWhileAnotherProcessHoldsThePort) {
  NamedEvent ready("held"), go("release");
  Child holder;
  ASSERT_TRUE(holder.Start("ppi 1 " + ready.name + " " + go.name));
  ASSERT_TRUE(ready.WaitSet());
  gPPI_Mutex_Timeout = 100;
  EXPECT_EQ(CheckPPI(1), nullptr);
  SetEvent(go.handle);
  EXPECT_EQ(holder.Wait(), 0u);
  EXPECT_EQ(CheckPPI(1), &pPerPortInfo[1]);
  EXPECT_FALSE(FreeForOthers(1));
  CheckReleasePPI(&pPerPortInfo[1], 1);
  EXPECT_TRUE(FreeForOthers(1));
}

TEST(Settings, ValuesAreReadFromTheirSectionAsWritten) {
  std::string ini = WindowsDirFile("KRZTBX15.INI");
  WriteTextFile(ini,
                "[KRZMLC15]\r\nMLC_FORCE_POLL=2\r\nMLC_INTER_PACKET_TIME_OUT=150abc\r\n"
                "TO_HOST_PACKET_SIZE=2048\r\nHELPER_SETUP_TIMEOUT=300\r\n"
                "[Other]\r\nPingInterval=99\r\n");
  LoadIniValues();
  EXPECT_EQ(gMlc_Force_Poll, 2);  // stored as read; only 1 makes writes poll
  EXPECT_EQ(gMLC_Inter_Packet_Time_Out, 150);
  EXPECT_EQ(gTO_HOST_PACKET_SIZE, 2048);
  EXPECT_EQ(gHelper_Setup_Timeout, 300);
  EXPECT_EQ(gPingInterval, 15) << "a key of another section";
  remove(ini.c_str());
  LoadIniValues();
  EXPECT_EQ(gTO_HOST_PACKET_SIZE, 1024);  // the default without the file
}

}  // namespace
