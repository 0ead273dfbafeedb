#include "trace.h"

namespace emu {

void Trace::Line(uint32_t ms, const std::string& text) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%6u.%03u ", ms / 1000, ms % 1000);
  std::string line = stamp + text;
  std::lock_guard<std::mutex> lock(mu_);
  if (out_) {
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
  }
  if (keep_) lines_.push_back(line);
}

std::vector<std::string> Trace::Lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

std::vector<std::string> Trace::Matching(const std::string& text) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> out;
  for (const std::string& l : lines_) {
    if (l.find(text) != std::string::npos) out.push_back(l);
  }
  return out;
}

}  // namespace emu
