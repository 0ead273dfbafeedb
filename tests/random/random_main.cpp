// krzrandom: the seeded randomized multi-client test. It prints the seed
// first, draws the plan and the printer's behaviour from it, runs the plan
// with four agents (two threads of this process, two child processes)
// against the emulated printer, and judges after every step: each agent's
// checked traffic, the credit books, and the printer's record of host
// violations (a packet cut short is excused only right after a kill); at the
// end that every lane drained and the port's area holds only its record's
// blocks. A failing plan is shrunk by dropping steps and printed so that it
// can be replayed. With --minutes it runs seed after seed: the long soak.
//
//   krzrandom [--seed N] [--count N] [--steps N] [--minutes N] [--plan "STEPS"]
//   krzrandom --agent RUN N       (an agent process; started by the driver)
//
// Exit code 0 when every seed passed, 1 on a failure, 2 for bad arguments.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <random>
#include <thread>

#include "channel/creditcheck.h"
#include "krzmlc15.h"
#include "live_blocks.h"
#include "random_run.h"
#include "shared/config.h"
#include "testutil.h"
#include "wire_runner.h"

namespace {

// What the printer may do during a run: legal behaviours a sound host
// survives, at worst with a reset. Its ways of handling credit hold for a
// whole run and are drawn with the printer (DrawPrinter).
const char* const kBehaviours[] = {
    "error=6@t=0",  "noreply=open",      "noreply=credit",  "late=open:300",      "split=data:3:50",
    "half=data",    "creditreq@t=0",     "unsupported@t=0", "late=creditreq:200", "badcredit@t=0",
    "debit=1@t=0",  "split=credit:3:40", "result=open:2",   "noreply=close",      "late=credit:200",
    "baddebit@t=0", "result=close",      "result=credit",
};
const int kBehaviourCount = sizeof kBehaviours / sizeof *kBehaviours;

// The printer drawn for a seed: packet sizes, credit, piggy-backing.
emu::EmuConfig DrawPrinter(unsigned seed, std::string* text) {
  std::mt19937 rng(seed ^ 0x5EED);
  emu::EmuConfig cfg;
  cfg.max_channels = 128;
  cfg.channels_per_socket = 64;
  cfg.piggyback = rng() % 2;
  const uint16_t kPtoH[] = {0x100C, 0x206, 0x46};
  cfg.max_ptoh = kPtoH[rng() % 3];
  const uint32_t kRequestMs[] = {0, 200, 1000};
  cfg.credit_request_ms = kRequestMs[rng() % 3];
  std::string services[] = {"3:echo:credit=" + std::to_string(1 + rng() % 8),
                            "4:echo:credit=" + std::to_string(1 + rng() % 8),
                            "5:msgecho:credit=" + std::to_string(1 + rng() % 3),
                            "6:source:bytes=" + std::to_string(RND_SOURCE_BYTES)};
  *text = "piggyback=" + std::to_string(cfg.piggyback) + " ptoh=" + std::to_string(cfg.max_ptoh) +
          " creditreq-ms=" + std::to_string(cfg.credit_request_ms);
  // Ways of handling credit that a printer keeps for the whole run, drawn
  // apart from the rest so that a seed's other choices stay as they were.
  std::mt19937 ways(seed ^ 0xC4ED);
  cfg.data_on_credit = ways() % 4 == 0;
  cfg.empty_credit = ways() % 4 == 0;
  cfg.open_credit_only = ways() % 6 == 0;
  cfg.credit_request_flood_ms = ways() % 5 == 0 ? 50 + ways() % 400 : 0;
  *text += std::string(cfg.data_on_credit ? " data-on-credit" : "") +
           (cfg.empty_credit ? " empty-credit" : "") +
           (cfg.open_credit_only ? " open-credit-only" : "");
  if (cfg.credit_request_flood_ms)
    *text += " credit-request-flood=" + std::to_string(cfg.credit_request_flood_ms);
  for (const std::string& s : services) {
    emu::ServiceSetup setup;
    std::string error;
    emu::ParseService(s, &setup, &error);
    cfg.services.push_back(setup);
    *text += " " + s;
  }
  return cfg;
}

// Empty when no channel is left and the port's area holds only the blocks
// its record keeps between links (or nothing), else what is left.
std::string CheckPortBlocks() {
  PerPortInfo* lpPPI = ObtainPPI(0);
  DWORD dwHeld =
      (lpPPI->hDeviceID != 0) + (lpPPI->hSocketInfoArray != 0) + (lpPPI->hChanPtrArray != 0);
  int iUsed = lpPPI->bChannelsUsed;
  ReleasePPI(0);
  DWORD dwBlocks = LiveBlocks(0);
  if (iUsed == 0 && (dwBlocks == 0 || dwBlocks == dwHeld)) return "";
  return "after the run " + std::to_string(iUsed) + " channels and " + std::to_string(dwBlocks) +
         " blocks are left in the port's area (its record holds " + std::to_string(dwHeld) + ")";
}

struct Agent {
  HANDLE hGo = NULL, hDone = NULL;
  PROCESS_INFORMATION pi{};  // process agents
  std::thread thread;        // thread agents
  bool busy = false;
};

class Run {
 public:
  Run(unsigned seed, int serial) : seed_(seed) {
    name_ = "krzrandom-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(serial);
    hMap_ = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, sizeof(SharedRun),
                               (name_ + ".map").c_str());
    run_ = (SharedRun*)MapViewOfFile(hMap_, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(SharedRun));
    memset(run_, 0, sizeof *run_);
    run_->seed = seed;
    // Held while the run lives: agent processes leave once it is abandoned.
    hAlive_ = CreateMutexA(NULL, TRUE, (name_ + ".alive").c_str());
  }
  ~Run() {
    for (Agent& a : agents_) {
      if (a.thread.joinable()) a.thread.join();
      if (a.pi.hProcess) CloseHandle(a.pi.hProcess), CloseHandle(a.pi.hThread);
      if (a.hGo) CloseHandle(a.hGo), CloseHandle(a.hDone);
    }
    UnmapViewOfFile(run_);
    CloseHandle(hMap_);
    ReleaseMutex(hAlive_);
    CloseHandle(hAlive_);
  }

