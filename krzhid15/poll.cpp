// The helper's poll: the library's poll of all ports, run on the helper's
// timer and at the library's request to read soon.
#include "helper.h"
#include "krzmlc15.h"

DWORD g_dwHelperPolls = 0;

namespace {
// Polls a read request runs at most: it goes on while packets come, so a
// reader that emptied its buffer gets the next ones without waiting for the
// timer, and stops at the first idle port.
constexpr int kReadBurst = 64;
}  // namespace

void HelperPoll() {
  ++g_dwHelperPolls;
  MLCPollChannels(FALSE);
}

void HelperReadPoll() {
  for (int i = 0; i < kReadBurst; ++i) {
    ++g_dwHelperPolls;
    if (MLCPollChannels(FALSE) == 0) break;
  }
}
