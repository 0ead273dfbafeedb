/* KRZMLC15: logical channels to a printer on a parallel port.
 *
 * The clients' header: the exported operations, the channel handle and the
 * result codes. Operations are declared here as they become available. */
#ifndef KRZMLC15_H
#define KRZMLC15_H

#include <windows.h>

/* The library's own sources export through the module-definition file on
 * Windows and through a version script on Linux, so no attribute is needed
 * there; clients import. */
#if defined(KRZMLC15_BUILD)
#define KRZMLC15_API
#elif defined(_WIN32)
#define KRZMLC15_API __declspec(dllimport)
#else
#define KRZMLC15_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Ports: 0 = LPT1, 1 = LPT2, 2 = LPT3. */
#define MLC_PORT_COUNT 3

/* Channel handle: port in bits 8-15, host socket id (0x80 + slot) in bits
 * 0-7. Passed as a 32-bit value of which only the low 16 bits count. */
#define MLC_FIRST_HSID 0x80
#define MLC_MAKE_CHANNEL(bPort, bHsid) ((WORD)((((WORD)(BYTE)(bPort)) << 8) | (BYTE)(bHsid)))
#define MLC_CHANNEL_PORT(hChannel) ((BYTE)(((DWORD)(hChannel) >> 8) & 0xFF))
#define MLC_CHANNEL_HSID(hChannel) ((BYTE)((DWORD)(hChannel)&0xFF))
#define MLC_CHANNEL_SLOT(hChannel) ((BYTE)(MLC_CHANNEL_HSID(hChannel) - MLC_FIRST_HSID))

/* Channel types. */
#define MLC_STREAM_CHANNEL 1
#define MLC_PACKET_CHANNEL 2

/* Results of the exported operations: 1 (or a byte count) on success, else
 * one of these. */
#define MLC_SUCCESS 1
#define MLC_INVALID_PORT (-1)
#define MLC_INVALID_TYPE (-2)
#define MLC_INVALID_WINDOW (-3)
#define MLC_NO_CHANNEL (-4)
#define MLC_SOCKET_CONFIG_FAILED (-5)
#define MLC_PHYSICAL_LINK_FAILURE (-6)
#define MLC_INIT_FAILED (-7)
#define MLC_NO_MEMORY (-8)
#define MLC_INVALID_LENGTH (-9)
#define MLC_INVALID_HANDLE (-10)
#define MLC_NO_BUFFER (-11)
#define MLC_OPEN_FAILED (-12)
#define MLC_CLOSE_FAILED (-13)
#define MLC_BUFFER_TOO_SMALL (-14)
#define MLC_NO_MESSAGE (-15)
#define MLC_TIME_OUT (-16)
#define MLC_WRITE_FAILURE (-17)
#define MLC_CHANNEL_BUSY (-18)
#define MLC_SYSTEM_FAILURE (-19)
#define MLC_DEVICE_ID_MISMATCH (-20)
#define MLC_NO_DEVICE_ID (-21)

/* Channels. MLCOpenChannel opens a channel of type bType (MLC_STREAM_CHANNEL
 * or MLC_PACKET_CHANNEL) to peripheral socket bPsid on port dwPort and stores
 * its handle at phChannel: 1, or a negative MLC_* code. *pdwBufferSize (may
 * be NULL or 0: no receive buffer) is the receive buffer wanted and becomes
 * the size granted; *pbStatusLevel (may be NULL) the status level asked for
 * and then the socket's. Notifications go to hAppWnd as message dwAppMsg
 * (wParam: the low 16 bits of dwAppData), or, without a window, to
 * lpfnCallBack in the opening thread. MLCCloseChannel: 1,
 * MLC_INVALID_HANDLE or MLC_CLOSE_FAILED (the channel then stays open).
 * MLCGetSocketInfo copies as much of the socket's 8-byte configuration as
 * fits in cbBuffer bytes: 1 or a negative MLC_* code. */
