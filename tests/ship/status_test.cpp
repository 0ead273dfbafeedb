// krzstat, in another process, against channels in several states on a live
// link: reported as they are, every shared byte left as it was; a port whose
// mutex stays taken reported busy within the tool's time limit.
#include <gtest/gtest.h>
#include <string.h>

#include <regex>
#include <string>
#include <vector>

#include "channel/chanrec.h"
#include "krzmlc15.h"
#include "link_emu_support.h"
#include "notify/cbtable.h"
#include "testutil.h"

namespace {

LRESULT CALLBACK QuietProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  return uMsg == WM_CLOSE ? 0 : DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

void CALLBACK OnEvent(DWORD, DWORD, DWORD, DWORD) {}

// Runs krzstat with the arguments; its output, or "" when it did not end
// within 20 s.
std::string RunStatus(const std::string& args) {
  std::string out = WindowsDirFile("krzstat.out");
  DeleteFileA(out.c_str());
  Child tool;
  bool fEnded = tool.Run("krzstat.exe " + args + " --out " + out) && tool.Wait(20000) == 0;
  return fEnded ? ReadTextFile(out) : "";
}

// The JSON object of channel hChannel in the tool's output.
std::string ChannelJson(const std::string& json, WORD hChannel) {
  std::smatch m;
  std::regex re("\\{\"handle\":" + std::to_string(hChannel) + ",[^}]*\\}");
  return std::regex_search(json, m, re) ? m.str() : "";
}
bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Bytes of everything the tool reads on LPT1.
std::vector<BYTE> SharedBytes(const std::vector<WORD>& channels) {
  auto add = [](std::vector<BYTE>& v, const void* p, size_t cb) {
    v.insert(v.end(), (const BYTE*)p, (const BYTE*)p + cb);
  };
  std::vector<BYTE> bytes;
  add(bytes, ObtainPPI(0), sizeof(PerPortInfo));
  for (WORD hChannel : channels) {
    add(bytes, LockChannelIdx(0, MLC_CHANNEL_SLOT(hChannel)), sizeof(StreamChannel));
    UnlockChannelIdx(0, MLC_CHANNEL_SLOT(hChannel));
  }
  ReleasePPI(0);
  add(bytes, ObtainMGD(), sizeof(MlcGlobalData));
  ReleaseMGD();
  return bytes;
}

TEST(StatusTool, ReportsChannelsInTheirStatesWithoutTouchingThem) {
  EXPECT_TRUE(Has(RunStatus("--json"), "{\"loaded\":true"));
  HWND hHelper = MakeWindow("StatusTestHelper", QuietProc);
  HWND hApp = MakeWindow("StatusTestApp", QuietProc);
  MLCSetup(hHelper);  // stands for the helper: no helper process is started
  emu::EmuConfig cfg = PrinterConfig();
  cfg.services.resize(5);
  for (const char* lpszService : {"1:status", "2:sink", "3:echo", "4:source:bytes=300", "5:sink"})
    ASSERT_TRUE(emu::ParseService(lpszService, &cfg.services[lpszService[0] - '1'], nullptr));
  Printer printer(cfg);
  // The source's stream with 300 bytes in its ring, a sink's notifying a window,
  // a packet channel, one closed again (a free slot), a sink's with a callback.
  WORD hSource = 0, hSink = 0, hEcho = 0, hGone = 0, hCall = 0;
  DWORD dwRing = 4096, dwNone = 0, dwSlots = 0;
  ASSERT_EQ(MLCOpenChannel(0, 4, 1, &dwRing, &hSource, NULL, 0, 0, NULL, NULL), MLC_SUCCESS);
  ASSERT_EQ(MLCOpenChannel(0, 2, 1, &dwNone, &hSink, hApp, WM_USER + 9, 5, NULL, NULL),
            MLC_SUCCESS);
  ASSERT_EQ(MLCOpenChannel(0, 3, 2, &dwSlots, &hEcho, NULL, 0, 0, NULL, NULL), MLC_SUCCESS);
  ASSERT_EQ(MLCOpenChannel(0, 1, 1, &dwNone, &hGone, NULL, 0, 0, NULL, NULL), MLC_SUCCESS);
  ASSERT_EQ(MLCOpenChannel(0, 5, 1, &dwNone, &hCall, NULL, 0, 0, OnEvent, NULL), MLC_SUCCESS);
  ASSERT_EQ(MLCCloseChannel(hGone), MLC_SUCCESS);
  // The shared record holds a key of this process's table, not the address.
  ObtainPPI(0);
  const StreamChannel* lpCall = (const StreamChannel*)LockChannelIdx(0, MLC_CHANNEL_SLOT(hCall));
  ASSERT_NE(lpCall, nullptr);
  DWORD dwKey = lpCall->lpfnCallBack;
  UnlockChannelIdx(0, MLC_CHANNEL_SLOT(hCall));
  ReleasePPI(0);
  EXPECT_EQ(LookupCallBack(dwKey), OnEvent);
  ASSERT_TRUE(Eventually([&] {
    MLCPollChannels2(FALSE, 0);
    return MLCRead(hSource, NULL, 0, FALSE, 0) == 300;
  }));

  std::vector<WORD> channels = {hSource, hSink, hEcho, hCall};
  std::vector<BYTE> before = SharedBytes(channels);
  std::string json = RunStatus("--json");
  EXPECT_EQ(SharedBytes(channels), before) << "the tool changed the shared state";
  EXPECT_TRUE(Has(json, "\"port\":\"LPT1\",\"state\":\"copied\",\"link_up\":true")) << json;
  EXPECT_TRUE(Has(json, "\"port\":\"LPT2\",\"state\":\"copied\",\"link_up\":false")) << json;
  EXPECT_TRUE(Has(json, "\"channels_open\":4")) << json;
  std::string source = ChannelJson(json, hSource), sink = ChannelJson(json, hSink);
  EXPECT_TRUE(Has(source, "\"type\":\"stream\",\"psid\":4,\"open\":true")) << json;
  EXPECT_TRUE(Has(source, "\"buffer\":4096,\"buffered\":300")) << source;
  EXPECT_TRUE(Has(sink, "\"window\":" + std::to_string((ULONG_PTR)hApp))) << sink;
  EXPECT_TRUE(Has(sink, "\"owner_pid\":" + std::to_string(GetCurrentProcessId()))) << sink;
  EXPECT_TRUE(Has(ChannelJson(json, hEcho), "\"type\":\"packet\",\"psid\":3")) << json;
  EXPECT_EQ(ChannelJson(json, hGone), "") << json;
  EXPECT_TRUE(Has(ChannelJson(json, hCall), "\"callback\":true")) << json;
  std::string watched = RunStatus("--json --watch=1 --count 2");
  EXPECT_EQ(std::count(watched.begin(), watched.end(), '\n'), 2) << watched;

  // A port held by a library call is not waited for beyond the limit (the
  // tool ends within RunStatus's wait, reporting it busy).
  ObtainPPI(0);
  std::string busy = RunStatus("--json --wait-ms 100");
  ReleasePPI(0);
  EXPECT_TRUE(Has(busy, "{\"port\":\"LPT1\",\"state\":\"busy\"}")) << busy;
  EXPECT_TRUE(Has(busy, "\"port\":\"LPT2\",\"state\":\"copied\"")) << busy;

  for (WORD hChannel : channels) EXPECT_EQ(MLCCloseChannel(hChannel), MLC_SUCCESS);
  // The callback window goes with its channel, and takes the key along.
  MSG msg;
  while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  EXPECT_EQ(LookupCallBack(dwKey), nullptr);
  EXPECT_TRUE(printer.Violations().empty());
  MLCCleanup();
  DestroyWindow(hApp);
  DestroyWindow(hHelper);
}

}  // namespace
