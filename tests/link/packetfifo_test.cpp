// Packet queues: order, filters, the overflow rule, waits and destruction,
// also with several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "common/packetfifo.h"

namespace {

using Clock = std::chrono::steady_clock;

aPacket* Make(uint8_t tag) { return aPacket_CreateWithData(0x04, 1, &tag); }

aErr PutTag(aPacketFifoHandle h, uint8_t tag) {
  aPacket* p = Make(tag);
  aErr err = aPacketFifo_Put(h, p);
  aPacket_Destroy(&p);
  return err;
}

// Takes a packet's tag and destroys it; -1 for none.
int Tag(aPacket* p) {
  if (!p) return -1;
  int tag = p->data[0];
  aPacket_Destroy(&p);
  return tag;
}

uint8_t IsOdd(const aPacket* p, void*) { return p->data[0] & 1; }
uint8_t Always(const aPacket*, void*) { return 1; }
uint8_t Never(const aPacket*, void*) { return 0; }
uint8_t TagIs(const aPacket* p, void* ref) { return p->data[0] == *static_cast<int*>(ref); }

class FifoTest : public ::testing::Test {
 protected:
  void SetUp() override { fifo = aPacketFifo_Create(); ASSERT_NE(fifo, 0u); }
  void TearDown() override {
    if (fifo) aPacketFifo_Destroy(&fifo);
  }
  aPacketFifoHandle fifo = 0;
};

TEST(FifoHandles, CountUpAndAreNotReused) {
  aPacketFifoHandle a = aPacketFifo_Create();
  aPacketFifoHandle b = aPacketFifo_Create();
  EXPECT_EQ(b, a + 1);
  EXPECT_EQ(aPacketFifo_Destroy(&a), aErrNone);
  EXPECT_EQ(a, 0u);
  aPacketFifoHandle c = aPacketFifo_Create();
  EXPECT_EQ(c, b + 1);
  aPacketFifoHandle stale = b;
  aPacketFifo_Destroy(&b);
  EXPECT_EQ(aPacketFifo_Destroy(&stale), aErrNotFound);
  EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
  aPacketFifo_Destroy(&c);
}

TEST_F(FifoTest, GetReturnsCopiesInOrder) {
  aPacket* mine = Make(1);
  ASSERT_EQ(aPacketFifo_Put(fifo, mine), aErrNone);
  mine->data[0] = 99;  // the queue holds its own copy
  aPacket_Destroy(&mine);
  PutTag(fifo, 2);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 2u);
  EXPECT_EQ(Tag(aPacketFifo_Get(fifo)), 1);
  EXPECT_EQ(Tag(aPacketFifo_Get(fifo)), 2);
  EXPECT_EQ(aPacketFifo_Get(fifo), nullptr);
}

TEST_F(FifoTest, PutRejectsBadArguments) {
  EXPECT_EQ(aPacketFifo_Put(fifo, nullptr), aErrParam);
  aPacket bogus{};
  EXPECT_EQ(aPacketFifo_Put(fifo, &bogus), aErrParam);
  EXPECT_EQ(PutTag(0, 1), aErrParam);
  EXPECT_EQ(aPacketFifo_GetLength(0), 0u);
  EXPECT_EQ(aPacketFifo_Get(0), nullptr);
}

TEST_F(FifoTest, OverflowEmptiesQueue) {
  for (int i = 0; i < aPACKETFIFO_MAXPACKETS; i++) ASSERT_EQ(PutTag(fifo, 1), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 1000u);
  EXPECT_EQ(PutTag(fifo, 2), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
  // The queue works normally afterwards.
  PutTag(fifo, 3);
  EXPECT_EQ(Tag(aPacketFifo_Get(fifo)), 3);
}

TEST_F(FifoTest, AwaitZeroTimeout) {
  const auto start = Clock::now();
  EXPECT_EQ(aPacketFifo_Await(fifo, 0), nullptr);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50));
  PutTag(fifo, 5);
  EXPECT_EQ(Tag(aPacketFifo_Await(fifo, 0)), 5);
}

TEST_F(FifoTest, AwaitTimesOut) {
  const auto start = Clock::now();
  EXPECT_EQ(aPacketFifo_Await(fifo, 60), nullptr);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(60));
}

