// Reading and writing stream channels (the calls behind MLCRead, MLCRead64
// and MLCWrite, which have checked the handle and the channel's type).
#pragma once

#include <windows.h>

// Copies up to lRequest bytes out of the channel's ring (a null lpBuffer
// asks how many are waiting): the count, or MLC_INVALID_HANDLE,
// MLC_NO_BUFFER, MLC_SYSTEM_FAILURE (credit could not be returned). With
// fBlock it goes on polling the port until the low 16 bits of lRequest
// bytes came or dwTimeOut (INFINITE: no limit) ran out; a time-out after
// some bytes came returns their count, before any MLC_TIME_OUT.
int CopyStreamData(DWORD hChannel, LPVOID lpBuffer, LONG lRequest, WORD fBlock, DWORD dwTimeOut);
// The same; without fAskHelper an empty ring does not ask the helper
// process for a read (HIDDEN_START_READ): for callers that poll themselves.
int CopyStreamDataAsk(DWORD hChannel, LPVOID lpBuffer, LONG lRequest, WORD fBlock, DWORD dwTimeOut,
                      BOOL fAskHelper);

// Sends up to wLength bytes as data packets, one per credit (a null
// lpBuffer asks how many bytes may be written now, at most 32767). With
// fBlock and a credit request outstanding it first polls the port for the
// answer, for at most CreditTimeout. The count sent, or MLC_INVALID_HANDLE,
// MLC_PHYSICAL_LINK_FAILURE (channel or link gone), MLC_TIME_OUT (no
// credit came and nothing was sent), MLC_WRITE_FAILURE (a packet could not
// be sent; the link has been reset).
int WriteStreamData(DWORD hChannel, LPCVOID lpBuffer, WORD wLength, WORD fBlock);

// The largest write one call makes: longer writes are short writes that
// the caller continues.
#define MLC_MAX_WRITE 0xFFFF
