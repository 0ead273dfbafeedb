// Global memory and the 16-bit style file calls.
#include <gtest/gtest.h>
#include <string.h>

#include "helpers.h"

namespace {

TEST(GlobalMemory, MoveableBlocksLockAndZeroInit) {
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 300);
  ASSERT_NE(h, (HGLOBAL)NULL);
  unsigned char* p = (unsigned char*)GlobalLock(h);
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(p[i], 0);
  memset(p, 0xAB, 300);
  unsigned char* q = (unsigned char*)GlobalLock(h);
  EXPECT_EQ(p, q);
  EXPECT_GE(GlobalSize(h), 300u);
  EXPECT_TRUE(GlobalUnlock(h));  // still locked once
  SetLastError(1);
  EXPECT_FALSE(GlobalUnlock(h));  // now unlocked
  EXPECT_EQ(GetLastError(), (DWORD)NO_ERROR);
  EXPECT_EQ(GlobalFree(h), (HGLOBAL)NULL);
  HGLOBAL f = GlobalAlloc(GPTR, 16);
  ASSERT_NE(f, (HGLOBAL)NULL);
  EXPECT_EQ(GlobalLock(f), (LPVOID)f);  // fixed blocks are their own address
  EXPECT_EQ(((char*)f)[15], 0);
  EXPECT_EQ(GlobalFree(f), (HGLOBAL)NULL);
}

TEST(LFiles, CreateWriteSeekAppendAndRead) {
  char dir[MAX_PATH];
  GetWindowsDirectoryA(dir, sizeof dir);
  std::string path = std::string(dir) + "\\" + kt::unique_name("lfile") + ".log";
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
  EXPECT_FALSE(DeleteFileA(path.c_str()));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

}  // namespace
