// wsprintfA, private profiles and the 16-bit style file calls.
#include <gtest/gtest.h>
#include <string.h>

#include "../support.h"

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
  // 'l' is 32 bits, as on Windows.
  EXPECT_EQ(fmt("%d|%u|%x|%lX|%ld|%lu", -5, 4000000000u, 0xbeefu, (DWORD)0xAB, (LONG)-123,
                (DWORD)0xFFFFFFFF),
            "-5|4000000000|beef|AB|-123|4294967295");
  EXPECT_EQ(fmt("%08lX|%2.2X %2.2X|%5lu.%03lu", (DWORD)0x1A2B, 0x5u, 0x123u, (DWORD)7, (DWORD)5),
            "00001A2B|05 123|    7.005");
  EXPECT_EQ(fmt("[%-5d][%05d]%#x", 42, -42, 0x1fu), "[42   ][-0042]0x1f");
  EXPECT_EQ(fmt("%s: %c 100%%\r\n[%6s][%-6s][%.3s]", "KRZ", 'o', "ab", "ab", "abcdef"),
            "KRZ: o 100%\r\n[    ab][ab    ][abc]");
  // Output is limited to 1024 bytes.
  char buf[2048];
  memset(buf, 'z', sizeof buf);
  int n = wsprintfA(buf, "%s", std::string(1500, 'x').c_str());
  EXPECT_TRUE((n == 1023 || n == 1024) && buf[1024] == 'z') << n;  // nothing written past it
}

std::string windows_file(const char* what) {
  char dir[MAX_PATH];
  GetWindowsDirectoryA(dir, sizeof dir);
  return std::string(dir) + "\\" + pt::unique_name(what);
}

TEST(Profile, IntegersStringsAndDefaults) {
  std::string path = windows_file("ini") + ".ini";
  const char* f = path.c_str() + path.rfind('\\') + 1;  // found in the Windows directory
  const char* text =
      "; comment\r\n[KRZMLC15]\r\n  Timeout = 150abc  \r\nPing=20\r\nNegative=-7\r\nHex=0x1A\r\n"
      "Empty=\r\nQuoted=\"  spaced  \"\r\n\r\n[DebugMsg]\r\nKRZMLC15=1+2+64\r\n"
      "LogFile = C:\\temp\\mlc.log \r\n";
  HFILE h = _lcreat(path.c_str(), 0);
  ASSERT_EQ(_lwrite(h, text, (UINT)strlen(text)), strlen(text));
  _lclose(h);
  // Integers from the leading digits; names compare case-insensitively.
  struct {
    const char *section, *key, *file;
    UINT dflt, want;
  } ints[] = {{"KRZMLC15", "Timeout", f, 15000, 150},     {"krzmlc15", "ping", f, 15, 20},
              {"KRZMLC15", "Ping", path.c_str(), 0, 20},  {"KRZMLC15", "Negative", f, 0, (UINT)-7},
              {"KRZMLC15", "Empty", f, 33, 33},           {"KRZMLC15", "Hex", f, 0, 26},
              {"KRZMLC15", "Missing", f, 1000, 1000},     {"NoSection", "Ping", f, 15, 15},
              {"KRZMLC15", "Ping", "no_such.ini", 15, 15}};
  for (auto& c : ints)
    EXPECT_EQ(GetPrivateProfileIntA(c.section, c.key, c.dflt, c.file), c.want) << c.key;
  // Strings trimmed and unquoted, cut to the buffer (the count is what was
  // copied); missing key, section or file: the default without trailing blanks.
  struct {
    const char *section, *key, *dflt, *file;
    DWORD size;
    const char* want;
  } strs[] = {{"debugmsg", "LOGFILE", "", f, 64, "C:\\temp\\mlc.log"},
              {"KRZMLC15", "Quoted", "", f, 64, "  spaced  "},
              {"DebugMsg", "LogFile", "", f, 5, "C:\\t"},
              {"DebugMsg", "Nope", "dflt  ", f, 64, "dflt"},
              {"Nope", "LogFile", "", f, 64, ""},
              {"DebugMsg", "LogFile", NULL, "no_such.ini", 64, ""}};
  char buf[64];
  for (auto& c : strs) {
    EXPECT_EQ(GetPrivateProfileStringA(c.section, c.key, c.dflt, buf, c.size, c.file),
              strlen(c.want));
    EXPECT_STREQ(buf, c.want);
  }
  EXPECT_TRUE(DeleteFileA(path.c_str()));
}

// The log file's calls: open fails before create; create truncates; open,
// seek to the end and append.
TEST(LFiles, CreateOpenSeekAppend) {
  std::string path = windows_file("lfile") + ".log";
  EXPECT_EQ(_lopen(path.c_str(), OF_READWRITE), HFILE_ERROR);
  for (const char* line : {"first!\n", "line 1\n"}) {
    HFILE f = _lcreat(path.c_str(), 0);
    EXPECT_TRUE(_llseek(f, 0, FILE_END) == 0 && _lwrite(f, line, 7) == 7 && _lclose(f) == 0);
  }
  HFILE f = _lopen(path.c_str(), OF_READWRITE | OF_SHARE_DENY_NONE);
  EXPECT_TRUE(_llseek(f, 0, FILE_END) == 7 && _lwrite(f, "line 2\n", 7) == 7);
  char buf[32] = {0};
  EXPECT_TRUE(_llseek(f, 0, FILE_BEGIN) == 0 && _lread(f, buf, sizeof buf) == 14);
  EXPECT_STREQ(buf, "line 1\nline 2\n");
  EXPECT_TRUE(_lclose(f) == 0 && DeleteFileA(path.c_str()));
}

}  // namespace
