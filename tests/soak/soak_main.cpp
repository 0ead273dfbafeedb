// The soak: an emulated printer, client processes with checked traffic on
// four channels each, clients killed at random moments (also while holding
// the port mutex) and started again, and faults injected by the printer.
// It judges the run and prints one summary line.
//
//   krzsoak [--seconds N] [--clients N] [--seed N] [--kill-ms N] [--fault-ms N]
//           [--packets] [--trace FILE] [--summary FILE]
//
// Exit code 0 when every client ended well; 1 when a client failed (wrong
// data, a call that waited too long) or the printer saw a host violation
// that no kill explains (only a packet cut short within moments of a kill is); 2 for bad arguments
// or a printer that cannot start.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "soak_limits.h"
#include "testutil.h"
#include "wire_runner.h"

namespace {

struct Options {
  int seconds = 20;
  int clients = 8;
  unsigned seed = 1;
  int killMs = 1500;   // mean time between kills
  int faultMs = 2500;  // mean time between printer faults
  bool packets = false;
  const char* trace = nullptr;
  const char* summary = nullptr;  // also write the summary line here
};

struct Totals {
  unsigned long long cbVerified = 0;
  unsigned long long messages = 0;
  unsigned long resets = 0;
  unsigned long maxWaitMs = 0;
  int kills = 0, heldKills = 0, faults = 0, failures = 0;
};

// Faults that a working host survives; each one at most costs a reset.
const char* const kFaults[] = {
    "error=6@t=0", "noreply=open",  "noreply=credit",  "late=open:300",      "split=data:3:50",
    "half=data",   "creditreq@t=0", "unsupported@t=0", "late=creditreq:200", "badcredit@t=0",
};

struct Client {
  PROCESS_INFORMATION pi{};
  bool running = false;
  std::string status;
};

bool Launch(const std::string& args, PROCESS_INFORMATION* pi) {
  std::string cmd = "krzsoak_client.exe " + args;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  return CreateProcessA(NULL, cmd.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, pi) != 0;
}

void Forget(PROCESS_INFORMATION* pi) {
  CloseHandle(pi->hThread);
  CloseHandle(pi->hProcess);
}

// Adds a client's last counters to the totals; false when it reported a failure.
bool Collect(const std::string& path, Totals* t) {
  std::string text = ReadTextFile(path);
  unsigned long long cb = 0, msgs = 0;
  unsigned long resets = 0, wait = 0;
  int done = 0;
  char failure[64] = "none";
  if (sscanf(text.c_str(),
             "verified=%llu messages=%llu resets=%lu maxwait=%lu done=%d failure=%63s", &cb, &msgs,
             &resets, &wait, &done, failure) < 5)
    return true;  // killed before its first report
  t->cbVerified += cb;
  t->messages += msgs;
  t->resets += resets;
  if (wait > t->maxWaitMs) t->maxWaitMs = wait;
  return strcmp(failure, "none") == 0;
}

// Kills a client holding the port mutex; true when it held it.
bool HoldAndKill(int n) {
  std::string name =
      "krzsoak-hold-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(n);
  HANDLE hEvent = CreateEventA(NULL, TRUE, FALSE, name.c_str());
  PROCESS_INFORMATION pi;
  bool bHeld = false;
  if (hEvent && Launch("--hold " + name, &pi)) {
    bHeld = WaitForSingleObject(hEvent, 5000) == WAIT_OBJECT_0;
    TerminateProcess(pi.hProcess, 99);
    WaitForSingleObject(pi.hProcess, 5000);
    Forget(&pi);
  }
  if (hEvent) CloseHandle(hEvent);
  return bHeld;
}

bool Parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--packets")
      o->packets = true;
    else if (!v)
      return false;
    else if (a == "--seconds")
      o->seconds = atoi(argv[++i]);
    else if (a == "--clients")
      o->clients = atoi(argv[++i]);
    else if (a == "--seed")
      o->seed = (unsigned)strtoul(argv[++i], nullptr, 10);
    else if (a == "--kill-ms")
      o->killMs = atoi(argv[++i]);
    else if (a == "--fault-ms")
      o->faultMs = atoi(argv[++i]);
    else if (a == "--trace")
      o->trace = argv[++i];
    else if (a == "--summary")
      o->summary = argv[++i];
    else
      return false;
  }
  return o->seconds > 0 && o->clients > 0 && o->killMs > 0 && o->faultMs > 0;
}

