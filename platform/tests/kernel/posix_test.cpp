// The POSIX layer's own mechanisms (native only).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "../support.h"
#include "common/names.h"

extern "C" HINSTANCE kernel_dll_instance(int* attaches);

namespace fs = std::filesystem;

namespace {

size_t count(const char* dir, const std::string& part = "") {
  size_t n = 0;
  for (auto& e : fs::directory_iterator(dir))
    n += e.path().string().find(part) != std::string::npos;
  return n;
}
size_t count_object_mappings() {
  std::ifstream in("/proc/self/maps");
  size_t n = 0;
  for (std::string line; std::getline(in, line);) n += line.find("w32p") != std::string::npos;
  return n;
}
std::string shm_path(const std::string& name) { return "/dev/shm" + w32p::shm_name("obj", name); }

TEST(Posix, CreateCloseCyclesLeakNoDescriptorsOrMappings) {
  // Warm up so lazily opened descriptors (the namespace lock) exist.
  CloseHandle(CreateMutexA(NULL, FALSE, pt::unique_name("warm").c_str()));
  size_t fds = count("/proc/self/fd"), maps = count_object_mappings();
  std::string base = pt::unique_name("cycle");
  for (int i = 0; i < 100000; ++i) {  // mutexes (some owned), events, mappings, unnamed events
    std::string name = base + std::to_string(i % 7);
    HANDLE h = i % 4 == 0   ? CreateMutexA(NULL, i % 8 == 0, name.c_str())
               : i % 4 == 1 ? CreateEventA(NULL, TRUE, FALSE, name.c_str())
               : i % 4 == 2 ? CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0,
                                                 8192, name.c_str())
                            : CreateEventA(NULL, FALSE, FALSE, NULL);
    void* v = i % 4 == 2 ? MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0) : h;
    ASSERT_TRUE(h && v && (i % 8 != 0 || ReleaseMutex(h))) << i;
    EXPECT_TRUE(i != 2 || count_object_mappings() > maps);  // the probe sees live objects
    ASSERT_TRUE((v == h || UnmapViewOfFile(v)) && CloseHandle(h));
  }
  EXPECT_TRUE(count("/proc/self/fd") == fds && count_object_mappings() == maps);
}

