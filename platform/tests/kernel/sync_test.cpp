// Mutexes, events, waits and threads within one process.
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

DWORD WINAPI wait_then_return(LPVOID p) {
  WaitForSingleObject((HANDLE)p, INFINITE);
  return 77;
}

DWORD WINAPI exit_early(LPVOID p) {
  *(DWORD*)p = GetCurrentThreadId();
  ExitThread(5);
  return 6;  // not reached
}

// Waits for the first event, then sets the second if its last error
// started at 0; leaves 7 as its last error.
DWORD WINAPI relay(LPVOID p) {
  HANDLE* h = (HANDLE*)p;
  bool fresh = GetLastError() == 0;
  SetLastError(7);
  WaitForSingleObject(h[0], INFINITE);
  if (fresh) SetEvent(h[1]);
  return 0;
}

// Runs fn(shared) on another thread and waits for it.
DWORD on_thread(LPTHREAD_START_ROUTINE fn, Shared* s) {
  HANDLE t = CreateThread(NULL, 0, fn, s, 0, NULL);
  EXPECT_NE(t, (HANDLE)NULL);
  EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
  CloseHandle(t);
  return s->result;
}

TEST(Mutex, RecursiveExclusiveHandedToWaiterAbandonedByEndedThread) {
  HANDLE m = CreateMutexA(NULL, TRUE, NULL);
  ASSERT_NE(m, (HANDLE)NULL);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);  // second level
  Shared s{m, 0, false, 0, 0};
  EXPECT_EQ(on_thread(waiter, &s), (DWORD)WAIT_TIMEOUT);
  EXPECT_EQ(on_thread(release_foreign, &s), (DWORD)ERROR_NOT_OWNER);
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(on_thread(waiter, &s), (DWORD)WAIT_TIMEOUT);  // still one level held
  // A thread blocked on it gets it with the last release.
  Shared w{m, INFINITE, true, 0xDEAD, 0};
  HANDLE t = CreateThread(NULL, 0, waiter, &w, 0, NULL);
  EXPECT_EQ(WaitForSingleObject(t, 100), (DWORD)WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(w.result, WAIT_OBJECT_0);
  CloseHandle(t);
  SetLastError(0);
  EXPECT_FALSE(ReleaseMutex(m));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_OWNER);
  // A thread ending while it owns the mutex abandons it; once taken, the
  // mutex is normal again.
  Shared a{m, INFINITE, false, 0xDEAD, 0};
  EXPECT_EQ(on_thread(waiter, &a), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(m, 1000), (DWORD)WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_TRUE(CloseHandle(m));
}

// Manual reset: stays set until reset, one set releases every waiter.
// Auto reset: a wait takes the set, and one set releases one waiter.
TEST(Event, ManualAndAutoReset) {
  for (BOOL manual : {TRUE, FALSE}) {
    SCOPED_TRACE(manual);
    DWORD second = manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    HANDLE e = CreateEventA(NULL, manual, TRUE, NULL);
    ASSERT_NE(e, (HANDLE)NULL);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), second);
    EXPECT_TRUE(ResetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), (DWORD)WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(e));
    EXPECT_TRUE(SetEvent(e));  // does not count
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), second);
    ResetEvent(e);
    Shared s1{e, INFINITE, false, 0xDEAD, 0}, s2 = s1;
    HANDLE t[] = {CreateThread(NULL, 0, waiter, &s1, 0, NULL),
                  manual ? CreateThread(NULL, 0, waiter, &s2, 0, NULL) : NULL};
    EXPECT_TRUE(SetEvent(e));  // before or after the waits begin: both must see it
    for (HANDLE h : t) {
      if (!h) continue;
      EXPECT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
      CloseHandle(h);
    }
    EXPECT_EQ(s1.result, WAIT_OBJECT_0);
    EXPECT_EQ(s2.result, manual ? WAIT_OBJECT_0 : 0xDEAD);
    EXPECT_EQ(WaitForSingleObject(e, 0), second);  // auto: consumed by the waiter
    CloseHandle(e);
  }
}

