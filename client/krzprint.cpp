// krzprint: prints a file (or standard input) through the library to a
// printer socket, optionally reading what the printer sends back on a
// second channel, and reports what it took. Uses the library's public
// header only, as any client program would.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "krzmlc15.h"

namespace {

struct Options {
  DWORD dwPort = 0;      // LPT1
  DWORD dwPsid = 2;      // the printer's print sink
  DWORD dwReadPsid = 0;  // 0: read nothing back
  DWORD dwReadBuffer = 16384;
  DWORD dwReadBytes = 0;    // 0: until the printer is quiet
  DWORD dwTimeout = 30000;  // ms any one step may take
  DWORD dwChunk = 16384;    // bytes per write call
  const char* lpszInput = "-";
  const char* lpszOutput = nullptr;  // where the read-back bytes go
  bool fProgress = true;
  bool fWait = false;      // blocking reads woken through a callback
  DWORD dwStatusPsid = 1;  // the printer's status socket; 0: ask nothing
};

const char* ResultName(int iCode) {
  static const char* const names[] = {"invalid port",
                                      "invalid channel type",
                                      "invalid window",
                                      "no channel (refused or all slots used)",
                                      "socket configuration failed",
                                      "physical link failure",
                                      "link initialisation failed (no printer?)",
                                      "no memory",
                                      "invalid length",
                                      "invalid handle",
                                      "no receive buffer",
                                      "open failed",
                                      "close failed",
                                      "buffer too small",
                                      "no message",
                                      "time-out",
                                      "write failure",
                                      "channel busy",
                                      "system failure",
                                      "device ID mismatch",
                                      "no device ID"};
  if (iCode <= -1 && iCode >= -21) return names[-iCode - 1];
  return "unexpected result";
}

int Fail(const char* lpszWhat, int iCode) {
  fprintf(stderr, "krzprint: %s: %s (%d)\n", lpszWhat, ResultName(iCode), iCode);
  return 1;
}

void Usage() {
  fprintf(stderr,
          "usage: krzprint [options] [FILE|-]\n"
          "  --port N         0..2 for LPT1..LPT3 (0)\n"
          "  --socket PSID    printer socket to print to (2)\n"
          "  --read PSID      also read what the printer sends on socket PSID\n"
          "  --read-bytes N   stop reading after N bytes (default: when it is quiet)\n"
          "  --out FILE       store the bytes read there\n"
          "  --chunk N        bytes per write call, 1..65535 (16384)\n"
          "  --timeout MS     longest wait of any one step (30000)\n"
          "  --status PSID    ask the printer's status on socket PSID afterwards (1)\n"
          "  --no-status      do not ask the printer's status\n"
          "  --no-progress    no progress bar\n"
          "  --wait           sleep until the library calls back (data, credit, link\n"
          "                   reset) and read with blocking reads, instead of polling\n");
}

bool Number(const char* lpsz, DWORD dwMin, DWORD dwMax, DWORD* lpdw) {
  char* lpEnd = nullptr;
  unsigned long ul = strtoul(lpsz, &lpEnd, 0);
  if (!*lpsz || *lpEnd || ul < dwMin || ul > dwMax) return false;
  *lpdw = (DWORD)ul;
  return true;
}

bool ParseArgs(int argc, char** argv, Options* lpOpt) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool fValue = i + 1 < argc;
    if (a == "--no-progress") {
      lpOpt->fProgress = false;
    } else if (a == "--wait") {
      lpOpt->fWait = true;
    } else if (a == "--port" && fValue) {
      if (!Number(argv[++i], 0, 2, &lpOpt->dwPort)) return false;
    } else if (a == "--socket" && fValue) {
      if (!Number(argv[++i], 1, 255, &lpOpt->dwPsid)) return false;
    } else if (a == "--read" && fValue) {
      if (!Number(argv[++i], 1, 255, &lpOpt->dwReadPsid)) return false;
    } else if (a == "--read-bytes" && fValue) {
      if (!Number(argv[++i], 1, 0x7FFFFFFF, &lpOpt->dwReadBytes)) return false;
    } else if (a == "--out" && fValue) {
      lpOpt->lpszOutput = argv[++i];
    } else if (a == "--chunk" && fValue) {
      if (!Number(argv[++i], 1, 65535, &lpOpt->dwChunk)) return false;
    } else if (a == "--no-status") {
      lpOpt->dwStatusPsid = 0;
    } else if (a == "--status" && fValue) {
      if (!Number(argv[++i], 1, 255, &lpOpt->dwStatusPsid)) return false;
    } else if (a == "--timeout" && fValue) {
      if (!Number(argv[++i], 1, 3600000, &lpOpt->dwTimeout)) return false;
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      return false;
    } else {
      lpOpt->lpszInput = argv[i];
    }
  }
  return true;
}

