// File mappings backed by the paging file.
#include <gtest/gtest.h>
#include <string.h>

#include "helpers.h"

namespace {

TEST(Mapping, NewMappingIsZeroFilledAndViewsShareIt) {
  std::string name = kt::with_lf(kt::unique_name("map"));
  HANDLE m =
      CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 200000, name.c_str());
  ASSERT_NE(m, (HANDLE)NULL);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
  unsigned char* a = (unsigned char*)MapViewOfFile(m, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  ASSERT_NE(a, nullptr);
  for (size_t i = 0; i < 200000; ++i) ASSERT_EQ(a[i], 0) << i;
  HANDLE o = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
  ASSERT_NE(o, (HANDLE)NULL);
  unsigned char* b = (unsigned char*)MapViewOfFile(o, FILE_MAP_WRITE, 0, 0, 1000);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  memcpy(a + 10, "hello", 6);
  EXPECT_STREQ((char*)b + 10, "hello");
  // A view at an offset of the allocation granularity.
  unsigned char* c = (unsigned char*)MapViewOfFile(o, FILE_MAP_READ, 0, 65536, 16);
  ASSERT_NE(c, nullptr);
  a[65536] = 0x5A;
  EXPECT_EQ(c[0], 0x5A);
  EXPECT_TRUE(UnmapViewOfFile(a));
  EXPECT_TRUE(UnmapViewOfFile(b));
  EXPECT_TRUE(UnmapViewOfFile(c));
  SetLastError(0);
  EXPECT_FALSE(UnmapViewOfFile(b));
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_EQ(MapViewOfFile(m, FILE_MAP_ALL_ACCESS, 0, 100, 0), (LPVOID)NULL);  // misaligned
  for (HANDLE h : {m, o}) CloseHandle(h);
  // Unnamed mappings work; one of size 0 is refused.
  m = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 100, NULL);
  int* p = (int*)MapViewOfFile(m, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  ASSERT_NE(p, nullptr);
  p[0] = 7;
  UnmapViewOfFile(p);
  CloseHandle(m);
  EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 0, NULL),
            (HANDLE)NULL);
}

TEST(Mapping, ExistingNameSharesDataNameLivesWithHandlesDataWithViews) {
  std::string name = kt::unique_name("map-life");
  HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 4096, name.c_str());
  char* p = (char*)MapViewOfFile(m, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  ASSERT_NE(p, nullptr);
  strcpy(p, "kept by the view");
  HANDLE o = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 4096, name.c_str());
  ASSERT_NE(o, (HANDLE)NULL);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
  CloseHandle(m);
  // One handle left: the name still opens the same data.
  HANDLE o2 = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
  ASSERT_NE(o2, (HANDLE)NULL);
  char* q = (char*)MapViewOfFile(o2, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  EXPECT_STREQ(q, "kept by the view");
  for (HANDLE h : {o2, o}) CloseHandle(h);
  // No handle left: the name is gone, the views still share the data.
  EXPECT_EQ(FAIL_ERR(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str())),
            (DWORD)ERROR_FILE_NOT_FOUND);
  strcpy(q, "still shared");
  EXPECT_STREQ(p, "still shared");
  // A new object under the name is a fresh, zero-filled one.
  HANDLE n = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 4096, name.c_str());
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
  char* r = (char*)MapViewOfFile(n, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  EXPECT_EQ(r[0], 0);
  EXPECT_STREQ(p, "still shared");
  UnmapViewOfFile(r);
  UnmapViewOfFile(q);
  UnmapViewOfFile(p);
  CloseHandle(n);
}

}  // namespace
