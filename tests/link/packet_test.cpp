// Packets: creation, byte-wise assembly, access; UEI value helpers.
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "common/aPacket.h"
#include "common/aUEI.h"

namespace {

struct PacketOwner {
  aPacket* p;
  explicit PacketOwner(aPacket* packet) : p(packet) {}
  ~PacketOwner() {
    if (p) aPacket_Destroy(&p);
  }
};

TEST(Packet, CreateWithDataLimits) {
  uint8_t data[29] = {0};
  for (int i = 0; i < 29; i++) data[i] = static_cast<uint8_t>(i + 1);
  PacketOwner full(aPacket_CreateWithData(0x04, 28, data));
  ASSERT_NE(full.p, nullptr);
  EXPECT_EQ(full.p->curSize, 30);
  EXPECT_TRUE(aPacket_IsComplete(full.p));
  EXPECT_EQ(full.p->data[27], 28);
  EXPECT_EQ(aPacket_CreateWithData(0x04, 29, data), nullptr);
  EXPECT_EQ(aPacket_CreateWithData(0x04, 1, nullptr), nullptr);
}

TEST(Packet, CopyDestroyReset) {
  const uint8_t data[3] = {3, 0x48, 0x20};
  PacketOwner p(aPacket_CreateWithData(0x06, 3, data));
  PacketOwner copy(aPacket_Copy(p.p));
  ASSERT_NE(copy.p, nullptr);
  EXPECT_NE(copy.p, p.p);
  EXPECT_EQ(copy.p->address, 0x06);
  EXPECT_EQ(copy.p->dataSize, 3);
  EXPECT_EQ(copy.p->data[1], 0x48);
  EXPECT_EQ(aPacket_Copy(nullptr), nullptr);

  EXPECT_EQ(aPacket_Reset(p.p), aErrNone);
  EXPECT_EQ(p.p->curSize, 0);
  EXPECT_EQ(p.p->address, 0);
  EXPECT_EQ(p.p->data[0], 0);
  EXPECT_EQ(aPacket_Reset(nullptr), aErrParam);

  aPacket* gone = aPacket_Create();
  EXPECT_EQ(aPacket_Destroy(&gone), aErrNone);
  EXPECT_EQ(gone, nullptr);
  EXPECT_EQ(aPacket_Destroy(&gone), aErrParam);
  EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
}

// Feeds bytes one at a time; returns the result of each.
std::vector<aErr> Feed(aPacket* p, const std::vector<uint8_t>& bytes) {
  std::vector<aErr> results;
  for (uint8_t b : bytes) results.push_back(aPacket_AddByte(p, b));
  return results;
}

struct AssemblyCase {
  const char* name;
  std::vector<uint8_t> bytes;
  std::vector<aErr> results;
  bool complete;
};

TEST(Packet, ByteWiseAssembly) {
  std::vector<uint8_t> thirtyOne = {0x04, 28};
  for (int i = 0; i < 29; i++) thirtyOne.push_back(static_cast<uint8_t>(i));
  std::vector<aErr> thirtyOneResults(30, aErrNone);
  thirtyOneResults.push_back(aErrOverrun);

  const AssemblyCase cases[] = {
      {"empty packet", {0x04, 0x00}, {aErrNone, aErrNone}, true},
      {"zero address", {0x00}, {aErrPacket}, false},
      {"length 29", {0x04, 0x1D}, {aErrNone, aErrPacket}, false},
      {"payload", {0x06, 0x02, 0xAA, 0xBB}, {aErrNone, aErrNone, aErrNone, aErrNone}, true},
      {"partial", {0x06, 0x03, 0xAA}, {aErrNone, aErrNone, aErrNone}, false},
      {"surplus byte", {0x06, 0x01, 0xAA, 0xBB}, {aErrNone, aErrNone, aErrNone, aErrPacket}, false},
      // A complete empty packet must not take a following byte for its length.
      {"byte after empty packet", {0x04, 0x00, 0x01}, {aErrNone, aErrNone, aErrPacket}, false},
      {"31st byte", thirtyOne, thirtyOneResults, false},
  };
  for (const AssemblyCase& c : cases) {
    SCOPED_TRACE(c.name);
    PacketOwner p(aPacket_Create());
    EXPECT_EQ(Feed(p.p, c.bytes), c.results);
    EXPECT_EQ(aPacket_IsComplete(p.p), c.complete);
  }
  EXPECT_EQ(aPacket_AddByte(nullptr, 1), aErrParam);
}

TEST(Packet, AssembledPayloadLandsInOrder) {
  PacketOwner p(aPacket_Create());
  Feed(p.p, {0x08, 0x03, 0x11, 0x22, 0x33});
  ASSERT_TRUE(aPacket_IsComplete(p.p));
  EXPECT_EQ(p.p->address, 0x08);
  EXPECT_EQ(p.p->data[0], 0x11);
  EXPECT_EQ(p.p->data[2], 0x33);
}

TEST(Packet, GetBytesCapacity) {
  const uint8_t data[3] = {1, 2, 3};
  PacketOwner p(aPacket_CreateWithData(0x04, 3, data));
  uint8_t out[5];
  size_t count = 0;
  EXPECT_EQ(aPacket_GetBytes(p.p, out, 5, &count), aErrNone);
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 5), (std::vector<uint8_t>{4, 3, 1, 2, 3}));
  EXPECT_EQ(aPacket_GetBytes(p.p, out, 4, &count), aErrOverrun);
  EXPECT_EQ(aPacket_GetBytes(p.p, nullptr, 5, &count), aErrParam);
  EXPECT_EQ(aPacket_GetBytes(nullptr, out, 5, &count), aErrParam);
}

