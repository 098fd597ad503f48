// The packet log ring and the per-link packet log switches.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "common/aLinkManagerInternal.h"
#include "common/aPacketDebug.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct LogDeleter {
  void operator()(aPacketLog* log) const { aPacketLog_Destroy(&log); }
};
using LogPtr = std::unique_ptr<aPacketLog, LogDeleter>;

LogPtr MakeLog(uint32_t size) { return LogPtr(aPacketLog_Create(size)); }

Bytes Entry(uint8_t first, size_t length) {
  Bytes b(length);
  for (size_t i = 0; i < length; ++i) b[i] = static_cast<uint8_t>(first + i);
  return b;
}

// Takes the oldest entry; its direction in *direction.
aErr Take(aPacketLog* log, uint8_t* direction, Bytes* out, uint32_t capacity = 255) {
  out->assign(capacity, 0);
  uint32_t length = capacity;
  const aErr err = aPacketLog_Get(log, direction, &length, out->data());
  out->resize(err == aErrNone ? length : 0);
  return err;
}

TEST(PacketLog, EntryMustFitWithOneByteFree) {
  const struct {
    uint32_t size;
    uint32_t length;
    aErr expected;
  } cases[] = {
      {16, 13, aErrNone},      // 15 bytes used, one free
      {16, 14, aErrOverrun},   // would fill the ring
      {16, 0, aErrNone},
      {300, 255, aErrNone},
      {400, 256, aErrOverrun},  // a length must fit its byte
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "size " << c.size << " length " << c.length);
    LogPtr log = MakeLog(c.size);
    ASSERT_TRUE(log);
    const Bytes data = Entry(1, c.length);
    EXPECT_EQ(aPacketLog_Put(log.get(), aPACKETLOG_OUTBOUND, c.length, data.data()), c.expected);
    uint8_t direction = 0;
    Bytes got;
    if (c.expected == aErrNone) {
      EXPECT_EQ(Take(log.get(), &direction, &got), aErrNone);
      EXPECT_EQ(direction, aPACKETLOG_OUTBOUND);
      EXPECT_EQ(got, data);
    } else {
      EXPECT_EQ(Take(log.get(), &direction, &got), aErrNotFound) << "nothing written";
    }
  }
}

TEST(PacketLog, FullRingDropsOldestEntries) {
  LogPtr log = MakeLog(64);
  for (uint8_t i = 0; i < 8; ++i) {
    const Bytes data = Entry(static_cast<uint8_t>(i * 10), 10);
    ASSERT_EQ(aPacketLog_Put(log.get(), aPACKETLOG_INBOUND, 10, data.data()), aErrNone);
  }
  // 12 bytes per entry, 63 usable: the five most recent remain, oldest first.
  for (uint8_t i = 3; i < 8; ++i) {
    uint8_t direction = 0;
    Bytes got;
    ASSERT_EQ(Take(log.get(), &direction, &got), aErrNone) << "entry " << int(i);
    EXPECT_EQ(direction, aPACKETLOG_INBOUND);
    EXPECT_EQ(got, Entry(static_cast<uint8_t>(i * 10), 10));
  }
  uint8_t direction;
  Bytes got;
  EXPECT_EQ(Take(log.get(), &direction, &got), aErrNotFound);
}

TEST(PacketLog, EntriesWrapAroundTheEnd) {
  LogPtr log = MakeLog(20);
  // Alternate puts and gets so that entries straddle the end of the buffer.
  for (uint8_t round = 0; round < 12; ++round) {
    const Bytes data = Entry(round, 3 + round % 5);
    ASSERT_EQ(aPacketLog_Put(log.get(), aPACKETLOG_NOTE, static_cast<uint32_t>(data.size()),
                             data.data()),
              aErrNone);
    uint8_t direction = 0;
    Bytes got;
    ASSERT_EQ(Take(log.get(), &direction, &got), aErrNone);
    EXPECT_EQ(direction, aPACKETLOG_NOTE);
    EXPECT_EQ(got, data) << "round " << int(round);
  }
}

TEST(PacketLog, SmallOutputKeepsTheEntry) {
  LogPtr log = MakeLog(64);
  const Bytes data = {1, 2, 3, 4};
  ASSERT_EQ(aPacketLog_Put(log.get(), aPACKETLOG_OUTBOUND, 4, data.data()), aErrNone);
  uint8_t direction = 0;
  uint8_t out[4] = {};
  uint32_t length = 3;
  EXPECT_EQ(aPacketLog_Get(log.get(), &direction, &length, out), aErrOverrun);
  EXPECT_EQ(length, 4u) << "the size needed is reported";
  length = 4;
  EXPECT_EQ(aPacketLog_Get(log.get(), &direction, &length, out), aErrNone);
  EXPECT_EQ(Bytes(out, out + 4), data);
  EXPECT_EQ(direction, aPACKETLOG_OUTBOUND);
}