typedef void(CALLBACK *MLC_CALLBACK)(DWORD dwPort, DWORD dwCode, DWORD dwAppData, DWORD dwCount);
KRZMLC15_API int WINAPI MLCOpenChannel(DWORD dwPort, DWORD dwPsid, DWORD dwType,
                                       DWORD *pdwBufferSize, WORD *phChannel, HWND hAppWnd,
                                       DWORD dwAppMsg, DWORD dwAppData, MLC_CALLBACK lpfnCallBack,
                                       BYTE *pbStatusLevel);
KRZMLC15_API int WINAPI MLCCloseChannel(DWORD hChannel);
KRZMLC15_API int WINAPI MLCGetSocketInfo(DWORD dwPort, DWORD dwPsid, LPBYTE lpBuffer, int cbBuffer);

/* Messages to the helper process's window (see krzhid15/). */
#define HIDDEN_POLL_TIMER 0x465 /* wParam: POLL_TIMER_*; lParam: period in ms */
#define HIDDEN_START_READ 0x466 /* poll soon: a stream read emptied its buffer */
#define POLL_TIMER_STOP 17
#define POLL_TIMER_MIN 18
#define POLL_TIMER_MAX 19

/* Channel events. A client window gets message dwAppMsg with wParam the
 * channel's dwAppData and lParam MAKELPARAM(code, count); a callback is
 * called in the opening thread (from its message loop) as
 * lpfnCallBack(port, code, dwAppData, count), with no library lock held.
 * Codes: MLC_READ_STREAM (count: bytes buffered, low 16 bits), MLC_WRITE_STREAM
 * (credit came: a write may go on), MLC_READ_PACKET (count: length of the
 * waiting message), MLC_DISCONNECT (the channel was closed by a link reset;
 * a client's own close is not reported). */
#define MLC_READ_STREAM 0x100
#define MLC_WRITE_STREAM 0x101
#define MLC_READ_PACKET 0x102
#define MLC_DISCONNECT 0x103
/* Messages of the library's own windows: MLC_NOTIFY_MSG to the window of a
 * blocking call (wParam dwAppData, lParam MAKELPARAM(code, count)),
 * MLC_CALLBACK_MSG to a callback window (wParam code, lParam port << 8 | host
 * socket), HIDDEN_DISCONNECT_LPT1 + port to a callback window (wParam
 * dwAppData, lParam the callback). P1284WndProc and CallBackWndProc are
 * their window procedures. */
#define MLC_NOTIFY_MSG 0x4C8
#define MLC_CALLBACK_MSG 0x4CA
#define HIDDEN_DISCONNECT_LPT1 0x4CB
KRZMLC15_API LRESULT WINAPI P1284WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
KRZMLC15_API LRESULT WINAPI CallBackWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

/* Port handles of the calling process (port I/O library handles). A port
 * number outside 0..2 gives 0. MLCGetPortHandle counts one acquisition,
 * MLCReleasePortHandle (1, or 0 when the handle is not one of this
 * process's) drops one; the last release closes the port. */
KRZMLC15_API DWORD WINAPI GetHportVal(DWORD dwPort);
KRZMLC15_API DWORD WINAPI MLCGetPortHandle(DWORD dwPort);
KRZMLC15_API int WINAPI MLCReleasePortHandle(DWORD hPort);
/* Escape function of the port I/O library on the port of a channel handle
 * (bits 8-15); the sizes and the last argument are not used. */
KRZMLC15_API WORD WINAPI MLCEscapeCommFunction(DWORD hChannel, DWORD dwFunction, LPVOID lpIn,
                                               DWORD cbIn, LPVOID lpOut, DWORD cbOut,
                                               DWORD dwReserved);
/* Redirection is not supported: no effect. */
KRZMLC15_API int WINAPI MLCRedirect(DWORD dwPort, DWORD dwMode);

/* Called once by the helper process with its window: 1, or 0 when setup
 * was done already. MLCCleanup undoes it. */
