// Private profile reading from the Windows directory and from full paths.
#include <gtest/gtest.h>
#include <string.h>

#include "helpers.h"

namespace {

// Writes an INI file into the Windows directory; returns its bare name.
class IniFile {
 public:
  explicit IniFile(const char* text) {
    name = kt::unique_name("ini") + ".ini";
    char dir[MAX_PATH];
    GetWindowsDirectoryA(dir, sizeof dir);
    path = std::string(dir) + "\\" + name;
    HFILE f = _lcreat(path.c_str(), 0);
    EXPECT_NE(f, HFILE_ERROR);
    _lwrite(f, text, (UINT)strlen(text));
    _lclose(f);
  }
  ~IniFile() { DeleteFileA(path.c_str()); }
  std::string name, path;
};

const char* kIni =
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

TEST(Profile, IntegersFromLeadingDigitsAndDefaults) {
  IniFile ini(kIni);
  const char* f = ini.name.c_str();
  EXPECT_EQ(GetPrivateProfileIntA("KRZMLC15", "MLC_PACKET_TIMEOUT_WHILE_BUSY", 15000, f), 150u);
  EXPECT_EQ(GetPrivateProfileIntA("krzmlc15", "pinginterval", 15, f), 20u);
  EXPECT_EQ(GetPrivateProfileIntA("KRZMLC15", "Negative", 0, f), (UINT)-7);
  EXPECT_EQ(GetPrivateProfileIntA("KRZMLC15", "Empty", 33, f), 33u);
  EXPECT_EQ(GetPrivateProfileIntA("KRZMLC15", "Hex", 0, f), 26u);
  EXPECT_EQ(GetPrivateProfileIntA("KRZMLC15", "Missing", 1000, f), 1000u);
  EXPECT_EQ(GetPrivateProfileIntA("NoSection", "PingInterval", 15, f), 15u);
  EXPECT_EQ(GetPrivateProfileIntA("KRZMLC15", "PingInterval", 15, "no_such_file.ini"), 15u);
}

TEST(Profile, StringsAreTrimmedUnquotedAndCut) {
  IniFile ini(kIni);
  const char* f = ini.name.c_str();
  char buf[64];
  EXPECT_EQ(GetPrivateProfileStringA("DebugMsg", "KRZMLC15", "", buf, sizeof buf, f), 6u);
  EXPECT_STREQ(buf, "1+2+64");
  EXPECT_EQ(GetPrivateProfileStringA("debugmsg", "LOGFILE", "", buf, sizeof buf, f), 15u);
  EXPECT_STREQ(buf, "C:\\temp\\mlc.log");
  GetPrivateProfileStringA("KRZMLC15", "Quoted", "", buf, sizeof buf, f);
  EXPECT_STREQ(buf, "  spaced  ");
  // Cut to the buffer; the count is what was copied.
  char small[5];
  EXPECT_EQ(GetPrivateProfileStringA("DebugMsg", "LogFile", "", small, sizeof small, f), 4u);
  EXPECT_STREQ(small, "C:\\t");
  // Missing key, section or file: the default, without trailing blanks.
  EXPECT_EQ(GetPrivateProfileStringA("DebugMsg", "Nope", "dflt  ", buf, sizeof buf, f), 4u);
  EXPECT_STREQ(buf, "dflt");
  EXPECT_EQ(GetPrivateProfileStringA("Nope", "LogFile", "", buf, sizeof buf, f), 0u);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(GetPrivateProfileStringA("DebugMsg", "LogFile", NULL, buf, sizeof buf, "no_such.ini"),
            0u);
  EXPECT_STREQ(buf, "");
}

TEST(Profile, ListsOfKeysAndSectionsAndFullPaths) {
  IniFile ini(kIni);
  char buf[256];
  DWORD n = GetPrivateProfileStringA("DebugMsg", NULL, "", buf, sizeof buf, ini.name.c_str());
  EXPECT_EQ(n, 17u);
  EXPECT_EQ(std::string(buf, n), std::string("KRZMLC15\0LogFile\0", 17));
  EXPECT_EQ(buf[n], 0);
  n = GetPrivateProfileStringA(NULL, NULL, "", buf, sizeof buf, ini.path.c_str());
  EXPECT_EQ(std::string(buf, n), std::string("KRZMLC15\0DebugMsg\0", 18));
  // By full path, and cut short.
  char small[8];
  n = GetPrivateProfileStringA("DebugMsg", NULL, "", small, sizeof small, ini.path.c_str());
  EXPECT_EQ(n, 6u);
  EXPECT_EQ(small[6], 0);
  EXPECT_EQ(small[7], 0);
  EXPECT_EQ(GetPrivateProfileIntA("KRZMLC15", "PingInterval", 0, ini.path.c_str()), 20u);
}

}  // namespace
