// SEAM: MLCSetup and MLCCleanup arrive with the port access work (helper
// window, window classes, port handles). Nothing is set up yet, so the
// cleanup that the last detach calls has nothing to undo.
#include "port/porthandle.h"

void WINAPI MLCCleanup() {}
