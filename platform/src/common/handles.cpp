#include "common/handles.h"

#include <deque>
#include <mutex>
#include <vector>

namespace w32p {

DWORD Object::wait(DWORD) {
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

void handle_pin(Object& object) { object.handles.fetch_add(1); }

void handle_unpin(Object& object) {
  if (object.handles.fetch_sub(1) == 1) object.last_handle_closed();
}

namespace {

// Handle values are (index + 1) * 4. Freed slots are reused only once a
// number of others are free, so a stale handle rarely names a new object.
constexpr size_t kReuseAfter = 256;
constexpr size_t kMaxHandles = 1u << 24;

struct Table {
  std::mutex lock;
  std::vector<ObjectRef> slots;
  std::deque<size_t> free_slots;
  size_t open = 0;
};

Table& table() {
  static Table* t = new Table;  // never destroyed: handles outlive static destructors
  return *t;
}

bool index_of(HANDLE h, size_t* index) {
  uintptr_t v = (uintptr_t)h;
  if (v == 0 || (v & 3) != 0) return false;
  *index = v / 4 - 1;
  return true;
}

}  // namespace

HANDLE handle_insert(ObjectRef object) {
  if (!object) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  Table& t = table();
  std::lock_guard<std::mutex> g(t.lock);
  size_t index;
  if (t.free_slots.size() > kReuseAfter) {
    index = t.free_slots.front();
    t.free_slots.pop_front();
  } else if (t.slots.size() < kMaxHandles) {
    index = t.slots.size();
    t.slots.emplace_back();
  } else {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
  }
  handle_pin(*object);
  t.slots[index] = std::move(object);
  ++t.open;
  return (HANDLE)(uintptr_t)((index + 1) * 4);
}

ObjectRef handle_get(HANDLE h) {
  size_t index;
  if (!index_of(h, &index)) return nullptr;
  Table& t = table();
  std::lock_guard<std::mutex> g(t.lock);
  if (index >= t.slots.size()) return nullptr;
  return t.slots[index];
}

bool handle_remove(HANDLE h) {
  size_t index;
  if (!index_of(h, &index)) return false;
  ObjectRef dropped;  // released after the lock: destructors may take other locks
  {
    Table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    if (index >= t.slots.size() || !t.slots[index]) return false;
    dropped = std::move(t.slots[index]);
    t.slots[index].reset();
    t.free_slots.push_back(index);
    --t.open;
  }
  handle_unpin(*dropped);
  return true;
}

size_t handle_count() {
  Table& t = table();
  std::lock_guard<std::mutex> g(t.lock);
  return t.open;
}

}  // namespace w32p
