/* The smallest client of an installed tree: built with nothing but
 * `pkg-config --cflags --libs krzmlc15`. */
#include <krzmlc15.h>
#include <stdio.h>

int main(void) {
  PollStats stats[3];
  int iResult = MLCRetrievePollStats(3, &stats[0], &stats[1], &stats[2]);
  printf("MLCRetrievePollStats(3): %d, WEP: %d\n", iResult, WEP(0));
  return iResult == MLC_INVALID_PORT ? 0 : 1;
}
