// krzrandom: the seeded randomized multi-client test and soak (tests/README.md).
// Exit code 0: every seed passed, 1: a failure (its plan shrunk), 2: bad arguments.
//   krzrandom [--seed N] [--count N] [--steps N] [--minutes N] [--plan "STEPS"]
//   krzrandom --agent RUN N       (an agent process; started by the driver)
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

#include "channel/creditcheck.h"
#include "cli_options.h"
#include "krzmlc15.h"
#include "random_run.h"
#include "shared/config.h"
#include "testutil.h"
#include "wire_runner.h"

namespace {

// Legal behaviours a sound host survives, at worst with a reset.
const char* const kBehaviours[] = {
    "error=6@t=0",  "noreply=open",      "noreply=credit",  "late=open:300",      "split=data:3:50",
    "half=data",    "creditreq@t=0",     "unsupported@t=0", "late=creditreq:200", "badcredit@t=0",
    "debit=1@t=0",  "split=credit:3:40", "result=open:2",   "noreply=close",      "late=credit:200",
    "baddebit@t=0", "result=close",      "result=credit",
};
const int kBehaviourCount = sizeof kBehaviours / sizeof *kBehaviours;

// A seed's printer as the emulator's command line (credit ways drawn apart from the rest).
emu::EmuConfig DrawPrinter(unsigned seed, std::string* text) {
  std::mt19937 rng(seed ^ 0x5EED), ways(seed ^ 0xC4ED);
  const unsigned kPtoH[] = {0x100C, 0x206, 0x46}, kRequestMs[] = {0, 200, 1000};
  bool fPiggyback = rng() % 2;
  unsigned ptoh = kPtoH[rng() % 3], requestMs = kRequestMs[rng() % 3];
  unsigned c3 = 1 + rng() % 8, c4 = 1 + rng() % 8, c5 = 1 + rng() % 3;
  bool fDataOnCredit = ways() % 4 == 0, fEmptyCredit = ways() % 4 == 0, fOpenOnly = ways() % 6 == 0;
  unsigned flood = ways() % 5 == 0 ? 50 + ways() % 400 : 0;
  char sz[400];
  snprintf(
      sz, sizeof sz,
      "--max-channels 128 --channels-per-socket 64 --max-ptoh %u --credit-request-ms %u%s%s%s%s "
      "--service 3:echo:credit=%u --service 4:echo:credit=%u --service 5:msgecho:credit=%u "
      "--service 6:source:bytes=%d",
      ptoh, requestMs, fPiggyback ? " --piggyback" : "", fDataOnCredit ? " --data-on-credit" : "",
      fEmptyCredit ? " --empty-credit" : "", fOpenOnly ? " --open-credit-only" : "", c3, c4, c5,
      RND_SOURCE_BYTES);
  *text = sz + (flood ? " --credit-request-flood " + std::to_string(flood) : "");
  std::istringstream words(*text);
  emu::EmulatorOptions options;
  std::string error;
  if (!emu::ParseEmulatorArgs({std::istream_iterator<std::string>(words), {}}, &options, &error))
    abort();  // the text above is wrong
  return options.cfg;
}

// Empty, or the channels and blocks left beyond what the port's record keeps between links.
std::string CheckPortBlocks() {
  PerPortInfo* lpPPI = ObtainPPI(0);
  DWORD dwHeld =
      (lpPPI->hDeviceID != 0) + (lpPPI->hSocketInfoArray != 0) + (lpPPI->hChanPtrArray != 0);
  int iUsed = lpPPI->bChannelsUsed;
  ReleasePPI(0);
  DWORD dwBlocks = LiveBlocks(0);
  if (iUsed == 0 && (dwBlocks == 0 || dwBlocks == dwHeld)) return "";
  return "after the run " + std::to_string(iUsed) + " channels and " + std::to_string(dwBlocks) +
         " blocks are left (the record holds " + std::to_string(dwHeld) + ")";
}

struct Agent {
  HANDLE hGo = NULL, hDone = NULL;
  Child proc;          // process agents
  std::thread thread;  // thread agents
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
    hAlive_ = CreateMutexA(NULL, TRUE, (name_ + ".alive").c_str());  // agents leave when free
  }
  ~Run() {
    for (Agent& a : agents_) {
      if (a.thread.joinable()) a.thread.join();
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
    if (n < RND_THREAD_AGENTS) a.thread = std::thread([this, n] { RunAgent(name_, n); });
    return n < RND_THREAD_AGENTS ||
           a.proc.Run("krzrandom.exe --agent " + name_ + " " + std::to_string(n));
  }

  // Kills process agent n; one amid a step it was not waited for may cut a packet short.
  void Kill(int n, bool fHolding) {
    Agent& a = agents_[n];
    if (!fHolding && a.busy) killedAt_.push_back(emu::SteadyMs() - printerStart_);
    a.proc.Kill();
    ResetEvent(a.hDone);  // a step it finished unseen must not answer for the next
    for (int l = 0; l < RND_LANES; ++l) run_->lanes[n * RND_LANES + l] = LaneRec{};
  }

  // Waits for agent n's step, watching its process: empty, or why not.
  std::string Settle(int n, DWORD dwLimitMs) {
    Agent& a = agents_[n];
    std::string why;
    for (DWORD dwStart = GetTickCount(); a.busy && why.empty();) {
      bool fDone = WaitForSingleObject(a.hDone, 50) == WAIT_OBJECT_0;
      DWORD dwTaken = GetTickCount() - dwStart;
      if (fDone && dwTaken > dwLimitMs)
        why = "a call waited too long (" + std::to_string(dwTaken) + " ms)";
      else if (!fDone && a.proc.running &&
               WaitForSingleObject(a.proc.pi.hProcess, 0) == WAIT_OBJECT_0)
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
      // A killed writer leaves a packet incomplete (a wide margin for a loaded machine).
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
        const char* lpszRow = kBehaviours[s.len % kBehaviourCount];
        printer_->AddFault(lpszRow, &why);
        // A lane whose only credit a debit took may never be granted again.
        if (strncmp(lpszRow, "debit=", 6) == 0) run_->noGrants = 1;
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
    for (int n = 0; n < RND_AGENTS; ++n)
      if (why.empty()) why = Post(n, Step{kOpDrain, (BYTE)n, 0, RND_NO_WAIT, 0});
    for (int n = 0; n < RND_AGENTS; ++n) {
      std::string drained = Settle(n, RND_DRAIN_MS + RND_LONGEST_CALL_MS);
      if (why.empty() && !drained.empty()) why = "drain: " + drained;
    }
    if (why.empty()) why = Check();
    for (int n = 0; n < RND_AGENTS; ++n) {
      Agent& a = agents_[n];
      if (a.busy && n < RND_THREAD_AGENTS) {  // a stuck thread: leaving it is all we can do
        a.thread.detach();
        continue;
      }
      if (a.busy) a.proc.Kill();
      run_->agents[n].step.op = kOpExit;
      SetEvent(a.hGo);
      a.proc.Wait(10000);
    }
    bool fClean = std::none_of(plan.begin(), plan.end(),
                               [](const Step& s) { return s.op == kOpKill || s.op == kOpFault; });
    if (why.empty() && fClean) why = CheckPortBlocks();
    std::string reset = ResetLink();
    if (why.empty()) why = reset.empty() ? CheckPortBlocks() : reset;
    printer_->Stop();
    long long cb = 0, msgs = 0, opens = 0, losses = 0;
    for (const AgentRec& a : run_->agents)
      cb += a.cbChecked, msgs += a.msgChecked, opens += a.opens, losses += a.losses;
    printf("krzrandom:   bytes-checked=%lld messages-checked=%lld opens=%lld lanes-lost=%lld\n", cb,
           msgs, opens, losses);
    if (why.empty() && plan.size() >= 200 && (!cb || !msgs))
      why = "a plan of " + std::to_string(plan.size()) + " steps checked no byte or no message";
    return why;
  }

  // The printer drops the link: the reset frees every channel, also killed agents'.
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

std::string Kind(std::string why) {  // without numbers: a shrunk plan must fail alike
  if (size_t colon = why.find(": "); colon != std::string::npos)
    why.erase(0, colon);  // "step N OP"
  why.erase(std::remove_if(why.begin(), why.end(), [](char c) { return c >= '0' && c <= '9'; }),
            why.end());
  return why;
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

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "--agent") == 0) {
    DWORD hPort = MLCGetPortHandle(0);
    int iExit = hPort && RegisterAgentClass() ? RunAgent(argv[2], atoi(argv[3])) : 5;
    if (hPort) MLCReleasePortHandle(hPort);
    return iExit;
  }
  unsigned seed = 1, count = 1, minutes = 0, steps = RND_STEPS;
  const char* lpszPlan = nullptr;
  const std::map<std::string, unsigned*> numbers = {
      {"--seed", &seed}, {"--count", &count}, {"--minutes", &minutes}, {"--steps", &steps}};
  setvbuf(stdout, NULL, _IONBF, 0);
  for (int i = 1; i + 1 < argc; i += 2) {
    if (numbers.count(argv[i]))
      *numbers.at(argv[i]) = (unsigned)strtoul(argv[i + 1], nullptr, 10);
    else if (!strcmp(argv[i], "--plan"))
      lpszPlan = argv[i + 1];
    else
      return fprintf(stderr, "krzrandom: unknown argument %s\n", argv[i]), 2;
  }
  if (argc % 2 == 0 || (int)steps <= 0) return fprintf(stderr, "krzrandom: bad arguments\n"), 2;
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
  RunOnce(0, {});  // untimed, first: the helper's first start can be slow (Wine: seconds)
  DWORD dwStart = GetTickCount();
  int iExit = 0;
  for (unsigned n = 0; minutes ? GetTickCount() - dwStart < minutes * 60000u : n < count;
       ++n, ++seed) {
    std::string swarm, printer;
    std::vector<Step> plan = DrawPlan(seed, (int)steps, &swarm);
    if (lpszPlan && (plan.clear(), !ParsePlan(lpszPlan, &plan)))
      return fprintf(stderr, "krzrandom: bad plan\n"), 2;
    DrawPrinter(seed, &printer);
    printf("krzrandom: seed %u (%zu steps; off: %s; printer: %s)\n", seed, plan.size(),
           swarm.empty() ? "none" : swarm.c_str(), printer.c_str());
    std::string why = RunOnce(seed, plan);
    if (why.empty()) continue;
    printf("krzrandom: FAIL seed %u: %s\n", seed, why.c_str());
    std::vector<Step> shrunk = Shrink(seed, plan, why, 90000);
    int again = 0;  // processes vary the schedule: how often does the shrunk plan fail again?
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