struct Stats {
  unsigned long long cbSent = 0;
  unsigned long long cbRead = 0;
  unsigned long ulCreditWaits = 0;
  DWORD dwStart = 0;
};

void ShowProgress(const Stats& st, long long llTotal, bool fFinal) {
  double dSeconds = (GetTickCount() - st.dwStart) / 1000.0;
  double dRate = dSeconds > 0 ? st.cbSent / dSeconds / 1e6 : 0;
  char szBar[33];
  int iFill = llTotal > 0 ? (int)(st.cbSent * 30 / (unsigned long long)llTotal) : 0;
  if (llTotal <= 0) iFill = (int)((st.cbSent / 65536) % 31);
  for (int i = 0; i < 30; ++i) szBar[i] = i < iFill ? '#' : '.';
  szBar[30] = 0;
  if (llTotal > 0)
    fprintf(stderr, "\r[%s] %3d%% %10.0f bytes %8.2f MB/s", szBar,
            (int)(st.cbSent * 100 / (unsigned long long)llTotal), (double)st.cbSent, dRate);
  else
    fprintf(stderr, "\r[%s] %10.0f bytes %8.2f MB/s", szBar, (double)st.cbSent, dRate);
  if (fFinal) fputc('\n', stderr);
  fflush(stderr);
}

// Writes all of cb bytes: true, or false with *lpiError set.
bool WriteAll(WORD hChannel, const BYTE* lpData, DWORD cb, const Options& opt, Stats* lpSt,
              int* lpiError) {
  DWORD dwDone = 0;
  while (dwDone < cb) {
    // Out of credit: the library asks the printer for more; the blocking
    // write below then waits for it.
    if (MLCWrite(hChannel, nullptr, 0, FALSE, 0) == 0) ++lpSt->ulCreditWaits;
    int iWritten = MLCWrite(hChannel, lpData + dwDone, (int)(cb - dwDone), TRUE, opt.dwTimeout);
    if (iWritten < 0) {
      *lpiError = iWritten;
      return false;
    }
    if (iWritten == 0) {
      *lpiError = MLC_TIME_OUT;
      return false;
    }
    dwDone += (DWORD)iWritten;
    lpSt->cbSent += (DWORD)iWritten;
  }
  return true;
}

// How many bytes the next read asks for: 0 once opt.dwReadBytes came.
DWORD WantNext(const Options& opt, const Stats* lpSt, DWORD cbBuffer) {
  if (!opt.dwReadBytes) return cbBuffer;
  if (lpSt->cbRead >= opt.dwReadBytes) return 0;
  return opt.dwReadBytes - lpSt->cbRead < cbBuffer ? (DWORD)(opt.dwReadBytes - lpSt->cbRead)
                                                   : cbBuffer;
}

// Takes what a blocking read returned: 1 to read on, 0 when the printer has
// said what it had to say, or the failure (reported).
int TakeRead(int iRead, const BYTE* lpData, const Options& opt, Stats* lpSt, FILE* lpOut) {
  if (iRead == MLC_TIME_OUT) {
    if (opt.dwReadBytes) return Fail("reading back", MLC_TIME_OUT), MLC_TIME_OUT;
    return 0;
  }
  if (iRead < 0) return Fail("reading back", iRead), iRead;
  if (lpOut && iRead > 0 && fwrite(lpData, 1, (size_t)iRead, lpOut) != (size_t)iRead) {
    fprintf(stderr, "krzprint: cannot write %s\n", opt.lpszOutput);
    return MLC_SYSTEM_FAILURE;
  }
  lpSt->cbRead += (DWORD)iRead;
  return 1;
}