KRZMLC15_API int WINAPI MLCSetup(HWND hWnd);
KRZMLC15_API void WINAPI MLCCleanup(void);

/* The PML init/deinit event: a component running PML initialisation or
 * deinitialisation takes it (0 when taken, WAIT_TIMEOUT after 3 s) and
 * gives it back; the helper process is not stopped meanwhile. */
KRZMLC15_API BOOL WINAPI MLCSetPMLInitDeInitEvent(void);
KRZMLC15_API DWORD WINAPI MLCWaitForPMLInitDeInitEvent(void);

/* The link of a port. MLCGetLastLinkError: the port's last link error (the
 * port is taken from a non-zero channel handle instead); 0 for a port out of
 * range, MLC_INVALID_HANDLE for a channel handle naming no channel.
 * MLCPingVcomm checks the port driver's connection (a broken one resets the
 * link): 1, or MLC_INVALID_HANDLE. */
KRZMLC15_API LONG WINAPI MLCGetLastLinkError(DWORD dwPort, DWORD hChannel);
KRZMLC15_API int WINAPI MLCPingVcomm(DWORD hChannel);
/* Checks that the peripheral still answers on the command channel with a
 * grant of no credit on the channel (no answer drops the link): 1 once the
 * probe was made, 0 when another command awaits its reply or the channel's
 * type is unknown, MLC_INVALID_HANDLE. */
KRZMLC15_API int WINAPI MLCPingMlc(DWORD hChannel);

/* IEEE 1284 device ID. MLCCompareDevID: 0 when the first of the keys
 * lpszKey1, lpszKey2 found lists lpszValue, MLC_DEVICE_ID_MISMATCH when not,
 * MLC_PHYSICAL_LINK_FAILURE when the ID cannot be read. MLCGetDeviceId
 * copies the ID text with its terminator into lpBuffer (iLength bytes of
 * room): 1 or the text length on success, else MLC_INVALID_PORT,
 * MLC_PHYSICAL_LINK_FAILURE, MLC_BUFFER_TOO_SMALL, MLC_SYSTEM_FAILURE or
 * MLC_NO_DEVICE_ID. Nothing is written past iLength bytes. */
KRZMLC15_API int WINAPI MLCCompareDevID(DWORD dwPort, LPCSTR lpszKey1, LPCSTR lpszKey2,
                                        LPCSTR lpszValue);
KRZMLC15_API int WINAPI MLCGetDeviceId(DWORD dwPort, LPSTR lpBuffer, int iLength);

/* Stream data. MLCRead copies up to iRequestLength bytes (0..65535;
 * MLCRead64: any length >= 0) out of the channel's receive buffer, or with a
 * null lpBuffer returns how many are waiting. With fBlock it waits until
 * the low 16 bits of iRequestLength bytes came, at most dwTimeOut ms
 * (INFINITE: no limit); bytes that came before a time-out are returned as
 * a count. A blocking call sleeps in a message loop of its own window (the
 * thread's other windows get their messages afterwards) and holds no lock
 * meanwhile. Results: the count, MLC_INVALID_LENGTH, MLC_INVALID_HANDLE,
 * MLC_NO_BUFFER, MLC_TIME_OUT, MLC_PHYSICAL_LINK_FAILURE (also: the channel
 * was closed or the link reset during the wait), MLC_CHANNEL_BUSY (another
 * blocking call waits on the channel), MLC_SYSTEM_FAILURE.
 * MLCWrite sends up to iLength bytes (a length above 65535 writes 65535:
 * a short write the caller continues) as far as the printer's credit
 * allows, or with a null lpBuffer returns how many may be written now (at
 * most 32767). With fBlock it waits for credit until every byte went out,
 * at most dwTimeOut ms, as a blocking read waits. Results: the count sent
 * (also when the wait then ran out), MLC_INVALID_LENGTH, MLC_INVALID_HANDLE,
 * MLC_TIME_OUT (nothing sent), MLC_PHYSICAL_LINK_FAILURE, MLC_WRITE_FAILURE
 * (the channel is gone with the link), MLC_CHANNEL_BUSY, MLC_SYSTEM_FAILURE.
 * On a packet channel every call moves one whole message. MLCRead takes the
 * oldest waiting message (a null lpBuffer: its length, 0 when none):
 * its length, MLC_NO_MESSAGE, MLC_BUFFER_TOO_SMALL (it stays), or with
 * fBlock MLC_TIME_OUT / MLC_PHYSICAL_LINK_FAILURE. MLCWrite sends one
 * message of 1 to the socket's packet size, or queues it while the printer
 * grants no credit (at most 255 wait); queued messages go out first, in
 * order. Results: the length, MLC_INVALID_LENGTH, MLC_NO_MEMORY,
 * MLC_WRITE_FAILURE, MLC_PHYSICAL_LINK_FAILURE, MLC_CHANNEL_BUSY (the queue
 * is full; with fBlock: no credit now, or messages queued). */
