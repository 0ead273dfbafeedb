// Window classes: private to the process, per module instance, with
// CS_GLOBALCLASS classes visible to every module of the process.
#include <ctype.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "common/identity.h"
#include "user/local_state.h"

namespace w32p::user {

namespace {

bool is_atom(LPCSTR name) { return (uintptr_t)name <= 0xFFFF; }

std::string lower(LPCSTR s) {
  std::string out(s);
  for (char& c : out) c = (char)tolower((unsigned char)c);
  return out;
}

bool matches(const ClassRec& c, LPCSTR name) {
  if (is_atom(name)) return c.atom == (ATOM)(uintptr_t)name;
  return strcasecmp(c.name.c_str(), name) == 0;
}

}  // namespace

LocalState& local() {
  static LocalState* s = new LocalState;  // lives until the process ends
  return *s;
}

pid_t my_tid() {
  thread_local pid_t tid = 0, pid = 0;
  if (pid != current_pid()) {
    tid = (pid_t)syscall(SYS_gettid);
    pid = current_pid();
  }
  return tid;
}

ClassRec* find_class_locked(LocalState& s, LPCSTR name, HINSTANCE instance) {
  if (!name) return nullptr;
  for (auto& c : s.classes)
    if (!c->global && matches(*c, name) && (!instance || c->wc.hInstance == instance))
      return c.get();
  for (auto& c : s.classes)
    if (c->global && matches(*c, name)) return c.get();
  return nullptr;
}

}  // namespace w32p::user

using namespace w32p::user;

ATOM WINAPI RegisterClassA(const WNDCLASSA* wc) {
  if (!wc || !wc->lpszClassName || is_atom(wc->lpszClassName) || !wc->lpszClassName[0] ||
      wc->cbWndExtra < 0 || wc->cbClsExtra < 0 || wc->cbWndExtra > 0x10000) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  LocalState& s = local();
  std::lock_guard<std::mutex> guard(s.mu);
  bool global = (wc->style & CS_GLOBALCLASS) != 0;
  ClassRec* existing = find_class_locked(s, wc->lpszClassName, wc->hInstance);
  if (existing && existing->global == global) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  if (s.next_atom == 0) {  // 16 K registrations in one process
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  auto c = std::make_unique<ClassRec>();
  c->name = wc->lpszClassName;
  c->key = lower(wc->lpszClassName);
  c->wc = *wc;
  c->global = global;
  if (wc->lpszMenuName && !is_atom(wc->lpszMenuName)) {
    c->menu = wc->lpszMenuName;
    c->has_menu = true;
  }
  c->atom = s.next_atom++;
  ATOM atom = c->atom;
  s.classes.push_back(std::move(c));
  return atom;
}

BOOL WINAPI UnregisterClassA(LPCSTR name, HINSTANCE instance) {
  LocalState& s = local();
  std::lock_guard<std::mutex> guard(s.mu);
  ClassRec* c = find_class_locked(s, name, instance);
  if (!c) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  if (c->windows > 0) {
    SetLastError(ERROR_CLASS_HAS_WINDOWS);
    return FALSE;
  }
  for (auto it = s.classes.begin(); it != s.classes.end(); ++it)
    if (it->get() == c) {
      s.classes.erase(it);
      break;
    }
  return TRUE;
}

BOOL WINAPI GetClassInfoA(HINSTANCE instance, LPCSTR name, LPWNDCLASSA out) {
  if (!out || !name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  LocalState& s = local();
  std::lock_guard<std::mutex> guard(s.mu);
  ClassRec* c = find_class_locked(s, name, instance);
  if (!c) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  *out = c->wc;
  out->hInstance = instance;
  out->lpszClassName = name;
  out->lpszMenuName = c->has_menu ? c->menu.c_str() : c->wc.lpszMenuName;
  return TRUE;
}
