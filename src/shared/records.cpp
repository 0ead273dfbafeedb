#include "shared/records.h"

const char* const szMlcPortName[MLC_PORT_COUNT] = {"LPT1", "LPT2", "LPT3"};

HINSTANCE hMlcInstance = NULL;
DWORD dwProcAttachTID = 0;
HMEMAREA GlobalMapMem = 0;
MlcGlobalData* pMlcGlobalData = NULL;
PerPortInfo* pPerPortInfo = NULL;
HMEMAREA PortMapMemInfo[MLC_PORT_COUNT] = {0, 0, 0};