  bool StartAgent(int n) {
    Agent& a = agents_[n];
    if (!a.hGo) {
      a.hGo = CreateEventA(NULL, FALSE, FALSE, AgentEventName(name_, n, "go").c_str());
      a.hDone = CreateEventA(NULL, FALSE, FALSE, AgentEventName(name_, n, "done").c_str());
    }
    a.busy = false;
    if (n < RND_THREAD_AGENTS) {
      a.thread = std::thread([this, n] { RunAgent(name_, n); });
      return true;
    }
    std::string cmd = "krzrandom.exe --agent " + name_ + " " + std::to_string(n);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    return CreateProcessA(NULL, cmd.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &a.pi) != 0;
  }

  // Kills process agent n. Only one in the middle of a step the driver did
  // not wait for may be writing (the library runs no thread of its own in a
  // client); one that holds the port mutex is not.
  void Kill(int n, bool fHolding) {
    Agent& a = agents_[n];
    if (!fHolding && a.busy) killedAt_.push_back(emu::SteadyMs() - printerStart_);
    TerminateProcess(a.pi.hProcess, 99);
    WaitForSingleObject(a.pi.hProcess, 10000);
    CloseHandle(a.pi.hProcess), CloseHandle(a.pi.hThread);
    a.pi = {};
    ResetEvent(a.hDone);  // a step it finished unseen must not answer for the next
    for (int l = 0; l < RND_LANES; ++l) run_->lanes[n * RND_LANES + l] = LaneRec{};
  }

  // Waits for agent n to finish its step: empty, or why it did not. Past its
  // bound a call has failed; how much longer it takes tells a slow call from a
  // stuck one. Names the step: with steps the driver did not wait for, it may
  // be an earlier one than the step being posted.
  std::string Settle(int n, DWORD dwLimitMs) {
    Agent& a = agents_[n];
    std::string why;
    // Its done event, watching a process agent's life meanwhile.
    for (DWORD dwStart = GetTickCount(); a.busy && why.empty();) {
      bool fDone = WaitForSingleObject(a.hDone, 50) == WAIT_OBJECT_0;
      DWORD dwTaken = GetTickCount() - dwStart;
      if (fDone && dwTaken > dwLimitMs)
        why = "a call waited too long (" + std::to_string(dwTaken) + " ms)";
      else if (!fDone && a.pi.hProcess && WaitForSingleObject(a.pi.hProcess, 0) == WAIT_OBJECT_0)
        why = "an agent process died during a step";
      else if (!fDone && dwTaken > dwLimitMs + RND_STUCK_MS)
        why = "a call never returned";
      a.busy = !fDone;
    }
    return why.empty() ? why : why + " (" + PlanText({run_->agents[n].step}) + ")";
  }

