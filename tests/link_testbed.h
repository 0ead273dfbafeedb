// What the link tests share: short time-outs, the port record under its mutex, channel records made
// by hand, and the port area's blocks that an exchange must not leave.
#pragma once

#include "emu_client_support.h"
#include "link/link.h"
#include "scripted_peripheral.h"

// Time-outs the tests run with (KRZTBX15.INI).
constexpr DWORD kReplyTimeoutMs = 400;  // MLC_PACKET_TIMEOUT_WHILE_(NOT_)BUSY
constexpr DWORD kInterPacketMs = 300;   // MLC_INTER_PACKET_TIME_OUT
constexpr DWORD kStalledWriteMs = 150;  // KRZCOM15 WriteTimeout of LPT3

// A device ID that announces MLC.
extern const char kMlcDeviceId[];

// Writes KRZTBX15.INI and KRZCOM15.INI (before any port opens: LPT3's small
// ring) and reads the library's settings again.
void WriteLinkIni();

// An MLC_ERROR packet as the host sends it.
inline peri::Bytes ErrorPacket(BYTE bCode) { return peri::Command({0x7F, bCode}); }

// A copy of the port's record, taken under its mutex.
PerPortInfo PortRecord(BYTE bPort);
// LPT1 marked up or not, with a command outstanding (NO_COMMAND: none).
void SetLink(BOOL fInitDone, BYTE bLastCommand);
// Blocks of the port's area besides its device-ID block.
LONG LinkBlocks(BYTE bPort);

// The host's credit of a channel (0xFFFFFFFF without a record); its open
// flag; its type.
DWORD HostCredits(BYTE bPort, BYTE bHsid);
void SetChannelOpen(BYTE bPort, BYTE bHsid, BOOL fOpen);
void SetChannelType(BYTE bPort, BYTE bHsid, BYTE bType);

// Not initialised, nothing outstanding, no channel table or socket array.
void ExpectLinkDown(BYTE bPort);

// A link test on one port: this process standing in for the helper, the
// scripted peripheral with an MLC device ID, and at the end no block left behind.
class LinkTest : public EmuClientTest {
 protected:
  static void SetUpTestSuite() { WriteLinkIni(); }
  void SetUp() override;
  void TearDown() override;
  void BringUp();  // against the scripted peripheral
  int Poll(BYTE bChannelContext = 0);

  BYTE bPort_ = 0;
  const char* lpszPort_ = "LPT1";
  bool fScript_ = true;  // false: the test attaches a far side of its own
  peri::Peripheral peri_;
  LONG lBlocksBefore_ = 0;
};
