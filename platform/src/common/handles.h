// The process's handle table, shared by every part of the platform layer.
//
// A HANDLE is a small multiple of 4 indexing this table; each entry holds a
// reference to an Object. Several handles may refer to one Object (named
// objects opened twice in a process); the Object lives while any handle or
// other reference (a mapped view, a held mutex) keeps it.
//
// Other parts of the layer add their own waitable kinds by deriving from
// Object and overriding wait(); WaitForSingleObject and CloseHandle then
// work on them unchanged.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>

namespace w32p {

enum class Kind : int { Mutex, Event, Thread, Process, Mapping, Other };

struct Object {
  explicit Object(Kind k) : kind(k) {}
  virtual ~Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  // Blocks until the object is signalled or `ms` milliseconds passed
  // (INFINITE: no limit). Returns WAIT_OBJECT_0, WAIT_ABANDONED,
  // WAIT_TIMEOUT, or WAIT_FAILED with the last error set. The default
  // refuses to wait (ERROR_INVALID_HANDLE).
  virtual DWORD wait(DWORD ms);

  // Called once the last handle of the object in this process is closed
  // (other references, such as mapped views, may keep it alive). Named
  // objects give up their name here, as Windows removes a name with the
  // object's last handle.
  virtual void last_handle_closed() {}

  const Kind kind;
  // Open handles of this object in this process, plus pins (see handle_pin).
  std::atomic<int> handles{0};
};
using ObjectRef = std::shared_ptr<Object>;

// A pin counts as a handle: code that finds an object by name pins it
// (under its own lock) before handle_insert, then unpins, so the object
// cannot lose its last handle in between.
void handle_pin(Object& object);
void handle_unpin(Object& object);

// Adds a reference to the table; returns the new handle, or NULL with
// ERROR_NOT_ENOUGH_MEMORY / ERROR_INVALID_PARAMETER.
HANDLE handle_insert(ObjectRef object);

// The object behind a handle, or nullptr when the handle is not open
// (nothing is set; callers report ERROR_INVALID_HANDLE).
ObjectRef handle_get(HANDLE h);

// The object when it is of the given kind, else nullptr.
template <class T>
std::shared_ptr<T> handle_get_as(HANDLE h, Kind k) {
  ObjectRef o = handle_get(h);
  if (!o || o->kind != k) return nullptr;
  return std::static_pointer_cast<T>(o);
}

// Removes the handle; the object is released outside the table's lock.
// False when the handle was not open.
bool handle_remove(HANDLE h);

// Number of open handles (for leak checks in tests and diagnostics).
size_t handle_count();

// Process id behind a process handle (as returned by CreateProcessA), or 0
// when the handle is not a process handle. The `user` half uses this to
// find the windows of a child process.
DWORD handle_process_id(HANDLE h);

}  // namespace w32p