// A new name creates the object; Create with an existing name returns it,
// its own flags ignored, as does Open; the name without its line feed is
// another; a mutex cannot take an event's name; the name goes with the last
// handle.
TEST(Named, MutexesAndEvents) {
  // The product shares its objects with a NULL DACL.
  SECURITY_DESCRIPTOR sd;
  EXPECT_FALSE(InitializeSecurityDescriptor(&sd, 2));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_UNKNOWN_REVISION);
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, NULL, FALSE));
  SECURITY_ATTRIBUTES sa{sizeof sa, &sd, FALSE};
  std::string mn = kt::with_lf(kt::unique_name("mutex")), en = kt::with_lf(kt::unique_name("ev"));
  SetLastError(1234);
  HANDLE m1 = CreateMutexA(&sa, TRUE, mn.c_str());
  ASSERT_NE(m1, (HANDLE)NULL);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
  HANDLE e1 = CreateEventA(&sa, FALSE, FALSE, en.c_str());
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
  HANDLE m2 = CreateMutexA(NULL, TRUE, mn.c_str());
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
  HANDLE e2 = CreateEventA(NULL, TRUE, TRUE, en.c_str());
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
  HANDLE m3 = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, mn.c_str());
  HANDLE e3 = OpenEventA(EVENT_ALL_ACCESS, FALSE, en.c_str());
  ASSERT_TRUE(m2 && m3 && e1 && e2 && e3);
  EXPECT_NE(m1, m2);
  // One mutex, owned once: the owner releases it through another handle.
  EXPECT_TRUE(ReleaseMutex(m3));
  EXPECT_FALSE(ReleaseMutex(m2));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_OWNER);
  // One auto-reset event, not set.
  EXPECT_EQ(WaitForSingleObject(e1, 0), (DWORD)WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(e3));
  EXPECT_EQ(WaitForSingleObject(e2, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e1, 0), (DWORD)WAIT_TIMEOUT);
  std::string bare = mn.substr(0, mn.size() - 1);
  EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, bare.c_str()), (HANDLE)NULL);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(CreateMutexA(NULL, FALSE, en.c_str()), (HANDLE)NULL);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, en.c_str()), (HANDLE)NULL);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  for (HANDLE h : {m1, m2, m3, e1, e2, e3}) CloseHandle(h);
  EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, mn.c_str()), (HANDLE)NULL);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, en.c_str()), (HANDLE)NULL);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST(Wait, TimedWaitsAndSleepLastAboutTheirTime) {
  HANDLE e = CreateEventA(NULL, TRUE, FALSE, NULL);
  HANDLE m = CreateMutexA(NULL, TRUE, NULL);
  Shared on_event{e, 120, false, 0, 0}, on_mutex{m, 120, false, 0, 0};
  for (Shared* s : {&on_event, &on_mutex}) {
    EXPECT_EQ(on_thread(waiter, s), (DWORD)WAIT_TIMEOUT);
    EXPECT_GE(s->waited, 80u);  // the tick is coarse (16 ms on Windows, more under Wine)
    EXPECT_LT(s->waited, 5000u);
  }
  DWORD a = GetTickCount();
  Sleep(100);
  EXPECT_GE(GetTickCount() - a, 60u);
  EXPECT_LT(GetTickCount() - a, 5000u);
  ReleaseMutex(m);
  CloseHandle(m);
  CloseHandle(e);
}

TEST(BadHandles, AreRefusedWithoutCrashing) {
  HANDLE e = CreateEventA(NULL, TRUE, FALSE, NULL);
  ASSERT_TRUE(CloseHandle(e));
  HANDLE m = CreateMutexA(NULL, FALSE, NULL), ev = CreateEventA(NULL, TRUE, FALSE, NULL);
  // Null, closed, garbage, and (last two) a handle of the wrong type.
  HANDLE bad[] = {NULL, e, (HANDLE)(UINT_PTR)0x7FFFFFF0, m, ev};
  for (HANDLE h : bad) {
    SetLastError(0);
    if (h != m) {
      EXPECT_FALSE(ReleaseMutex(h));
      EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    }
    if (h != ev) {
      SetLastError(0);
      EXPECT_FALSE(SetEvent(h));
      EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
      EXPECT_FALSE(ResetEvent(h));
    }
    if (h == m || h == ev) continue;
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    DWORD code = 7;
    EXPECT_FALSE(GetExitCodeThread(h, &code));
    EXPECT_FALSE(GetExitCodeProcess(h, &code));
    EXPECT_EQ(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0), (LPVOID)NULL);
  }
  CloseHandle(m);
  CloseHandle(ev);
}

TEST(Thread, ExitCodesIdsLastErrorAndClosedHandle) {
  HANDLE go = CreateEventA(NULL, TRUE, FALSE, NULL);
  DWORD tid = 0;
  HANDLE t = CreateThread(NULL, 0, wait_then_return, go, 0, &tid);
  ASSERT_NE(t, (HANDLE)NULL);
  EXPECT_NE(tid, GetCurrentThreadId());
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, (DWORD)STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(t, 50), (DWORD)WAIT_TIMEOUT);
  SetEvent(go);
  EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);  // stays signalled
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 77u);
  CloseHandle(t);
  CloseHandle(go);

  DWORD seen = 0, reported = 0;
  t = CreateThread(NULL, 0, exit_early, &seen, 0, &reported);
  EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
  GetExitCodeThread(t, &code);
  EXPECT_EQ(code, 5u);
  EXPECT_EQ(seen, reported);
  CloseHandle(t);

  // Its handle closed while it runs, a thread still finishes; its last
  // error starts at 0 and is its own.
  HANDLE go2 = CreateEventA(NULL, TRUE, FALSE, NULL), done = CreateEventA(NULL, TRUE, FALSE, NULL);
  HANDLE pair[] = {go2, done};
  ASSERT_TRUE(CloseHandle(CreateThread(NULL, 0, relay, pair, 0, NULL)));
  SetEvent(go2);
  SetLastError(42);
  EXPECT_EQ(WaitForSingleObject(done, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(GetLastError(), 42u);
  CloseHandle(go2);
  CloseHandle(done);
}

}  // namespace
