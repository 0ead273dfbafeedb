// wsprintfA, private profiles, the 16-bit style file calls and global memory.
#include <gtest/gtest.h>
#include <string.h>

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

TEST(Format, IntegersTextAndTheLimit) {
  EXPECT_EQ(fmt("%d|%u|%x|%X", -5, 4000000000u, 0xbeefu, 0xbeefu), "-5|4000000000|beef|BEEF");
  // 'l' is 32 bits, as on Windows.
  EXPECT_EQ(fmt("%ld|%lu|%lx|%lX", (LONG)-123, (DWORD)0xFFFFFFFF, (DWORD)0xFFFFFFFF, (DWORD)0xAB),
            "-123|4294967295|ffffffff|AB");
  EXPECT_EQ(fmt("%08lX/%08lX", (DWORD)0x1A2B, (DWORD)0xFFFFFFFF), "00001A2B/FFFFFFFF");
  EXPECT_EQ(fmt("%2.2X %2.2X %2.2X", 0x5u, 0xABu, 0x123u), "05 AB 123");
  EXPECT_EQ(fmt("%5lu.%03lu|%5lu.%03lu", (DWORD)1234, (DWORD)567, (DWORD)7, (DWORD)5),
            " 1234.567|    7.005");
  EXPECT_EQ(fmt("[%5d][%-5d][%05d]", 42, 42, -42), "[   42][42   ][-0042]");
  EXPECT_EQ(fmt("%#x %#X", 0x1fu, 0x1fu), "0x1f 0X1F");
  EXPECT_EQ(fmt("%s: %c%c 100%%\r\n", "KRZMLC15", 'o', 'k'), "KRZMLC15: ok 100%\r\n");
  EXPECT_EQ(fmt("[%6s][%-6s][%.3s]", "ab", "ab", "abcdef"), "[    ab][ab    ][abc]");
  char buf[2048];
  EXPECT_EQ(wsprintfA(buf, "PPI_API_MUTEX_%s", "LPT1"), 18);
  EXPECT_STREQ(buf, "PPI_API_MUTEX_LPT1");
  // Output is limited to 1024 bytes.
  std::string longer(1500, 'x');
  memset(buf, 'z', sizeof buf);
  int n = wsprintfA(buf, "%s", longer.c_str());
  EXPECT_LE(n, 1024);
  EXPECT_GE(n, 1023);
  EXPECT_EQ(buf[1024], 'z');  // nothing written past 1024 bytes
}

std::string windows_file(const char* what) {
  char dir[MAX_PATH];
  GetWindowsDirectoryA(dir, sizeof dir);
  return std::string(dir) + "\\" + kt::unique_name(what);
}

