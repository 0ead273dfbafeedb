// The operations of the fault matrix, on the public calls only.
#include <algorithm>
#include <vector>

#include "fault_matrix.h"
#include "krzmlc15.h"
#include "testutil.h"

namespace {

const BYTE kStatusPsid = 1, kSinkPsid = 2, kSourcePsid = 4;
const DWORD kBlockMs = 1500;  // a blocking call's time-out

int OpenTo(OpContext* ctx, BYTE bPsid, DWORD dwBuffer, BYTE bType = MLC_STREAM_CHANNEL) {
  int iResult = MLCOpenChannel(0, bPsid, bType, dwBuffer ? &dwBuffer : NULL, &ctx->hChannel,
                               ctx->hApp, ctx->uAppMsg, 0x66, NULL, NULL);
  if (iResult != MLC_SUCCESS) ctx->hChannel = 0;
  return iResult;
}

// A status request and its answer, read with a blocking call: the answer's
// length, or the first failure.
int StatusRoundTrip(OpContext* ctx) {
  int iSent = MLCWrite(ctx->hChannel, (LPVOID) "STATUS?", 7, TRUE, kBlockMs);
  BYTE answer[512];
  return iSent != 7 ? iSent : MLCRead(ctx->hChannel, answer, sizeof answer, TRUE, kBlockMs);
}

int Write(OpContext* ctx, int cb, BOOL fBlock) {
  std::vector<BYTE> data(cb, 0x5A);
  return MLCWrite(ctx->hChannel, data.data(), cb, fBlock, fBlock ? kBlockMs : 0);
}

// Reads through polls until cbEnough came or dwForMs passed: the bytes
// read, or the first failure.
int ReadThroughPolls(OpContext* ctx, int cbEnough, DWORD dwForMs) {
  static BYTE buffer[8192];
  int cbTotal = 0;
  Eventually(
      [&] {
        MLCPollChannels2(FALSE, 0);
        int n = MLCRead(ctx->hChannel, buffer, sizeof buffer, FALSE, 0);
        cbTotal = n < 0 ? n : cbTotal + n;
        return n < 0 || cbTotal >= cbEnough;
      },
      dwForMs);
  return cbTotal;
}

// Polls for a while as the printer's own exchanges come: the lowest result
// seen (a failure wins).
int PollFor(DWORD dwForMs) {
  int iWorst = INT_MAX;
  Eventually(
      [&] {
        iWorst = std::min(iWorst, MLCPollChannels2(FALSE, 0));
        return false;
      },
      dwForMs);
  return iWorst;
}

}  // namespace

bool PrepareOperation(Op op, OpContext* ctx) {
  switch (op) {
    case Op::kClose:
    case Op::kWrite:
    case Op::kCreditWait:
    case Op::kBlockWrite:
      return OpenTo(ctx, kSinkPsid, 0) == MLC_SUCCESS;
    case Op::kRead:
      return OpenTo(ctx, kSourcePsid, 8192) == MLC_SUCCESS;
    case Op::kMessage:
      return OpenTo(ctx, kStatusPsid, 0, MLC_PACKET_CHANNEL) == MLC_SUCCESS;
    case Op::kBlockRead:
      return OpenTo(ctx, kSinkPsid, 4096) == MLC_SUCCESS;
    default:
      return true;
  }
}

int RunOperation(Op op, OpContext* ctx) {
  switch (op) {
    case Op::kBringUp:
    case Op::kOpen:
      return OpenTo(ctx, kSinkPsid, 0);
    case Op::kClose: {
      int iResult = MLCCloseChannel(ctx->hChannel);
      if (iResult == MLC_SUCCESS) ctx->hChannel = 0;
      return iResult;
    }
    case Op::kWrite:
      return Write(ctx, 16384, FALSE);
    case Op::kCreditWait:
      return Write(ctx, 65535, FALSE);
    case Op::kRead:
      return ReadThroughPolls(ctx, 30000, 1500);
    case Op::kPoll:
      return PollFor(400);
    case Op::kPing:
      return MLCPingMlc(ctx->hWitness);
    case Op::kVcomm:
      return MLCPingVcomm(ctx->hWitness);
    case Op::kMessage:
      return StatusRoundTrip(ctx);
    case Op::kBlockRead: {
      BYTE buffer[256];
      return MLCRead(ctx->hChannel, buffer, sizeof buffer, TRUE, kBlockMs);
    }
    case Op::kBlockWrite:
      return Write(ctx, 65535, TRUE);
  }
  return INT_MIN;
}