TEST_F(FifoTest, FirstMatchLeavesOthersInOrder) {
  PutTag(fifo, 2);  // A: no match
  PutTag(fifo, 3);  // B
  PutTag(fifo, 5);  // C
  EXPECT_EQ(Tag(aPacketFifo_AwaitFirst(fifo, IsOdd, nullptr, 100)), 3);
  EXPECT_EQ(Tag(aPacketFifo_Get(fifo)), 2);
  EXPECT_EQ(Tag(aPacketFifo_Get(fifo)), 5);

  PutTag(fifo, 2);
  PutTag(fifo, 7);
  EXPECT_EQ(Tag(aPacketFifo_GetFirst(fifo, IsOdd, nullptr)), 7);
  EXPECT_EQ(aPacketFifo_GetFirst(fifo, IsOdd, nullptr), nullptr);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 1u);
}

TEST_F(FifoTest, Drain) {
  for (uint8_t t : {1, 2, 3, 4, 5}) PutTag(fifo, t);
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo, Never, nullptr), 0u);
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo, IsOdd, nullptr), 3u);
  EXPECT_EQ(Tag(aPacketFifo_Get(fifo)), 2);
  EXPECT_EQ(Tag(aPacketFifo_Get(fifo)), 4);
  for (uint8_t t : {1, 2}) PutTag(fifo, t);
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo, Always, nullptr), 2u);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
  EXPECT_EQ(aPacketFifo_DrainPackets(0, Always, nullptr), 0u);
}

// Counts its calls and matches tag 9 only.
struct Counter {
  std::atomic<int> calls{0};
};
uint8_t CountAndMatchNine(const aPacket* p, void* ref) {
  static_cast<Counter*>(ref)->calls++;
  return p->data[0] == 9;
}

TEST_F(FifoTest, WaitingFilterSeesEachPacketOnce) {
  PutTag(fifo, 1);
  PutTag(fifo, 2);
  Counter counter;
  std::thread waiter([&] {
    EXPECT_EQ(Tag(aPacketFifo_AwaitFirst(fifo, CountAndMatchNine, &counter, 5000)), 9);
  });
  // Three more arrive while the filter waits; each wakes it.
  for (uint8_t t : {3, 4, 5}) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    PutTag(fifo, t);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  PutTag(fifo, 9);
  waiter.join();
  EXPECT_EQ(counter.calls.load(), 6);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 5u);
}

TEST_F(FifoTest, DestroyWakesEveryWaiter) {
  std::atomic<int> returned{0};
  std::vector<std::thread> waiters;
  int nine = 9;
  for (int i = 0; i < 3; i++) {
    waiters.emplace_back([&, i] {
      aPacket* p = i == 0 ? aPacketFifo_Await(fifo, 10000)
                          : aPacketFifo_AwaitFirst(fifo, TagIs, &nine, 10000);
      EXPECT_EQ(p, nullptr);
      returned++;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const aPacketFifoHandle old = fifo;
  const auto start = Clock::now();
  ASSERT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
  for (auto& t : waiters) t.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(returned.load(), 3);
  EXPECT_EQ(PutTag(old, 1), aErrParam);
}

TEST_F(FifoTest, ConcurrentProducersAndConsumersLoseNothing) {
  constexpr int kProducers = 4;
  constexpr int kEach = 200;
  std::atomic<int> taken{0};
  std::atomic<int> oddTaken{0};
  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; p++)
    threads.emplace_back([&, p] {
      for (int i = 0; i < kEach; i++) ASSERT_EQ(PutTag(fifo, static_cast<uint8_t>(p)), aErrNone);
    });
  // One consumer takes odd producers' packets by filter, one takes anything.
  threads.emplace_back([&] {
    while (taken.load() < kProducers * kEach) {
      aPacket* p = aPacketFifo_AwaitFirst(fifo, IsOdd, nullptr, 20);
      if (p) {
        oddTaken++;
        taken++;
        aPacket_Destroy(&p);
      }
    }
  });
  threads.emplace_back([&] {
    while (taken.load() < kProducers * kEach) {
      aPacket* p = aPacketFifo_Await(fifo, 20);
      if (p) {
        taken++;
        aPacket_Destroy(&p);
      }
    }
  });
  for (auto& t : threads) t.join();
  EXPECT_EQ(taken.load(), kProducers * kEach);
  EXPECT_LE(oddTaken.load(), 2 * kEach);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
}

}  // namespace