  std::string Post(int n, const Step& s) {
    std::string why = Settle(n, RND_LONGEST_CALL_MS);
    if (!why.empty()) return why;
    run_->agents[n].step = s;
    agents_[n].busy = true;
    SetEvent(agents_[n].hGo);
    return (s.style & RND_NO_WAIT) ? "" : Settle(n, RND_LONGEST_CALL_MS);
  }

  std::string Check() {
    for (const AgentRec& a : run_->agents)
      if (a.failure[0]) return a.failure;
    char why[160];
    if (!CreditBooksHold(0, why, sizeof why)) return std::string("credit books: ") + why;
    return printer_->With([&](emu::Peripheral& p) -> std::string {
      // A killed writer leaves a packet cut short, which the printer calls
      // incomplete once the wire stayed silent for its inter-packet time: seen
      // then (with a wide margin for a loaded machine) it is the kill's doing.
      for (const emu::Violation& v : p.violations())
        if (v.text.find("incomplete packet") == std::string::npos ||
            std::none_of(killedAt_.begin(), killedAt_.end(), [&](uint32_t k) {
              return v.ms + 50 >= k && v.ms <= k + interPacketMs_ + 2000;
            }))
          return "the printer saw a host violation at " + std::to_string(v.ms) + " ms: " + v.text;
      return "";
    });
  }

  std::string Execute(const std::vector<Step>& plan) {
    std::string text;
    emu::EmuConfig cfg = DrawPrinter(seed_, &text);
    run_->noGrants = cfg.open_credit_only;
    interPacketMs_ = cfg.inter_packet_ms;
    printer_ = std::make_unique<emu::WireRunner>(cfg, nullptr);
    std::string why;
    printerStart_ = emu::SteadyMs();
    if (!printer_->Start("LPT1", &why)) return "the printer did not start: " + why;
    for (int n = 0; n < RND_AGENTS && why.empty(); ++n)
      if (!StartAgent(n)) why = "an agent did not start";
    for (size_t i = 0; i < plan.size() && why.empty(); ++i) {
      const Step& s = plan[i];
      if (s.op == kOpFault) {
        printer_->AddFault(kBehaviours[s.len % kBehaviourCount], &why);
      } else if (s.op == kOpKill) {
        if (s.style & RND_BLOCK) why = Post(s.agent, Step{kOpHold, s.agent, 0, 0, 0});
        Kill(s.agent, s.style & RND_BLOCK);
        if (!StartAgent(s.agent)) why = "an agent did not start again";
      } else {
        why = Post(s.agent, s);
      }
      if (why.empty()) why = Check();
      if (!why.empty()) why = "step " + std::to_string(i + 1) + " " + PlanText({s}) + ": " + why;
    }
    // Every agent drains its lanes and closes them, all at once, then leaves.
    for (int n = 0; n < RND_AGENTS; ++n)
      if (why.empty()) why = Post(n, Step{kOpDrain, (BYTE)n, 0, RND_NO_WAIT, 0});
    for (int n = 0; n < RND_AGENTS; ++n) {
      std::string drained = Settle(n, RND_DRAIN_MS + RND_LONGEST_CALL_MS);
      if (why.empty() && !drained.empty()) why = "drain: " + drained;
    }
    if (why.empty()) why = Check();
    for (int n = 0; n < RND_AGENTS; ++n) {
      Agent& a = agents_[n];
      if (a.busy && !a.pi.hProcess) {  // a stuck thread: leaving it is all we can do
        a.thread.detach();
        continue;
      }
      if (a.busy) TerminateProcess(a.pi.hProcess, 99);
      run_->agents[n].step.op = kOpExit;
      SetEvent(a.hGo);
      if (a.pi.hProcess) WaitForSingleObject(a.pi.hProcess, 10000);
    }
    for (Agent& a : agents_)
      if (a.thread.joinable() && !a.busy) a.thread.join();
    // A killed agent's channels stay open, and so may a channel whose close
    // the printer refused: then only the closing reset clears the area.
    bool fClean = std::none_of(plan.begin(), plan.end(),
                               [](const Step& s) { return s.op == kOpKill || s.op == kOpFault; });
    if (why.empty() && fClean) why = CheckPortBlocks();
    std::string reset = ResetLink();
    if (why.empty()) why = reset.empty() ? CheckPortBlocks() : reset;
    printer_->Stop();
    AgentRec total{};
    for (const AgentRec& a : run_->agents)
      total.cbChecked += a.cbChecked, total.msgChecked += a.msgChecked, total.opens += a.opens,
          total.losses += a.losses;
    printf("krzrandom:   bytes-checked=%lld messages-checked=%ld opens=%ld lanes-lost=%ld\n",
           (long long)total.cbChecked, (long)total.msgChecked, (long)total.opens,
           (long)total.losses);
    // A whole plan that judged nothing passed for want of traffic.
    if (why.empty() && plan.size() >= 200 && (!total.cbChecked || !total.msgChecked))
      why = "a plan of " + std::to_string(plan.size()) + " steps checked no byte or no message";
    return why;
  }