KRZMLC15_API int WINAPI MLCRead(DWORD hChannel, LPVOID lpBuffer, int iRequestLength,
                                DWORD fBlock, DWORD dwTimeOut);
KRZMLC15_API int WINAPI MLCRead64(DWORD hChannel, LPVOID lpBuffer, int iRequestLength,
                                  DWORD fBlock, DWORD dwTimeOut);
KRZMLC15_API int WINAPI MLCWrite(DWORD hChannel, LPCVOID lpBuffer, int iLength, DWORD fBlock,
                                 DWORD dwTimeOut);

/* Polling: returns pending credit and reads one waiting packet on every
 * port with open channels. 0 when a port was found idle, else 1.
 * MLCPollChannels counts into poll type 2, MLCPollChannels2 into the type
 * given (0..2; a larger type returns MLC_INVALID_TYPE and polls nothing).
 * With bAutoPing a port idle for more than PingInterval polls is checked. */
typedef struct PollStats {
  DWORD dwPacketPolls; /* polls that handled a packet */
  DWORD dwEmptyPolls;  /* polls that found nothing */
} PollStats;
KRZMLC15_API int WINAPI MLCPollChannels(WORD bAutoPing);
KRZMLC15_API int WINAPI MLCPollChannels2(WORD bAutoPing, DWORD ePollType);
/* Poll statistics of a port: 1, MLC_INVALID_PORT, or MLC_INVALID_TYPE when
 * an output pointer is null. */
KRZMLC15_API int WINAPI MLCResetPollStats(DWORD bPort);
KRZMLC15_API int WINAPI MLCRetrievePollStats(DWORD bPort, PollStats *lpType0, PollStats *lpType1,
                                             PollStats *lpType2);

/* The direct reader, for the stream channel in slot 0 of a port (host
 * socket 0x80): reads the next packet of the port into lpBuffer, whose size
 * is given at *lpdwLength; *lpdwLength receives the bytes delivered.
 * Command packets and other channels' packets are handled as a poll would.
 * From the first call on, the polls of other callers leave the port's
 * packets to this reader. Results: 1 (a packet was handled), 2 (a refused
 * reply), 3 (the link failed and was reset), 4 (nothing was waiting), or
 * MLC_INVALID_PORT, MLC_INVALID_HANDLE (no stream channel in slot 0),
 * MLC_BUFFER_TOO_SMALL (the buffer is shorter than the largest packet the
 * printer may send on the channel; nothing is read),
 * MLC_PHYSICAL_LINK_FAILURE (no port handle in this process). */
KRZMLC15_API int WINAPI RetrieveData(DWORD dwPort, LPVOID lpBuffer, LPDWORD lpdwLength);

/* The exit procedure that 16-bit Windows called before unloading a library;
 * kept for callers that still call it. Does nothing and returns 1. */
KRZMLC15_API int WINAPI WEP(int nParameter);

#ifdef __cplusplus
}
#endif

#endif
