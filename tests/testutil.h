// Helpers shared by the library's tests: child processes, named events,
// files in the Windows directory, and the shared records as seen from a
// process that has not loaded the library.
#pragma once

#include <windows.h>

#include <string>

#include "krzmem15.h"
#include "shared/records.h"

// A child process: by default the test child program (krzmlc15_child).
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();
  bool Start(const std::string& args, const char* lpszProgram = "krzmlc15_child.exe");
  // Exit code, or 0xFFFFFFFF when it did not end within the time.
  DWORD Wait(DWORD dwTimeoutMs = 30000);
  void Kill();

 private:
  PROCESS_INFORMATION pi_{};
  bool running_ = false;
};

// A manual-reset named event for talking to a child; unique name per object.
class NamedEvent {
 public:
  explicit NamedEvent(const char* lpszPurpose);
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;
  ~NamedEvent();
  const std::string& name() const { return name_; }
  bool WaitSet(DWORD dwTimeoutMs = 30000) const;
  void Set() const { SetEvent(handle_); }

 private:
  std::string name_;
  HANDLE handle_ = NULL;
};

// A file in the Windows directory, where the library finds its INI file.
std::string WindowsDirFile(const char* lpszName);
// Writes a file (replacing it); the file is removed when the guard ends.
class TempFile {
 public:
  TempFile(const std::string& path, const std::string& content);
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};
std::string ReadFileText(const std::string& path);
bool FileExists(const std::string& path);

// The global shared area opened the way an attaching process finds it,
// holding a reference on both named blocks while it lives. When there is
// no shared state, exists() is false and nothing is left behind.
class SharedStateView {
 public:
  SharedStateView();
  SharedStateView(const SharedStateView&) = delete;
  SharedStateView& operator=(const SharedStateView&) = delete;
  ~SharedStateView();
  bool exists() const { return global_ != nullptr; }
  MlcGlobalData* global() const { return global_; }
  PerPortInfo* port(int iPort) const { return ports_ + iPort; }

 private:
  HMEMAREA area_ = 0;
  MlcGlobalData* global_ = nullptr;
  PerPortInfo* ports_ = nullptr;
};

// True when the named shared area exists (opening it does not create it).
bool SharedAreaExists(const char* lpszName);
// Name of a port's shared area, line feed included.
std::string PortAreaName(int iPort);
extern const char kGlobalAreaName[];
