// Redirection of a port is not supported: the call is accepted and has no
// effect (nothing in the library ever redirects a port).
#include "port/porthandle.h"

int WINAPI MLCRedirect(DWORD dwPort, DWORD dwMode) {
  (void)dwPort;
  (void)dwMode;
  return 0;
}
