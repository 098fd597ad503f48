// The virtual module driven by wire transcripts: bytes from the host in,
// packets to the host expected out.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "tests/sim/ModuleTestSupport.h"

using simtest::Bytes;
using simtest::Collector;
using simtest::Hex;
using simtest::Packet;
using simtest::Rig;

namespace {

sim::VirtualModuleConfig BenchConfig() {
  sim::VirtualModuleConfig c;
  c.serial = 0x12345678;
  c.model = 0x13;
  c.version = sim::PackVersion(2, 12, 2);
  c.build = 4321;  // 0x10E1
  c.name = "Bench-7";
  c.address = 4;
  c.heartbeatMs = 0;
  c.uniqueId = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
  return c;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }

struct Transcript {
  const char* name;
  Bytes in;
  std::vector<Bytes> out;
};

Bytes Name26() { return Text("ABCDEFGHIJKLMNOPQRSTUVWXYZ"); }

Bytes NameSetPackets(const Bytes& name, uint8_t secondSequence) {
  Bytes first{0x03, 0xA0, 0x20};
  first.insert(first.end(), name.begin(), name.begin() + 24);
  first.push_back(0x80);
  Bytes second{0x03, 0xA0, 0x20};
  second.insert(second.end(), name.begin() + 24, name.end());
  second.push_back(secondSequence);
  return Cat({Packet(4, first), Packet(4, second)});
}

std::vector<Transcript> Transcripts() {
  Bytes nameChunk1{0x03, 0x20, 0x00};
  Bytes n26 = Name26();
  nameChunk1.insert(nameChunk1.end(), n26.begin(), n26.begin() + 24);
  nameChunk1.push_back(0x80);
  Bytes nameChunk2{0x03, 0x20, 0x00, 'Y', 'Z', 0x01};
  Bytes name33 = Text("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456");
  return {
      {"sync requests answered from the module's own address",
       Cat({Packet(0xAD, {}), Packet(0xAD, {})}),
       {{0x04, 0x00}, {0x04, 0x00}}},
      {"zero bytes and impossible lengths are skipped until a packet fits",
       {0x00, 0x00, 0x06, 0xFF, 0xAD, 0x00},
       {{0x04, 0x00}}},
      {"serial number", Packet(4, {0x03, 0x49, 0x20}),
       {Packet(4, {0x03, 0x09, 0x00, 0x12, 0x34, 0x56, 0x78})}},
      {"model", Packet(4, {0x03, 0x48, 0x20}), {Packet(4, {0x03, 0x08, 0x00, 0x13})}},
      {"version word of 2.12.2", Packet(4, {0x03, 0x47, 0x20}),
       {Packet(4, {0x03, 0x07, 0x00, 0x2C, 0x00, 0x00, 0x02})}},
      {"module address", Packet(4, {0x03, 0x41, 0x20}), {Packet(4, {0x03, 0x01, 0x00, 0x04})}},
      {"router address defaults to its own", Packet(4, {0x03, 0x42, 0x20}),
       {Packet(4, {0x03, 0x02, 0x00, 0x04})}},
      {"build through the system entity", Packet(4, {0x03, 0x6B, 0x20}),
       {Packet(4, {0x03, 0x2B, 0x00, 0x00, 0x00, 0x10, 0xE1})}},
      {"protocol features offer pooled packets", Packet(4, {0x03, 0x6D, 0x20}),
       {Packet(4, {0x03, 0x2D, 0x00, 0x80, 0x00, 0x00, 0x00})}},
      {"name as a byte string", Packet(4, {0x03, 0x60, 0x20}),
       {Packet(4, {0x03, 0x20, 0x00, 'B', 'e', 'n', 'c', 'h', '-', '7', 0x00})}},
      {"unique identifier by sub-index", Packet(4, {0x03, 0x67, 0x20, 0x02}),
       {Packet(4, {0x03, 0x27, 0x00, 0x33, 0x33, 0x33, 0x33})}},
      {"unique identifier sub-index out of range", Packet(4, {0x03, 0x67, 0x20, 0x04}),
       {Packet(4, {0x03, 0x27, 0x80, 26})}},
      {"option the entity lacks", Packet(4, {0x03, 0x45, 0x20}), {Packet(4, {0x03, 0x05, 0x80, 29})}},
      {"entity index out of range", Packet(4, {0x03, 0x49, 0x21}), {Packet(4, {0x03, 0x09, 0x81, 26})}},
      {"set of a read-only option", Packet(4, {0x03, 0x89, 0x20, 0, 0, 0, 1}),
       {Packet(4, {0x03, 0xC9, 0x80, 7})}},
      {"set with a value of the wrong size", Packet(4, {0x03, 0x82, 0x20, 0, 0, 0, 1}),
       {Packet(4, {0x03, 0xC2, 0x80, 14})}},
      {"set router, then read it back",
       Cat({Packet(4, {0x03, 0x82, 0x20, 0x08}), Packet(4, {0x03, 0x42, 0x20})}),
       {Packet(4, {0x03, 0xC2, 0x00}), Packet(4, {0x03, 0x02, 0x00, 0x08})}},
      {"set with a sub-index before the value",
       Cat({Packet(4, {0x03, 0x84, 0x20, 0x00, 0x09}), Packet(4, {0x03, 0x44, 0x20})}),
       {Packet(4, {0x03, 0xC4, 0x00}), Packet(4, {0x03, 0x04, 0x00, 0x09})}},
      {"name set over two packets, then read back in chunks",
       Cat({NameSetPackets(n26, 0x01), Packet(4, {0x03, 0x60, 0x20})}),
       {Packet(4, {0x03, 0xE0, 0x00}), Packet(4, nameChunk1), Packet(4, nameChunk2)}},
      {"name chunk out of sequence", NameSetPackets(n26, 0x02), {Packet(4, {0x03, 0xE0, 0x80, 24})}},
      {"name longer than 32 bytes", NameSetPackets(name33, 0x01), {Packet(4, {0x03, 0xE0, 0x80, 14})}},
      {"build number query", Packet(4, {0x49, 0xFF}), {Packet(4, {0x49, 0xFF, 0x00, 0x00, 0x10, 0xE1})}},
      {"upgrade data as byte strings is offered", Packet(4, {0x49, 0x01, 0x5F, 0x0A, 0x00, 0x80}),
       {Packet(4, {0x49, 0x01, 0x5F, 0x0A, 0x00, 0x00})}},
      {"a read-only option cannot be set", Packet(4, {0x49, 0x01, 0x03, 0x09, 0x00, 0x80}),
       {Packet(4, {0x49, 0x01, 0x03, 0x09, 0x00, 21})}},
      {"an entity class the module lacks", Packet(4, {0x49, 0x01, 0x07, 0x01, 0x00, 0x40}),
       {Packet(4, {0x49, 0x01, 0x07, 0x01, 0x00, 28})}},
      {"class quantity", Packet(4, {0x49, 0x04, 0x03}), {Packet(4, {0x49, 0x04, 0x03, 0x01})}},
      {"sub-class quantity", Packet(4, {0x49, 0x05, 0x03, 0x00}),
       {Packet(4, {0x49, 0x05, 0x03, 0x00, 0x00})}},
      {"entity group", Packet(4, {0x49, 0x06, 0x03, 0x00}), {Packet(4, {0x49, 0x06, 0x03, 0x00, 0x01})}},
      {"debug echo", Packet(4, {0x17, 0x01, 0x02, 0x03}), {Packet(4, {0x17, 0x01, 0x02, 0x03})}},
      {"store entity saves the system entity", Packet(4, {0x5C, 0x80, 0x20, 0, 0, 0x03, 0x00}),
       {Packet(4, {0x5C, 0xC0, 0x00})}},
      {"store entity refuses an unknown entity", Packet(4, {0x5C, 0x80, 0x20, 0, 0, 0x08, 0x00}),
       {Packet(4, {0x5C, 0xC0, 0x80, 28})}},
      {"request to an entity class the module lacks", Packet(4, {0x21, 0x41, 0x20}),
       {Packet(4, {0x21, 0x01, 0x80, 28})}},
      {"store slot capacity", Packet(4, {0x04, 0x01, 0x00, 0x02}),
       {Packet(4, {0x04, 0x01, 0x00, 0x02, 0x10, 0x00})}},
      {"store slot out of range", Packet(4, {0x04, 0x01, 0x00, 0x09}),
       {Packet(4, {0x04, 0x81, 0x00, 0x09, 26})}},
      {"I2C write to an empty address fails", Packet(4, {0x08, 0x00, 0x06, 0x02, 0x03, 0x00, 0x00}),
       {Packet(4, {0x08, 0x00, 0x06, 0x00, 0x86})}},
      {"I2C pull-up", Packet(4, {0x08, 0x00, 0x01, 0x01}), {Packet(4, {0x08, 0x00, 0x01, 0x01, 0x00})}},
      {"route packet has no answer", Packet(0xAF, {0x01}), {}},
      {"heartbeat answers have no answer", Packet(4, {0x00, 0x02}), {}},
      {"packets for other addresses are ignored", Packet(6, {0x03, 0x49, 0x20}), {}},
      {"replies are not requests", Packet(4, {0x03, 0x09, 0x00, 0, 0, 0, 1}), {}},
  };
}

}  // namespace

