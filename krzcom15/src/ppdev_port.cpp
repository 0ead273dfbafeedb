// The "ppdev" backend: a physical parallel port on Linux through the
// kernel's ppdev interface (linux/ppdev.h, linux/parport.h), in ECP mode.
//
// What the kernel's ppdev and IEEE 1284 code make us do:
// - A second process is kept off the port by our own lock (flock on the
//   device): PPCLAIM itself would wait, not refuse.
// - PPSETTIME changes a time-out that read and write do not use: they use
//   the one captured when the port was claimed. So the time-out is set,
//   then the port is released and claimed again.
// - A blocking read never returns while the device has nothing, and a
//   non-blocking write gives up after one jiffy. The descriptor is
//   non-blocking for reads and status, blocking for the time of a write.
// - An empty ECP read costs tens of milliseconds, so waiting for input
//   watches the status lines (nPeriphRequest, the nFault line, is pulled
//   low by a peripheral with data to send) with a bounded back-off.
// - A channel address is an ECP command cycle: the mode gets the address
//   flag, one byte 0x80 | address is written, the mode is set back. It is
//   sent before the next write when it changed and after anything that
//   renegotiated (the device ID is read in nibble mode).
// - ECP capability comes from the negotiation (PPGETMODES leaves out the
//   software-emulated ECP the kernel offers on plain ports).
#include <errno.h>
#include <fcntl.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <mutex>
#include <new>

#include "backend.h"
#include "krzcom15.h"

