// The TX buffer pool's accounting: ring order, clear-all with buffers still held, and the
// free-buffer count staying in step with the ring.
#include <vector>

#include "board_fixture.h"
#include "tcpTCPTransfer/txbufBuffers/txbufBuffers.h"

namespace {

class TxBuf : public OnBoard {
 protected:
  void SetUp() override { inKernel([] { txbufBuffers_Init(); }); }
};

TEST_F(TxBuf, AfterAClearAllLocksHandOutFourteenThenZeroUpToThirteen) {
  std::vector<int> got;
  inKernel([&] {
    for (int i = 0; i < 15; i++) got.push_back(txGetAndLockEmptyBuffer(0));
  });
  EXPECT_EQ(got, (std::vector<int>{14, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}));
}

TEST_F(TxBuf, UnlockedBuffersComeBackInTheOrderTheyWereReturned) {
  std::vector<int> got;
  inKernel([&] {
    std::vector<XferBufHandle_t> h;
    for (int i = 0; i < 15; i++) h.push_back(txGetAndLockEmptyBuffer(0));
    txUnlockBuffer(&h[3]);
    txUnlockBuffer(&h[1]);
    got.push_back(txGetAndLockEmptyBuffer(0));
    got.push_back(txGetAndLockEmptyBuffer(0));
    got.push_back(txGetAndLockEmptyBuffer(0));
  });
  EXPECT_EQ(got, (std::vector<int>{2, 0, -1}));
}

TEST_F(TxBuf, ABufferHeldAcrossAClearAllCannotBeSentAndReturnsWhenUnlocked) {
  bool sent = true;
  uint32_t freeAfterClear = 0, freeAfterUnlock = 0;
  inKernel([&] {
    XferBufHandle_t held = txGetAndLockEmptyBuffer(0);
    txClearAll();
    freeAfterClear = txAvailableCount();
    sent = txMarkBufferReady(held, 100);
    txUnlockBuffer(&held);
    freeAfterUnlock = txAvailableCount();
  });
  EXPECT_FALSE(sent) << "its message belonged to the connection the clear ended";
  EXPECT_EQ(freeAfterClear, 14u) << "a held buffer is not handed to anyone else";
  EXPECT_EQ(freeAfterUnlock, 15u);
}

TEST_F(TxBuf, AClearAllWithEveryBufferOutLeavesAsManyFreeCountsAsBuffers) {
  std::vector<int> got;
  inKernel([&] {
    for (int i = 0; i < 15; i++) txGetAndLockEmptyBuffer(0);
    txClearAll();  // the 15 are still held: none is free
    got.push_back(txGetAndLockEmptyBuffer(0));
  });
  EXPECT_EQ(got, (std::vector<int>{-1}));
}

}  // namespace
