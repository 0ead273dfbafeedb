// Reading KRZTBX15.INI: the fifteen settings and the log masks.
#include "shared/config.h"

#include <gtest/gtest.h>

#include <string>

#include "debug/cm_debug.h"
#include "testutil.h"

namespace {

struct Setting {
  const char* key;
  INT* variable;
  INT defaultValue;
};

const Setting kSettings[] = {
    {"MLC_PACKET_TIMEOUT_WHILE_BUSY", &gMLC_Packet_TimeOut_While_Busy, 15000},
    {"MLC_PACKET_TIMEOUT_WHILE_NOT_BUSY", &gMLC_Packet_TimeOut_While_Not_Busy, 1000},
    {"MLC_INTER_PACKET_TIME_OUT", &gMLC_Inter_Packet_Time_Out, 150},
    {"MIN_POLL_INTERVAL", &gMin_Poll_Interval, 1000},
    {"MAX_POLL_INTERVAL", &gMax_Poll_Interval, 5000},
    {"PingInterval", &gPingInterval, 15},
    {"TO_HOST_PACKET_SIZE", &gTO_HOST_PACKET_SIZE, 1024},
    {"TO_PERI_PACKET_SIZE", &gTO_PERI_PACKET_SIZE, 4102},
    {"GRANT_CREDIT_FAST_SIZE", &gGRANT_CREDIT_FAST_SIZE, 32767},
    {"CreditTimeout", &gCreditTimeout, 5000},
    {"DoMemCopy", &g_bDoMemCopy, 1},
    {"DoMLCSync", &g_bDoMlcSync, 0},
    {"PPI_MUTEX_TIMEOUT", &gPPI_Mutex_Timeout, 100},
    {"MLC_FORCE_POLL", &gMlc_Force_Poll, 0},
    {"MLC_RESENT_STREAM_PACKET", &gRetry_Resent_Stream_Packet, 0},
};

// Restores the defaults (and the log settings) whatever a test read.
class Config : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const auto& s : kSettings) *s.variable = s.defaultValue;
    DBMSG_INIT("KRZMLC15");
  }
  std::string ini_ = WindowsDirFile("KRZTBX15.INI");
};

TEST_F(Config, WithoutAnIniFileEverySettingHasItsDefault) {
  ASSERT_FALSE(FileExists(ini_));
  for (const auto& s : kSettings) *s.variable = -12345;
  LoadIniValues();
  for (const auto& s : kSettings) EXPECT_EQ(*s.variable, s.defaultValue) << s.key;
}

TEST_F(Config, ValuesAreReadAsGivenFromTheirLeadingDigits) {
  TempFile file(ini_,
                "[KRZMLC15]\r\n"
                "MLC_FORCE_POLL=2\r\n"
                "MLC_INTER_PACKET_TIME_OUT=150abc\r\n"
                "PPI_MUTEX_TIMEOUT=0\r\n"
                "TO_HOST_PACKET_SIZE=2048\r\n"
                "DoMemCopy=0\r\n"
                "[Other]\r\n"
                "PingInterval=99\r\n");
  LoadIniValues();
  // 2 is stored as it is; only the value 1 makes writes poll first.
  EXPECT_EQ(gMlc_Force_Poll, 2);
  EXPECT_EQ(gMLC_Inter_Packet_Time_Out, 150);
  EXPECT_EQ(gPPI_Mutex_Timeout, 0);
  EXPECT_EQ(gTO_HOST_PACKET_SIZE, 2048);
  EXPECT_EQ(g_bDoMemCopy, 0);
  EXPECT_EQ(gPingInterval, 15) << "keys of other sections do not count";
  EXPECT_EQ(gCreditTimeout, 5000);
}

TEST_F(Config, LogMaskIsTheSumOfItsPieces) {
  const struct {
    const char* value;
    WORD mask;
  } kCases[] = {{"1+2", 3},     {"64, 2", 66}, {"abc", 0}, {"2x", 2},
                {"1+2+64", 67}, {"65537", 1},  {"", 0}};
  for (const auto& c : kCases) {
    TempFile file(ini_, std::string("[DebugMsg]\r\nKRZMLC15=") + c.value + "\r\n");
    DBMSG_INIT("KRZMLC15");
    EXPECT_EQ(wDbWin, c.mask) << '"' << c.value << '"';
    EXPECT_FALSE(bLogActive);
  }
  TempFile file(ini_, "[DebugMsg]\r\nOTHER=3\r\nLogFile=C:\\logs\\mlc.log\r\n");
  DBMSG_INIT("KRZMLC15");
  EXPECT_EQ(wDbWin, 0);
  EXPECT_TRUE(bLogActive);
  EXPECT_STREQ(szDebugLogFile, "C:\\logs\\mlc.log");
  EXPECT_STREQ(szDebugModuleName, "KRZMLC15");
}

TEST(Fstrtou, TakesLeadingDigitsIn16Bits) {
  EXPECT_EQ(fstrtou("123"), 123);
  EXPECT_EQ(fstrtou("42abc"), 42);
  EXPECT_EQ(fstrtou("x42"), 0);
  EXPECT_EQ(fstrtou(""), 0);
  EXPECT_EQ(fstrtou("70000"), 70000 - 65536);
}

}  // namespace