namespace krzcom {

namespace {

constexpr DWORD kMaxIdBytes = 1024;
constexpr DWORD kIdReadMs = 2000;      // longest wait for the device ID's bytes
constexpr DWORD kMaxStatusGapMs = 16;  // longest pause between two status looks

struct PpdevPort {
  std::mutex mu;  // one ioctl, read or write at a time
  int fd = -1;
  BYTE bAddress = 0;          // channel address of the next write
  bool fAddressSent = false;  // bAddress went out since the last negotiation
  bool fEcp = false;          // the last negotiation reached ECP
  bool fGone = false;         // the device vanished: everything fails
};

// Win32 code of a failed ppdev call; a vanished device stays failed.
DWORD Failed(PpdevPort* p, int iErrno) {
  switch (iErrno) {
    case ENODEV:
    case ENXIO:
    case ENOENT:
      p->fGone = true;
      return ERROR_DEV_NOT_EXIST;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case EBUSY:
    case EWOULDBLOCK:
      return ERROR_BUSY;
    default:
      return ERROR_GEN_FAILURE;
  }
}

bool SetBlocking(int fd, bool fBlocking) {
  int iFlags = fcntl(fd, F_GETFL);
  if (iFlags < 0) return false;
  iFlags = fBlocking ? (iFlags & ~O_NONBLOCK) : (iFlags | O_NONBLOCK);
  return fcntl(fd, F_SETFL, iFlags) == 0;
}

// Negotiates a mode: ERROR_SUCCESS; ERROR_NOT_READY when no IEEE 1284
// device answers (-EIO); ERROR_NOT_SUPPORTED when the mode is refused
// (-ENXIO).
DWORD Negotiate(PpdevPort* p, int iMode) {
  p->fAddressSent = false;
  p->fEcp = false;
  if (ioctl(p->fd, PPNEGOT, &iMode) == 0) {
    p->fEcp = iMode == IEEE1284_MODE_ECP;
    return ERROR_SUCCESS;
  }
  if (errno == EIO) return ERROR_NOT_READY;
  if (errno == ENXIO) return ERROR_NOT_SUPPORTED;
  return Failed(p, errno);
}

// Writes in blocking mode, so that the kernel waits the claimed time-out.
DWORD WriteBlocking(PpdevPort* p, const BYTE* pb, DWORD cb, DWORD* pcbWritten) {
  *pcbWritten = 0;
  if (!SetBlocking(p->fd, true)) return Failed(p, errno);
  ssize_t n = write(p->fd, pb, cb);
  int iErrno = errno;
  SetBlocking(p->fd, false);
  if (n < 0) return (iErrno == EINTR || iErrno == EAGAIN) ? CE_PTO : Failed(p, iErrno);
  *pcbWritten = (DWORD)n;
  return (DWORD)n < cb ? CE_PTO : ERROR_SUCCESS;
}

DWORD SendAddress(PpdevPort* p) {
  if (!p->fEcp) return ERROR_NOT_SUPPORTED;
  int iMode = IEEE1284_MODE_ECP | IEEE1284_ADDR;
  if (ioctl(p->fd, PPSETMODE, &iMode) != 0) return Failed(p, errno);
  BYTE bCommand = (BYTE)(0x80 | p->bAddress);
  DWORD cb = 0;
  DWORD dwError = WriteBlocking(p, &bCommand, 1, &cb);
  iMode = IEEE1284_MODE_ECP;
  if (ioctl(p->fd, PPSETMODE, &iMode) != 0 && dwError == ERROR_SUCCESS) dwError = Failed(p, errno);
  if (dwError == ERROR_SUCCESS) p->fAddressSent = true;
  return dwError;
}

DWORD Open(const PortConfig* pConfig, void** ppState) {
  if (pConfig->szDevice[0] == '\0') return ERROR_FILE_NOT_FOUND;
  PpdevPort* p = new (std::nothrow) PpdevPort();
  if (p == NULL) return ERROR_NOT_ENOUGH_MEMORY;
  DWORD dwError = ERROR_SUCCESS;
  // The kernel refuses a time-out of 0: "fail at once" becomes 10 ms.
  DWORD dwTimeoutMs = pConfig->dwWriteTimeoutMs < 10 ? 10 : pConfig->dwWriteTimeoutMs;
  struct timeval tv = {(time_t)(dwTimeoutMs / 1000), (suseconds_t)(dwTimeoutMs % 1000 * 1000)};
  p->fd = open(pConfig->szDevice, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (p->fd < 0) {
    dwError = Failed(p, errno == ENXIO || errno == ENODEV ? ENOENT : errno);
  } else if (flock(p->fd, LOCK_EX | LOCK_NB) != 0) {
    dwError = Failed(p, errno);
  } else if (ioctl(p->fd, PPCLAIM) != 0) {
    dwError = Failed(p, errno);
  } else if (ioctl(p->fd, PPSETTIME, &tv) != 0 || ioctl(p->fd, PPRELEASE) != 0 ||
             ioctl(p->fd, PPCLAIM) != 0) {
    dwError = Failed(p, errno);
  } else {
    dwError = Negotiate(p, IEEE1284_MODE_ECP);
    // A port or device without ECP stays open in compatibility mode: the
    // capability word tells the caller.
    if (dwError == ERROR_NOT_SUPPORTED) dwError = ERROR_SUCCESS;
  }
  if (dwError != ERROR_SUCCESS) {
    if (p->fd >= 0) close(p->fd);
    delete p;
    return dwError;
  }
  *ppState = p;
  return ERROR_SUCCESS;
}

void Close(void* pState) {
  PpdevPort* p = (PpdevPort*)pState;
  if (!p->fGone) {
    int iMode = IEEE1284_MODE_COMPAT;
    ioctl(p->fd, PPNEGOT, &iMode);
    ioctl(p->fd, PPRELEASE);
  }
  close(p->fd);
  delete p;
}

DWORD Read(void* pState, BYTE* pbBuf, DWORD cb, DWORD* pcbRead) {
  PpdevPort* p = (PpdevPort*)pState;
  std::lock_guard<std::mutex> lock(p->mu);
  *pcbRead = 0;
  if (p->fGone) return ERROR_DEV_NOT_EXIST;
  if (cb == 0) return ERROR_SUCCESS;
  ssize_t n = read(p->fd, pbBuf, cb);
  if (n < 0) return errno == EAGAIN || errno == EINTR ? ERROR_SUCCESS : Failed(p, errno);
  *pcbRead = (DWORD)n;
  return ERROR_SUCCESS;
}

DWORD Write(void* pState, const BYTE* pbBuf, DWORD cb, DWORD* pcbWritten) {
  PpdevPort* p = (PpdevPort*)pState;
  std::lock_guard<std::mutex> lock(p->mu);
  *pcbWritten = 0;
  if (p->fGone) return ERROR_DEV_NOT_EXIST;
  if (!p->fAddressSent) {
    DWORD dwError = SendAddress(p);
    if (dwError != ERROR_SUCCESS) return dwError;
  }
  return WriteBlocking(p, pbBuf, cb, pcbWritten);
}

// Reads up to cb bytes of the device ID in nibble mode, waiting at most
// until the deadline for each.
DWORD ReadIdBytes(PpdevPort* p, BYTE* pb, DWORD cb, DWORD dwDeadline) {
  DWORD cbGot = 0;
  while (cbGot < cb) {
    ssize_t n = read(p->fd, pb + cbGot, cb - cbGot);
    if (n > 0) {
      cbGot += (DWORD)n;
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return Failed(p, errno);
    } else if ((LONG)(GetTickCount() - dwDeadline) >= 0) {
      return ERROR_NOT_READY;
    } else {
      Sleep(1);
    }
  }
  return ERROR_SUCCESS;
}

// Escape 18: compatibility mode, nibble mode with the device-ID flag, the
// length-prefixed ID, then ECP again (and the address resent on the next
// write).
DWORD GetDeviceId(PpdevPort* p, DWORD* pcbRoom, BYTE* pbOut) {
  BYTE abId[kMaxIdBytes];
  DWORD cbId = 0;
  DWORD dwError = Negotiate(p, IEEE1284_MODE_COMPAT);
  if (dwError == ERROR_SUCCESS) dwError = Negotiate(p, IEEE1284_MODE_NIBBLE | IEEE1284_DEVICEID);
  DWORD dwDeadline = GetTickCount() + kIdReadMs;
  if (dwError == ERROR_SUCCESS) dwError = ReadIdBytes(p, abId, 2, dwDeadline);
  if (dwError == ERROR_SUCCESS) {
    // The length counts its own two bytes; both bytes are unsigned.
    DWORD cbLength = ((DWORD)abId[0] << 8) | abId[1];
    cbId = cbLength < 2 ? 2 : (cbLength > kMaxIdBytes ? kMaxIdBytes : cbLength);
    dwError = ReadIdBytes(p, abId + 2, cbId - 2, dwDeadline);
  }
  if (!p->fGone) {
    Negotiate(p, IEEE1284_MODE_COMPAT);
    DWORD dwEcp = Negotiate(p, IEEE1284_MODE_ECP);
    if (dwError == ERROR_SUCCESS && dwEcp != ERROR_SUCCESS && dwEcp != ERROR_NOT_SUPPORTED)
      dwError = dwEcp;
  }
  if (dwError != ERROR_SUCCESS) return dwError;
  DWORD cbCopy = cbId < *pcbRoom ? cbId : *pcbRoom;
  memcpy(pbOut, abId, cbCopy);
  *pcbRoom = cbCopy;
  return ERROR_SUCCESS;
}

DWORD Escape(void* pState, DWORD dwFunction, LPVOID lpIn, LPVOID lpOut) {
  PpdevPort* p = (PpdevPort*)pState;
  std::lock_guard<std::mutex> lock(p->mu);
  if (p->fGone) return ERROR_DEV_NOT_EXIST;
  switch (dwFunction) {
    case VCOMM_ESC_SET_ECP_CHANNEL: {
      if (lpIn == NULL) return ERROR_INVALID_PARAMETER;
      BYTE bAddress = *(const BYTE*)lpIn & 0x7F;
      if (bAddress != p->bAddress) p->fAddressSent = false;
      p->bAddress = bAddress;
      return ERROR_SUCCESS;
    }
    case VCOMM_ESC_GET_DEVICE_ID:
      if (lpIn == NULL || lpOut == NULL) return ERROR_INVALID_PARAMETER;
      return GetDeviceId(p, (DWORD*)lpIn, (BYTE*)lpOut);
    case VCOMM_ESC_GET_CAPABILITIES:
      if (lpOut == NULL) return ERROR_INVALID_PARAMETER;
      *(DWORD*)lpOut = p->fEcp ? VCOMM_CAP_ECP : 0;
      return ERROR_SUCCESS;
    case VCOMM_ESC_CHECK_CONNECTION: {
      unsigned char bStatus = 0;
      return ioctl(p->fd, PPRSTATUS, &bStatus) == 0 ? ERROR_SUCCESS : Failed(p, errno);
    }
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

// Watches nPeriphRequest: 1 ms between looks at first, doubling up to
// kMaxStatusGapMs, so an idle port costs a few ioctls a second per waiter.
DWORD WaitInput(void* pState, DWORD dwTimeoutMs) {
  PpdevPort* p = (PpdevPort*)pState;
  DWORD dwStart = GetTickCount();
  DWORD dwGap = 1;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(p->mu);
      if (p->fGone) return ERROR_DEV_NOT_EXIST;
      unsigned char bStatus = 0;
      if (ioctl(p->fd, PPRSTATUS, &bStatus) != 0) return Failed(p, errno);
      if ((bStatus & PARPORT_STATUS_ERROR) == 0) return ERROR_SUCCESS;
    }
    DWORD dwSpent = GetTickCount() - dwStart;
    if (dwSpent >= dwTimeoutMs) return ERROR_TIMEOUT;
    DWORD dwLeft = dwTimeoutMs - dwSpent;
    Sleep(dwGap < dwLeft ? dwGap : dwLeft);
    dwGap = dwGap * 2 > kMaxStatusGapMs ? kMaxStatusGapMs : dwGap * 2;
  }
}

}  // namespace

const Backend g_ppdevBackend = {"ppdev", TRUE, Open, Close, Read, Write, Escape, WaitInput};

}  // namespace krzcom
