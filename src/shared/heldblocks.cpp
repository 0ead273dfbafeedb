#include "shared/heldblocks.h"

#include "shared/locks.h"
#include "shared/records.h"

namespace {

struct HeldBlock {
  HMEMAREA hArea;
  HMEMBLOCK hBlock;
  LPVOID lpAddress;
  DWORD dwKeptBack;  // unlocks not yet given to the memory manager
};

// A hold of the per-packet paths touches a handful of blocks; past that,
// locks and unlocks go to the memory manager as they come.
constexpr int kHeldBlocks = 8;

struct HeldBlocks {
  HeldBlock aBlocks[kHeldBlocks];
  int cBlocks;
};

MLC_THREAD_LOCAL HeldBlocks tHeld[MLC_PORT_COUNT];

HeldBlock* Find(BYTE bPort, HMEMAREA hArea, HMEMBLOCK hBlock) {
  HeldBlocks& held = tHeld[bPort];
  for (int i = 0; i < held.cBlocks; ++i) {
    if (held.aBlocks[i].hBlock == hBlock && held.aBlocks[i].hArea == hArea) return &held.aBlocks[i];
  }
  return NULL;
}

void GiveBack(const HeldBlock& block) {
  for (DWORD i = 0; i < block.dwKeptBack; ++i) memUnlockBlock(block.hArea, block.hBlock);
}

}  // namespace

LPVOID RetakeHeldBlock(BYTE bPort, HMEMAREA hArea, HMEMBLOCK hBlock) {
  if (!HoldsPPI(bPort)) return NULL;
  HeldBlock* lpBlock = Find(bPort, hArea, hBlock);
  if (!lpBlock || !lpBlock->dwKeptBack) return NULL;
  --lpBlock->dwKeptBack;
  return lpBlock->lpAddress;
}

void NoteHeldBlock(BYTE bPort, HMEMAREA hArea, HMEMBLOCK hBlock, LPVOID lpAddress) {
  if (!lpAddress || !HoldsPPI(bPort)) return;
  HeldBlock* lpBlock = Find(bPort, hArea, hBlock);
  if (lpBlock) {
    lpBlock->lpAddress = lpAddress;
    return;
  }
  HeldBlocks& held = tHeld[bPort];
  if (held.cBlocks < kHeldBlocks) held.aBlocks[held.cBlocks++] = {hArea, hBlock, lpAddress, 0};
}

BOOL KeepUnlockBack(BYTE bPort, HMEMAREA hArea, HMEMBLOCK hBlock) {
  if (!HoldsPPI(bPort)) return FALSE;
  HeldBlock* lpBlock = Find(bPort, hArea, hBlock);
  if (!lpBlock) return FALSE;
  ++lpBlock->dwKeptBack;
  return TRUE;
}

void SettleHeldBlock(BYTE bPort, HMEMAREA hArea, HMEMBLOCK hBlock, BOOL fApply) {
  HeldBlock* lpBlock = Find(bPort, hArea, hBlock);
  if (!lpBlock) return;
  if (fApply) GiveBack(*lpBlock);
  HeldBlocks& held = tHeld[bPort];
  *lpBlock = held.aBlocks[--held.cBlocks];
}

void SettleHeldBlocks(BYTE bPort) {
  HeldBlocks& held = tHeld[bPort];
  for (int i = 0; i < held.cBlocks; ++i) GiveBack(held.aBlocks[i]);
  held.cBlocks = 0;
}
