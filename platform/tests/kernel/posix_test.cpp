// Behaviour of the POSIX layer itself: namespaces, permissions, recovery
// from processes killed mid-way, descriptor and memory hygiene, the debug
// sink, the process search order and module handles.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/names.h"
#include "helpers.h"

extern "C" HINSTANCE kernel_dll_instance(int* attaches);

namespace {

size_t count_entries(const char* dir) {
  size_t n = 0;
  DIR* d = opendir(dir);
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

// Mappings of this layer's objects (shm files and anonymous memory files).
size_t count_object_mappings() {
  std::ifstream in("/proc/self/maps");
  std::string line;
  size_t n = 0;
  while (std::getline(in, line)) n += line.find("w32p") != std::string::npos;
  return n;
}

std::string shm_path(const std::string& object_name) {
  return "/dev/shm" + w32p::shm_name("obj", object_name);
}

TEST(Posix, CreateCloseCyclesLeakNoDescriptorsOrMappings) {
  // Warm up so lazily opened descriptors (the namespace lock) exist.
  CloseHandle(CreateMutexA(NULL, FALSE, kt::unique_name("warm").c_str()));
  size_t fds = count_entries("/proc/self/fd");
  size_t maps = count_object_mappings();
  std::string base = kt::unique_name("cycle");
  for (int i = 0; i < 100000; ++i) {
    std::string name = base + std::to_string(i % 7);
    HANDLE h = NULL;
    switch (i % 4) {
      case 0:
        h = CreateMutexA(NULL, i % 8 == 0, name.c_str());
        if (i % 8 == 0) {
          ASSERT_TRUE(ReleaseMutex(h));
        }
        break;
      case 1:
        h = CreateEventA(NULL, TRUE, FALSE, name.c_str());
        break;
      case 2: {
        h = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 8192, name.c_str());
        void* v = MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0);
        ASSERT_NE(v, nullptr);
        ASSERT_TRUE(UnmapViewOfFile(v));
        break;
      }
      case 3:
        h = CreateEventA(NULL, FALSE, FALSE, NULL);
        break;
    }
    ASSERT_NE(h, (HANDLE)NULL) << i;
    if (i == 2) {
      EXPECT_GT(count_object_mappings(), maps);  // the probe does see live objects
    }
    ASSERT_TRUE(CloseHandle(h));
  }
  EXPECT_EQ(count_entries("/proc/self/fd"), fds);
  EXPECT_EQ(count_object_mappings(), maps);
  for (int k = 0; k < 7; ++k) {
    struct stat st;
    EXPECT_NE(stat(shm_path(base + std::to_string(k)).c_str(), &st), 0);  // names are gone
  }
}

TEST(Posix, NamespacesSeparateTestRuns) {
  std::string base = kt::unique_name("ns");
  HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 4096,
                                kt::with_lf(base).c_str());
  strcpy((char*)MapViewOfFile(m, FILE_MAP_ALL_ACCESS, 0, 0, 0), "mine");
  // Same namespace (inherited): visible. Another namespace: not there.
  EXPECT_EQ(kt::run_child("check-map " + base + " mine"), 0u);
  std::string env = "W32POSIX_NAMESPACE=" + w32p::name_space() + "-other";
  std::string block = env + '\0' + "PATH=/usr/bin" + '\0' + '\0';
  EXPECT_EQ(kt::run(NULL, "kernel_child.exe check-map " + base + " mine", &block[0]), 10u);
  CloseHandle(m);
}

