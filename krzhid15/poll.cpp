// The helper's poll: the library's poll of all ports, run on the helper's
// timer and when a reader asks for a read soon (HELPER_QUERY_POLLS reports
// how many ran).
#include "helper.h"
#include "krzmlc15.h"

DWORD g_dwHelperPolls = 0;

void HelperPoll() {
  ++g_dwHelperPolls;
  MLCPollChannels(FALSE);
}
