// Kernel objects within one process: mutexes, events, mappings, threads.
#include <gtest/gtest.h>
#include <string.h>

#include "../support.h"

namespace {

HANDLE made(HANDLE h, DWORD error) {
  EXPECT_EQ(GetLastError(), error);
  return h;
}

TEST(Mutex, RecursiveExclusiveHandedToWaiterAbandonedByEndedThread) {
  HANDLE m = CreateMutexA(NULL, TRUE, NULL);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);  // second level
  EXPECT_EQ(pt::on_thread([m] { return FAIL_ERR(ReleaseMutex(m)); }), (DWORD)ERROR_NOT_OWNER);
  EXPECT_TRUE(ReleaseMutex(m));  // one level still held: no other thread gets it
  EXPECT_EQ(pt::on_thread([m] { return WaitForSingleObject(m, 0); }), (DWORD)WAIT_TIMEOUT);
  // A thread asleep on it gets it with the last release.
  DWORD tid = 0;
  HANDLE t = pt::thread([m] { return WaitForSingleObject(m, INFINITE) || !ReleaseMutex(m); }, &tid);
  ASSERT_TRUE(pt::eventually([tid] { return pt::asleep(tid); }));
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(pt::finish(t, 10000, true), 0u);
  // A thread ending while it owns it abandons it, once.
  EXPECT_EQ(pt::on_thread([m] { return WaitForSingleObject(m, INFINITE); }), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(m, 1000), (DWORD)WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(m) && WaitForSingleObject(m, 0) == WAIT_OBJECT_0 && ReleaseMutex(m));
  CloseHandle(m);
}

// Manual reset: stays set, one set releases every waiter. Auto reset: a
// wait takes the set, and one set releases one waiter. Sets do not count.
TEST(Event, ManualAndAutoReset) {
  for (BOOL manual : {TRUE, FALSE}) {
    DWORD second = manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    HANDLE e = CreateEventA(NULL, manual, TRUE, NULL), w = CreateEventA(NULL, manual, FALSE, NULL);
    EXPECT_TRUE(SetEvent(e) && WaitForSingleObject(e, 0) == WAIT_OBJECT_0);  // set twice
    EXPECT_EQ(WaitForSingleObject(e, 0), second) << manual;
    auto wait = [w] { return WaitForSingleObject(w, INFINITE); };
    HANDLE t1 = pt::thread(wait), t2 = manual ? pt::thread(wait) : NULL;
    EXPECT_TRUE(SetEvent(w));  // before or after the waits begin: all see it
    for (HANDLE t : {t1, t2}) EXPECT_EQ(t ? pt::finish(t, 10000, true) : 0, WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(w, 0), second) << manual;  // auto: the waiter took it
    for (HANDLE h : {e, w}) CloseHandle(h);
  }
}

// Create with an existing name returns it (its flags ignored), as Open
// does; the name without its line feed is another; a mutex cannot take an
// event's name; the name goes with the last handle.
TEST(Named, MutexesAndEvents) {
  SECURITY_DESCRIPTOR sd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) &&
              SetSecurityDescriptorDacl(&sd, TRUE, NULL, FALSE));  // the product's NULL DACL
  SECURITY_ATTRIBUTES sa{sizeof sa, &sd, FALSE};
  std::string mn = pt::lf(pt::unique_name("mutex")), en = pt::lf(pt::unique_name("ev"));
  SetLastError(1234);
  HANDLE m1 = made(CreateMutexA(&sa, TRUE, mn.c_str()), ERROR_SUCCESS);
  HANDLE e1 = made(CreateEventA(&sa, FALSE, FALSE, en.c_str()), ERROR_SUCCESS);
  HANDLE m2 = made(CreateMutexA(NULL, TRUE, mn.c_str()), ERROR_ALREADY_EXISTS);
  HANDLE e2 = made(CreateEventA(NULL, TRUE, TRUE, en.c_str()), ERROR_ALREADY_EXISTS);
  HANDLE m3 = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, mn.c_str());
  HANDLE e3 = OpenEventA(EVENT_ALL_ACCESS, FALSE, en.c_str());
  ASSERT_TRUE(m1 && m2 && m3 && e1 && e2 && e3 && m1 != m2);
  EXPECT_TRUE(ReleaseMutex(m3));  // one mutex, owned once
  EXPECT_ERR(ReleaseMutex(m2), ERROR_NOT_OWNER);
  EXPECT_TRUE(WaitForSingleObject(e1, 0) == WAIT_TIMEOUT && SetEvent(e3));  // one auto-reset event
  EXPECT_EQ(WaitForSingleObject(e2, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e1, 0), (DWORD)WAIT_TIMEOUT);
  EXPECT_ERR(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, mn.substr(0, mn.size() - 1).c_str()),
             ERROR_FILE_NOT_FOUND);
  EXPECT_ERR(CreateMutexA(NULL, FALSE, en.c_str()), ERROR_INVALID_HANDLE);
  for (HANDLE h : {m1, m2, m3, e1, e2, e3}) CloseHandle(h);
  EXPECT_ERR(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, mn.c_str()), ERROR_FILE_NOT_FOUND);
}

