// The two halves of command-channel processing: replies to the host's
// commands and commands from the peripheral. Both run under the port's
// mutex with the payload read into lpPayload (wLength bytes, at least 1).
#pragma once

#include <windows.h>

#include "shared/records.h"

// bChannelType: type of the channel the waiting caller works on (0 none).
int ProcessMLCReply(BYTE bPort, PerPortInfo* lpPPI, const BYTE* lpPayload, WORD wLength,
                    BYTE bChannelContext, BYTE bChannelType);
int ProcessPeerCommand(BYTE bPort, PerPortInfo* lpPPI, const BYTE* lpPayload, WORD wLength);
// Sends MLC_ERROR bCode with flush; the result every such path returns (3).
int RefusePacket(BYTE bPort, BYTE bCode);
// The type of the channel of host socket bHsid when the port's table holds
// a record for it, else 0; bounds are checked before the table is read.
BYTE ChannelTypeOfHsid(BYTE bPort, BYTE bHsid);
