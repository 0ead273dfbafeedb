// krzport: owns a physical parallel port and serves it to the library's
// clients as the peripheral of a port's virtual wire, so that any number
// of processes print to the printer on it (see README.md, "A real printer").
//
//   krzport --list
//   krzport --port LPT1 --device /dev/parport0
#include <krzcom15.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>

#include <atomic>
#include <csignal>
#include <string>
#include <thread>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "port_owner.h"

namespace {

const char kUsage[] =
    "usage: krzport --list [--backend NAME]\n"
    "       krzport --port LPTn --device DEVICE [options]\n"
    "Owns the parallel port DEVICE and serves the printer on it to the library's\n"
    "clients on LPTn. Runs in the foreground until interrupted.\n"
    "  --list                the ports this machine has, their ECP mode and device IDs\n"
    "  --port LPTn           the port the clients use (LPT1..LPT3; default LPT1)\n"
    "  --device DEVICE       /dev/parportN (Linux), \\\\.\\LPTn.4 (Windows)\n"
    "  --backend NAME        ppdev (Linux) or winpar (Windows): the default here\n"
    "  --write-timeout MS    longest wait for the printer to take a byte (default 2000)\n"
    "  --seconds N           stop after N seconds\n"
    "  --ready-file FILE     written once serving, removed at the end\n"
    "  --stop-file FILE      stop once FILE exists\n"
    "  --quiet               no status line\n"
    "Exit status: 0 stopped, 1 the port failed while serving, 2 could not start.\n";

std::atomic<bool> g_stop{false};
extern "C" void OnSignal(int) { g_stop = true; }

struct Args {
  OwnerOptions owner;
  bool fList = false;
  bool fQuiet = false;
  unsigned uSeconds = 0;
  std::string readyFile, stopFile;
};

bool Parse(int argc, char** argv, Args* a, std::string* pError) {
  a->owner.backend = DefaultBackend();
  for (int i = 1; i < argc; ++i) {
    std::string s = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (s == "--list") {
      a->fList = true;
    } else if (s == "--quiet") {
      a->fQuiet = true;
    } else if (s == "--port" && value(&a->owner.port)) {
    } else if (s == "--device" && value(&a->owner.device)) {
    } else if (s == "--backend" && value(&a->owner.backend)) {
    } else if (s == "--ready-file" && value(&a->readyFile)) {
    } else if (s == "--stop-file" && value(&a->stopFile)) {
    } else if (s == "--write-timeout" && value(&v)) {
      a->owner.dwWriteTimeoutMs = (DWORD)strtoul(v.c_str(), NULL, 10);
    } else if (s == "--seconds" && value(&v)) {
      a->uSeconds = (unsigned)strtoul(v.c_str(), NULL, 10);
    } else {
      *pError = "unknown or incomplete option " + s;
      return false;
    }
  }
  if (!a->fList && a->owner.device.empty()) *pError = "--device is needed";
  return pError->empty();
}

bool Exists(const std::string& file) {
  struct stat st;
  return !file.empty() && stat(file.c_str(), &st) == 0;
}

int List(const std::string& backend) {
  int iFound = 0;
  for (int i = 0; i < 8; ++i) {
    char szDevice[32];
#if defined(_WIN32)
    if (i >= 3) break;
    snprintf(szDevice, sizeof szDevice, "\\\\.\\LPT%d.4", i + 1);
#else
    snprintf(szDevice, sizeof szDevice, "/dev/parport%d", i);
    if (!Exists(szDevice)) continue;
#endif
    PortOwner owner;
    owner.opt.device = szDevice;
    owner.opt.backend = backend;
    std::string message;
    DWORD dwError = OwnerOpenDevice(&owner, &message);
    if (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_DEV_NOT_EXIST) continue;
    ++iFound;
    if (dwError != ERROR_SUCCESS) {
      printf("%s: %s\n", szDevice, message.c_str());
    } else {
      size_t cbSkip = owner.rawId.size() > 2 ? 2 : owner.rawId.size();
      printf("%s: ECP, device ID \"%s\"\n", szDevice, owner.rawId.substr(cbSkip).c_str());
    }
    OwnerClose(&owner);
  }
  if (iFound == 0) printf("no parallel ports found\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Args a;
  std::string error;
  if (argc > 1 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (!Parse(argc, argv, &a, &error)) {
    fprintf(stderr, "krzport: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  if (a.fList) return List(a.owner.backend);

  PortOwner owner;
  owner.opt = a.owner;
  if (OwnerOpenDevice(&owner, &error) != ERROR_SUCCESS ||
      OwnerAttach(&owner, &error) != ERROR_SUCCESS) {
    fprintf(stderr, "krzport: %s\n", error.c_str());
    OwnerClose(&owner);
    return 2;
  }
  printf("krzport: serving %s on %s (device ID %u bytes)\n", a.owner.device.c_str(),
         a.owner.port.c_str(), (unsigned)owner.rawId.size());
  fflush(stdout);
  if (!a.readyFile.empty()) {
    FILE* f = fopen(a.readyFile.c_str(), "w");
    if (f) fclose(f);
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  // The bytes move on their own threads; this one watches the clock, the
  // stop file and the failure flag, and shows the status line.
  std::atomic<bool> stop{false};
  std::thread mover([&] { OwnerRun(&owner, stop); });
  bool fTty = !a.fQuiet && isatty(fileno(stdout));
  DWORD dwStart = GetTickCount();
  for (unsigned uTick = 0; !g_stop && !owner.fFailed; ++uTick) {
    Sleep(100);
    if (a.uSeconds && GetTickCount() - dwStart >= a.uSeconds * 1000u) break;
    if (Exists(a.stopFile)) break;
    if (fTty && uTick % 10 == 0) {
      printf("\r%s <-> %s: %llu bytes to the printer, %llu from it   ", a.owner.port.c_str(),
             a.owner.device.c_str(), (unsigned long long)owner.cbToDevice.load(),
             (unsigned long long)owner.cbToHost.load());
      fflush(stdout);
    }
  }
  stop = true;
  mover.join();
  OwnerClose(&owner);
  if (!a.readyFile.empty()) DeleteFileA(a.readyFile.c_str());
  printf("%skrzport: %llu bytes to the printer, %llu from it\n", fTty ? "\n" : "",
         (unsigned long long)owner.cbToDevice.load(), (unsigned long long)owner.cbToHost.load());
  if (owner.fFailed) {
    DWORD dwFailure = owner.dwFailure;
    fprintf(stderr, "krzport: stopped: %s\n",
            dwFailure == ERROR_DEV_NOT_EXIST
                ? (a.owner.device + " vanished (unplugged, or its driver unloaded)").c_str()
                : DescribeDeviceError(dwFailure, a.owner.device).c_str());
    return 1;
  }
  return 0;
}
