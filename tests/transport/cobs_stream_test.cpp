// The COBS framing stream over an in-memory transport: frames sent for the
// bytes the link writes, and bytes delivered for the frames received.
#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "common/aStream.h"
#include "common/aStream_CobsEncoding.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The transport beneath the framing stream.
struct FakeLine {
  std::deque<uint8_t> incoming;
  std::vector<Bytes> writes;  // one entry per underlying write
  aErr writeResult = aErrNone;
  aErr emptyResult = aErrNotReady;
  int deletes = 0;

  static aErr Get(uint8_t* b, void* ref) {
    FakeLine* line = static_cast<FakeLine*>(ref);
    if (line->incoming.empty()) return line->emptyResult;
    *b = line->incoming.front();
    line->incoming.pop_front();
    return aErrNone;
  }
  static aErr Put(uint8_t b, void* ref) { return Write(&b, 1, ref); }
  static aErr Write(const uint8_t* p, uint64_t n, void* ref) {
    FakeLine* line = static_cast<FakeLine*>(ref);
    line->writes.emplace_back(p, p + n);
    return line->writeResult;
  }
  static aErr Delete(void* ref) {
    ++static_cast<FakeLine*>(ref)->deletes;
    return aErrNone;
  }
};

class CobsStream : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(aStream_CreateCobsEncoding(FakeLine::Get, FakeLine::Put, FakeLine::Write,
                                         FakeLine::Delete, &line, &stream),
              aErrNone);
  }
  void TearDown() override {
    if (stream) aStream_Destroy(&stream);
  }

  // Feeds bytes one per get call; returns the results.
  std::vector<aErr> Receive(const Bytes& wire) {
    std::vector<aErr> results;
    for (uint8_t b : wire) {
      line.incoming.push_back(b);
      uint8_t out = 0;
      results.push_back(stream->getProc(&out, stream->ref));
    }
    return results;
  }
  // Takes up to n delivered bytes; stops at the first non-byte.
  Bytes Deliver(size_t n) {
    Bytes out;
    for (size_t i = 0; i < n; ++i) {
      uint8_t b = 0;
      if (stream->getProc(&b, stream->ref) != aErrNone) break;
      out.push_back(b);
    }
    return out;
  }

  FakeLine line;
  aStreamRef stream = nullptr;
};

struct SendCase {
  const char* name;
  std::vector<Bytes> hostWrites;   // the link's writes, in order
  std::vector<Bytes> frames;       // expected underlying writes
  std::vector<size_t> framesAfterEachWrite;
};

TEST_F(CobsStream, SendsOneFramePerPacket) {
  const SendCase cases[] = {
      {"sync packet", {{0xAD, 0x00}}, {{0x02, 0xAD, 0x02, 0x67, 0x00}}, {1}},
      {"plain packet",
       {{0x04, 0x02, 0x12, 0x34}},
       {{0x06, 0x04, 0x02, 0x12, 0x34, 0xE3, 0x00}},
       {1}},
      {"data byte zero",
       {{0x02, 0x03, 0x00, 0x10, 0x20}},
       {{0x03, 0x02, 0x03, 0x04, 0x10, 0x20, 0xC4, 0x00}},
       {1}},
      {"two packets in one write",
       {{0xAD, 0x00, 0x04, 0x02, 0x12, 0x34}},
       {{0x02, 0xAD, 0x02, 0x67, 0x00}, {0x06, 0x04, 0x02, 0x12, 0x34, 0xE3, 0x00}},
       {2}},
      {"one and a half packets, then the rest",
       {{0xAD, 0x00, 0x04, 0x02}, {0x12, 0x34}},
       {{0x02, 0xAD, 0x02, 0x67, 0x00}, {0x06, 0x04, 0x02, 0x12, 0x34, 0xE3, 0x00}},
       {1, 2}},
      {"refused zero address byte skipped",
       {{0x00, 0xAD, 0x00}},
       {{0x02, 0xAD, 0x02, 0x67, 0x00}},
       {1}},
  };
  for (const SendCase& c : cases) {
    SCOPED_TRACE(c.name);
    line.writes.clear();
    for (size_t i = 0; i < c.hostWrites.size(); ++i) {
      EXPECT_EQ(aStream_Write(stream, c.hostWrites[i].data(), c.hostWrites[i].size()),
                aErrNone);
      EXPECT_EQ(line.writes.size(), c.framesAfterEachWrite[i]) << "after write " << i;
    }
    EXPECT_EQ(line.writes, c.frames);
  }
}

TEST_F(CobsStream, FrameSizeLimit) {
  // 27 payload bytes fit (31 encoded bytes + delimiter); 28 are dropped.
  Bytes fits = {0x04, 27};
  for (int i = 0; i < 27; ++i) fits.push_back(static_cast<uint8_t>(i + 1));
  EXPECT_EQ(aStream_Write(stream, fits.data(), fits.size()), aErrNone);
  ASSERT_EQ(line.writes.size(), 1u);
  EXPECT_EQ(line.writes[0].size(), 32u);
  EXPECT_EQ(line.writes[0].back(), 0x00);

  Bytes tooLong = {0x04, 28};
  for (int i = 0; i < 28; ++i) tooLong.push_back(static_cast<uint8_t>(i + 1));
  EXPECT_EQ(aStream_Write(stream, tooLong.data(), tooLong.size()), aErrNone);
  EXPECT_EQ(line.writes.size(), 1u);
  // The next packet is framed normally.
  const Bytes sync = {0xAD, 0x00};
  EXPECT_EQ(aStream_Write(stream, sync.data(), sync.size()), aErrNone);
  ASSERT_EQ(line.writes.size(), 2u);
  EXPECT_EQ(line.writes[1], (Bytes{0x02, 0xAD, 0x02, 0x67, 0x00}));
}