// Names of a killed process, or half made by one, go with the next process
// that uses a name; a half-made object is not opened but created afresh.
TEST(Posix, NamesGoWithTheProcessesThatHeldThemFileModesFollowTheDacl) {
  std::string held = pt::unique_name("killed"), ready = pt::unique_name("ready");
  HANDLE e = CreateEventA(NULL, TRUE, FALSE, pt::lf(ready).c_str());
  HANDLE child = pt::start_child("hold-mutex " + held + " " + ready + " kill");
  ASSERT_TRUE(WaitForSingleObject(e, 20000) == WAIT_OBJECT_0 && TerminateProcess(child, 9));
  EXPECT_EQ(pt::finish(child), 9u);
  std::string map = shm_path(pt::lf(held + "-map")), mutex = shm_path(pt::lf(held));
  std::string half = shm_path(pt::lf(pt::unique_name("half")));
  close(open(half.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
  EXPECT_TRUE(fs::exists(map) && fs::exists(mutex));
  EXPECT_EQ(pt::run_child("set-event " + pt::unique_name("none")), 10u);  // opens nothing
  EXPECT_FALSE(fs::exists(map) || fs::exists(mutex) || fs::exists(half));

  std::string name = pt::lf(pt::unique_name("half"));
  int fd = shm_open(w32p::shm_name("obj", name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_EQ(ftruncate(fd, 100), 0);  // shorter than a header
  close(fd);
  EXPECT_ERR(OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str()), ERROR_FILE_NOT_FOUND);
  close(shm_open(w32p::shm_name("obj", name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
  HANDLE renewed = CreateEventA(NULL, TRUE, TRUE, name.c_str());
  EXPECT_TRUE(GetLastError() == ERROR_SUCCESS && WaitForSingleObject(renewed, 0) == WAIT_OBJECT_0);
  for (HANDLE h : {renewed, e}) CloseHandle(h);
  // A NULL DACL opens an object to every local user; none, to its creator.
  SECURITY_DESCRIPTOR sd;
  InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&sd, TRUE, NULL, FALSE);
  SECURITY_ATTRIBUTES open_to_all{sizeof(SECURITY_ATTRIBUTES), &sd, FALSE};
  std::string a = pt::unique_name("mode-all"), b = pt::unique_name("mode-own");
  HANDLE ha = CreateMutexA(&open_to_all, FALSE, a.c_str()), hb = CreateMutexA(NULL, 0, b.c_str());
  EXPECT_EQ(fs::status(shm_path(a)).permissions(), fs::perms(0666));
  EXPECT_EQ(fs::status(shm_path(b)).permissions(), fs::perms(0600));
  for (HANDLE h : {ha, hb}) CloseHandle(h);
}

// Whether process `pid` waits for a flock on the file open as fd: a line
// "1: -> FLOCK  ADVISORY  WRITE <pid> <dev>:<inode> 0 EOF" of /proc/locks.
bool blocked_on(DWORD pid, int fd) {
  struct stat st;
  fstat(fd, &st);
  char who[32], what[32];  // formatted: GCC 12 -O3 misjudges string concatenation here
  snprintf(who, sizeof who, " %lu ", (unsigned long)pid);
  snprintf(what, sizeof what, ":%lu ", (unsigned long)st.st_ino);
  std::ifstream in("/proc/locks");
  for (std::string l; std::getline(in, l);)
    if (l.find("-> FLOCK") != l.npos && l.find(who) != l.npos && l.find(what) != l.npos)
      return true;
  return false;
}

// Children inherit the namespace; others see none of its names. A process
// exiting with names leaves nothing, the lock file included. A process that
// opened the lock file just before the last user removed it locks the new one.
TEST(Posix, NamespacesSeparateAndGoWithTheirLastUserAndTheLockIsNeverTakenTwice) {
  std::string ns = w32p::name_space() + "-lk", lock = "/dev/shm/w32p." + ns + ".lock";
  std::string block = "W32POSIX_NAMESPACE=" + ns + '\0', base = pt::unique_name("lk");
  for (char** e = environ; *e; ++e)  // the rest of this test's environment
    if (strncmp(*e, "W32POSIX_NAMESPACE=", 19) != 0) block += std::string(*e) + '\0';
  block += '\0';
  HANDLE m = CreateEventA(NULL, TRUE, FALSE, pt::lf(base).c_str());
  EXPECT_EQ(pt::run_child("set-event " + base), 0u);
  EXPECT_EQ(pt::run_child("set-event " + base, &block[0]), 10u);  // finds nothing
  EXPECT_TRUE(WaitForSingleObject(m, 0) == WAIT_OBJECT_0 && !fs::exists(lock));
  CloseHandle(m);
  EXPECT_EQ(pt::run_child("hold-mutex " + base + " " + base + "-r exit", &block[0]), 0u);
  EXPECT_EQ(count("/dev/shm", "w32p." + ns + "."), 0u);

  int old_fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  ASSERT_EQ(flock(old_fd, LOCK_EX), 0);  // as a creator of the first object would
  DWORD pid = 0;
  HANDLE child = pt::start_child("set-event " + base, &pid, &block[0]);
  ASSERT_TRUE(pt::eventually([&] { return blocked_on(pid, old_fd); }));
  // As the last user, remove the held file; as a creator, make and hold the next.
  ASSERT_EQ(unlink(lock.c_str()), 0);
  int new_fd = open(lock.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  ASSERT_EQ(flock(new_fd, LOCK_EX), 0);
  close(old_fd);
  EXPECT_TRUE(pt::eventually([&] { return blocked_on(pid, new_fd); }));
  close(new_fd);
  EXPECT_EQ(pt::finish(child), 10u);  // found nothing, as the name does not exist
  EXPECT_FALSE(fs::exists(lock));
}

// The debug sink. An unquoted path with a blank starts the program (longer
// prefixes are tried); its arguments split at the blank, it sees an unknown
// mode (3). The layer keeps the process id: a forked child must still see
// its own. A library's DllMain gets its own module, once.
TEST(Posix, DebugSinkPathsWithBlanksProcessIdsAndModuleHandles) {
  fs::path dir = fs::temp_directory_path() / pt::unique_name("with blank");
  fs::create_directories(dir);
  setenv("W32POSIX_DEBUG_SINK", (dir / "sink.txt").c_str(), 1);
  for (const char* line : {"first line\n", "second\n"}) OutputDebugStringA(line);
  unsetenv("W32POSIX_DEBUG_SINK");
  std::ifstream in(dir / "sink.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "first line\nsecond\n");
  fs::copy_file(fs::read_symlink("/proc/self/exe").parent_path() / "platform_child",
                dir / "spaced_child");
  EXPECT_EQ(pt::finish(pt::start((dir / "SPACED_CHILD.EXE").string() + " exit 6")), 3u);
  fs::remove_all(dir);
  EXPECT_EQ(GetCurrentProcessId(), (DWORD)getpid());
  pid_t child = fork();
  if (child == 0) _exit(GetCurrentProcessId() == (DWORD)getpid() ? 0 : 1);
  int status = 0;
  EXPECT_TRUE(waitpid(child, &status, 0) == child && WIFEXITED(status) && !WEXITSTATUS(status));

  HMODULE program = GetModuleHandleA(NULL), lib = GetModuleHandleA("W32POSIX.DLL");
  EXPECT_EQ(W32ThisModule(), program);
  ASSERT_TRUE(lib && lib != program && !GetModuleHandleA("no_such_module"));
  EXPECT_EQ(W32ModuleFromAddress((const void*)&CreateMutexA), lib);
  int attaches = 0;
  HINSTANCE dll = kernel_dll_instance(&attaches);
  EXPECT_EQ(attaches, 1);
  EXPECT_TRUE(dll == GetModuleHandleA("kernel_dll.dll") && dll != program);
  EXPECT_EQ(dll, W32ModuleFromAddress((const void*)&kernel_dll_instance));
}

}  // namespace