TEST(ModuleTranscripts, EachRequestGetsItsAnswer) {
  for (const Transcript& t : Transcripts()) {
    SCOPED_TRACE(t.name);
    Rig rig(BenchConfig());
    rig.Send(t.in);
    for (const Bytes& expected : t.out) {
      std::optional<Bytes> got = rig.out.Next(1000);
      ASSERT_TRUE(got) << "missing " << Hex(expected);
      EXPECT_EQ(Hex(*got), Hex(expected));
    }
    std::optional<Bytes> extra = rig.out.Next(50);
    EXPECT_FALSE(extra) << "unexpected " << Hex(*extra);
  }
}

TEST(ModuleTranscripts, BytesSplitAnywhereGiveTheSameAnswers) {
  Bytes in = Cat({Packet(0xAD, {}), Packet(4, {0x03, 0x49, 0x20}), Packet(4, {0x49, 0xFF})});
  Rig rig(BenchConfig());
  for (uint8_t b : in) rig.Send({b});
  EXPECT_EQ(Hex(*rig.out.Next()), "04 00");
  EXPECT_EQ(Hex(*rig.out.Next()), "04 07 03 09 00 12 34 56 78");
  EXPECT_EQ(Hex(*rig.out.Next()), "04 06 49 FF 00 00 10 E1");
}