  // Ends the run with the printer dropping the link: the reset frees every
  // channel (also those of killed agents, which nobody closes), and the next
  // run's printer starts on a link the host knows is down.
  std::string ResetLink() {
    WORD hChannel = 0;
    MLCOpenChannel(0, 3, MLC_STREAM_CHANNEL, NULL, &hChannel, NULL, 0, 0, NULL, NULL);
    std::string error;
    printer_->AddFault("error=6@t=0", &error);
    bool fDown = Eventually([] {
      MLCPollChannels2(FALSE, 0);
      PerPortInfo* lpPPI = ObtainPPI(0);
      bool fIdle = !lpPPI->fMlcInitDone && lpPPI->bChannelsUsed == 0;
      ReleasePPI(0);
      return fIdle;
    });
    return fDown ? "" : "the link did not go down after the printer's MLC_ERROR";
  }

 private:
  unsigned seed_;
  std::string name_;
  HANDLE hMap_, hAlive_;
  SharedRun* run_;
  Agent agents_[RND_AGENTS];
  std::unique_ptr<emu::WireRunner> printer_;
  uint32_t printerStart_ = 0;       // the printer's clock starts just after this
  uint32_t interPacketMs_ = 0;      // the printer's wait before it calls a packet cut short
  std::vector<uint32_t> killedAt_;  // printer time of each kill of an agent amid a step
};

// The kind of a failure: its text without numbers, so that a shrunk plan
// still fails the same way.
std::string Kind(const std::string& why) {
  std::string kind;
  size_t colon = why.find(": ");  // past "step N OP:"
  for (char c : why.substr(colon == std::string::npos ? 0 : colon))
    if (c < '0' || c > '9') kind += c;
  return kind;
}

std::string RunOnce(unsigned seed, const std::vector<Step>& plan) {
  static int serial = 0;
  return Run(seed, serial++).Execute(plan);
}

// Drops chunks of steps while the plan still fails the same way.
std::vector<Step> Shrink(unsigned seed, std::vector<Step> plan, const std::string& why,
                         DWORD dwBudgetMs) {
  DWORD dwStart = GetTickCount();
  for (size_t chunk = plan.size() / 2; chunk >= 1; chunk /= 2) {
    for (size_t at = 0; at < plan.size() && GetTickCount() - dwStart < dwBudgetMs;) {
      std::vector<Step> fewer(plan.begin(), plan.begin() + at);
      fewer.insert(fewer.end(), plan.begin() + std::min(at + chunk, plan.size()), plan.end());
      std::string again = RunOnce(seed, fewer);
      if (!again.empty() && Kind(again) == Kind(why))
        plan = fewer;
      else
        at += chunk;
    }
  }
  return plan;
}

