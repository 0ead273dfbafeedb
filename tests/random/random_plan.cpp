// Plans of the randomized test: every choice drawn from the seed.
#include <stdio.h>

#include <random>
#include <sstream>

#include "random_run.h"

namespace {

// The operations and their weights; those from kOpClose on may be off for a run ("swarm").
const char kOps[] = {kOpOpen,     kOpWrite, kOpRead, kOpClose, kOpPoll,
                     kOpRetrieve, kOpStale, kOpKill, kOpFault};
const int kWeights[] = {8, 14, 14, 2, 4, 2, 1, 1, 2};

}  // namespace

std::vector<Step> DrawPlan(unsigned seed, int steps, std::string* swarm) {
  std::mt19937 rng(seed);
  std::vector<int> weights;
  for (size_t i = 0; i < sizeof kOps; ++i) {
    bool fOn = i < 3 || rng() % 3 != 0;
    weights.push_back(fOn ? kWeights[i] : 0);
    if (!fOn) *swarm += kOps[i];
  }
  std::discrete_distribution<int> pick(weights.begin(), weights.end());
  std::vector<Step> plan;
  for (int i = 0; i < steps; ++i) {
    Step s{kOps[pick(rng)], (BYTE)(rng() % RND_AGENTS), (BYTE)(rng() % RND_LANES), 0, 0};
    if (s.op == kOpKill)
      s.agent = (BYTE)(RND_THREAD_AGENTS + s.agent % (RND_AGENTS - RND_THREAD_AGENTS));
    if (rng() % 3 == 0) s.style = RND_BLOCK | (rng() % 2 ? RND_NO_WAIT : 0);
    // Mostly small transfers, now and then one of many packets.
    s.len = (WORD)(rng() % 4 ? rng() % 600 : rng() % 12000);
    plan.push_back(s);
  }
  return plan;
}

std::string PlanText(const std::vector<Step>& plan) {
  std::string text;
  for (const Step& s : plan) {
    char sz[32];
    snprintf(sz, sizeof sz, "%s%c%d.%d.%d.%d", text.empty() ? "" : " ", s.op, s.agent, s.lane,
             s.style, s.len);
    text += sz;
  }
  return text;
}

bool ParsePlan(const std::string& text, std::vector<Step>* plan) {
  std::istringstream in(text);
  for (std::string word; in >> word;) {
    Step s{};
    int agent, lane, style, len;
    if (sscanf(word.c_str(), "%c%d.%d.%d.%d", &s.op, &agent, &lane, &style, &len) != 5 ||
        agent < 0 || agent >= RND_AGENTS || lane < 0 || lane >= RND_LANES || len < 0 || len > 65535)
      return false;
    s.agent = (BYTE)agent, s.lane = (BYTE)lane, s.style = (BYTE)style, s.len = (WORD)len;
    plan->push_back(s);
  }
  return true;
}