TEST(ModuleTranscripts, RoutePacketAndRouteToMeSwitchRouting) {
  Rig rig(BenchConfig());
  EXPECT_FALSE(rig.module.Routing());
  rig.Send(Packet(0xAF, {0x01}));
  rig.Send(Packet(0xAD, {}));  // the answer shows that the route packet was taken
  ASSERT_TRUE(rig.out.Next());
  EXPECT_TRUE(rig.module.Routing());
  rig.Send(Packet(4, {0x03, 0x94, 0x20, 0x00}));
  EXPECT_EQ(Hex(*rig.out.Next()), "04 03 03 D4 00");
  EXPECT_FALSE(rig.module.Routing());
  // A new session starts with routing off.
  rig.Send(Packet(0xAF, {0x01}));
  rig.Send(Packet(0xAD, {}));
  ASSERT_TRUE(rig.out.Next());
  rig.module.HostAttached();
  EXPECT_FALSE(rig.module.Routing());
}

TEST(ModuleTranscripts, SerialLinkPayloadLimitShortensChunks) {
  sim::VirtualModuleConfig c = BenchConfig();
  c.name = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  Rig rig(c);
  rig.module.SetMaxPayload(27);
  rig.Send(Packet(4, {0x03, 0x60, 0x20}));
  std::optional<Bytes> first = rig.out.Next();
  std::optional<Bytes> second = rig.out.Next();
  ASSERT_TRUE(first && second);
  EXPECT_EQ((*first)[1], 27);  // 23 name bytes + header + trailer
  EXPECT_EQ(first->back(), 0x80);
  EXPECT_EQ((*second)[1], 3 + 3 + 1);
  EXPECT_EQ(second->back(), 0x01);
}