TEST(Posix, FileModesFollowTheDacl) {
  SECURITY_DESCRIPTOR sd;
  InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&sd, TRUE, NULL, FALSE);
  SECURITY_ATTRIBUTES open_to_all{sizeof(SECURITY_ATTRIBUTES), &sd, FALSE};
  std::string a = kt::unique_name("mode-all"), b = kt::unique_name("mode-own");
  HANDLE ha = CreateMutexA(&open_to_all, FALSE, a.c_str());
  HANDLE hb = CreateMutexA(NULL, FALSE, b.c_str());
  struct stat st;
  ASSERT_EQ(stat(shm_path(a).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  ASSERT_EQ(stat(shm_path(b).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  for (HANDLE h : {ha, hb}) CloseHandle(h);
}

// Names a process held go with it: as it exits, or, when it was killed, or
// killed while creating a name, the next process that uses a name removes
// them; a half-created object is not opened but created afresh.
TEST(Posix, NamesGoWithTheProcessesThatHeldThem) {
  std::string base = kt::unique_name("left");
  ASSERT_EQ(kt::run_child("leave " + base), 0u);
  for (const char* kind : {"-mutex", "-event", "-map"})
    EXPECT_FALSE(std::filesystem::exists(shm_path(kt::with_lf(base + kind)))) << kind;

  std::string held = kt::unique_name("killed"), ready = kt::unique_name("ready");
  HANDLE m = CreateMutexA(NULL, FALSE, kt::with_lf(held).c_str());
  HANDLE e = CreateEventA(NULL, TRUE, FALSE, kt::with_lf(ready).c_str());
  HANDLE child = kt::start_child("hold-mutex-wait " + held + " " + ready);
  ASSERT_EQ(WaitForSingleObject(e, 20000), WAIT_OBJECT_0);
  TerminateProcess(child, 9);
  EXPECT_EQ(kt::finish_child(child), 9u);
  std::string map = shm_path(kt::with_lf(held + "-map"));
  std::string half = shm_path(kt::with_lf(kt::unique_name("half")));
  close(open(half.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
  EXPECT_TRUE(std::filesystem::exists(map));
  EXPECT_EQ(kt::run_child("set-event " + kt::unique_name("none")), 10u);  // fails to open a name
  EXPECT_FALSE(std::filesystem::exists(map));
  EXPECT_FALSE(std::filesystem::exists(half));

  std::string name = kt::with_lf(kt::unique_name("half"));
  int fd = shm_open(w32p::shm_name("obj", name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 100), 0);
  close(fd);
  EXPECT_EQ(FAIL_ERR(OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str())),
            (DWORD)ERROR_FILE_NOT_FOUND);
  close(shm_open(w32p::shm_name("obj", name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
  HANDLE renewed = CreateEventA(NULL, TRUE, TRUE, name.c_str());
  ASSERT_NE(renewed, (HANDLE)NULL);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(renewed, 0), WAIT_OBJECT_0);
  for (HANDLE h : {renewed, e, m}) CloseHandle(h);
}

TEST(Posix, DebugOutputGoesToTheSink) {
  std::string sink = std::filesystem::temp_directory_path() / (kt::unique_name("sink") + ".txt");
  setenv("W32POSIX_DEBUG_SINK", sink.c_str(), 1);
  OutputDebugStringA("first line\n");
  OutputDebugStringA("second\n");
  unsetenv("W32POSIX_DEBUG_SINK");
  std::ifstream in(sink);
  std::stringstream all;
  all << in.rdbuf();
  EXPECT_EQ(all.str(), "first line\nsecond\n");
  unlink(sink.c_str());
}

TEST(Posix, SearchesSystemDirectoryAndPath) {
  char sys[MAX_PATH];
  GetSystemDirectoryA(sys, sizeof sys);
  char self[MAX_PATH];
  GetModuleFileNameA(NULL, self, sizeof self);
  std::filesystem::path child = std::filesystem::path(self).parent_path() / "kernel_child";
  std::filesystem::path in_sys = std::filesystem::path(sys) / "sysonly_child";
  std::filesystem::copy_file(child, in_sys, std::filesystem::copy_options::overwrite_existing);
  EXPECT_EQ(kt::run(NULL, "SYSONLY_CHILD.EXE exit 8"), 8u);
  std::filesystem::remove(in_sys);

  std::filesystem::path dir = std::filesystem::temp_directory_path() / kt::unique_name("pathdir");
  std::filesystem::create_directories(dir);
  std::filesystem::copy_file(child, dir / "pathonly_child");
  std::string old = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", (dir.string() + ":" + old).c_str(), 1);
  EXPECT_EQ(kt::run(NULL, "pathonly_child exit 9"), 9u);
  setenv("PATH", old.c_str(), 1);
  // An unquoted path with a blank: the longer prefixes are tried too. The
  // child's arguments are still split at the blank, as on Windows, so it
  // sees an unknown mode (exit code 3) rather than failing to start.
  std::filesystem::create_directories(dir / "with blank");
  std::filesystem::copy_file(child, dir / "with blank" / "spaced_child");
  EXPECT_EQ(kt::run(NULL, (dir / "with blank" / "SPACED_CHILD.EXE").string() + " exit 6"), 3u);
  std::filesystem::remove_all(dir);
}

TEST(Posix, ModuleHandlesNameTheirOwnModuleAndDllMainGetsItsOwn) {
  HMODULE program = GetModuleHandleA(NULL);
  EXPECT_EQ(W32ThisModule(), program);
  HMODULE lib = GetModuleHandleA("W32POSIX.DLL");
  ASSERT_NE(lib, (HMODULE)NULL);
  EXPECT_NE(lib, program);
  EXPECT_EQ(W32ModuleFromAddress((const void*)&CreateMutexA), lib);
  char path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(lib, path, sizeof path), 0u);
  EXPECT_NE(strstr(path, "libw32posix.so"), nullptr);
  EXPECT_EQ(GetModuleHandleA("no_such_module"), (HMODULE)NULL);
  int attaches = 0;
  HINSTANCE dll = kernel_dll_instance(&attaches);
  EXPECT_EQ(attaches, 1);
  EXPECT_EQ(dll, GetModuleHandleA("kernel_dll.dll"));
  EXPECT_NE(dll, program);
  EXPECT_EQ(dll, W32ModuleFromAddress((const void*)&kernel_dll_instance));
}

}  // namespace
