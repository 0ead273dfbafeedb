// The operations of the fault matrix, on the public calls only.
#include <string.h>

#include <vector>

#include "fault_matrix.h"
#include "krzmlc15.h"

namespace {

const BYTE kStatusPsid = 1, kSinkPsid = 2, kSourcePsid = 4;
const DWORD kBlockMs = 1500;  // a blocking call's time-out

int OpenTo(OpContext* ctx, BYTE bPsid, DWORD dwBuffer, BYTE bType = MLC_STREAM_CHANNEL) {
  DWORD dwSize = dwBuffer;
  return MLCOpenChannel(0, bPsid, bType, dwBuffer ? &dwSize : NULL, &ctx->hChannel, ctx->hApp,
                        ctx->uAppMsg, 0x66, NULL, NULL);
}

// A status request and its answer, read with a blocking call: the answer's
// length, or the first failure.
int StatusRoundTrip(OpContext* ctx) {
  static const char kRequest[] = "STATUS?";
  int iSent = MLCWrite(ctx->hChannel, (LPVOID)kRequest, 7, TRUE, kBlockMs);
  if (iSent != 7) return iSent;
  BYTE answer[512];
  return MLCRead(ctx->hChannel, answer, sizeof answer, TRUE, kBlockMs);
}

int Write(OpContext* ctx, int cb) {
  std::vector<BYTE> data(cb, 0x5A);
  return MLCWrite(ctx->hChannel, data.data(), cb, FALSE, 0);
}

// Reads through polls for a while: the bytes read, or the first failure.
int ReadThroughPolls(OpContext* ctx, int cbEnough, DWORD dwForMs) {
  static BYTE buffer[8192];
  int cbTotal = 0;
  for (DWORD dwEnd = GetTickCount() + dwForMs;
       (LONG)(dwEnd - GetTickCount()) > 0 && cbTotal < cbEnough;) {
    MLCPollChannels2(FALSE, 0);
    int n = MLCRead(ctx->hChannel, buffer, sizeof buffer, FALSE, 0);
    if (n < 0) return n;
    if (n == 0) Sleep(5);
    cbTotal += n;
  }
  return cbTotal;
}

// Polls for a while; the lowest result seen (a failure wins).
int PollFor(DWORD dwForMs) {
  int iWorst = INT_MAX;
  for (DWORD dwEnd = GetTickCount() + dwForMs; (LONG)(dwEnd - GetTickCount()) > 0;) {
    int iResult = MLCPollChannels2(FALSE, 0);
    if (iResult < iWorst) iWorst = iResult;
    Sleep(10);
  }
  return iWorst;
}

}  // namespace

std::string Owed::Text() const {
  if (lo == hi) return std::to_string(lo);
  return std::to_string(lo) + ".." + std::to_string(hi);
}

bool PrepareOperation(Op op, OpContext* ctx) {
  switch (op) {
    case Op::kClose:
    case Op::kWrite:
    case Op::kCreditWait:
      return OpenTo(ctx, kSinkPsid, 0) == MLC_SUCCESS;
    case Op::kRead:
      return OpenTo(ctx, kSourcePsid, 8192) == MLC_SUCCESS;
    case Op::kMessage:
      return OpenTo(ctx, kStatusPsid, 0, MLC_PACKET_CHANNEL) == MLC_SUCCESS;
    case Op::kBlockRead:
      return OpenTo(ctx, kSinkPsid, 4096) == MLC_SUCCESS;
    case Op::kBlockWrite:
      return OpenTo(ctx, kSinkPsid, 0) == MLC_SUCCESS;
    default:
      return true;
  }
}

OpOutcome RunOperation(Op op, OpContext* ctx) {
  switch (op) {
    case Op::kBringUp:
    case Op::kOpen: {
      int iResult = OpenTo(ctx, kSinkPsid, 0);
      if (iResult != MLC_SUCCESS) ctx->hChannel = 0;
      return {iResult};
    }
    case Op::kClose: {
      int iResult = MLCCloseChannel(ctx->hChannel);
      if (iResult == MLC_SUCCESS) ctx->hChannel = 0;
      return {iResult};
    }
    case Op::kWrite:
      return {Write(ctx, 16384)};
    case Op::kCreditWait:
      return {Write(ctx, 65535)};
    case Op::kRead:
      return {ReadThroughPolls(ctx, 30000, 1500)};
    case Op::kPoll:
      return {PollFor(400)};
    case Op::kPing:
      return {MLCPingMlc(ctx->hWitness)};
    case Op::kVcomm:
      return {MLCPingVcomm(ctx->hWitness)};
    case Op::kMessage:
      return {StatusRoundTrip(ctx)};
    case Op::kBlockRead: {
      BYTE buffer[256];
      return {MLCRead(ctx->hChannel, buffer, sizeof buffer, TRUE, kBlockMs)};
    }
    case Op::kBlockWrite: {
      std::vector<BYTE> data(65535, 0x5A);
      return {MLCWrite(ctx->hChannel, data.data(), 65535, TRUE, kBlockMs)};
    }
  }
  return {INT_MIN};
}

void FinishOperation(Op op, OpContext* ctx) {
  (void)op;
  if (ctx->hChannel) MLCCloseChannel(ctx->hChannel);
  ctx->hChannel = 0;
}
