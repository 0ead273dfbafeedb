// The peripheral side of MLC as a state machine, independent of the wire:
// it is fed the host's bytes with their ECP channel address and the current
// time, and produces the bytes to send back. It keeps strict credit books
// in both directions, records every host protocol violation, runs the
// services of its sockets and commits the faults it was configured with.
// The class is implemented in four files by responsibility:
//   peripheral.cpp           input framing, output, time, accessors
//   peripheral_commands.cpp  the host's commands, our replies, the host's answers to ours
//   peripheral_books.cpp     data packets, credit books, services, our own commands
//   peripheral_faults.cpp    reply faults, triggers and event faults
//   peripheral_credit_ways.cpp  the ways of handling credit chosen by option
//   peripheral_due.cpp       when time next matters to Tick
#ifndef EMU_PERIPHERAL_H
#define EMU_PERIPHERAL_H

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emu_config.h"
#include "mlc_packet.h"
#include "services.h"
#include "trace.h"

namespace emu {

struct SocketConfig {
  uint16_t htop = 0;  // whole-packet sizes agreed with MLC_CONFIG_SOCKET
  uint16_t ptoh = 0;
  uint8_t status_level = 0;
};

// The books of one open channel.
struct ChannelBook {
  uint8_t hsid = 0;
  uint8_t psid = 0;
  size_t htop_payload = 0;     // largest payload the host may send
  size_t ptoh_payload = 0;     // largest payload we send
  uint32_t host_credit = 0;    // packets the host may still send (granted by us, unused)
  uint32_t peri_credit = 0;    // packets we may still send (granted by the host, unused)
  uint32_t granted_total = 0;  // credit we have granted the host since the open
  uint32_t withheld = 0;       // credit taken back with MLC_DEBIT: never granted again here
  uint32_t last_credit_request_ms = 0;
  bool credit_request_sent = false;
  bool host_grants = true;  // the host granted credit at the open (it has a receive buffer)
  uint64_t packets_in = 0, bytes_in = 0, packets_out = 0, bytes_out = 0;
  Service* service = nullptr;
};

struct Violation {
  uint32_t ms;
  std::string text;
};

class Peripheral {
 public:
  // trace may be null.
  Peripheral(const EmuConfig& cfg, Trace* trace);

  // Bytes the host wrote, with the ECP channel address they were written on.
  void Receive(uint8_t address, const uint8_t* p, size_t n, uint32_t now_ms);
  // Lets time pass: drains sinks, sends data and credit, fires timed faults.
  void Tick(uint32_t now_ms);
  // Bytes to send to the host (in order), cleared by the call.
  Bytes TakeOutput();
  // Milliseconds from now until Tick can next change anything on its own
  // (kNothingDue: only the host's bytes can). Every timed behaviour of Tick
  // must be counted here, or the wire runner sleeps through it.
  static constexpr uint32_t kNothingDue = 0xFFFFFFFF;
  uint32_t MsUntilDue(uint32_t now_ms) const;

  bool link_up() const { return link_up_; }
  bool silent() const { return silent_; }
  // The wire should no longer be read (host writes time out).
  bool stalled() const { return stalled_; }
  // The peripheral wants to leave the wire.
  bool detach_requested() const { return detach_; }
  uint64_t synch_bytes() const { return synch_bytes_; }
  uint8_t host_revision() const { return host_revision_; }
  const std::vector<Violation>& violations() const { return violations_; }
  // Channel books by host socket id; null when no such channel is open.
  const ChannelBook* channel(uint8_t hsid) const;
  const SocketConfig* socket(uint8_t psid) const;
  // Service of a socket (kept across opens); null when none. With several
  // channels on one socket each open channel has an instance of its own;
  // this is the first one.
  Service* service(uint8_t psid);
  // Counters of all instances of a socket's service.
  ServiceStats socket_stats(uint8_t psid) const;
  // Error codes the host reported with MLC_ERROR, in order.
  const std::vector<uint8_t>& host_errors() const { return host_errors_; }
  // Adds a fault while running. Its moment counts from now: "open" is the
  // next open, "t=100" 100 ms from now, "bytes=10" ten more host data bytes.
  void AddFault(Fault f);
  const EmuConfig& config() const { return cfg_; }

 private:
  // A command the peripheral started and whose answer it awaits.
  struct OwnCommand {
    uint8_t command = 0;
    uint8_t hsid = 0, psid = 0;
    uint16_t value = 0;
    uint32_t sent_ms = 0;
    bool stray = false;  // aimed at a socket pair that is not open: no books change
  };
  struct Scheduled {
    uint32_t due_ms;
    Bytes bytes;
  };

  uint32_t Ms(uint32_t now) const { return now - start_ms_; }
  void Note(uint32_t now, const std::string& text);
  void Violate(uint32_t now, const std::string& text);
  void Emit(const Bytes& packet, uint32_t now);
  // Puts bytes on the output, or behind a split packet's pause.
  void Output(const uint8_t* p, size_t n);
  // The first bytes of a packet now, the rest (and all output after it) after a pause.
  void EmitSplit(const Bytes& packet, const Fault& f, uint32_t now);
  void EmitReply(uint8_t command, Bytes reply, Fault* fault, uint32_t now);
  Fault* FindReplyFault(uint8_t command, unsigned occurrence);
  void FireCommandTriggers(uint8_t command, unsigned occurrence, uint32_t now);
  void FireEvent(Fault& f, uint32_t now);
  void CheckTriggers(uint32_t now);

