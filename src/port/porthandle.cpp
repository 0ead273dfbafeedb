// SEAM: the per-process port handle table arrives with the port access work
// (opening ports through the port I/O library, reference counts). Until
// then no process holds a port handle, so there is nothing to look up or
// release; the detach sequence already calls these at the right places.
#include "port/porthandle.h"

HANDLE GetPortHandle(BYTE bPort) {
  (void)bPort;
  return NULL;
}

void ReleasePortHandle(BYTE bPort, BOOL fUnused) {
  (void)bPort;
  (void)fUnused;
}
