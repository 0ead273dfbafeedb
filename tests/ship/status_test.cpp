// krzstat against a live link: channels in several states on LPT1 of the
// emulator, read by the tool in another process, which must report them as
// they are and leave every byte of the shared state as it was; a port whose
// mutex stays taken is reported busy within the tool's time limit.
#include <gtest/gtest.h>
#include <string.h>

#include <regex>
#include <string>
#include <vector>

#include "channel/chanrec.h"
#include "krzmlc15.h"
#include "link_emu_support.h"
#include "notify/cbtable.h"
#include "shared/config.h"
#include "shared/locks.h"
#include "testutil.h"

namespace {

const UINT kAppMsg = WM_USER + 9;

LRESULT CALLBACK QuietProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  if (uMsg == WM_CLOSE) return 0;
  return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

HWND MakeWindow(const char* lpszClass) {
  WNDCLASSA wc;
  memset(&wc, 0, sizeof wc);
  wc.lpfnWndProc = QuietProc;
  wc.hInstance = GetModuleHandleA(NULL);
  wc.lpszClassName = lpszClass;
  RegisterClassA(&wc);
  return CreateWindowExA(0, lpszClass, "", 0, 0, 0, 0, 0, NULL, NULL, wc.hInstance, NULL);
}

void CALLBACK OnEvent(DWORD, DWORD, DWORD, DWORD) {}

void PumpMessages() {
  MSG msg;
  while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}

// The callback key a channel's record holds.
DWORD CallBackKey(WORD hChannel) {
  BYTE bIndex = MLC_CHANNEL_SLOT(hChannel);
  ObtainPPI(0);
  const StreamChannel* lpStream = (const StreamChannel*)LockChannelIdx(0, bIndex);
  DWORD dwKey = lpStream ? lpStream->lpfnCallBack : 0;
  if (lpStream) UnlockChannelIdx(0, bIndex);
  ReleasePPI(0);
  return dwKey;
}

// Runs krzstat with the arguments; its output, or "" when it did not end
// within 20 s. *pdwMs gets how long it took.
std::string RunStatus(const std::string& args, DWORD* pdwMs = nullptr) {
  std::string out = WindowsDirFile("krzstat.out");
  DeleteFileA(out.c_str());
  std::string cmd = "krzstat.exe " + args + " --out " + out;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  DWORD dwStart = GetTickCount();
  if (!CreateProcessA(NULL, cmd.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) return "";
  bool fEnded = WaitForSingleObject(pi.hProcess, 20000) == WAIT_OBJECT_0;
  if (!fEnded) TerminateProcess(pi.hProcess, 1);
  if (pdwMs) *pdwMs = GetTickCount() - dwStart;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return fEnded ? ReadTextFile(out) : "";
}

// The JSON object of channel hChannel in the tool's output.
std::string ChannelJson(const std::string& json, WORD hChannel) {
  std::smatch m;
  std::regex re("\\{\"handle\":" + std::to_string(hChannel) + ",[^}]*\\}");
  return std::regex_search(json, m, re) ? m.str() : "";
}

// Bytes of everything the tool reads on LPT1.
std::vector<BYTE> SharedBytes(const std::vector<WORD>& channels) {
  std::vector<BYTE> bytes;
  PerPortInfo* lpPPI = ObtainPPI(0);
  bytes.insert(bytes.end(), (BYTE*)lpPPI, (BYTE*)(lpPPI + 1));
  for (WORD hChannel : channels) {
    BYTE bIndex = MLC_CHANNEL_SLOT(hChannel);
    const BYTE* lpRecord = (const BYTE*)LockChannelIdx(0, bIndex);
    if (lpRecord) {
      bytes.insert(bytes.end(), lpRecord, lpRecord + sizeof(StreamChannel));
      UnlockChannelIdx(0, bIndex);
    }
  }
  ReleasePPI(0);
  MlcGlobalData* lpMGD = ObtainMGD();
  bytes.insert(bytes.end(), (BYTE*)lpMGD, (BYTE*)(lpMGD + 1));
  ReleaseMGD();
  return bytes;
}

TEST(StatusTool, ReportsChannelsInTheirStatesWithoutTouchingThem) {
  WriteTextFile(
      WindowsDirFile("KRZTBX15.INI"),
      "[KRZMLC15]\r\nMLC_PACKET_TIMEOUT_WHILE_NOT_BUSY=500\r\nMAX_POLL_INTERVAL=4321\r\n");
  LoadIniValues();
  EXPECT_NE(RunStatus("--json").find("{\"loaded\":true"), std::string::npos);
  HWND hHelper = MakeWindow("StatusTestHelper");
  HWND hApp = MakeWindow("StatusTestApp");
  MLCSetup(hHelper);  // stands for the helper: no helper process is started
  emu::EmuConfig cfg = PrinterConfig();
  cfg.services.clear();
  for (const char* lpszService : {"1:status", "2:sink", "3:echo", "4:source:bytes=300", "5:sink"}) {
    emu::ServiceSetup service;
    ASSERT_TRUE(emu::ParseService(lpszService, &service, nullptr));
    cfg.services.push_back(service);
  }
  Printer printer(cfg);

  // 0x80: stream from the source, 300 bytes waiting in its ring; 0x81:
  // stream to the sink without a ring, notifying a window; 0x82: packet
  // channel to the echo; 0x83: opened and closed again (a free slot);
  // 0x84: stream to a sink that tells a callback of this process.
  WORD hSource = 0, hSink = 0, hEcho = 0, hGone = 0, hCall = 0;
  DWORD dwRing = 4096, dwNone = 0, dwSlots = 0;
  ASSERT_EQ(MLCOpenChannel(0, 4, 1, &dwRing, &hSource, NULL, 0, 0, NULL, NULL), MLC_SUCCESS);
  ASSERT_EQ(MLCOpenChannel(0, 2, 1, &dwNone, &hSink, hApp, kAppMsg, 5, NULL, NULL), MLC_SUCCESS);
  ASSERT_EQ(MLCOpenChannel(0, 3, 2, &dwSlots, &hEcho, NULL, 0, 0, NULL, NULL), MLC_SUCCESS);
  ASSERT_EQ(MLCOpenChannel(0, 1, 1, &dwNone, &hGone, NULL, 0, 0, NULL, NULL), MLC_SUCCESS);
  ASSERT_EQ(MLCOpenChannel(0, 5, 1, &dwNone, &hCall, NULL, 0, 0, OnEvent, NULL), MLC_SUCCESS);
  ASSERT_EQ(hCall, 0x84);
  ASSERT_EQ(MLCCloseChannel(hGone), MLC_SUCCESS);
  // The shared record holds a key of this process's table, not the address.
  DWORD dwKey = CallBackKey(hCall);
  EXPECT_EQ(LookupCallBack(dwKey), OnEvent);
  for (int i = 0; i < 200 && MLCRead(hSource, NULL, 0, FALSE, 0) < 300; ++i) {
    MLCPollChannels2(FALSE, 0);
    Sleep(5);
  }
  ASSERT_EQ(MLCRead(hSource, NULL, 0, FALSE, 0), 300);

  std::vector<WORD> channels = {hSource, hSink, hEcho, hCall};
  std::vector<BYTE> before = SharedBytes(channels);
  std::string json = RunStatus("--json");
  EXPECT_EQ(SharedBytes(channels), before) << "the tool changed the shared state";
  ASSERT_NE(json, "");
  EXPECT_NE(json.find("\"port\":\"LPT1\",\"state\":\"copied\",\"link_up\":true,\"host_revision\":3,"
                      "\"peer_revision\":3,\"last_command\":255"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"slots_allocated\":5,\"slots_used\":4"), std::string::npos) << json;
  EXPECT_NE(json.find("{\"psid\":4,\"htop_size\":"), std::string::npos) << json;
  EXPECT_NE(json.find("\"port\":\"LPT2\",\"state\":\"copied\",\"link_up\":false"),
            std::string::npos);
  const MlcGlobalData& g = *ObtainMGD();
  std::string timer = "\"timer_id\":" + std::to_string(g.wPollTimerId);
  EXPECT_NE(json.find("\"channels_open\":4"), std::string::npos) << json;
  ReleaseMGD();
  EXPECT_NE(json.find(timer), std::string::npos) << json;
  EXPECT_NE(json.find("\"setup_done\":true"), std::string::npos) << json;

  std::string source = ChannelJson(json, hSource);
  EXPECT_NE(source.find("\"type\":\"stream\",\"psid\":4,\"open\":true"), std::string::npos) << json;
  EXPECT_NE(source.find("\"buffer\":4096,\"buffered\":300"), std::string::npos) << source;
  std::string sink = ChannelJson(json, hSink);
  EXPECT_NE(sink.find("\"buffer\":0,\"buffered\":0"), std::string::npos) << sink;
  EXPECT_NE(sink.find("\"window\":" + std::to_string((ULONG_PTR)hApp)), std::string::npos) << sink;
  EXPECT_NE(sink.find("\"owner_pid\":" + std::to_string(GetCurrentProcessId())), std::string::npos)
      << sink;
  std::string echo = ChannelJson(json, hEcho);
  EXPECT_NE(echo.find("\"type\":\"packet\",\"psid\":3,\"open\":true"), std::string::npos) << json;
  EXPECT_NE(echo.find("\"queued\":0"), std::string::npos) << echo;
  EXPECT_EQ(ChannelJson(json, hGone), "") << json;
  EXPECT_NE(ChannelJson(json, hCall).find("\"callback\":true"), std::string::npos) << json;

  std::string text = RunStatus("");
  EXPECT_NE(text.find("LPT1: copied, link up"), std::string::npos) << text;
  EXPECT_NE(text.find("channel 0x0080 stream, socket 4, open"), std::string::npos) << text;
  EXPECT_NE(text.find("poll timer"), std::string::npos) << text;
  std::string watched = RunStatus("--json --watch=1 --count 2");
  EXPECT_EQ(std::count(watched.begin(), watched.end(), '\n'), 2) << watched;

  // A port held by a library call is not waited for beyond the limit.
  ObtainPPI(0);
  DWORD dwMs = 0;
  std::string busy = RunStatus("--json --wait-ms 100", &dwMs);
  ReleasePPI(0);
  EXPECT_NE(busy.find("{\"port\":\"LPT1\",\"state\":\"busy\"}"), std::string::npos) << busy;
  EXPECT_NE(busy.find("\"port\":\"LPT2\",\"state\":\"copied\""), std::string::npos) << busy;
  EXPECT_LT(dwMs, 10000u);

  for (WORD hChannel : channels) EXPECT_EQ(MLCCloseChannel(hChannel), MLC_SUCCESS);
  // The callback window goes with its channel, and takes the key along.
  PumpMessages();
  EXPECT_EQ(LookupCallBack(dwKey), nullptr);
  EXPECT_TRUE(printer.Violations().empty());
  MLCCleanup();
  DestroyWindow(hApp);
  DestroyWindow(hHelper);
}

}  // namespace
