// Reading and writing stream channels (the calls behind MLCRead, MLCRead64
// and MLCWrite, which have checked the handle and the channel's type).
#pragma once

#include <windows.h>

// Copies up to lRequest bytes out of the channel's ring (a null lpBuffer
// asks how many are waiting): the count, or MLC_INVALID_HANDLE,
// MLC_NO_BUFFER, MLC_SYSTEM_FAILURE (credit could not be returned; or no
// wait window). With fBlock it waits, holding no lock, until the low 16 bits
// of lRequest bytes came or dwTimeOut (INFINITE: no limit) ran out; a
// time-out after some bytes came returns their count, else MLC_TIME_OUT.
// MLC_PHYSICAL_LINK_FAILURE: the channel went down during the wait;
// MLC_CHANNEL_BUSY: another blocking call waits on the channel.
int CopyStreamData(DWORD hChannel, LPVOID lpBuffer, LONG lRequest, WORD fBlock, DWORD dwTimeOut);

// Sends up to wLength bytes as data packets, one per credit (a null
// lpBuffer asks how many bytes may be written now, at most 32767; with
// fBlock and a credit request outstanding the query first polls the port
// for the answer, for at most CreditTimeout). With fBlock a write that the
// credit does not cover waits, holding no lock, until every byte went out
// or dwTimeOut (INFINITE: no limit) ran out. The count sent (also when the
// wait then ran out), or MLC_INVALID_HANDLE, MLC_PHYSICAL_LINK_FAILURE
// (channel or link gone, or a send in the wait failed), MLC_TIME_OUT
// (nothing was sent), MLC_WRITE_FAILURE (a packet could not be sent; the
// link has been reset), MLC_CHANNEL_BUSY (another blocking call waits on
// the channel), MLC_SYSTEM_FAILURE (no wait window).
int WriteStreamData(DWORD hChannel, LPCVOID lpBuffer, WORD wLength, WORD fBlock, DWORD dwTimeOut);

// The largest write one call makes: longer writes are short writes that
// the caller continues.
#define MLC_MAX_WRITE 0xFFFF