TEST(ModuleStoreSlots, WrittenChunksAreSummedAndReadBack) {
  Rig rig(BenchConfig());
  rig.Send(Packet(4, {0x04, 0x04, 0x01, 0x03}));  // open store 1 slot 3 for writing
  std::optional<Bytes> open = rig.out.Next();
  ASSERT_TRUE(open);
  ASSERT_EQ(open->size(), 7u);
  const uint8_t h = (*open)[6];
  Bytes data(60);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 13 + 1);
  for (size_t at = 0; at < data.size(); at += 25) {
    const size_t n = std::min<size_t>(25, data.size() - at);
    Bytes req{0x04, 0x07, h};
    req.insert(req.end(), data.begin() + long(at), data.begin() + long(at + n));
    rig.Send(Packet(4, req));
    uint8_t sum = 0;
    for (size_t i = at; i < at + n; ++i) sum = uint8_t(sum + data[i]);
    EXPECT_EQ(Hex(*rig.out.Next()), Hex(Packet(4, {0x04, 0x07, h, sum})));
  }
  rig.Send(Packet(4, {0x04, 0x08, h}));
  EXPECT_EQ(Hex(*rig.out.Next()), Hex(Packet(4, {0x04, 0x08, h, 0x00})));
  rig.Send(Packet(4, {0x04, 0x02, 0x01, 0x03}));
  EXPECT_EQ(Hex(*rig.out.Next()), Hex(Packet(4, {0x04, 0x02, 0x01, 0x03, 0x00, 60})));

  rig.Send(Packet(4, {0x04, 0x03, 0x01, 0x03}));
  std::optional<Bytes> openRead = rig.out.Next();
  ASSERT_TRUE(openRead);
  const uint8_t r = (*openRead)[6];
  Bytes back;
  while (back.size() < data.size()) {
    rig.Send(Packet(4, {0x04, 0x06, r}));
    std::optional<Bytes> chunk = rig.out.Next();
    ASSERT_TRUE(chunk);
    ASSERT_EQ((*chunk)[3], 0x06) << Hex(*chunk);
    back.insert(back.end(), chunk->begin() + 5, chunk->end());
  }
  EXPECT_EQ(back, data);
  rig.Send(Packet(4, {0x04, 0x06, r}));  // past the end
  EXPECT_EQ(Hex(*rig.out.Next()), Hex(Packet(4, {0x04, 0x86, r, 10})));
  rig.Send(Packet(4, {0x04, 0x07, r, 0x01}));  // writing through a read handle
  EXPECT_EQ(Hex(*rig.out.Next()), Hex(Packet(4, {0x04, 0x87, r, 2})));
  rig.Send(Packet(4, {0x04, 0x08, 0x77}));  // closing a handle never opened
  EXPECT_EQ(Hex(*rig.out.Next()), Hex(Packet(4, {0x04, 0x88, 0x77, 2})));
}

TEST(ModuleFactoryData, WrittenBlockReadsBackAndLengthIsChecked) {
  Rig rig(BenchConfig());
  Bytes data(59);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(0xA0 + i);
  for (size_t at = 0; at < data.size(); at += 26) {
    const size_t n = std::min<size_t>(26, data.size() - at);
    Bytes req{0x5E, uint8_t(0x13 | (at == 0 ? 0x40 : 0))};
    req.insert(req.end(), data.begin() + long(at), data.begin() + long(at + n));
    rig.Send(Packet(4, req));
    EXPECT_EQ(Hex(*rig.out.Next()), Hex(Packet(4, {0x5E, 0x03})));
  }
  rig.Send(Packet(4, {0x5E, 0x20, 0x00, 59}));
  EXPECT_EQ(Hex(*rig.out.Next()), Hex(Packet(4, {0x5E, 0x00})));

  Bytes back;
  bool first = true;
  for (;;) {
    rig.Send(Packet(4, {0x5E, uint8_t(0x03 | (first ? 0x40 : 0))}));
    first = false;
    std::optional<Bytes> reply = rig.out.Next();
    ASSERT_TRUE(reply);
    ASSERT_EQ((*reply)[3], 0x03);
    back.insert(back.end(), reply->begin() + 4, reply->end());
    if ((*reply)[1] != 28) break;
  }
  EXPECT_EQ(back, data);
  rig.Send(Packet(4, {0x5E, 0x20, 0x00, 58}));  // a length that was not delivered
  EXPECT_EQ(Hex(*rig.out.Next()), Hex(Packet(4, {0x5E, 0x80, 14})));

  // A write whose closing length disagrees leaves the stored block alone.
  rig.Send(Packet(4, {0x5E, 0x53, 0x01, 0x02}));
  ASSERT_TRUE(rig.out.Next());
  rig.Send(Packet(4, {0x5E, 0x20, 0x00, 0x05}));
  EXPECT_EQ(Hex(*rig.out.Next()), Hex(Packet(4, {0x5E, 0x80, 14})));
  rig.Send(Packet(4, {0x5E, 0x43}));
  std::optional<Bytes> again = rig.out.Next();
  ASSERT_TRUE(again);
  EXPECT_EQ(Bytes(again->begin() + 4, again->end()), Bytes(data.begin(), data.begin() + 26));
}

TEST(ModuleFactoryData, IdentityRecordAndMissingBlock) {
  Rig rig(BenchConfig());
  rig.Send(Packet(4, {0x5E, 0x40}));
  std::optional<Bytes> reply = rig.out.Next();
  ASSERT_TRUE(reply);
  EXPECT_EQ(Hex(Bytes(reply->begin() + 2, reply->begin() + 13)), "5E 00 56 4D 4F 44 12 34 56 78 13");
  rig.Send(Packet(4, {0x5E, 0x45}));  // block 5 holds nothing
  EXPECT_EQ(Hex(*rig.out.Next()), Hex(Packet(4, {0x5E, 0x85, 3})));
}

