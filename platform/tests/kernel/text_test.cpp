// wsprintfA, the lstr helpers and security descriptors.
#include <gtest/gtest.h>

#include "helpers.h"

namespace {

std::string fmt(const char* format, ...) {
  char buf[1100];
  va_list ap;
  va_start(ap, format);
  int n = wvsprintfA(buf, format, ap);
  va_end(ap);
  EXPECT_EQ((size_t)n, strlen(buf));
  return buf;
}

TEST(Format, IntegersWidthsAndPadding) {
  EXPECT_EQ(fmt("%d|%u|%x|%X", -5, 4000000000u, 0xbeefu, 0xbeefu), "-5|4000000000|beef|BEEF");
  DWORD big = 0xFFFFFFFFu;
  LONG neg = -123;
  // 'l' is 32 bits, as on Windows.
  EXPECT_EQ(fmt("%ld|%lu|%lx|%lX", neg, big, big, (DWORD)0xAB), "-123|4294967295|ffffffff|AB");
  EXPECT_EQ(fmt("%08lX/%08lX", (DWORD)0x1A2B, (DWORD)0xFFFFFFFF), "00001A2B/FFFFFFFF");
  EXPECT_EQ(fmt("%2.2X %2.2X %2.2X", 0x5u, 0xABu, 0x123u), "05 AB 123");
  DWORD tick = 1234567;
  EXPECT_EQ(fmt("%5lu.%03lu", tick / 1000, tick % 1000), " 1234.567");
  EXPECT_EQ(fmt("%5lu.%03lu", (DWORD)7, (DWORD)5), "    7.005");
  EXPECT_EQ(fmt("[%5d][%-5d][%05d]", 42, 42, -42), "[   42][42   ][-0042]");
  EXPECT_EQ(fmt("%#x %#X", 0x1fu, 0x1fu), "0x1f 0X1F");
}

TEST(Format, TextCharactersAndPercent) {
  EXPECT_EQ(fmt("%s: %c%c 100%%", "KRZMLC15", 'o', 'k'), "KRZMLC15: ok 100%");
  EXPECT_EQ(fmt("[%6s][%-6s][%.3s]", "ab", "ab", "abcdef"), "[    ab][ab    ][abc]");
  EXPECT_EQ(fmt("line\r\n"), "line\r\n");
  char buf[64];
  EXPECT_EQ(wsprintfA(buf, "PPI_API_MUTEX_%s", "LPT1"), 18);
  EXPECT_STREQ(buf, "PPI_API_MUTEX_LPT1");
}

TEST(Format, OutputIsLimitedTo1024Bytes) {
  std::string longer(1500, 'x');
  char buf[2048];
  memset(buf, 'z', sizeof buf);
  int n = wsprintfA(buf, "%s", longer.c_str());
  EXPECT_LE(n, 1024);
  EXPECT_GE(n, 1023);
  EXPECT_EQ(buf[1024], 'z');  // nothing written past 1024 bytes
}

TEST(Security, NullDaclDescriptorOpensNamedObjects) {
  SECURITY_DESCRIPTOR sd;
  EXPECT_FALSE(InitializeSecurityDescriptor(&sd, 2));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_UNKNOWN_REVISION);
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, NULL, FALSE));
  SECURITY_ATTRIBUTES sa{sizeof sa, &sd, FALSE};
  std::string name = kt::with_lf(kt::unique_name("nulldacl"));
  HANDLE m = CreateMutexA(&sa, FALSE, name.c_str());
  ASSERT_NE(m, (HANDLE)NULL);
  HANDLE o = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
  ASSERT_NE(o, (HANDLE)NULL);
  EXPECT_EQ(WaitForSingleObject(o, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(o));
  CloseHandle(o);
  CloseHandle(m);
}

}  // namespace
