// The decoded wire trace: one time-stamped line per packet in either
// direction, per unparseable run of bytes, per fault committed and per host
// protocol violation. Written to a file (or standard output) and, for tests,
// kept in memory. Safe to use from several threads.
#ifndef EMU_TRACE_H
#define EMU_TRACE_H

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace emu {

class Trace {
 public:
  // out may be null (nothing written); keep = also hold the lines in memory.
  Trace(std::FILE* out, bool keep) : out_(out), keep_(keep) {}
  // "  12.345 H>P MLC_INIT rev=3 (len 8)"
  void Line(uint32_t ms, const std::string& text);
  std::vector<std::string> Lines() const;
  // Lines containing the text, in order.
  std::vector<std::string> Matching(const std::string& text) const;

 private:
  mutable std::mutex mu_;
  std::FILE* out_;
  bool keep_;
  std::vector<std::string> lines_;
};

// Trace prefixes.
constexpr const char* kToPeripheral = "H>P ";
constexpr const char* kToHost = "P>H ";
constexpr const char* kViolation = "!! host violation: ";
constexpr const char* kFaultNote = "** fault ";
constexpr const char* kNote = "-- ";

}  // namespace emu

#endif
