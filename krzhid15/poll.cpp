// SEAM: one poll of all ports. The library's poll entry point arrives with
// the polling work; until then the helper only counts the polls its timer
// and the read requests ask for (HELPER_QUERY_POLLS reports the count).
#include "helper.h"

DWORD g_dwHelperPolls = 0;

void HelperPoll() { ++g_dwHelperPolls; }
