// Mutexes, events and waits within one process.
#include <gtest/gtest.h>

#include "helpers.h"

namespace {

// What a helper thread does: wait `ms` on `h`, note the result and the
// time waited, and release the mutex afterwards when asked to.
struct Shared {
  HANDLE h;
  DWORD ms;
  bool release;
  DWORD result;
  DWORD waited;
};

DWORD WINAPI waiter(LPVOID p) {
  Shared* s = (Shared*)p;
  DWORD start = GetTickCount();
  s->result = WaitForSingleObject(s->h, s->ms);
  s->waited = GetTickCount() - start;
  if (s->release) ReleaseMutex(s->h);
  return 0;  // without release: ends while owning the mutex
}

DWORD WINAPI release_foreign(LPVOID p) {
  Shared* s = (Shared*)p;
  SetLastError(0);
  s->result = ReleaseMutex(s->h) ? 0 : GetLastError();
  return 0;
}

DWORD WINAPI report_last_error(LPVOID) {
  DWORD seen = GetLastError();
  SetLastError(7);
  return seen;
}

// Runs fn(shared) on another thread and waits for it.
DWORD on_thread(LPTHREAD_START_ROUTINE fn, Shared* s) {
  HANDLE t = CreateThread(NULL, 0, fn, s, 0, NULL);
  EXPECT_NE(t, (HANDLE)NULL);
  EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
  CloseHandle(t);
  return s->result;
}

TEST(Mutex, RecursiveForOwnerAndExclusiveForOthers) {
  HANDLE m = CreateMutexA(NULL, TRUE, NULL);
  ASSERT_NE(m, (HANDLE)NULL);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);  // second level
  Shared s{m, 0, false, 0, 0};
  EXPECT_EQ(on_thread(waiter, &s), (DWORD)WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(on_thread(waiter, &s), (DWORD)WAIT_TIMEOUT);  // still one level held
  EXPECT_TRUE(ReleaseMutex(m));
  SetLastError(0);
  EXPECT_FALSE(ReleaseMutex(m));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_OWNER);
  EXPECT_TRUE(CloseHandle(m));
}

TEST(Mutex, ForeignReleaseIsRefusedAndWaiterGetsItOnRelease) {
  HANDLE m = CreateMutexA(NULL, FALSE, NULL);
  ASSERT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0);
  Shared foreign{m, 0, false, 0, 0};
  EXPECT_EQ(on_thread(release_foreign, &foreign), (DWORD)ERROR_NOT_OWNER);

  Shared w{m, INFINITE, true, 0xDEAD, 0};
  HANDLE t = CreateThread(NULL, 0, waiter, &w, 0, NULL);
  EXPECT_EQ(WaitForSingleObject(t, 100), (DWORD)WAIT_TIMEOUT);  // blocked on the mutex
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(w.result, WAIT_OBJECT_0);
  CloseHandle(t);
  CloseHandle(m);
}

TEST(Mutex, OwnerThreadEndingAbandonsIt) {
  HANDLE m = CreateMutexA(NULL, FALSE, NULL);
  Shared s{m, INFINITE, false, 0xDEAD, 0};
  EXPECT_EQ(on_thread(waiter, &s), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(m, 1000), (DWORD)WAIT_ABANDONED);
  // Once taken, the mutex is normal again.
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(m));
  CloseHandle(m);
}

TEST(Mutex, NamedCreateOpenAndExistingName) {
  std::string name = kt::with_lf(kt::unique_name("mutex"));
  SetLastError(1234);
  HANDLE a = CreateMutexA(NULL, TRUE, name.c_str());
  ASSERT_NE(a, (HANDLE)NULL);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
  HANDLE b = CreateMutexA(NULL, FALSE, name.c_str());
  ASSERT_NE(b, (HANDLE)NULL);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
  EXPECT_NE(a, b);
  HANDLE c = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str());
  ASSERT_NE(c, (HANDLE)NULL);
  // Same object: the owner may release it through another handle.
  EXPECT_TRUE(ReleaseMutex(c));
  EXPECT_FALSE(ReleaseMutex(b));
  // The name without its line feed is another object.
  std::string bare = name.substr(0, name.size() - 1);
  EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, bare.c_str()), (HANDLE)NULL);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
  CloseHandle(a);
  CloseHandle(b);
  CloseHandle(c);
  // The last handle is gone, and so is the object.
  EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str()), (HANDLE)NULL);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST(Mutex, InitialOwnershipIgnoredForExistingName) {
  std::string name = kt::unique_name("mutex-owner");
  HANDLE a = CreateMutexA(NULL, FALSE, name.c_str());
  HANDLE b = CreateMutexA(NULL, TRUE, name.c_str());
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(ReleaseMutex(b));  // not owned
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_OWNER);
  CloseHandle(a);
  CloseHandle(b);
}

TEST(Mutex, NamesAreSharedAcrossObjectTypes) {
  std::string name = kt::unique_name("shared-name");
  HANDLE e = CreateEventA(NULL, TRUE, FALSE, name.c_str());
  ASSERT_NE(e, (HANDLE)NULL);
  EXPECT_EQ(CreateMutexA(NULL, FALSE, name.c_str()), (HANDLE)NULL);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str()), (HANDLE)NULL);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  CloseHandle(e);
}