TEST(ModuleRestart, ResetComesBackWithTheSavedSettings) {
  sim::VirtualModuleConfig c = BenchConfig();
  c.restartMs = 30;
  Rig rig(c);
  rig.Send(Packet(4, {0x03, 0x82, 0x20, 0x08}));  // router 8
  rig.Send(Packet(4, {0x03, 0x8A, 0x20}));        // save
  rig.Send(Packet(4, {0x03, 0x82, 0x20, 0x0A}));  // router 10, not saved
  rig.Send(Packet(4, {0x03, 0x8B, 0x20}));        // reset
  EXPECT_EQ(Hex(*rig.out.Next()), "04 03 03 C2 00");
  EXPECT_EQ(Hex(*rig.out.Next()), "04 03 03 CA 00");
  EXPECT_EQ(Hex(*rig.out.Next()), "04 03 03 C2 00");
  EXPECT_EQ(Hex(*rig.out.Next()), "04 03 03 CB 00");
  ASSERT_TRUE(rig.out.WaitEvent(sim::LinkEvent::Leave, 1000));
  ASSERT_TRUE(rig.out.WaitEvent(sim::LinkEvent::Return, 1000));
  EXPECT_EQ(rig.module.Restarts(), 1u);
  rig.Send(Packet(4, {0x03, 0x42, 0x20}));
  EXPECT_EQ(Hex(*rig.out.Next()), "04 04 03 02 00 08");
}

TEST(ModuleRestart, SavedSoftwareOffsetMovesTheAddress) {
  sim::VirtualModuleConfig c = BenchConfig();
  c.restartMs = 30;
  Rig rig(c);
  rig.Send(Packet(4, {0x03, 0x8F, 0x20, 0x02}));
  rig.Send(Packet(4, {0x03, 0x8A, 0x20}));
  rig.Send(Packet(4, {0x03, 0x8B, 0x20}));
  ASSERT_TRUE(rig.out.WaitEvent(sim::LinkEvent::Return, 1000));
  rig.out.Drain(20);
  rig.Send(Packet(0xAD, {}));
  EXPECT_EQ(Hex(*rig.out.Next()), "08 00");
  rig.Send(Packet(8, {0x03, 0x4E, 0x20}));  // base address stays
  EXPECT_EQ(Hex(*rig.out.Next()), "08 04 03 0E 00 04");
}

TEST(ModuleHeartbeat, SteadyAlternatingBeatsAndAnswersTracked) {
  sim::VirtualModuleConfig c = BenchConfig();
  c.heartbeatMs = 100;
  Rig rig(c);
  std::vector<Bytes> beats;
  for (int i = 0; i < 8; ++i) {
    std::optional<Bytes> b = rig.out.Next(1000);
    ASSERT_TRUE(b);
    beats.push_back(*b);
    // Answer every beat but the fifth, and the sixth with a beat never sent.
    uint8_t answer = uint8_t((*b)[3] + 2);
    if (i == 4) continue;
    if (i == 5) answer = 0x07;
    rig.Send(Packet(4, {0x00, answer}));
  }
  for (size_t i = 0; i < beats.size(); ++i) {
    EXPECT_EQ(Hex(beats[i]), Hex(Packet(4, {0x00, uint8_t(i & 1)}))) << i;
  }
  // The last answer is taken on the caller's thread before this returns.
  sim::HeartbeatStats s = rig.module.Heartbeats();
  EXPECT_GE(s.sent, 8u);
  EXPECT_EQ(s.answered, 6u);
  EXPECT_EQ(s.unexpected, 1u);
  EXPECT_GE(s.lastAnswerAgeMs, 0);

  rig.module.HostDetached();
  rig.out.Drain(60);
  EXPECT_FALSE(rig.out.Next(200)) << "no beats without a host";
}

TEST(ModuleHeartbeat, IntervalOptionChangesThePace) {
  sim::VirtualModuleConfig c = BenchConfig();
  c.heartbeatMs = 0;
  Rig rig(c);
  rig.Send(Packet(4, {0x03, 0x43, 0x20}));
  EXPECT_EQ(Hex(*rig.out.Next()), "04 04 03 03 00 00");
  rig.Send(Packet(4, {0x03, 0x83, 0x20, 0x01}));  // every 100 ms
  EXPECT_EQ(Hex(*rig.out.Next()), "04 03 03 C3 00");
  EXPECT_EQ(Hex(*rig.out.Next(1000)), "04 02 00 00");
  EXPECT_EQ(Hex(*rig.out.Next(1000)), "04 02 00 01");
}