void WriteIni() {
  char text[512];
  snprintf(
      text, sizeof text,
      "[KRZMLC15]\r\nMLC_PACKET_TIMEOUT_WHILE_BUSY=%d\r\nMLC_PACKET_TIMEOUT_WHILE_NOT_BUSY=%d\r\n"
      "CreditTimeout=%d\r\nMIN_POLL_INTERVAL=50\r\nMAX_POLL_INTERVAL=200\r\n",
      SOAK_REPLY_TIMEOUT_MS, SOAK_REPLY_TIMEOUT_MS, SOAK_CREDIT_TIMEOUT_MS);
  WriteTextFile(WindowsDirFile("KRZTBX15.INI"), text);
}

// A packet cut short by a kill is seen as incomplete once the wire stayed
// silent for the inter-packet time after the kill: a violation found then
// (with a wide margin for a loaded machine) is the kill's doing, any other
// is the library's.
bool KillExplains(const std::vector<uint32_t>& killedAt, uint32_t uSeenMs, uint32_t uSilenceMs) {
  for (uint32_t k : killedAt)
    if (uSeenMs + 50 >= k && uSeenMs <= k + uSilenceMs + 2000) return true;
  return false;
}

emu::EmuConfig PrinterConfig() {
  emu::EmuConfig cfg;
  cfg.max_channels = 128;
  cfg.channels_per_socket = 64;
  std::string error;
  for (const char* text : {"1:status", "3:echo:credit=4", "4:echo:credit=2"}) {
    emu::ServiceSetup s;
    emu::ParseService(text, &s, &error);
    cfg.services.push_back(s);
  }
  return cfg;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, &o)) {
    fprintf(stderr,
            "usage: krzsoak [--seconds N] [--clients N] [--seed N] [--kill-ms N] "
            "[--fault-ms N] [--packets] [--trace FILE] [--summary FILE]\n");
    return 2;
  }
  WriteIni();
  FILE* fTrace = o.trace ? fopen(o.trace, "w") : nullptr;
  emu::Trace trace(fTrace, false);
  const emu::EmuConfig cfg = PrinterConfig();
  emu::WireRunner printer(cfg, &trace);
  std::string error;
  // The printer's clock starts at its first tick, just after this.
  const uint32_t uPrinterStart = emu::SteadyMs();
  if (!printer.Start("LPT1", &error)) {
    fprintf(stderr, "krzsoak: printer: %s\n", error.c_str());
    return 2;
  }

  std::mt19937 rng(o.seed);
  std::exponential_distribution<double> killGap(1.0 / o.killMs), faultGap(1.0 / o.faultMs);
  DWORD dwStart = GetTickCount();
  DWORD dwUntil = dwStart + (DWORD)o.seconds * 1000;
  Totals t;
  std::vector<Client> clients(o.clients);
  auto start = [&](int i) {
    Client& c = clients[i];
    c.status = WindowsDirFile(("soak-" + std::to_string(i) + ".status").c_str());
    DeleteFileA(c.status.c_str());
    std::string args = "--id " + std::to_string(i) + " --seed " + std::to_string(rng()) +
                       " --until " + std::to_string(dwUntil) + " --status " + c.status +
                       (o.packets ? " --packets" : "");
    c.running = Launch(args, &c.pi);
    if (!c.running) ++t.failures;
  };
  for (int i = 0; i < o.clients; ++i) start(i);

  DWORD dwNextKill = dwStart + (DWORD)killGap(rng), dwNextFault = dwStart + (DWORD)faultGap(rng);
  std::vector<uint32_t> killedAt;  // printer time of each kill of a client that may be writing
  while ((LONG)(dwUntil - GetTickCount()) > 1000) {
    Sleep(20);
    DWORD dwNow = GetTickCount();
    if ((LONG)(dwNow - dwNextFault) >= 0) {
      const char* fault = kFaults[rng() % (sizeof kFaults / sizeof *kFaults)];
      if (printer.AddFault(fault, &error)) ++t.faults;
      dwNextFault = dwNow + (DWORD)faultGap(rng);
    }
    if ((LONG)(dwNow - dwNextKill) < 0) continue;
    dwNextKill = dwNow + (DWORD)killGap(rng);
    if (t.kills % 3 == 2) {
      ++t.kills;
      if (HoldAndKill(t.kills)) ++t.heldKills;
      continue;
    }
    Client& c = clients[rng() % clients.size()];
    if (!c.running || WaitForSingleObject(c.pi.hProcess, 0) == WAIT_OBJECT_0) continue;
    killedAt.push_back(emu::SteadyMs() - uPrinterStart);
    TerminateProcess(c.pi.hProcess, 99);
    WaitForSingleObject(c.pi.hProcess, 5000);
    Forget(&c.pi);
    c.running = false;
    ++t.kills;
    Collect(c.status, &t);  // what it verified before it died
    start((int)(&c - clients.data()));
  }

  // The clients end by themselves once their time is up and they drained.
  for (Client& c : clients) {
    if (!c.running) continue;
    DWORD dwCode = 99;
    if (WaitForSingleObject(c.pi.hProcess, SOAK_DRAIN_MS + 30000) != WAIT_OBJECT_0) {
      fprintf(stderr, "krzsoak: a client did not end\n");
      killedAt.push_back(emu::SteadyMs() - uPrinterStart);
      TerminateProcess(c.pi.hProcess, 99);
    }
    GetExitCodeProcess(c.pi.hProcess, &dwCode);
    Forget(&c.pi);
    bool bWell = Collect(c.status, &t) && dwCode == 0;
    if (!bWell) {
      ++t.failures;
      fprintf(stderr, "krzsoak: client exit %lu: %s", (unsigned long)dwCode,
              ReadTextFile(c.status).c_str());
    }
    DeleteFileA(c.status.c_str());
  }
  int cutShort = 0, violations = 0;
  printer.With([&](emu::Peripheral& p) {
    for (const emu::Violation& v : p.violations()) {
      if (v.text.find("incomplete packet") != std::string::npos &&
          KillExplains(killedAt, v.ms, cfg.inter_packet_ms))
        ++cutShort;
      else {
        ++violations;
        fprintf(stderr, "krzsoak: host violation at %u ms: %s\n", v.ms, v.text.c_str());
      }
    }
    return 0;
  });
  printer.Stop();
  if (fTrace) fclose(fTrace);
  bool bPass = t.failures == 0 && violations == 0;
  char line[512];
  snprintf(line, sizeof line,
           "krzsoak: seconds=%d clients=%d channels=%d kills=%d held-kills=%d faults=%d "
           "bytes-verified=%llu messages=%llu channels-lost=%lu max-call-ms=%lu cut-short=%d "
           "violations=%d result=%s\n",
           o.seconds, o.clients, o.clients * SOAK_CHANNELS_PER_CLIENT, t.kills, t.heldKills,
           t.faults, t.cbVerified, t.messages, t.resets, t.maxWaitMs, cutShort, violations,
           bPass ? "PASS" : "FAIL");
  fputs(line, stdout);
  if (o.summary) WriteTextFile(o.summary, line);
  return bPass ? 0 : 1;
}
