// File mappings backed by the paging file.
#include <gtest/gtest.h>
#include <string.h>

#include "../support.h"

namespace {

// A new mapping is zero-filled; views of one name share the data; the name
// lives as long as a handle, the data as long as a view; a new object under
// the name is fresh.
TEST(Mapping, ZeroFilledSharedNameLivesWithHandlesDataWithViews) {
  std::string name = pt::lf(pt::unique_name("map"));
  HANDLE m =
      CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 200000, name.c_str());
  ASSERT_NE(m, (HANDLE)NULL);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
  char* p = (char*)MapViewOfFile(m, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::string(p, 200000), std::string(200000, '\0'));
  strcpy(p, "kept by the view");
  HANDLE o = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 4096, name.c_str());
  ASSERT_NE(o, (HANDLE)NULL);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
  CloseHandle(m);
  HANDLE o2 = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
  ASSERT_NE(o2, (HANDLE)NULL);
  char* q = (char*)MapViewOfFile(o2, FILE_MAP_WRITE, 0, 0, 1000);
  ASSERT_NE(q, nullptr);
  EXPECT_NE(p, q);
  EXPECT_STREQ(q, "kept by the view");
  for (HANDLE h : {o2, o}) CloseHandle(h);
  EXPECT_EQ(FAIL_ERR(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str())),
            (DWORD)ERROR_FILE_NOT_FOUND);
  strcpy(q, "still shared");
  EXPECT_STREQ(p, "still shared");
  HANDLE n = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 4096, name.c_str());
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
  char* r = (char*)MapViewOfFile(n, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r[0], 0);
  EXPECT_STREQ(p, "still shared");
  for (void* v : {r, q, p}) EXPECT_TRUE(UnmapViewOfFile(v));
  EXPECT_NE(FAIL_ERR(UnmapViewOfFile(q)), 0u);  // no longer a view
  CloseHandle(n);
  // Unnamed mappings work; one of size 0 is refused.
  m = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 100, NULL);
  int* u = (int*)MapViewOfFile(m, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  ASSERT_NE(u, nullptr);
  u[0] = 7;
  UnmapViewOfFile(u);
  CloseHandle(m);
  EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 0, NULL),
            (HANDLE)NULL);
}

}  // namespace