TEST(PacketLog, BadArguments) {
  EXPECT_EQ(aPacketLog_Create(0), nullptr);
  LogPtr log = MakeLog(32);
  uint8_t direction;
  uint32_t length = 4;
  uint8_t out[4];
  EXPECT_EQ(aPacketLog_Put(nullptr, 1, 0, nullptr), aErrParam);
  EXPECT_EQ(aPacketLog_Put(log.get(), 1, 3, nullptr), aErrParam);
  EXPECT_EQ(aPacketLog_Get(nullptr, &direction, &length, out), aErrParam);
  EXPECT_EQ(aPacketLog_Get(log.get(), nullptr, &length, out), aErrParam);
  aPacketLog* none = nullptr;
  EXPECT_EQ(aPacketLog_Destroy(&none), aErrParam);
  aPacketLog* one = aPacketLog_Create(8);
  EXPECT_EQ(aPacketLog_Destroy(&one), aErrNone);
  EXPECT_EQ(one, nullptr);
}

// A link record without a stream is enough for the switches.
class LinkPacketLog : public ::testing::Test {
 protected:
  void SetUp() override {
    id = aLinkManager_Create(-1, 0, LINK_TYPE_NONE);
    ASSERT_NE(id, 0);
    ASSERT_EQ(aLink_Init(id, nullptr), id);
  }
  void TearDown() override {
    if (id) aLink_Destroy(&id);
  }
  int32_t id = 0;
};

TEST_F(LinkPacketLog, SwitchesFollowTheLogState) {
  const int32_t noLink = 0x7FFFFFF0;
  uint8_t direction = 0;
  uint32_t length = 8;
  uint8_t out[8];
  const uint8_t note[] = {'h', 'i'};

  EXPECT_EQ(aLink_PacketDebug_SetLogSize(noLink, 100), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Enable(noLink), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Disable(noLink), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Read(noLink, &direction, &length, out), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Write(noLink, aPACKETLOG_NOTE, 2, note), aErrParam);

  EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, aPACKETLOG_MAXSIZE + 1), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Disable(id), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_Read(id, &direction, &length, out), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_Write(id, aPACKETLOG_NOTE, 2, note), aErrNotReady);

  EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 16), aErrNone);
  EXPECT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  EXPECT_EQ(aLink_PacketDebug_Enable(id), aErrNone) << "a second enable keeps the ring";
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 100), aErrBusy);
  // The ring has the size set before enabling: 14 data bytes cannot fit.
  const Bytes big = Entry(1, 14);
  EXPECT_EQ(aLink_PacketDebug_Write(id, aPACKETLOG_NOTE, 14, big.data()), aErrOverrun);

  EXPECT_EQ(aLink_PacketDebug_Write(id, aPACKETLOG_NOTE, 2, note), aErrNone);
  EXPECT_EQ(aLink_PacketDebug_Disable(id), aErrNone);
  length = sizeof(out);
  EXPECT_EQ(aLink_PacketDebug_Read(id, &direction, &length, out), aErrNone)
      << "the ring stays after disable";
  EXPECT_EQ(direction, aPACKETLOG_NOTE);
  EXPECT_EQ(Bytes(out, out + length), Bytes(note, note + 2));
  length = sizeof(out);
  EXPECT_EQ(aLink_PacketDebug_Read(id, &direction, &length, out), aErrNotFound);
}

TEST_F(LinkPacketLog, DefaultAndNegativeSizes) {
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, -5), aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  // The default ring (64 KiB) takes entries far beyond a small ring.
  for (int i = 0; i < 1000; ++i) {
    const Bytes data = Entry(static_cast<uint8_t>(i), 30);
    ASSERT_EQ(aLink_PacketDebug_Write(id, aPACKETLOG_OUTBOUND, 30, data.data()), aErrNone);
  }
  uint8_t direction;
  uint8_t out[64];
  uint32_t length = sizeof(out);
  ASSERT_EQ(aLink_PacketDebug_Read(id, &direction, &length, out), aErrNone);
  EXPECT_EQ(Bytes(out, out + length), Entry(0, 30)) << "nothing was dropped";
}

}  // namespace