// Reads what the printer sends on hChannel until opt.dwReadBytes came or
// the printer stayed quiet for a second (or opt.dwTimeout without a byte).
int ReadBack(WORD hChannel, const Options& opt, Stats* lpSt, FILE* lpOut) {
  std::vector<BYTE> buffer(16384);
  DWORD dwQuiet = lpSt->cbRead ? 1000 : opt.dwTimeout;
  for (DWORD dwWant; (dwWant = WantNext(opt, lpSt, (DWORD)buffer.size())) != 0;) {
    int iRead = MLCRead(hChannel, buffer.data(), (int)dwWant, TRUE, dwQuiet);
    int iTaken = TakeRead(iRead, buffer.data(), opt, lpSt, lpOut);
    if (iTaken <= 0) return iTaken;
    dwQuiet = 1000;
  }
  return 0;
}

// ---- --wait: the library tells this thread of channel events through a
// callback, called from this thread's message loop; the thread sleeps in
// that loop or in a blocking read, and never polls.

struct WaitEvents {
  unsigned long ulData = 0;    // MLC_READ_STREAM: bytes arrived
  unsigned long ulCredit = 0;  // MLC_WRITE_STREAM: credit arrived
  unsigned long ulDisconnects = 0;
  DWORD dwBuffered = 0;  // count of the last data event
};
WaitEvents g_events;

void CALLBACK WaitCallback(DWORD dwPort, DWORD dwCode, DWORD dwAppData, DWORD dwCount) {
  (void)dwPort;
  (void)dwAppData;
  if (dwCode == MLC_READ_STREAM) {
    ++g_events.ulData;
    g_events.dwBuffered = dwCount;
  } else if (dwCode == MLC_WRITE_STREAM) {
    ++g_events.ulCredit;
  } else if (dwCode == MLC_DISCONNECT) {
    ++g_events.ulDisconnects;
  }
}

