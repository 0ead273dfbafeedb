// Ownership that outlives the owner's handles.
#include <gtest/gtest.h>

#include "helpers.h"

namespace {

// A child that closes its only handle while owning the mutex and then
// exits still abandons it: the next taker here learns of it.
TEST(MutexOwner, ClosingTheLastHandleWhileOwningStillAbandonsAtExit) {
  std::string mbase = kt::unique_name("closed"), rbase = kt::unique_name("ready");
  HANDLE m = CreateMutexA(NULL, FALSE, kt::with_lf(mbase).c_str());
  HANDLE ready = CreateEventA(NULL, TRUE, FALSE, kt::with_lf(rbase).c_str());
  ASSERT_NE(m, (HANDLE)NULL);
  HANDLE child = kt::start_child("own-close " + mbase + " " + rbase);
  ASSERT_NE(child, (HANDLE)NULL);
  ASSERT_EQ(WaitForSingleObject(ready, 20000), WAIT_OBJECT_0);
  EXPECT_EQ(kt::finish_child(child), 0u);  // nobody waited while it ended
  EXPECT_EQ(WaitForSingleObject(m, 0), (DWORD)WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(m));
  CloseHandle(ready);
  CloseHandle(m);
}

}  // namespace