// Brings the link up and down once before the first seed, untimed: the
// first start of the helper process can be slow (under Wine, seconds), and
// no step should be judged on that.
void WarmUp() {
  std::string text, error;
  emu::WireRunner printer(DrawPrinter(0, &text), nullptr);
  if (!printer.Start("LPT1", &error)) return;
  WORD hChannel = 0;
  if (MLCOpenChannel(0, 3, MLC_STREAM_CHANNEL, NULL, &hChannel, NULL, 0, 0, NULL, NULL) ==
      MLC_SUCCESS)
    MLCCloseChannel(hChannel);  // the last channel: the link goes down with it
  printer.Stop();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "--agent") == 0) {
    DWORD hPort = MLCGetPortHandle(0);
    int iExit = hPort && RegisterAgentClass() ? RunAgent(argv[2], atoi(argv[3])) : 5;
    if (hPort) MLCReleasePortHandle(hPort);
    return iExit;
  }
  unsigned seed = 1, count = 1, minutes = 0;
  int steps = RND_STEPS;
  const char* lpszPlan = nullptr;
  setvbuf(stdout, NULL, _IONBF, 0);
  for (int i = 1; i + 1 < argc; i += 2) {
    const char* a = argv[i];
    unsigned v = (unsigned)strtoul(argv[i + 1], nullptr, 10);
    if (!strcmp(a, "--seed") || !strcmp(a, "--count") || !strcmp(a, "--minutes"))
      *(a[2] == 's' ? &seed : a[2] == 'c' ? &count : &minutes) = v;
    else if (!strcmp(a, "--steps"))
      steps = (int)v;
    else if (!strcmp(a, "--plan"))
      lpszPlan = argv[i + 1];
    else
      return fprintf(stderr, "krzrandom: unknown argument %s\n", a), 2;
  }
  if (argc % 2 == 0 || steps <= 0) return fprintf(stderr, "krzrandom: bad arguments\n"), 2;
  WriteTextFile(
      WindowsDirFile("KRZTBX15.INI"),
      "[KRZMLC15]\r\nMLC_PACKET_TIMEOUT_WHILE_BUSY=" + std::to_string(RND_REPLY_TIMEOUT_MS) +
          "\r\nMLC_PACKET_TIMEOUT_WHILE_NOT_BUSY=" + std::to_string(RND_REPLY_TIMEOUT_MS) +
          "\r\nCreditTimeout=" + std::to_string(RND_CREDIT_TIMEOUT_MS) +
          "\r\nMIN_POLL_INTERVAL=50\r\nMAX_POLL_INTERVAL=200\r\n");
  LoadIniValues();                    // this process attached before the file was written
  DWORD hPort = MLCGetPortHandle(0);  // for the thread agents
  if (!hPort) return fprintf(stderr, "krzrandom: no port handle\n"), 2;
  if (!RegisterAgentClass()) return fprintf(stderr, "krzrandom: no window class\n"), 2;
  WarmUp();
  DWORD dwStart = GetTickCount();
  int iExit = 0;
  for (unsigned n = 0; minutes ? GetTickCount() - dwStart < minutes * 60000u : n < count;
       ++n, ++seed) {
    std::string swarm, printer;
    std::vector<Step> plan = DrawPlan(seed, steps, &swarm);
    if (lpszPlan && (plan.clear(), !ParsePlan(lpszPlan, &plan)))
      return fprintf(stderr, "krzrandom: bad plan\n"), 2;
    DrawPrinter(seed, &printer);
    printf("krzrandom: seed %u (%zu steps; off: %s; printer: %s)\n", seed, plan.size(),
           swarm.empty() ? "none" : swarm.c_str(), printer.c_str());
    std::string why = RunOnce(seed, plan);
    if (why.empty()) continue;
    printf("krzrandom: FAIL seed %u: %s\n", seed, why.c_str());
    // Real processes make the schedule vary: say how often the shrunk plan fails again.
    std::vector<Step> shrunk = Shrink(seed, plan, why, 90000);
    int again = 0;
    for (int i = 0; i < 3; ++i) again += Kind(RunOnce(seed, shrunk)) == Kind(why);
    printf(
        "krzrandom: shrunk to %zu steps (failed again %d of 3 times): krzrandom --seed %u "
        "--plan \"%s\"\n",
        shrunk.size(), again, seed, PlanText(shrunk).c_str());
    iExit = 1;
    if (!minutes) break;
  }
  MLCReleasePortHandle(hPort);
  printf("krzrandom: %s\n", iExit ? "FAIL" : "PASS");
  return iExit;
}
