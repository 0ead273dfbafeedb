// SEAM: MLCRedirect is exported with the port access work. Redirection is
// not supported: the call has no effect.
#include "port/porthandle.h"

void WINAPI MLCRedirect(DWORD dwPort, DWORD dwMode) {
  (void)dwPort;
  (void)dwMode;
}
