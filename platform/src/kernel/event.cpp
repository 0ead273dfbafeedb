// Events: four words in the object's segment. Waiters sleep on the futex
// `seq`, which every SetEvent that finds the event clear advances (waking
// sleepers only when there are any: no system call otherwise);
// `signaled` is taken with an atomic exchange by auto-reset waiters. No lock
// is held while anyone sleeps, so a process that dies while waiting or
// setting leaves nothing locked.
#include "common/clock.h"
#include "kernel/futex.h"
#include "kernel/segment.h"

namespace w32p {

namespace {

struct EventState {
  uint32_t seq;
  uint32_t signaled;
  uint32_t manual;
  uint32_t sleepers;  // waiters that may sleep on seq (a killed one just costs a spare wake)
};

struct EventInit {
  bool manual;
  bool initial;
};

void init_state(void* state, void* arg) {
  EventState* s = (EventState*)state;
  const EventInit* in = (const EventInit*)arg;
  s->seq = 0;
  s->sleepers = 0;
  s->manual = in->manual ? 1 : 0;
  s->signaled = in->initial ? 1 : 0;
}

class EventObject : public SegmentObject {
 public:
  EventObject() : SegmentObject(Kind::Event) {}

  EventState* st() { return (EventState*)seg.state(); }

  bool try_take() {
    EventState* s = st();
    if (__atomic_load_n(&s->manual, __ATOMIC_RELAXED))
      return __atomic_load_n(&s->signaled, __ATOMIC_SEQ_CST) != 0;
    return __atomic_exchange_n(&s->signaled, 0, __ATOMIC_SEQ_CST) != 0;
  }

  DWORD wait(DWORD ms) override {
    if (try_take()) return WAIT_OBJECT_0;
    if (ms == 0) return WAIT_TIMEOUT;
    Deadline deadline(ms);
    EventState* s = st();
    // Count as a sleeper before reading the sequence: a SetEvent that does
    // not see us has already set the flag and advanced the sequence.
    __atomic_add_fetch(&s->sleepers, 1, __ATOMIC_SEQ_CST);
    DWORD result;
    for (;;) {
      // Read the sequence before testing the flag: a SetEvent between the
      // two changes the sequence, so the futex wait below returns at once.
      uint32_t seq = __atomic_load_n(&s->seq, __ATOMIC_SEQ_CST);
      if (try_take()) {
        result = WAIT_OBJECT_0;
        break;
      }
      if (!futex_wait(&s->seq, seq, deadline)) {
        result = try_take() ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
        break;
      }
    }
    __atomic_sub_fetch(&s->sleepers, 1, __ATOMIC_SEQ_CST);
    return result;
  }

  // Setting a signalled event changes nothing: whoever set it advances the
  // sequence after its exchange, which wakes every sleeper that found the
  // flag clear before.
  void set() {
    EventState* s = st();
    if (__atomic_exchange_n(&s->signaled, 1, __ATOMIC_SEQ_CST) != 0) return;
    __atomic_add_fetch(&s->seq, 1, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&s->sleepers, __ATOMIC_SEQ_CST) != 0) futex_wake_all(&s->seq);
  }

  void reset() { __atomic_store_n(&st()->signaled, 0, __ATOMIC_SEQ_CST); }
};

std::shared_ptr<SegmentObject> make_event(Segment* attached, void*) {
  auto obj = std::make_shared<EventObject>();
  obj->seg.adopt(*attached);
  return obj;
}

HANDLE open_event(LPSECURITY_ATTRIBUTES sa, bool create, EventInit init, LPCSTR name) {
  OpenRequest req{SegType::Event, name, create, 0, object_mode(sa), init_state, &init};
  ObjectRef obj = object_open(req, Kind::Event, make_event, nullptr);
  if (!obj) return NULL;
  return insert_pinned(std::move(obj));
}

std::shared_ptr<EventObject> get_event(HANDLE h) {
  auto e = handle_get_as<EventObject>(h, Kind::Event);
  if (!e) SetLastError(ERROR_INVALID_HANDLE);
  return e;
}

}  // namespace

}  // namespace w32p

using namespace w32p;

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR lpName) {
  return open_event(lpEventAttributes, true,
                    EventInit{bManualReset != FALSE, bInitialState != FALSE}, lpName);
}

HANDLE WINAPI OpenEventA(DWORD, BOOL, LPCSTR lpName) {
  if (!lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  return open_event(nullptr, false, EventInit{false, false}, lpName);
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  auto e = get_event(hEvent);
  if (!e) return FALSE;
  e->set();
  return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
  auto e = get_event(hEvent);
  if (!e) return FALSE;
  e->reset();
  return TRUE;
}
