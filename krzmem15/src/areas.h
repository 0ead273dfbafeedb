// Areas: creating or opening one (filed in this process's table, table.h),
// and holding its mutex for the length of a call.
#pragma once

#include "layout.h"

namespace krzmem {

// Creates or opens the named area; see memCreateSharedArea.
DWORD AreaOpen(DWORD size, const char* name, DWORD maxSize, BOOL* created);
// Ends this process's use of an area handle.
void AreaClose(DWORD area);

// Holds an area's mutex for the lifetime of the object. A change that was
// cut short by a dead holder is repaired first. ok() is false when the
// handle is not an open area or the mutex cannot be taken.
class Locked {
 public:
  explicit Locked(DWORD area);
  ~Locked();
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

  bool ok() const { return held_; }
  const View& view() const { return view_; }
  // Marks the structure as being changed until the mutex is released, so a
  // holder that dies meanwhile is detected even without WAIT_ABANDONED.
  void changing();

 private:
  int slot_ = -1;
  bool held_ = false;
  bool changing_ = false;
  HANDLE mutex_ = nullptr;
  View view_{};
};

}  // namespace krzmem
