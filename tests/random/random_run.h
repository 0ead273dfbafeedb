// What the randomized test's driver and agents share: plans of steps, and the
// books the agents keep in a shared mapping, which the driver judges every step.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#define RND_AGENTS 4  // agents 0 and 1 are threads of the driver, 2 and 3 processes
#define RND_THREAD_AGENTS 2
#define RND_LANES 4             // per agent: echo 3, echo 4, message echo 5, source 6
#define RND_SOURCE_BYTES 20000  // what the source service sends after each open
#define RND_STEPS 300           // a plan's steps unless --steps says otherwise
#define RND_APP_MSG 0x8001

// Short time-outs bring time-out paths up; under Wine kernel calls are slow.
#ifdef _WIN32
#define RND_REPLY_TIMEOUT_MS 1000
#define RND_CREDIT_TIMEOUT_MS 500
#define RND_SLOW_MS 5000
#else
#define RND_REPLY_TIMEOUT_MS 500
#define RND_CREDIT_TIMEOUT_MS 300
#define RND_SLOW_MS 0
#endif
#define RND_BLOCK_MS 300  // longest wait a step asks of a blocking call
// A call's longest wait: the mutex, replies, a reset, credit and its own time-out.
#define RND_LONGEST_CALL_MS \
  (4 * RND_REPLY_TIMEOUT_MS + RND_CREDIT_TIMEOUT_MS + RND_BLOCK_MS + 2000 + RND_SLOW_MS)
#define RND_DRAIN_MS 8000
#define RND_STUCK_MS 20000  // a call this much past its bound is stuck

enum RndOp : char {
  kOpOpen = 'O',
  kOpClose = 'C',
  kOpWrite = 'W',
  kOpRead = 'R',
  kOpPoll = 'P',
  kOpRetrieve = 'D',  // RetrieveData, when the agent owns host socket 0x80
  kOpStale = 'S',     // a read through the handle of a lane lost to a reset
  kOpKill = 'K',      // kill a process agent and start it again
  kOpFault = 'F',     // the printer commits a behaviour of its table
  kOpHold = 'H',      // (agents only) take the port mutex and keep it: a kill with style 1
  kOpDrain = 'Z',     // end of run (agents only): read back everything, close
  kOpExit = 'X',
};

#define RND_BLOCK 1    // blocking call (open: callback instead of a window)
#define RND_NO_WAIT 2  // the driver goes on without waiting for the step

struct Step {
  char op;
  BYTE agent, lane, style;
  WORD len;  // bytes, buffer size, or the behaviour row of a fault
};

#pragma pack(push, 4)
struct LaneRec {
  WORD hChannel, hStale;  // hStale: the handle of the open lost to the last reset
  LONG open, lost;        // lost: MLC_DISCONNECT came and is not yet seen
  DWORD epoch, opens;
  LONGLONG cbSent, cbBack;  // stream bytes written as reported / read back
  LONG msgSent, msgBack;
  LONG doubtful;  // a close failed: the channel stays, or a reset during the close took it untold
};
struct AgentRec {
  Step step;
  LONG result;
  LONGLONG cbChecked;  // bytes read back and judged right
  LONG msgChecked, opens, losses;
  char failure[200];
};
struct SharedRun {
  DWORD seed;
  LONG noGrants;  // credit only in open replies, or debited: what waits for more may stay
  AgentRec agents[RND_AGENTS];
  LaneRec lanes[RND_AGENTS * RND_LANES];
};
#pragma pack(pop)

// Plans: drawn from a seed (swarm: kinds off), printed, parsed ("W2.1.1.300 R0.0.0.77").
std::vector<Step> DrawPlan(unsigned seed, int steps, std::string* swarm);
std::string PlanText(const std::vector<Step>& plan);
bool ParsePlan(const std::string& text, std::vector<Step>* plan);

// Agent n of the run named name serves its steps until kOpExit: 0, or 5 unjoined.
bool RegisterAgentClass();
int RunAgent(const std::string& name, int n);
std::string AgentEventName(const std::string& run, int n, const char* what);
