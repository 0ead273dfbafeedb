// krzstat: the state of KRZMLC15's links, read from the shared memory all
// library processes map, without changing it.
//
//   krzstat [--json] [--watch[=SECONDS]] [--count N] [--wait-ms MS] [--out FILE]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "report.h"
#include "snapshot.h"

namespace {

const char kUsage[] =
    "usage: krzstat [--json] [--watch[=SECONDS]] [--count N] [--wait-ms MS] [--out FILE]\n"
    "  Per port: link state, sockets, every channel, poll statistics; the\n"
    "  helper's poll timer. Read only: each port is copied under its mutex,\n"
    "  waited for at most MS ms (200; a port held longer shows as busy).\n"
    "  --json            one JSON object per snapshot, one per line\n"
    "  --watch[=SECONDS] repeat every SECONDS (1) until interrupted\n"
    "  --count N         with --watch: stop after N snapshots\n"
    "  --out FILE        write to FILE instead of standard output\n";

bool Number(const char* lpsz, long lMin, long* plValue) {
  char* lpszEnd = NULL;
  long lValue = strtol(lpsz, &lpszEnd, 10);
  if (!*lpsz || *lpszEnd || lValue < lMin) return false;
  *plValue = lValue;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool fJson = false;
  bool fWatch = false;
  long lSeconds = 1;
  long lCount = 0;
  long lWaitMs = 200;
  const char* lpszOut = NULL;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    bool fOk = true;
    if (strcmp(a, "--json") == 0) {
      fJson = true;
    } else if (strcmp(a, "--watch") == 0) {
      fWatch = true;
    } else if (strncmp(a, "--watch=", 8) == 0) {
      fWatch = true;
      fOk = Number(a + 8, 1, &lSeconds);
    } else if (strcmp(a, "--count") == 0 && i + 1 < argc) {
      fOk = Number(argv[++i], 1, &lCount);
    } else if (strcmp(a, "--wait-ms") == 0 && i + 1 < argc) {
      fOk = Number(argv[++i], 0, &lWaitMs);
    } else if (strcmp(a, "--out") == 0 && i + 1 < argc) {
      lpszOut = argv[++i];
    } else if (strcmp(a, "--help") == 0) {
      fputs(kUsage, stdout);
      return 0;
    } else {
      fOk = false;
    }
    if (!fOk) {
      fprintf(stderr, "krzstat: bad argument %s\n%s", a, kUsage);
      return 2;
    }
  }
  FILE* out = lpszOut ? fopen(lpszOut, "w") : stdout;
  if (!out) {
    fprintf(stderr, "krzstat: cannot write %s\n", lpszOut);
    return 2;
  }
  krzstat::TimerSettings timers = krzstat::ReadTimerSettings();
  for (long n = 1;; ++n) {
    krzstat::Snapshot snap = krzstat::Take((DWORD)lWaitMs);
    std::string text = fJson ? krzstat::Json(snap, timers) : krzstat::Text(snap, timers);
    // A watching terminal shows the latest state only.
    if (fWatch && !fJson && !lpszOut) fputs("\x1b[H\x1b[2J", out);
    fputs(text.c_str(), out);
    fflush(out);
    if (!fWatch || (lCount && n >= lCount)) break;
    Sleep((DWORD)(lSeconds * 1000));
  }
  if (out != stdout) fclose(out);
  return 0;
}
