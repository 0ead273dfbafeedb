// A parallel-port driver of our own behind the Windows backend, installed
// before main runs; the printer is the emulator's core, its receipt told at
// the end.
#include <windows.h>
#include <winioctl.h>
// The driver header needs CTL_CODE from winioctl.h first.
#include <ntddpar.h>
#include <stdio.h>
#include <string.h>

#include <mutex>

#include "peripheral.h"
#include "winpar_seam.h"

namespace {

HANDLE const kDevice = (HANDLE)(INT_PTR)0x4C50;

std::mutex g_mu;  // guards all below
emu::Bytes g_toHost;
uint8_t g_bAddress = 0;
unsigned g_cAddressSets = 0;

// The printer, made on first use; time passes and what it sent is collected.
emu::Peripheral* Printer() {
  static emu::Peripheral* p = [] {
    emu::EmuConfig cfg;
    cfg.services = emu::DefaultServices();
    for (emu::ServiceSetup& setup : cfg.services) setup.store = true;  // the sink keeps the job
    return new emu::Peripheral(cfg, nullptr);
  }();
  p->Tick(GetTickCount());
  emu::Bytes out = p->TakeOutput();
  g_toHost.insert(g_toHost.end(), out.begin(), out.end());
  return p;
}

HANDLE WINAPI FakeCreateFile(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                             HANDLE) {
  if (strcmp(name, "\\\\.\\LPT1.4") == 0) return kDevice;
  SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

BOOL WINAPI FakeIoctl(HANDLE, DWORD code, LPVOID in, DWORD cbIn, LPVOID out, DWORD cbOut,
                      LPDWORD pcbOut, LPOVERLAPPED) {
  std::lock_guard<std::mutex> lock(g_mu);
  *pcbOut = 0;
  if (code == IOCTL_IEEE1284_NEGOTIATE && cbOut >= sizeof(PARCLASS_NEGOTIATION_MASK)) {
    PARCLASS_NEGOTIATION_MASK granted = {ECP_HW_NOIRQ, ECP_HW_NOIRQ};
    memcpy(out, &granted, sizeof granted);
    *pcbOut = sizeof granted;
  } else if (code == IOCTL_PAR_SET_WRITE_ADDRESS && cbIn == 1) {
    g_bAddress = *(const BYTE*)in;
    ++g_cAddressSets;
  } else if (code == IOCTL_PAR_QUERY_RAW_DEVICE_ID) {
    emu::Bytes id = emu::RawDeviceId(Printer()->config());
    DWORD cb = id.size() < cbOut ? (DWORD)id.size() : cbOut;
    memcpy(out, id.data(), cb);
    *pcbOut = cb;
  } else if (code == IOCTL_PAR_QUERY_INFORMATION && cbOut >= 1) {
    *(BYTE*)out = PARALLEL_SELECTED;
    *pcbOut = 1;
  } else if (code != CTL_CODE(FILE_DEVICE_SERIAL_PORT, 7, METHOD_BUFFERED, FILE_ANY_ACCESS)) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI FakeRead(HANDLE, LPVOID buf, DWORD cb, LPDWORD pcbRead, LPOVERLAPPED) {
  std::lock_guard<std::mutex> lock(g_mu);
  Printer();
  DWORD n = g_toHost.size() < cb ? (DWORD)g_toHost.size() : cb;
  memcpy(buf, g_toHost.data(), n);
  g_toHost.erase(g_toHost.begin(), g_toHost.begin() + n);
  *pcbRead = n;
  return TRUE;
}

BOOL WINAPI FakeWrite(HANDLE, LPCVOID buf, DWORD cb, LPDWORD pcbWritten, LPOVERLAPPED) {
  std::lock_guard<std::mutex> lock(g_mu);
  Printer()->Receive(g_bAddress, (const uint8_t*)buf, cb, GetTickCount());
  Printer();  // what it answered at once
  *pcbWritten = cb;
  return TRUE;
}

// The POSIX cksum of what the sink received, so that the job's script can
// compare it with `cksum` of the file it printed.
unsigned long Cksum(const emu::Bytes& bytes) {
  uint32_t crc = 0;
  auto add = [&crc](uint8_t b) {
    crc ^= (uint32_t)b << 24;
    for (int i = 0; i < 8; ++i) crc = crc & 0x80000000u ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  };
  for (uint8_t b : bytes) add(b);
  for (size_t n = bytes.size(); n; n >>= 8) add((uint8_t)n);
  return ~crc;
}

BOOL WINAPI FakeClose(HANDLE) {
  std::lock_guard<std::mutex> lock(g_mu);
  emu::Peripheral* p = Printer();
  fprintf(stderr, "fake driver: sink %llu bytes, cksum %lu, violations %u, address sets %u\n",
          (unsigned long long)p->socket_stats(2).bytes_in, Cksum(p->service(2)->stored()),
          (unsigned)p->violations().size(), g_cAddressSets);
  return TRUE;
}

const krzcom::WinparCalls kFakeCalls = {FakeCreateFile, FakeIoctl, FakeRead, FakeWrite, FakeClose};

struct Install {
  Install() { krzcom::g_winparCalls = &kFakeCalls; }
} g_install;

}  // namespace
