// Channels against the emulator: opening and closing, slots, sockets,
// refusals, limits, and the receive credit granted back.
#include <string.h>

#include <algorithm>

#include "emu_client_support.h"
#include "link/link.h"
#include "notify/poll.h"

namespace {

int TryOpen(BYTE bPsid, DWORD dwBuffer) {
  WORD hChannel = 0;
  return MLCOpenChannel(0, bPsid, 1, &dwBuffer, &hChannel, NULL, 0, 0, NULL, NULL);
}

emu::EmuConfig Sockets(int iFirst, int iCount) {
  emu::EmuConfig cfg = PrinterConfig();
  cfg.services.assign((size_t)iCount, emu::ServiceSetup{});
  for (int i = 0; i < iCount; ++i)
    cfg.services[i].psid = (uint8_t)(iFirst + i), cfg.services[i].credit = 1;
  return cfg;
}

using ChanTest = SceneTest;

TEST_F(ChanTest, ChannelsOpenWithTheirCreditShareTheLinkARefusalFailsAloneAndTheLastCloseLeaves) {
  Start(PrinterConfig());
  WORD hBad = 0x4242;  // refused before anything goes out
  EXPECT_EQ(MLCOpenChannel(0, 2, 3, NULL, &hBad, NULL, 0, 0, NULL, NULL), MLC_INVALID_TYPE);
  EXPECT_EQ(MLCOpenChannel(0, 2, 1, NULL, &hBad, (HWND)1, 0, 0, NULL, NULL), MLC_INVALID_WINDOW);
  EXPECT_EQ(MLCOpenChannel(0, 2, 1, NULL, NULL, NULL, 0, 0, NULL, NULL), MLC_INVALID_HANDLE);
  EXPECT_EQ(hBad + printer->Count("H>P"), 0x4242u);
  // Socket, buffer asked, buffer granted, credit in the open.
  const DWORD kCases[][4] = {
      {2, 0, 0, 0}, {3, 8192, 8192, 8}, {4, 500, 1024, 1}, {1, 2500, 2500, 2}};
  WORD handles[4];
  for (int i = 0; i < 4; ++i) {
    DWORD dwSize = kCases[i][1];
    ASSERT_EQ(MLCOpenChannel(0, kCases[i][0], 1, dwSize ? &dwSize : NULL, &handles[i], hApp_,
                             kAppMsg, 0, NULL, NULL),
              1);
    EXPECT_EQ(handles[i], 0x0080 + i);
    EXPECT_EQ(dwSize, kCases[i][2]);
    std::string open = "OPEN_CHANNEL hsid=8" + std::to_string(i) + " psid=0" +
                       std::to_string(kCases[i][0]) + " credit=" + std::to_string(kCases[i][3]);
    EXPECT_EQ(printer->Count(open), 1u) << open;
  }
  std::vector<MSG> posted = TakeMessages(hHelper_);  // the machine's first channel
  ASSERT_EQ(posted.size(), 1u);                      // starts the helper's long timer
  EXPECT_EQ(posted[0].wParam, (WPARAM)POLL_TIMER_MAX);
  // A socket asked again reuses its entry; a field that does not fit is left.
  BYTE abInfo[8] = {0, 0, 0, 0xEE};
  EXPECT_EQ(MLCGetSocketInfo(0, 3, abInfo, 4), 1);
  EXPECT_EQ(abInfo[2] | abInfo[3] << 8, 0xEE03);  // the peripheral's revision, then nothing
  EXPECT_EQ(MLCGetSocketInfo(0, 3, abInfo, 8), 1);
  EXPECT_EQ(abInfo[5] | abInfo[6] << 8, 1024);
  EXPECT_EQ(printer->Count("H>P MLC_CONFIG_SOCKET "), 4u);
  // A refusal fails its call alone (unanswered and malformed exchanges: the
  // fault matrix); the slot is free again and the socket stays configured.
  EXPECT_EQ(TryOpen(9, 0), MLC_SOCKET_CONFIG_FAILED);  // the printer has no socket 9
  AddFault("result=open");
  EXPECT_EQ(TryOpen(3, 4096), MLC_NO_CHANNEL);
  EXPECT_EQ(printer->Count("H>P MLC_CONFIG_SOCKET psid=03"), 1u);
  // A freed slot is taken first; only the last close leaves MLC, untold.
  EXPECT_EQ(MLCCloseChannel(handles[0]), 1);
  EXPECT_EQ(MLCCloseChannel(handles[0]), MLC_INVALID_HANDLE);
  ASSERT_EQ(Open(2, 0), handles[0]);
  for (WORD h : {handles[0], handles[1], handles[2]}) EXPECT_EQ(MLCCloseChannel(h), 1);
  EXPECT_EQ(printer->Count("H>P MLC_EXIT"), 0u);
  EXPECT_EQ(MLCCloseChannel(handles[3]), 1);
  EXPECT_TRUE(Eventually([&] { return printer->Count("H>P MLC_EXIT") == 1; }));
  EXPECT_EQ(pPerPortInfo[0].bSocketInfoCount, 0);
  for (const MSG& m : TakeMessages(hApp_)) EXPECT_NE(LOWORD(m.lParam), MLC_DISCONNECT);
  posted = TakeMessages(hHelper_);
  ASSERT_FALSE(posted.empty());
  EXPECT_EQ(posted[0].wParam, (WPARAM)POLL_TIMER_STOP);
  // The next open brings the link up and configures its socket again.
  EXPECT_EQ(MLCCloseChannel(Open(3, 4096)), 1);
  EXPECT_EQ(printer->Count("H>P MLC_INIT "), 2u);
  EXPECT_EQ(printer->Count("H>P MLC_CONFIG_SOCKET psid=03"), 2u);
  // A refused open of the port's only channel leaves MLC.
  StandInHelper();
  AddFault("result=open");
  EXPECT_EQ(TryOpen(2, 0), MLC_NO_CHANNEL);
  EXPECT_TRUE(Eventually([&] { return printer->Count("H>P MLC_EXIT") == 3; }));
}

TEST_F(ChanTest, APortHas128SlotsAnd255SocketsAndCreditFitsItsField) {
  emu::EmuConfig cfg = Sockets(0, 256);
  cfg.max_channels = 200;
  cfg.max_ptoh = 6 + 16;  // 16-byte packets to the host: one credit is 16 bytes
  Start(cfg);
  // A buffer whose credit would not fit the open packet is cut to fit.
  std::vector<WORD> handles(1);
  DWORD dwSize = 2 * 1024 * 1024;
  ASSERT_EQ(MLCOpenChannel(0, 0, 1, &dwSize, &handles[0], NULL, 0, 0, NULL, NULL), 1);
  EXPECT_EQ(dwSize, 65535u * 16);
  EXPECT_EQ(printer->Count("MLC_OPEN_CHANNEL hsid=80 psid=00 credit=65535"), 1u);
  for (int i = 1; i < 128; ++i) handles.push_back(Open(i, 0));
  EXPECT_EQ(handles.back(), 0x00FF);
  // Full, and a free slot does not help while the link stays up.
  EXPECT_EQ(TryOpen(200, 0), MLC_NO_CHANNEL);
  EXPECT_EQ(MLCCloseChannel(handles[5]), 1);
  EXPECT_EQ(TryOpen(200, 0), MLC_NO_CHANNEL);
  EXPECT_EQ(printer->Count("H>P MLC_OPEN_CHANNEL "), 128u);
  // 255 socket entries fit their count; the next one is refused.
  BYTE abInfo[8];
  for (int i = 128; i < 255; ++i) ASSERT_EQ(MLCGetSocketInfo(0, (DWORD)i, abInfo, 8), 1) << i;
  EXPECT_EQ(MLCGetSocketInfo(0, 255, abInfo, 8), MLC_NO_MEMORY);
  handles.erase(handles.begin() + 5);
  for (WORD h : handles) EXPECT_EQ(MLCCloseChannel(h), 1);
  // The next link starts with a new table.
  EXPECT_EQ(MLCCloseChannel(Open(200, 0)), 1);
  EXPECT_EQ(printer->Count("OPEN_CHANNEL hsid=80 psid=C8"), 1u);
}

TEST_F(ChanTest, ThePollStopsGrantingAtTheFirstFailedGrant) {
  Start(PrinterConfig());
  WORD hSource = Open(4, 8192), hEcho = Open(3, 8192);  // the source sends 64 KiB
  std::vector<BYTE> job(8192, 0x42);
  // Two packets of 4096 come back as eight of 1024: the ring's credit.
  for (int i = 0; i < 2; ++i) ASSERT_EQ(MLCWrite(hEcho, job.data(), 4096, 0, 0), 4096);
  Eventually([&] {
    return MLCPollChannels2(FALSE, 0), Stream(hSource).wLength + Stream(hEcho).wLength == 16384;
  });
  for (WORD h : {hSource, hEcho}) ASSERT_EQ(MLCRead(h, job.data(), 8192, 0, 0), 8192);
  // A refused grant: the poll reports it, grants no more and reads nothing.
  AddFault("result=credit");
  BOOL fIdle = FALSE, fPolled = FALSE;
  EXPECT_EQ(PollOnePort(0, FALSE, POLL_TYPE_LIBRARY, &fIdle, &fPolled), MLC_UNRECOVERABLE_ERROR);
  EXPECT_EQ(printer->Count("H>P MLC_CREDIT hsid"), 1u);
  EXPECT_FALSE(fPolled);
  // The next poll grants both, the refused space included.
  EXPECT_NE(PollOnePort(0, FALSE, POLL_TYPE_LIBRARY, &fIdle, &fPolled), MLC_UNRECOVERABLE_ERROR);
  EXPECT_EQ(printer->Count("H>P MLC_CREDIT hsid=80 psid=04 credit=8"), 2u);
  EXPECT_EQ(printer->Count("H>P MLC_CREDIT hsid=81 psid=03 credit=8"), 1u);
  for (WORD h : {hSource, hEcho}) EXPECT_EQ(MLCCloseChannel(h), 1);
}

}  // namespace
