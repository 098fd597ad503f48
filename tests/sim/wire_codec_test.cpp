// The module's own CRC-8 and COBS framing against known vectors.
#include <gtest/gtest.h>

#include <string>

#include "sim/module/WireCodec.h"
#include "tests/sim/ModuleTestSupport.h"

using simtest::Bytes;
using simtest::Hex;

TEST(ModuleCrc8, KnownValues) {
  struct Case {
    std::string text;
    uint8_t crc;
  } cases[] = {
      {"123456789", 0xA1},
      {"abc", 0x42},
      {"", 0x00},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sim::Crc8(reinterpret_cast<const uint8_t*>(c.text.data()), c.text.size()), c.crc)
        << c.text;
  }
  const uint8_t sync[] = {0xAD, 0x00};
  EXPECT_EQ(sim::Crc8(sync, 2), 0x67);
}

TEST(ModuleFraming, PacketsBecomeTheKnownFrames) {
  struct Case {
    Bytes packet;
    Bytes frame;
  } cases[] = {
      {{0xAD, 0x00}, {0x02, 0xAD, 0x02, 0x67, 0x00}},
      {{0x04, 0x02, 0x12, 0x34}, {0x06, 0x04, 0x02, 0x12, 0x34, 0xE3, 0x00}},
      {{0x02, 0x03, 0x00, 0x10, 0x20}, {0x03, 0x02, 0x03, 0x04, 0x10, 0x20, 0xC4, 0x00}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Hex(sim::FramePacket(c.packet.data(), c.packet.size())), Hex(c.frame));
    // And back: the collector finds the frame, decoding and checking give the packet.
    sim::FrameCollector collector;
    bool done = false;
    for (uint8_t b : c.frame) done = collector.Push(b);
    ASSERT_TRUE(done);
    bool tooLong = true;
    Bytes encoded = collector.Take(&tooLong);
    EXPECT_FALSE(tooLong);
    Bytes decoded;
    ASSERT_TRUE(sim::CobsDecode(encoded.data(), encoded.size(), &decoded));
    size_t n = 0;
    ASSERT_TRUE(sim::CheckFrame(decoded, &n));
    EXPECT_EQ(Hex(Bytes(decoded.begin(), decoded.begin() + long(n))), Hex(c.packet));
  }
}

TEST(ModuleFraming, CobsRoundTripsRunsOfZerosAndLongRuns) {
  Bytes zeros(5, 0);
  Bytes long254(254, 0x11);
  Bytes long300(300, 0x22);
  long300[150] = 0;
  for (const Bytes& in : {zeros, long254, long300, Bytes{}}) {
    Bytes enc = sim::CobsEncode(in.data(), in.size());
    for (uint8_t b : enc) ASSERT_NE(b, 0);
    Bytes out;
    ASSERT_TRUE(sim::CobsDecode(enc.data(), enc.size(), &out));
    EXPECT_EQ(out, in);
  }
  // A run of 254 non-zero bytes uses the 255 code with no zero after it.
  Bytes enc = sim::CobsEncode(long254.data(), long254.size());
  EXPECT_EQ(enc[0], 0xFF);
}

TEST(ModuleFraming, BadFramesAreRefused) {
  struct Case {
    const char* name;
    Bytes encoded;  // without the delimiter
  } cases[] = {
      {"wrong CRC", {0x06, 0x04, 0x02, 0x12, 0x34, 0xE4}},
      {"wrong length byte", {0x06, 0x04, 0x03, 0x12, 0x34, 0xE3}},
      {"too short", {0x02, 0xAD}},
      {"code runs past the end", {0x09, 0x04, 0x02}},
  };
  for (const Case& c : cases) {
    Bytes decoded;
    size_t n = 0;
    bool ok = sim::CobsDecode(c.encoded.data(), c.encoded.size(), &decoded) &&
              sim::CheckFrame(decoded, &n);
    EXPECT_FALSE(ok) << c.name;
  }
}

TEST(ModuleFraming, CollectorIgnoresRepeatedDelimitersAndCutsLongFrames) {
  sim::FrameCollector collector(31);
  EXPECT_FALSE(collector.Push(0));
  EXPECT_FALSE(collector.Push(0));
  for (int i = 0; i < 40; ++i) EXPECT_FALSE(collector.Push(0x11));
  ASSERT_TRUE(collector.Push(0));
  bool tooLong = false;
  Bytes frame = collector.Take(&tooLong);
  EXPECT_TRUE(tooLong);
  EXPECT_EQ(frame.size(), 31u);
  // The next frame starts clean.
  for (uint8_t b : Bytes{0x02, 0xAD, 0x02, 0x67}) collector.Push(b);
  ASSERT_TRUE(collector.Push(0));
  EXPECT_EQ(Hex(collector.Take(&tooLong)), "02 AD 02 67");
  EXPECT_FALSE(tooLong);
}