TEST(Profile, IntegersStringsAndDefaults) {
  std::string path = windows_file("ini") + ".ini";
  const char* f = path.c_str() + path.rfind('\\') + 1;  // found in the Windows directory
  const char* text =
      "; comment line\r\n"
      "[KRZMLC15]\r\n"
      "  MLC_PACKET_TIMEOUT_WHILE_BUSY = 150abc  \r\n"
      "PingInterval=20\r\n"
      "Negative=-7\r\n"
      "Hex=0x1A\r\n"
      "Empty=\r\n"
      "Quoted=\"  spaced  \"\r\n"
      "\r\n"
      "[DebugMsg]\r\n"
      "KRZMLC15=1+2+64\r\n"
      "LogFile = C:\\temp\\mlc.log \r\n";
  HFILE h = _lcreat(path.c_str(), 0);
  ASSERT_NE(h, HFILE_ERROR);
  _lwrite(h, text, (UINT)strlen(text));
  _lclose(h);

  // Integers from the leading digits; names compare case-insensitively.
  EXPECT_EQ(GetPrivateProfileIntA("KRZMLC15", "MLC_PACKET_TIMEOUT_WHILE_BUSY", 15000, f), 150u);
  EXPECT_EQ(GetPrivateProfileIntA("krzmlc15", "pinginterval", 15, f), 20u);
  EXPECT_EQ(GetPrivateProfileIntA("KRZMLC15", "PingInterval", 0, path.c_str()), 20u);
  EXPECT_EQ(GetPrivateProfileIntA("KRZMLC15", "Negative", 0, f), (UINT)-7);
  EXPECT_EQ(GetPrivateProfileIntA("KRZMLC15", "Empty", 33, f), 33u);
  EXPECT_EQ(GetPrivateProfileIntA("KRZMLC15", "Hex", 0, f), 26u);
  EXPECT_EQ(GetPrivateProfileIntA("KRZMLC15", "Missing", 1000, f), 1000u);
  EXPECT_EQ(GetPrivateProfileIntA("NoSection", "PingInterval", 15, f), 15u);
  EXPECT_EQ(GetPrivateProfileIntA("KRZMLC15", "PingInterval", 15, "no_such_file.ini"), 15u);

  // Strings trimmed and unquoted, cut to the buffer (the count is what was
  // copied); missing key, section or file: the default without trailing blanks.
  char buf[64], small[5];
  EXPECT_EQ(GetPrivateProfileStringA("DebugMsg", "KRZMLC15", "", buf, sizeof buf, f), 6u);
  EXPECT_STREQ(buf, "1+2+64");
  EXPECT_EQ(GetPrivateProfileStringA("debugmsg", "LOGFILE", "", buf, sizeof buf, f), 15u);
  EXPECT_STREQ(buf, "C:\\temp\\mlc.log");
  GetPrivateProfileStringA("KRZMLC15", "Quoted", "", buf, sizeof buf, f);
  EXPECT_STREQ(buf, "  spaced  ");
  EXPECT_EQ(GetPrivateProfileStringA("DebugMsg", "LogFile", "", small, sizeof small, f), 4u);
  EXPECT_STREQ(small, "C:\\t");
  EXPECT_EQ(GetPrivateProfileStringA("DebugMsg", "Nope", "dflt  ", buf, sizeof buf, f), 4u);
  EXPECT_STREQ(buf, "dflt");
  EXPECT_EQ(GetPrivateProfileStringA("Nope", "LogFile", "", buf, sizeof buf, f), 0u);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(GetPrivateProfileStringA("DebugMsg", "LogFile", NULL, buf, sizeof buf, "no_such.ini"),
            0u);
  EXPECT_STREQ(buf, "");
  // A NULL key lists the section's keys.
  DWORD n = GetPrivateProfileStringA("DebugMsg", NULL, "", buf, sizeof buf, path.c_str());
  EXPECT_EQ(std::string(buf, n + 1), std::string("KRZMLC15\0LogFile\0", 18));
  EXPECT_TRUE(DeleteFileA(path.c_str()));
}

TEST(LFiles, CreateWriteSeekAppendAndRead) {
  std::string path = windows_file("lfile") + ".log";
  EXPECT_EQ(_lopen(path.c_str(), OF_READWRITE), HFILE_ERROR);  // not there yet
  HFILE f = _lcreat(path.c_str(), 0);
  ASSERT_NE(f, HFILE_ERROR);
  EXPECT_EQ(_lwrite(f, "line 1\n", 7), 7u);
  EXPECT_EQ(_lclose(f), 0);
  f = _lopen(path.c_str(), OF_READWRITE | OF_SHARE_DENY_NONE);
  ASSERT_NE(f, HFILE_ERROR);
  EXPECT_EQ(_llseek(f, 0, FILE_END), 7);
  EXPECT_EQ(_lwrite(f, "line 2\n", 7), 7u);
  EXPECT_EQ(_llseek(f, 0, FILE_BEGIN), 0);
  char buf[32] = {0};
  EXPECT_EQ(_lread(f, buf, sizeof buf), 14u);
  EXPECT_STREQ(buf, "line 1\nline 2\n");
  EXPECT_EQ(_lclose(f), 0);
  f = _lcreat(path.c_str(), 0);  // truncates
  EXPECT_EQ(_llseek(f, 0, FILE_END), 0);
  _lclose(f);
  EXPECT_TRUE(DeleteFileA(path.c_str()));
}

TEST(GlobalMemory, MoveableBlocksLockNested) {
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 300);
  ASSERT_NE(h, (HGLOBAL)NULL);
  unsigned char* p = (unsigned char*)GlobalLock(h);
  ASSERT_NE(p, nullptr);
  memset(p, 0xAB, 300);
  EXPECT_EQ(GlobalLock(h), (LPVOID)p);
  EXPECT_TRUE(GlobalUnlock(h));  // still locked once
  SetLastError(1);
  EXPECT_FALSE(GlobalUnlock(h));  // now unlocked
  EXPECT_EQ(GetLastError(), (DWORD)NO_ERROR);
  EXPECT_EQ(GlobalFree(h), (HGLOBAL)NULL);
}

}  // namespace
