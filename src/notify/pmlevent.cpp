// The PML init/deinit event, offered to the component that runs PML
// initialisation and deinitialisation over the link: while it holds the
// event the helper process is not stopped.
#include "debug/cm_debug.h"
#include "notify/hidden.h"
#include "shared/locks.h"

BOOL WINAPI MLCSetPMLInitDeInitEvent() {
  MLCLOG(DBG_TRACE, "MLCSetPMLInitDeInitEvent Enter\n");
  BOOL fSet = SetEvent(hPMLInitDeInit);
  if (!fSet) MLCLOG(DBG_ERROR, "MLCSetPMLInitDeInitEvent Failed\n");
  return fSet;
}

DWORD WINAPI MLCWaitForPMLInitDeInitEvent() {
  MLCLOG(DBG_TRACE, "MLCWaitForPMLInitDeInitEvent Enter\n");
  return WaitForSingleObject(hPMLInitDeInit, MLC_PML_EVENT_TIMEOUT);
}
