// What an emulated peripheral is: its device ID and capability word, its
// packet-size limits, the service behind each socket, and the faults it is
// told to commit. Parsed from the same short text forms on the command line
// and in tests.
#ifndef EMU_EMU_CONFIG_H
#define EMU_EMU_CONFIG_H

#include <cstdint>
#include <string>
#include <vector>

#include "mlc_packet.h"

namespace emu {

enum class ServiceKind { kSink, kEcho, kSource, kStatus, kMessageEcho };

struct ServiceSetup {
  uint8_t psid = 0;
  ServiceKind kind = ServiceKind::kSink;
  uint32_t credit = 8;                 // packets (messages) the service holds from the host at once
  int64_t drain = -1;                  // sink: bytes per second it consumes; -1 at once, 0 never
  bool store = false;                  // sink: keep the bytes (else only count them)
  uint64_t bytes = 0;                  // source: how many bytes it sends after the open
  std::string text = "STATUS:READY;";  // status: the answer to every request
  unsigned channels = 0;               // channels open at once on this socket; 0 = the default
};

// "PSID:KIND[:key=value,...]", e.g. "2:sink:drain=4096,credit=4,store".
bool ParseService(const std::string& text, ServiceSetup* out, std::string* error);
const char* ServiceKindName(ServiceKind kind);

enum class FaultKind {
  // Change the reply to a host command.
  kNoReply,       // noreply=CMD
  kLateReply,     // late=CMD:MS
  kBadLength,     // badlen=CMD[:DELTA]    bytes added (or removed when negative), default +1
  kResult,        // result=CMD[:VALUE]    default: 1 (COMMAND_CHANNEL_MAXXED_OUT for open)
  kUnknownReply,  // unknown=CMD[:VALUE]   reply value, default 0x89
  kHalf,          // half=CMD | half=data  first half of the packet, then silence
  kSplit,         // split=CMD|data[:K[:MS]]  K bytes (3), a pause of MS ms (100), the rest
  // Act at a moment ("@WHEN").
  kError,          // error=CODE            MLC_ERROR from the peripheral
  kNoCredit,       // nocredit              data packets past the host's credit
  kOversize,       // oversize              a data packet one byte longer than negotiated
  kBadPsid,        // badpsid               a data packet with a wrong peripheral socket id
  kOverflow,       // overflow              MLC_CREDIT taking the host's credit past 65535
  kDebit,          // debit=N               MLC_DEBIT of N credits
  kCreditRequest,  // creditreq[=N]         MLC_CREDIT_REQUEST from the peripheral
  kNoDrain,        // nodrain               every sink stops draining
  kStall,          // stall                 stop reading the wire (host writes time out)
  kDetach,         // detach                leave the wire (connection check fails)
  kUnsupported,    // unsupported[=V]       command V (0x06) the host does not support
  kStrayCredit,    // badcredit[=hsid[:H]|psid[:P]]  MLC_CREDIT for a socket pair not open
  kStrayDebit,     // baddebit[=hsid[:H]|psid[:P]]   MLC_DEBIT for a socket pair not open
  kMessageCredit,  // msgcredit[=N]         MLC_CREDIT of N (300) on a message channel
  kEmptyCommand,   // emptycmd              a command packet without a command byte
  kShortLength,    // shortlen[=L]          a header announcing L (2) bytes, below 6
};

// WHEN: "CMD[#N]" after the reply to the Nth such host command (default the
// first), "t=MS" after start, "bytes=N" once N host data bytes arrived.
struct Trigger {
  enum Kind { kCommand, kTime, kBytes } kind = kCommand;
  uint8_t command = kOpenChannel;
  unsigned nth = 1;
  uint64_t value = 0;  // ms or bytes
};

constexpr uint8_t kDataTarget = 0xFF;  // half=data

struct Fault {
  FaultKind kind = FaultKind::kNoReply;
  uint8_t command = 0;  // reply faults: the host command answered (or kDataTarget)
  unsigned nth = 1;     // reply faults: which occurrence
  int64_t value = 0;
  int64_t pause_ms = 0;   // split: the pause between the two parts
  bool aim_psid = false;  // badcredit, baddebit: a wrong peripheral socket id, not host socket id
  Trigger when;
  bool fired = false;
};

// "NAME[=ARGS][@WHEN]", e.g. "noreply=open", "late=config:500", "error=6@open#2".
bool ParseFault(const std::string& text, Fault* out, std::string* error);
std::string FaultText(const Fault& f);
bool IsReplyFault(FaultKind kind);

extern const char kDefaultDeviceId[];

struct EmuConfig {
  std::string device_id = kDefaultDeviceId;
  int id_length = -1;         // >= 0: the length bytes claim this instead of the truth
  uint32_t capabilities = 4;  // 4 = ECP
  uint8_t revision = 3;
  uint16_t max_htop = 0x100C;  // largest whole packet accepted from the host
  uint16_t max_ptoh = 0x100C;  // largest whole packet sent to the host
  uint8_t max_status_level = 0xFF;
  bool piggyback = false;             // grant credit in data headers when data goes out
  uint32_t credit_request_ms = 1000;  // ask for credit at most this often; 0 = never
  uint32_t inter_packet_ms = 150;     // longest silence inside one host packet
  // Wait for the host's answer to our own command (an idle host polls only every few seconds).
  uint32_t reply_wait_ms = 30000;
  unsigned max_channels = 16;  // more opens get COMMAND_CHANNEL_MAXXED_OUT
  // Channels open at once on one socket (a service's "channels" option overrides it).
  unsigned channels_per_socket = 1;
  std::vector<ServiceSetup> services;
  std::vector<Fault> faults;

  // Printer behaviours that test how long the host waits (peripheral_waits.cpp).
  // From the first open, for this many ms: MLC_CREDIT_REQUEST back to back
  // on the channel opened last, several on their way at once; 0 = never.
  uint32_t credit_request_flood_ms = 0;
  // From the start, for at most this many ms: filler bytes without pause
  // until the host's first packet byte (the host flushes before MLC_INIT).
  uint32_t stream_before_init_ms = 0;
  // Credit only in the open reply: MLC_CREDIT (pings) answered, never a grant.
  bool open_credit_only = false;

  // -- Ways of handling credit (legal printer behaviours, off by default):
  // data that a fresh MLC_CREDIT allows goes out before its MLC_CREDIT_REPLY;
  bool data_on_credit = false;
  // credit goes back only in the headers of empty data packets, never with
  // MLC_CREDIT (an empty packet spends one of our credits when we hold any).
  bool empty_credit = false;
  // -- end of the ways of handling credit
};

// The device ID as the wire delivers it: two length bytes, then the text.
Bytes RawDeviceId(const EmuConfig& cfg);
// The default set of services: 1 status, 2 print sink, 3 echo, 4 source.
std::vector<ServiceSetup> DefaultServices();
// Parses a command name of the fault grammar ("open", "config", ...).
bool ParseCommandName(const std::string& name, uint8_t* out);

}  // namespace emu

#endif