  void HandlePacket(const Bytes& pkt, uint32_t now);
  void HandleCommand(const Bytes& pkt, uint32_t now);
  void HandleHostReply(const Bytes& pkt, uint32_t now);
  void HandleData(const Bytes& pkt, uint32_t now);

  void OnInit(const uint8_t* pl, Fault* f, uint32_t now);
  void OnConfigSocket(const uint8_t* pl, Fault* f, uint32_t now);
  void OnOpen(const uint8_t* pl, Fault* f, uint32_t now);
  void OnClose(const uint8_t* pl, Fault* f, uint32_t now);
  void OnCredit(const uint8_t* pl, Fault* f, uint32_t now);
  void OnCreditRequest(const uint8_t* pl, Fault* f, uint32_t now);
  void CheckAnswerResult(const OwnCommand& own, uint8_t result, uint32_t now);
  void DropLink(uint32_t now, const std::string& why);
  // A host packet on a link that is down: a violation, unless it crossed our MLC_ERROR.
  void NotInitialised(uint32_t now, const std::string& what);

  void ServeChannels(uint32_t now);
  // The data the channel's service wants and our credit allows, sent now.
  void SendWanted(ChannelBook& ch, uint32_t now);
  // -- The ways of handling credit (peripheral_credit_ways.cpp).
  // What may be granted, in the headers of empty data packets.
  void GrantInEmptyPackets(ChannelBook& ch, uint32_t now);
  // -- end of the ways of handling credit
  void SendData(ChannelBook& ch, Bytes payload, uint32_t now);
  uint32_t Grantable(const ChannelBook& ch) const;
  // A free instance of the socket's service for a new channel (made when all are busy).
  Service* ServiceForOpen(uint8_t psid);
  unsigned ChannelLimit(uint8_t psid) const;
  unsigned ChannelsOn(uint8_t psid) const;
  void QueueOwn(uint8_t command, uint8_t hsid, uint8_t psid, uint16_t value);
  bool OwnQueued(uint8_t command, uint8_t hsid) const;
  void SendNextOwn(uint32_t now);
  ChannelBook* Target();
  ChannelBook* MessageTarget();
  // badcredit, baddebit: the socket pair the stray command names; false when there is none.
  bool StrayPair(const Fault& f, uint8_t* hsid, uint8_t* psid);

  // Behaviours of EmuConfig that test the host's waits (peripheral_waits.cpp).
  enum class Phase { kIdle, kRunning, kEnded };
  void WaitBehaviours(uint32_t now);
  void EndFiller(uint32_t now, const char* why);
  // Takes the host's answer to one of the flood's requests; false for others.
  bool TakeFloodAnswer(const Bytes& pkt, uint32_t now);
  Phase flood_ = Phase::kIdle;
  uint32_t flood_start_ = 0;
  uint8_t flood_hsid_ = 0, flood_psid_ = 0;  // the channel opened last when the flood began
  unsigned flood_outstanding_ = 0;
  Phase filler_ = Phase::kIdle;
  uint32_t filler_last_ = 0;

  EmuConfig cfg_;
  Trace* trace_;
  bool started_ = false;
  uint32_t start_ms_ = 0;
  uint32_t last_rx_ms_ = 0;
  uint32_t last_ms_ = 0;  // the latest time seen
  PacketSplitter splitter_;
  Bytes out_;
  Bytes held_;  // output waiting behind a split packet's pause
  bool holding_ = false;
  uint32_t hold_until_ = 0;
  std::vector<Scheduled> scheduled_;
  bool link_up_ = false;
  // We dropped the link with our own MLC_ERROR: until the host's next
  // MLC_INIT its packets may have crossed the error on the wire.
  bool dropped_by_us_ = false;
  uint32_t dropped_at_ = 0;
  bool silent_ = false;
  bool stalled_ = false;
  bool detach_ = false;
  uint8_t host_revision_ = 0;
  uint64_t synch_bytes_ = 0;
  uint64_t data_bytes_in_ = 0;
  std::vector<Violation> violations_;
  std::vector<uint8_t> host_errors_;
  std::map<uint8_t, std::vector<std::unique_ptr<Service>>> services_;
  std::map<uint8_t, SocketConfig> sockets_;
  std::map<uint8_t, ChannelBook> channels_;
  uint8_t last_opened_ = 0;
  uint8_t highest_opened_ = 0;  // highest host socket id opened since MLC_INIT (0: none)
  std::map<uint8_t, unsigned> command_count_;
  std::optional<OwnCommand> own_;
  std::optional<OwnCommand> given_up_;  // unanswered in time; a late answer is no violation
  std::deque<OwnCommand> own_queue_;
};

}  // namespace emu

#endif