// Zero-filled; views share the data; the name lives as long as a handle, the
// data as long as a view; a new object under the name is fresh.
TEST(Mapping, ZeroFilledSharedNameLivesWithHandlesDataWithViews) {
  std::string name = pt::lf(pt::unique_name("map"));
  auto create = [&name](DWORD size, DWORD error) {
    return made(
        CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, size, name.c_str()),
        error);
  };
  HANDLE m = create(200000, ERROR_SUCCESS);
  char* p = (char*)MapViewOfFile(m, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  ASSERT_TRUE(p && std::string(p, 200000) == std::string(200000, '\0'));
  strcpy(p, "kept by the view");
  HANDLE o = create(4096, ERROR_ALREADY_EXISTS);
  CloseHandle(m);
  char* q = (char*)MapViewOfFile(o, FILE_MAP_WRITE, 0, 0, 1000);
  ASSERT_TRUE(q && q != p && !strcmp(q, "kept by the view"));
  CloseHandle(o);
  EXPECT_ERR(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str()), ERROR_FILE_NOT_FOUND);
  strcpy(q, "still shared");
  HANDLE n = create(4096, ERROR_SUCCESS);
  char* r = (char*)MapViewOfFile(n, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  EXPECT_TRUE(r && r[0] == 0 && !strcmp(p, "still shared"));
  for (void* v : {r, q, p}) EXPECT_TRUE(UnmapViewOfFile(v));
  CloseHandle(n);
}

// Bad handles are refused without a crash; a thread whose handle was closed
// while it runs still finishes; its last error starts at 0 and is its own.
TEST(Handles, BadOnesRefusedThreadsKeepTheirLastError) {
  // (The closed handle is made last: Windows reuses handle values.)
  HANDLE m = CreateMutexA(NULL, FALSE, NULL), ev = CreateEventA(NULL, TRUE, FALSE, NULL);
  HANDLE e = CreateEventA(NULL, TRUE, FALSE, NULL);
  ASSERT_TRUE(CloseHandle(e));
  EXPECT_ERR(ReleaseMutex(ev), ERROR_INVALID_HANDLE);  // of the wrong type
  EXPECT_ERR(SetEvent(m), ERROR_INVALID_HANDLE);
  for (HANDLE h : {(HANDLE)NULL, e, (HANDLE)(UINT_PTR)0x7FFFFFF0}) {  // null, closed, garbage
    EXPECT_ERR(ReleaseMutex(h), ERROR_INVALID_HANDLE);
    EXPECT_ERR(SetEvent(h), ERROR_INVALID_HANDLE);
    EXPECT_ERR(CloseHandle(h), ERROR_INVALID_HANDLE);
    EXPECT_ERR(WaitForSingleObject(h, 0) != WAIT_FAILED, ERROR_INVALID_HANDLE);
    EXPECT_EQ(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0), (LPVOID)NULL);
  }
  HANDLE go = CreateEventA(NULL, TRUE, FALSE, NULL);
  ASSERT_TRUE(CloseHandle(pt::thread([go, ev] {
    bool fresh = GetLastError() == 0;
    WaitForSingleObject(go, INFINITE);
    SetLastError(7);  // after the test set its own
    return fresh && SetEvent(ev) ? 0 : 1;
  })));
  SetLastError(42);
  SetEvent(go);
  EXPECT_EQ(WaitForSingleObject(ev, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(GetLastError(), 42u);
  for (HANDLE h : {m, ev, go}) CloseHandle(h);
}

}  // namespace
