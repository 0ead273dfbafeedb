// The namespace's lock file lives only as long as the namespace has objects,
// and removing it never lets two processes into the name lock at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "common/names.h"
#include "helpers.h"

namespace {

// This test's environment (sanitizer options included) in a namespace of
// its own.
std::string EnvironmentWith(const std::string& ns) {
  std::string block = "W32POSIX_NAMESPACE=" + ns + '\0';
  for (char** e = environ; *e; ++e)
    if (strncmp(*e, "W32POSIX_NAMESPACE=", 19) != 0) block += std::string(*e) + '\0';
  return block + '\0';
}

struct OtherNamespace {
  std::string ns = w32p::name_space() + "-lk";
  std::string lock = "/dev/shm/w32p." + ns + ".lock";
  std::string block = EnvironmentWith(ns);
  DWORD run(const std::string& args, DWORD* pid = nullptr) {
    HANDLE h = kt::start(NULL, "kernel_child.exe " + args, &block[0], pid);
    return pid ? (DWORD)(h != NULL) : kt::finish_child(h);
  }
};

// True when process `pid` waits for a flock on the file with inode `ino`.
bool blocked_on(DWORD pid, ino_t ino) {
  std::ifstream in("/proc/locks");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string n, arrow, type, adv, mode, dev;
    long p = 0;
    f >> n >> arrow >> type >> adv >> mode >> p >> dev;
    if (arrow != "->" || type != "FLOCK" || p != (long)pid) continue;
    if (dev.substr(dev.rfind(':') + 1) == std::to_string(ino)) return true;
  }
  return false;
}

// Waits for the child to block on the file, or to end (false).
bool wait_blocked(HANDLE child, DWORD pid, int fd) {
  struct stat st;
  fstat(fd, &st);
  for (int i = 0; i < 20000; ++i) {
    if (blocked_on(pid, st.st_ino)) return true;
    if (WaitForSingleObject(child, 1) == WAIT_OBJECT_0) return false;
  }
  return false;
}

TEST(LockFile, GoesWithTheNamespacesLastObject) {
  OtherNamespace other;
  std::string base = kt::unique_name("lk");
  EXPECT_EQ(other.run("leave " + base), 0u);  // ends holding three names
  EXPECT_NE(access(other.lock.c_str(), F_OK), 0);
  EXPECT_EQ(other.run("set-event " + base), 10u);  // an open that finds nothing
  EXPECT_NE(access(other.lock.c_str(), F_OK), 0);
}

// A process that opened the lock file just before the namespace's last user
// removed it must not take the removed file's lock: it locks the new file.
TEST(LockFile, AnOpenerOfTheRemovedFileLocksTheNewOne) {
  OtherNamespace other;
  int old_fd = open(other.lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  ASSERT_GE(old_fd, 0);
  ASSERT_EQ(flock(old_fd, LOCK_EX), 0);
  DWORD pid = 0;
  HANDLE child = kt::start(NULL, "kernel_child.exe set-event " + kt::unique_name("none"),
                           &other.block[0], &pid);
  ASSERT_NE(child, (HANDLE)NULL);
  ASSERT_TRUE(wait_blocked(child, pid, old_fd));
  // Act as the last user: remove the file while holding it; a creator makes
  // the next one and holds it; then let go of the old one.
  ASSERT_EQ(unlink(other.lock.c_str()), 0);
  int new_fd = open(other.lock.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  ASSERT_GE(new_fd, 0);
  ASSERT_EQ(flock(new_fd, LOCK_EX), 0);
  close(old_fd);
  EXPECT_TRUE(wait_blocked(child, pid, new_fd));
  close(new_fd);
  EXPECT_EQ(kt::finish_child(child), 10u);  // found nothing, as the name does not exist
  EXPECT_NE(access(other.lock.c_str(), F_OK), 0);
}

}  // namespace
