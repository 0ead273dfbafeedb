// The process id is kept by the layer rather than asked of the kernel each
// time (native only: it needs fork()).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>

namespace {

TEST(ProcessId, AForkedChildSeesItsOwnId) {
  DWORD parent = GetCurrentProcessId();
  EXPECT_EQ(parent, (DWORD)getpid());
  pid_t child = fork();
  if (child == 0) _exit(GetCurrentProcessId() == (DWORD)getpid() ? 0 : 1);
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(GetCurrentProcessId(), parent);
}

}  // namespace