TEST(Packet, FieldAccess) {
  const uint8_t get[3] = {3, 0x48, 0x25};
  PacketOwner p(aPacket_CreateWithData(0x04, 3, get));
  uint8_t v = 0;
  EXPECT_EQ(aPacket_GetCmd(p.p, &v), aErrNone);
  EXPECT_EQ(v, 3);
  EXPECT_EQ(aPacket_GetOption(p.p, &v), aErrNone);
  EXPECT_EQ(v, 8);
  EXPECT_EQ(aPacket_GetIndex(p.p, &v), aErrNone);
  EXPECT_EQ(v, 5);
  EXPECT_EQ(aPacket_GetCmd(p.p, nullptr), aErrParam);

  const uint8_t one[1] = {3};
  PacketOwner shortP(aPacket_CreateWithData(0x04, 1, one));
  EXPECT_EQ(aPacket_GetCmd(shortP.p, &v), aErrNone);
  EXPECT_EQ(aPacket_GetOption(shortP.p, &v), aErrPacket);
  EXPECT_EQ(aPacket_GetIndex(shortP.p, &v), aErrPacket);
  PacketOwner empty(aPacket_CreateWithData(0x04, 0, one));
  EXPECT_EQ(aPacket_GetCmd(empty.p, &v), aErrPacket);
  EXPECT_EQ(aPacket_GetCmd(nullptr, &v), aErrPacket);
}

TEST(UEI, BigEndianValues) {
  const uint8_t in[4] = {0x12, 0x34, 0x56, 0x78};
  EXPECT_EQ(aUEI_RetrieveInt(in), 0x12345678u);
  EXPECT_EQ(aUEI_RetrieveShort(in), 0x1234);
  uint8_t out[4] = {0};
  aUEI_StoreShort(out, 0xABCD);
  EXPECT_EQ(out[0], 0xAB);
  EXPECT_EQ(out[1], 0xCD);
  aUEI_StoreInt(out, 0xDEADBEEF);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF}));

  uint8_t words[8] = {0x00, 0x00, 0x01, 0x02, 0x0A, 0x0B, 0x0C, 0x0D};
  aUEI_ModifyIntBuffer(words, 2);
  uint32_t host[2];
  memcpy(host, words, sizeof(host));
  EXPECT_EQ(host[0], 0x0102u);
  EXPECT_EQ(host[1], 0x0A0B0C0Du);
}

TEST(UEI, BytesTrailer) {
  uint8_t data[28] = {0};
  data[27] = 0x85;
  PacketOwner full(aPacket_CreateWithData(0x04, 28, data));
  EXPECT_EQ(aUEI_getBytesSequence(full.p), 5);
  EXPECT_EQ(aUEI_getBytesContinue(full.p), 1);
  EXPECT_TRUE(aUEI_getBytesFullPacket(full.p));
  data[26] = 0x03;
  PacketOwner last(aPacket_CreateWithData(0x04, 27, data));
  EXPECT_EQ(aUEI_getBytesSequence(last.p), 3);
  EXPECT_EQ(aUEI_getBytesContinue(last.p), 0);
  EXPECT_TRUE(aUEI_getBytesFullPacket(last.p));
  PacketOwner part(aPacket_CreateWithData(0x04, 10, data));
  EXPECT_FALSE(aUEI_getBytesFullPacket(part.p));
  EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
  EXPECT_EQ(aUEI_getBytesContinue(nullptr), 0);
  EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));
}

TEST(UEI, PayloadKinds) {
  const uint8_t notUEI[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
  for (uint8_t cmd : notUEI) {
    const uint8_t d[3] = {cmd, 0x48, 0x20};
    PacketOwner p(aPacket_CreateWithData(0x04, 3, d));
    EXPECT_TRUE(aUEI_isNotUEIPayload(p.p)) << int(cmd);
    EXPECT_FALSE(aUEI_isUEIPayload(p.p)) << int(cmd);
  }
  for (uint8_t cmd : {3, 5, 92, 93, 255}) {
    const uint8_t d[3] = {cmd, 0x48, 0x20};
    PacketOwner p(aPacket_CreateWithData(0x04, 3, d));
    EXPECT_TRUE(aUEI_isUEIPayload(p.p)) << int(cmd);
  }
  EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
  EXPECT_TRUE(aUEI_isUEIPayload(nullptr));
}

TEST(UEI, StreamPacket) {
  struct Case {
    const char* name;
    std::vector<uint8_t> payload;
    bool stream;
  } cases[] = {
      {"stream sample", {3, 0x05, 0x41, 0, 1}, true},
      {"too short", {3, 0x05, 0x41, 0}, false},
      {"get request", {3, 0x45, 0x61, 0, 1}, false},
      {"set reply", {3, 0xC5, 0x41, 0, 1}, false},
      {"plain reply", {3, 0x05, 0x01, 0, 1}, false},
      {"not UEI", {8, 0x05, 0x41, 0, 1}, false},
  };
  for (const Case& c : cases) {
    PacketOwner p(aPacket_CreateWithData(0x04, static_cast<uint8_t>(c.payload.size()),
                                         c.payload.data()));
    EXPECT_EQ(aUEI_isStreamPacket(p.p), c.stream) << c.name;
  }
  EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

}  // namespace
