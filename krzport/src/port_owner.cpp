#include "port_owner.h"

#include <krzcom15.h>
#include <vperi.h>

#include <thread>

namespace {

constexpr DWORD kWaitMs = 100;       // longest wait of either direction before it looks at stop
constexpr DWORD kIdleReadMs = 250;   // an idle port is read this often whatever its status says
constexpr DWORD kMaxPollGapMs = 16;  // backends without a wait: longest pause between reads
constexpr DWORD kIdRoom = 1026;      // length bytes + the longest ID the library reads

void Fail(PortOwner* p, DWORD dwError) {
  p->dwFailure = dwError;
  p->fFailed = true;
}

bool Running(PortOwner* p, const std::atomic<bool>& stop) { return !stop && !p->fFailed; }

// Host bytes to the device, switching the channel address when it changes.
// A printer that takes nothing (busy, out of paper) is waited for: the
// wire fills up and the host's writes time out, as with a real port.
void WireToDevice(PortOwner* p, const std::atomic<bool>& stop) {
  BYTE abBuf[4096];
  int iAddress = -1;  // unknown: the first bytes set it
  while (Running(p, stop)) {
    DWORD cbGot = 0;
    BYTE bAddress = 0;
    if (!VPERI_Read(p->hPeri, abBuf, sizeof abBuf, &cbGot, &bAddress, kWaitMs)) {
      Fail(p, GetLastError());
      return;
    }
    if (cbGot && bAddress != iAddress) {
      if (!VCOMM_EscapeCommFunction(p->hDevice, VCOMM_ESC_SET_ECP_CHANNEL, &bAddress, NULL)) {
        Fail(p, VCOMM_GetLastError(p->hDevice));
        return;
      }
      iAddress = bAddress;
    }
    for (DWORD cbDone = 0; cbDone < cbGot && Running(p, stop);) {
      DWORD cbWritten = 0;
      BOOL fOk = VCOMM_WriteComm(p->hDevice, abBuf + cbDone, cbGot - cbDone, &cbWritten);
      cbDone += cbWritten;
      p->cbToDevice += cbWritten;
      if (!fOk && VCOMM_GetLastError(p->hDevice) != CE_PTO) {
        Fail(p, VCOMM_GetLastError(p->hDevice));
        return;
      }
    }
  }
}

// Device bytes to the host. The device is read when its backend says bytes
// wait, and every kIdleReadMs besides; a backend that cannot wait is read
// with a growing pause while it has nothing.
void DeviceToWire(PortOwner* p, const std::atomic<bool>& stop) {
  BYTE abBuf[4096];
  DWORD dwGap = 1;
  while (Running(p, stop)) {
    if (!VCOMM_WaitInput(p->hDevice, kIdleReadMs)) {
      DWORD dwError = GetLastError();
      if (dwError == ERROR_NOT_SUPPORTED) {
        Sleep(dwGap);
        dwGap = dwGap * 2 > kMaxPollGapMs ? kMaxPollGapMs : dwGap * 2;
      } else if (dwError != ERROR_TIMEOUT) {
        Fail(p, dwError);
        return;
      }
    }
    DWORD cbGot = 0;
    if (!VCOMM_ReadComm(p->hDevice, abBuf, sizeof abBuf, &cbGot)) {
      Fail(p, VCOMM_GetLastError(p->hDevice));
      return;
    }
    if (cbGot) dwGap = 1;
    for (DWORD cbDone = 0; cbDone < cbGot && Running(p, stop);) {
      DWORD cbWritten = 0;
      BOOL fOk = VPERI_Write(p->hPeri, abBuf + cbDone, cbGot - cbDone, &cbWritten, kWaitMs);
      cbDone += cbWritten;
      p->cbToHost += cbWritten;
      if (!fOk && GetLastError() != ERROR_TIMEOUT) {
        Fail(p, GetLastError());
        return;
      }
    }
  }
}

}  // namespace

const char* DefaultBackend() {
#if defined(_WIN32)
  return "winpar";
#else
  return "ppdev";
#endif
}

std::string DescribeDeviceError(DWORD dwError, const std::string& device) {
  switch (dwError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
#if defined(_WIN32)
      return "no such port: " + device + " (see krzport --list)";
#else
      return "no such port: " + device +
             " (are the modules parport_pc and ppdev loaded? see krzport --list)";
#endif
    case ERROR_ACCESS_DENIED:
#if defined(_WIN32)
      return "no permission to open " + device;
#else
      return "no permission to open " + device +
             ": parallel ports belong to group 'lp'; add the user to it and log in again";
#endif
    case ERROR_BUSY:
      return device + " is already owned by another program (another krzport?)";
    case ERROR_NOT_READY:
      return "no IEEE 1284 device answers on " + device + " (is the printer on and connected?)";
    case ERROR_INVALID_NAME:
      return "this KRZCOM15 has no such backend for " + device;
    default:
      return device + " failed (error " + std::to_string(dwError) + ")";
  }
}

DWORD OwnerOpenDevice(PortOwner* p, std::string* pMessage) {
  const OwnerOptions& o = p->opt;
  p->hDevice = VCOMM_OpenDeviceA(o.backend.c_str(), o.device.c_str(), o.dwWriteTimeoutMs);
  if (p->hDevice == 0) {
    DWORD dwError = GetLastError();
    *pMessage = DescribeDeviceError(dwError, o.device);
    return dwError;
  }
  if (!VCOMM_EscapeCommFunction(p->hDevice, VCOMM_ESC_GET_CAPABILITIES, NULL, &p->dwCaps) ||
      (p->dwCaps & VCOMM_CAP_ECP) == 0) {
    *pMessage = o.device +
                " or its printer refused ECP mode, which MLC needs (set the port to ECP in the "
                "machine's firmware setup)";
    return ERROR_NOT_SUPPORTED;
  }
  BYTE abId[kIdRoom];
  DWORD cbId = sizeof abId;
  if (!VCOMM_EscapeCommFunction(p->hDevice, VCOMM_ESC_GET_DEVICE_ID, &cbId, abId)) {
    DWORD dwError = VCOMM_GetLastError(p->hDevice);
    *pMessage = "cannot read the device ID: " + DescribeDeviceError(dwError, o.device);
    return dwError;
  }
  p->rawId.assign((const char*)abId, cbId);
  return ERROR_SUCCESS;
}

DWORD OwnerAttach(PortOwner* p, std::string* pMessage) {
  p->hPeri = VPERI_Attach(p->opt.port.c_str());
  if (p->hPeri == 0) {
    DWORD dwError = GetLastError();
    *pMessage =
        dwError == ERROR_BUSY
            ? p->opt.port + " already has a peripheral (another krzport, or the emulator)"
            : "cannot attach to " + p->opt.port + " (error " + std::to_string(dwError) + ")";
    return dwError;
  }
  VPERI_SetDeviceId(p->hPeri, p->rawId.data(), (DWORD)p->rawId.size());
  VPERI_SetCapabilities(p->hPeri, p->dwCaps);
  return ERROR_SUCCESS;
}

void OwnerRun(PortOwner* p, const std::atomic<bool>& stop) {
  std::thread toHost([p, &stop] { DeviceToWire(p, stop); });
  WireToDevice(p, stop);
  toHost.join();
}

void OwnerClose(PortOwner* p) {
  if (p->hPeri) VPERI_Detach(p->hPeri);
  if (p->hDevice) VCOMM_CloseComm(p->hDevice);
  p->hPeri = 0;
  p->hDevice = 0;
}