// Runs this thread's message loop (the callbacks) until a data or
// disconnect event came or dwMs passed: true when one came.
bool SleepForEvent(DWORD dwMs) {
  unsigned long ulData = g_events.ulData, ulGone = g_events.ulDisconnects;
  UINT_PTR uTimer = SetTimer(NULL, 0, dwMs < 10 ? 10 : dwMs, NULL);
  DWORD dwStart = GetTickCount();
  MSG msg;
  while (g_events.ulData == ulData && g_events.ulDisconnects == ulGone &&
         GetTickCount() - dwStart < dwMs && GetMessageA(&msg, NULL, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  KillTimer(NULL, uTimer);
  return g_events.ulData != ulData || g_events.ulDisconnects != ulGone;
}

// Delivers the callbacks already queued.
void RunCallbacks() {
  MSG msg;
  while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

// Reads back as ReadBack does, but sleeps: until the printer's first bytes
// are announced by the callback, and then in blocking reads (a read that
// asks for more than is buffered waits in the library without polling).
int ReadBackWaiting(WORD hChannel, const Options& opt, Stats* lpSt, FILE* lpOut) {
  std::vector<BYTE> buffer(16384);
  // A query arms the notification: the next arrival calls back.
  int iWaiting = MLCRead(hChannel, nullptr, 0, FALSE, 0);
  if (iWaiting < 0) return Fail("reading back", iWaiting), iWaiting;
  if (iWaiting == 0 && !SleepForEvent(opt.dwTimeout)) {
    if (opt.dwReadBytes) return Fail("reading back", MLC_TIME_OUT), MLC_TIME_OUT;
    return 0;
  }
  if (g_events.ulDisconnects) return Fail("reading back", MLC_PHYSICAL_LINK_FAILURE), -6;
  for (DWORD dwWant; (dwWant = WantNext(opt, lpSt, (DWORD)buffer.size())) != 0;) {
    int iRead =
        MLCRead(hChannel, buffer.data(), (int)dwWant, TRUE, opt.dwReadBytes ? opt.dwTimeout : 1000);
    RunCallbacks();
    int iTaken = TakeRead(iRead, buffer.data(), opt, lpSt, lpOut);
    if (iTaken <= 0) return iTaken;
    // Fewer bytes than asked for: the printer went quiet.
    if (!opt.dwReadBytes && (DWORD)iRead < dwWant) return 0;
  }
  return 0;
}

// Writes all of cb bytes with one blocking write per call's reach: the
// library sleeps until the printer's credit arrives.
bool WriteAllWaiting(WORD hChannel, const BYTE* lpData, DWORD cb, const Options& opt, Stats* lpSt,
                     int* lpiError) {
  DWORD dwDone = 0;
  while (dwDone < cb) {
    int iWritten = MLCWrite(hChannel, lpData + dwDone, (int)(cb - dwDone), TRUE, opt.dwTimeout);
    RunCallbacks();
    if (iWritten <= 0) {
      *lpiError = iWritten < 0 ? iWritten : MLC_TIME_OUT;
      return false;
    }
    dwDone += (DWORD)iWritten;
    lpSt->cbSent += (DWORD)iWritten;
  }
  return true;
}

void PrintWaitSummary() {
  printf("  callbacks:       %lu data, %lu credit, %lu disconnect\n", g_events.ulData,
         g_events.ulCredit, g_events.ulDisconnects);
}

// The request the status socket answers (any message will do).
const char kStatusRequest[] = "STATUS?";

// Keeps what a terminal can show of a status answer.
std::string Printable(const char* lpData, int cb) {
  std::string text;
  for (int i = 0; i < cb; ++i) {
    unsigned char c = (unsigned char)lpData[i];
    if (c >= 0x20 && c < 0x7F) {
      text += (char)c;
    } else {
      char szHex[5];
      snprintf(szHex, sizeof szHex, "\\x%02X", c);
      text += szHex;
    }
  }
  return text;
}

// Asks the printer for its status: opens its status socket as a packet
// channel, sends one request message and waits for the one answer
// message, which goes to *lpAnswer. 0, or the failing result (reported).
int QueryStatus(const Options& opt, std::string* lpAnswer) {
  WORD hStatus = 0;
  DWORD dwSlots = 0;  // one receive slot: one answer at a time
  int iResult = MLCOpenChannel(opt.dwPort, opt.dwStatusPsid, MLC_PACKET_CHANNEL, &dwSlots, &hStatus,
                               NULL, 0, 0, NULL, NULL);
  if (iResult != MLC_SUCCESS) return Fail("opening the status channel", iResult), iResult;
  // A message is at most 65535 bytes long.
  std::vector<char> answer(0xFFFF);
  iResult = MLCWrite(hStatus, kStatusRequest, (int)sizeof kStatusRequest - 1, FALSE, 0);
  if (iResult < 0) {
    Fail("asking for the status", iResult);
  } else {
    iResult = MLCRead(hStatus, answer.data(), (int)answer.size(), TRUE, opt.dwTimeout);
    if (iResult < 0)
      Fail("reading the status", iResult);
    else
      *lpAnswer = Printable(answer.data(), iResult);
  }
  int iClose = MLCCloseChannel(hStatus);
  if (iResult >= 0 && iClose != MLC_SUCCESS) {
    Fail("closing the status channel", iClose);
    iResult = iClose;
  }
  return iResult < 0 ? iResult : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!ParseArgs(argc, argv, &opt)) {
    Usage();
    return 2;
  }
  bool fStdin = strcmp(opt.lpszInput, "-") == 0;
  FILE* lpIn = fStdin ? stdin : fopen(opt.lpszInput, "rb");
  if (!lpIn) {
    fprintf(stderr, "krzprint: cannot open %s\n", opt.lpszInput);
    return 2;
  }
  long long llTotal = -1;
  if (!fStdin && fseek(lpIn, 0, SEEK_END) == 0) {
    llTotal = ftell(lpIn);
    fseek(lpIn, 0, SEEK_SET);
  }
  FILE* lpOut = nullptr;
  if (opt.lpszOutput && !(lpOut = fopen(opt.lpszOutput, "wb"))) {
    fprintf(stderr, "krzprint: cannot create %s\n", opt.lpszOutput);
    if (!fStdin) fclose(lpIn);
    return 2;
  }
  bool fProgress = opt.fProgress && isatty(fileno(stderr));

  Stats st;
  st.dwStart = GetTickCount();
  int iExit = 0;
  WORD hPrint = 0, hRead = 0;
  DWORD dwNoBuffer = 0;
  // The port is used through a handle of this process.
  DWORD hPort = MLCGetPortHandle(opt.dwPort);
  if (!hPort) {
    fprintf(stderr, "krzprint: cannot open LPT%lu\n", (unsigned long)opt.dwPort + 1);
    if (!fStdin) fclose(lpIn);
    if (lpOut) fclose(lpOut);
    return 1;
  }
  // With --wait the library calls back instead of being polled.
  MLC_CALLBACK lpfnCallBack = opt.fWait ? WaitCallback : NULL;
  int iResult = MLCOpenChannel(opt.dwPort, opt.dwPsid, MLC_STREAM_CHANNEL, &dwNoBuffer, &hPrint,
                               NULL, 0, 0, lpfnCallBack, NULL);
  if (iResult != MLC_SUCCESS) {
    iExit = Fail("opening the print channel", iResult);
    hPrint = 0;
  }
  if (!iExit && opt.dwReadPsid) {
    DWORD dwBuffer = opt.dwReadBuffer;
    iResult = MLCOpenChannel(opt.dwPort, opt.dwReadPsid, MLC_STREAM_CHANNEL, &dwBuffer, &hRead,
                             NULL, 0, 1, lpfnCallBack, NULL);
    if (iResult != MLC_SUCCESS) {
      iExit = Fail("opening the read-back channel", iResult);
      hRead = 0;
    }
  }

  std::vector<BYTE> chunk(opt.dwChunk);
  DWORD dwLastShown = 0;
  while (!iExit) {
    size_t cb = fread(chunk.data(), 1, chunk.size(), lpIn);
    if (cb == 0) {
      if (ferror(lpIn)) {
        fprintf(stderr, "krzprint: cannot read %s\n", opt.lpszInput);
        iExit = 1;
      }
      break;
    }
    int iError = 0;
    bool fSent = opt.fWait ? WriteAllWaiting(hPrint, chunk.data(), (DWORD)cb, opt, &st, &iError)
                           : WriteAll(hPrint, chunk.data(), (DWORD)cb, opt, &st, &iError);
    if (!fSent) {
      if (fProgress) fputc('\n', stderr);
      iExit = Fail("sending the job", iError);
      break;
    }
    if (fProgress && GetTickCount() - dwLastShown > 100) {
      ShowProgress(st, llTotal, false);
      dwLastShown = GetTickCount();
    }
  }
  if (fProgress && !iExit) ShowProgress(st, llTotal, true);
  DWORD dwSendMs = GetTickCount() - st.dwStart;

  if (!iExit && hRead) {
    int iRead =
        opt.fWait ? ReadBackWaiting(hRead, opt, &st, lpOut) : ReadBack(hRead, opt, &st, lpOut);
    if (iRead < 0) iExit = 1;
  }
  // Asked while the print channel keeps the link up.
  std::string status;
  if (!iExit && opt.dwStatusPsid && QueryStatus(opt, &status) < 0) iExit = 1;

  LONG lLinkError = MLCGetLastLinkError(opt.dwPort, 0);
  // Close what was opened, whatever happened: the last close leaves the
  // link and stops the helper process.
  if (hRead) {
    iResult = MLCCloseChannel(hRead);
    if (iResult != MLC_SUCCESS && !iExit) iExit = Fail("closing the read-back channel", iResult);
  }
  if (hPrint) {
    iResult = MLCCloseChannel(hPrint);
    // After a failure the channel may be gone with the link already.
    if (iResult != MLC_SUCCESS && !iExit) iExit = Fail("closing the print channel", iResult);
  }
  MLCReleasePortHandle(hPort);
  if (!fStdin) fclose(lpIn);
  if (lpOut) fclose(lpOut);

  double dSeconds = dwSendMs / 1000.0;
  printf("krzprint summary\n");
  printf("  sent:            %.0f bytes to socket %lu of LPT%lu\n", (double)st.cbSent,
         (unsigned long)opt.dwPsid, (unsigned long)opt.dwPort + 1);
  printf("  time:            %.3f s\n", dSeconds);
  printf("  throughput:      %.2f MB/s\n", dSeconds > 0 ? st.cbSent / dSeconds / 1e6 : 0.0);
  if (opt.dwReadPsid)
    printf("  read back:       %.0f bytes from socket %lu\n", (double)st.cbRead,
           (unsigned long)opt.dwReadPsid);
  if (opt.dwStatusPsid)
    printf("  printer status:  %s (socket %lu)\n", status.empty() ? "-" : status.c_str(),
           (unsigned long)opt.dwStatusPsid);
  printf("  credit requests: %lu (writes that found no credit)\n", st.ulCreditWaits);
  printf("  link errors:     %s (last link error %ld)\n", lLinkError ? "yes" : "none",
         (long)lLinkError);
  if (opt.fWait) PrintWaitSummary();
  printf("  result:          %s\n", iExit ? "FAILED" : "ok");
  return iExit;
}
