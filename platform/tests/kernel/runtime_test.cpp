// wsprintfA (here over wvsprintfA, which the log lines call) and private profiles.
#include <gtest/gtest.h>
#include <string.h>

#include "../support.h"

namespace {

// 'l' is 32 bits, as on Windows; output is limited to 1024 bytes.
TEST(Runtime, FormatsAndPrivateProfiles) {
  char buf[2048];
  int n = wsprintfA(buf, "%s: %d|%u|%x|%X|%lx|%lX|%ld|%lu|%08lX|%02x|%2.2X|%5lu.%03lu\r\n", "KRZ",
                    -5, 4000000000u, 0xbeefu, 0xbeefu, (DWORD)0xAB, (DWORD)0xAB, (LONG)-123,
                    (DWORD)0xFFFFFFFF, (DWORD)0x1A2B, 0xfu, 0x5u, (DWORD)7, (DWORD)5);
  EXPECT_STREQ(buf,
               "KRZ: -5|4000000000|beef|BEEF|ab|AB|-123|4294967295|00001A2B|0f|05|    7.005\r\n");
  EXPECT_EQ((size_t)n, strlen(buf));
  memset(buf, 'z', sizeof buf);
  n = wsprintfA(buf, "%s", std::string(1500, 'x').c_str());
  EXPECT_TRUE((n == 1023 || n == 1024) && buf[1024] == 'z') << n;  // nothing written past it
  // Profiles: integers from the leading digits; strings trimmed, unquoted,
  // cut to the buffer; names case-insensitive; defaults without trailing blanks.
  char dir[MAX_PATH];
  std::string path(dir, GetWindowsDirectoryA(dir, sizeof dir));
  path.append("\\").append(pt::unique_name("ini")).append(".ini");
  const char* f = path.c_str() + path.rfind('\\') + 1;  // found in the Windows directory
  const char* text =
      "; note\r\n[KRZMLC15]\r\n  Timeout = 150abc  \r\nNegative=-7\r\nEmpty=\r\n"
      "Quoted=\"  spaced  \"\r\n\r\n[DebugMsg]\r\nLogFile = C:\\temp\\mlc.log \r\n";
  HFILE h = _lcreat(path.c_str(), 0);
  ASSERT_EQ(_lwrite(h, text, (UINT)strlen(text)), strlen(text));
  _lclose(h);
  EXPECT_EQ(GetPrivateProfileIntA("krzmlc15", "timeout", 15000, f), 150u);
  EXPECT_EQ(GetPrivateProfileIntA("KRZMLC15", "Negative", 0, path.c_str()), (UINT)-7);
  for (const char* key : {"Empty", "Missing", "LogFile"})  // the last: in another section
    EXPECT_EQ(GetPrivateProfileIntA("KRZMLC15", key, 33, f), 33u) << key;
  EXPECT_EQ(GetPrivateProfileIntA("KRZMLC15", "Timeout", 15, "no_such.ini"), 15u);
  struct {
    const char *section, *key, *dflt, *file;
    DWORD size;
    const char* want;
  } strs[] = {{"debugmsg", "LOGFILE", "", f, 64, "C:\\temp\\mlc.log"},
              {"KRZMLC15", "Quoted", "", f, 64, "  spaced  "},
              {"DebugMsg", "LogFile", "", f, 5, "C:\\t"},
              {"DebugMsg", "Nope", "dflt  ", f, 64, "dflt"},
              {"DebugMsg", "LogFile", NULL, "no_such.ini", 64, ""}};
  for (auto& c : strs) {
    EXPECT_EQ(GetPrivateProfileStringA(c.section, c.key, c.dflt, buf, c.size, c.file),
              strlen(c.want));
    EXPECT_STREQ(buf, c.want);
  }
  EXPECT_TRUE(DeleteFileA(path.c_str()));
}

}  // namespace
