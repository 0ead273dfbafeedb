// The snapshot as text for people and as JSON for scripts.
#pragma once

#include <string>

#include "snapshot.h"

namespace krzstat {

// Poll-timer periods the helper uses, as this process reads them from
// KRZTBX15.INI (the helper read its own copy when it started).
struct TimerSettings {
  int iMinPollMs = 1000;
  int iMaxPollMs = 5000;
};
TimerSettings ReadTimerSettings();

std::string Text(const Snapshot& snap, const TimerSettings& timers);
std::string Json(const Snapshot& snap, const TimerSettings& timers);

}  // namespace krzstat