TEST_F(CobsStream, WriteFailureIsReportedAfterTheBlock) {
  line.writeResult = aErrIO;
  const Bytes two = {0xAD, 0x00, 0xAD, 0x00};
  EXPECT_EQ(aStream_Write(stream, two.data(), two.size()), aErrIO);
  EXPECT_EQ(line.writes.size(), 2u) << "the second packet is still tried";
}

TEST_F(CobsStream, SingleBytePutIsNotFramed) {
  EXPECT_EQ(aStream_Write(stream, reinterpret_cast<const uint8_t*>("\x55"), 1), aErrNone);
  ASSERT_EQ(line.writes.size(), 1u);
  EXPECT_EQ(line.writes[0], Bytes{0x55});
}

TEST_F(CobsStream, DeliversAcceptedFrame) {
  const std::vector<aErr> results = Receive({0x06, 0x04, 0x02, 0x12, 0x34, 0xE3, 0x00});
  EXPECT_EQ(results, std::vector<aErr>(7, aErrNotReady));
  EXPECT_EQ(Deliver(4), (Bytes{0x04, 0x02, 0x12, 0x34}));
  uint8_t b;
  EXPECT_EQ(stream->getProc(&b, stream->ref), aErrNotReady) << "nothing more";
}

TEST_F(CobsStream, DeliversFrameWithZeroByte) {
  Receive({0x03, 0x02, 0x03, 0x04, 0x10, 0x20, 0xC4, 0x00});
  EXPECT_EQ(Deliver(5), (Bytes{0x02, 0x03, 0x00, 0x10, 0x20}));
}

struct BadFrame {
  const char* name;
  Bytes wire;
};

TEST_F(CobsStream, RejectsBadFrames) {
  Bytes overlong = {0x21};
  for (int i = 0; i < 32; ++i) overlong.push_back(0x11);
  overlong.push_back(0x00);
  const BadFrame cases[] = {
      {"altered CRC", {0x06, 0x04, 0x02, 0x12, 0x34, 0xE4, 0x00}},
      {"wrong length byte", {0x06, 0x04, 0x03, 0x12, 0x34, 0xE3, 0x00}},
      {"too short", {0x03, 0x04, 0x04, 0x00}},
      {"malformed COBS", {0x09, 0x04, 0x02, 0x00}},
      {"more than 31 encoded bytes", overlong},
  };
  for (const BadFrame& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<aErr> results = Receive(c.wire);
    std::vector<aErr> expected(c.wire.size(), aErrNotReady);
    expected.back() = aErrPacket;
    EXPECT_EQ(results, expected);
    EXPECT_TRUE(Deliver(1).empty()) << "nothing is delivered";
  }
  // A good frame after the bad ones is delivered.
  Receive({0x02, 0xAD, 0x02, 0x67, 0x00});
  EXPECT_EQ(Deliver(2), (Bytes{0xAD, 0x00}));
}

TEST_F(CobsStream, IgnoresRepeatedDelimiters) {
  EXPECT_EQ(Receive({0x00, 0x00}), std::vector<aErr>(2, aErrNotReady));
  EXPECT_EQ(Receive({0x02, 0xAD, 0x02, 0x67, 0x00}), std::vector<aErr>(5, aErrNotReady));
  EXPECT_EQ(Deliver(3), (Bytes{0xAD, 0x00}));
  EXPECT_EQ(Receive({0x00}), std::vector<aErr>(1, aErrNotReady));
  EXPECT_TRUE(Deliver(1).empty());
}

TEST_F(CobsStream, ReadThroughFrameworkRestoresPartialReads) {
  // The link reads one byte at a time through aStream_Read.
  for (uint8_t b : Bytes{0x06, 0x04, 0x02, 0x12, 0x34, 0xE3, 0x00}) line.incoming.push_back(b);
  Bytes got;
  for (int i = 0; i < 20 && got.size() < 4; ++i) {
    uint8_t b;
    if (aStream_Read(stream, &b, 1) == aErrNone) got.push_back(b);
  }
  EXPECT_EQ(got, (Bytes{0x04, 0x02, 0x12, 0x34}));
}

TEST_F(CobsStream, TransportFailureReadsAsNotReady) {
  line.emptyResult = aErrIO;
  uint8_t b;
  EXPECT_EQ(stream->getProc(&b, stream->ref), aErrNotReady);
  // Without a wait operation beneath, the framing stream cannot wait either,
  // but a failing transport paces the reader rather than letting it spin.
  EXPECT_EQ(aStream_Wait(stream, 20), aErrTimeout);
}

TEST_F(CobsStream, DestroyDeletesTransport) {
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(line.deletes, 1);
}

TEST(CobsStreamCreate, NeedsResultAddress) {
  FakeLine line;
  EXPECT_EQ(aStream_CreateCobsEncoding(FakeLine::Get, FakeLine::Put, FakeLine::Write,
                                       FakeLine::Delete, &line, nullptr),
            aErrParam);
  EXPECT_EQ(line.deletes, 0);
}

}  // namespace