TEST(Event, ManualResetStaysSignalledUntilReset) {
  HANDLE e = CreateEventA(NULL, TRUE, TRUE, NULL);
  ASSERT_NE(e, (HANDLE)NULL);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(e));
  EXPECT_EQ(WaitForSingleObject(e, 0), (DWORD)WAIT_TIMEOUT);
  // Every waiter is released by one SetEvent.
  Shared s1{e, INFINITE, false, 0xDEAD, 0}, s2 = s1;
  HANDLE t1 = CreateThread(NULL, 0, waiter, &s1, 0, NULL);
  HANDLE t2 = CreateThread(NULL, 0, waiter, &s2, 0, NULL);
  Sleep(50);
  EXPECT_TRUE(SetEvent(e));
  EXPECT_EQ(WaitForSingleObject(t1, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(t2, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(s1.result, WAIT_OBJECT_0);
  EXPECT_EQ(s2.result, WAIT_OBJECT_0);
  CloseHandle(t1);
  CloseHandle(t2);
  CloseHandle(e);
}

TEST(Event, AutoResetReleasesOneWaitPerSet) {
  HANDLE e = CreateEventA(NULL, FALSE, TRUE, NULL);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e, 0), (DWORD)WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(e));
  EXPECT_TRUE(SetEvent(e));  // does not count
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e, 0), (DWORD)WAIT_TIMEOUT);
  Shared s{e, INFINITE, false, 0xDEAD, 0};
  HANDLE t = CreateThread(NULL, 0, waiter, &s, 0, NULL);
  Sleep(50);
  EXPECT_TRUE(SetEvent(e));
  EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(s.result, WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e, 0), (DWORD)WAIT_TIMEOUT);  // consumed by the waiter
  CloseHandle(t);
  CloseHandle(e);
}

TEST(Event, NamedOpenSeesSameStateAndExistingNameKeepsIt) {
  std::string name = kt::with_lf(kt::unique_name("event"));
  HANDLE a = CreateEventA(NULL, FALSE, FALSE, name.c_str());
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
  // Creating again returns the existing auto-reset event, ignoring the flags.
  HANDLE b = CreateEventA(NULL, TRUE, TRUE, name.c_str());
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
  EXPECT_EQ(WaitForSingleObject(a, 0), (DWORD)WAIT_TIMEOUT);
  HANDLE c = OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str());
  ASSERT_NE(c, (HANDLE)NULL);
  EXPECT_TRUE(SetEvent(c));
  EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(a, 0), (DWORD)WAIT_TIMEOUT);
  CloseHandle(a);
  CloseHandle(b);
  CloseHandle(c);
  EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str()), (HANDLE)NULL);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST(Wait, TimedWaitsLastAboutTheirTime) {
  HANDLE e = CreateEventA(NULL, TRUE, FALSE, NULL);
  HANDLE m = CreateMutexA(NULL, TRUE, NULL);
  Shared on_event{e, 120, false, 0, 0}, on_mutex{m, 120, false, 0, 0};
  for (Shared* s : {&on_event, &on_mutex}) {
    EXPECT_EQ(on_thread(waiter, s), (DWORD)WAIT_TIMEOUT);
    EXPECT_GE(s->waited, 80u);  // the tick is coarse
    EXPECT_LT(s->waited, 5000u);
  }
  ReleaseMutex(m);
  CloseHandle(m);
  CloseHandle(e);
}

TEST(BadHandles, AreRefusedWithoutCrashing) {
  HANDLE e = CreateEventA(NULL, TRUE, FALSE, NULL);
  ASSERT_TRUE(CloseHandle(e));
  HANDLE bad[] = {NULL, e, (HANDLE)(UINT_PTR)0x7FFFFFF0};
  for (HANDLE h : bad) {
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ResetEvent(h));
    EXPECT_FALSE(ReleaseMutex(h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    DWORD code = 7;
    EXPECT_FALSE(GetExitCodeThread(h, &code));
    EXPECT_FALSE(GetExitCodeProcess(h, &code));
    EXPECT_EQ(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0), (LPVOID)NULL);
  }
  // A handle of the wrong type.
  HANDLE m = CreateMutexA(NULL, FALSE, NULL);
  EXPECT_FALSE(SetEvent(m));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  HANDLE ev = CreateEventA(NULL, TRUE, FALSE, NULL);
  EXPECT_FALSE(ReleaseMutex(ev));
  CloseHandle(m);
  CloseHandle(ev);
}

TEST(LastError, IsPerThread) {
  HANDLE t = CreateThread(NULL, 0, report_last_error, NULL, 0, NULL);
  SetLastError(42);
  WaitForSingleObject(t, INFINITE);
  DWORD seen = 99;
  GetExitCodeThread(t, &seen);
  EXPECT_EQ(seen, 0u);
  EXPECT_EQ(GetLastError(), 42u);
  CloseHandle(t);
}

}  // namespace
