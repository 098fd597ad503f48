// CRC-8 and COBS against published vectors and the frames of the link.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/cobs.h"
#include "common/crc8.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Range(int first, int last) {
  Bytes out;
  for (int b = first; b <= last; ++b) out.push_back(static_cast<uint8_t>(b));
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct CrcCase {
  const char* name;
  Bytes data;
  uint8_t crc;
};

TEST(Crc8, KnownValues) {
  const std::string digits = "123456789";
  const CrcCase cases[] = {
      {"check value", Bytes(digits.begin(), digits.end()), 0xA1},
      {"abc", {'a', 'b', 'c'}, 0x42},
      {"sync packet", {0xAD, 0x00}, 0x67},
      {"packet 04 02 12 34", {0x04, 0x02, 0x12, 0x34}, 0xE3},
      {"packet with a zero", {0x02, 0x03, 0x00, 0x10, 0x20}, 0xC4},
      {"empty", {}, 0x00},
  };
  for (const CrcCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(crc8_create(c.data.data(), c.data.size()), c.crc);
    EXPECT_TRUE(crc8_check(c.data.data(), c.data.size(), c.crc));
    EXPECT_FALSE(crc8_check(c.data.data(), c.data.size(), c.crc ^ 0x01));
    uint8_t running = 0;
    for (uint8_t b : c.data) running = crc8_update(running, b);
    EXPECT_EQ(running, c.crc);
  }
}

TEST(Crc8, NullBufferIsZero) { EXPECT_EQ(crc8_create(nullptr, 5), 0); }

struct CobsCase {
  const char* name;
  Bytes decoded;
  Bytes encoded;
};

std::vector<CobsCase> CobsCases() {
  return {
      {"empty", {}, {0x01}},
      {"one zero", {0x00}, {0x01, 0x01}},
      {"two zeros", {0x00, 0x00}, {0x01, 0x01, 0x01}},
      {"zero data zero", {0x00, 0x11, 0x00}, {0x01, 0x02, 0x11, 0x01}},
      {"zero inside", {0x11, 0x22, 0x00, 0x33}, {0x03, 0x11, 0x22, 0x02, 0x33}},
      {"no zero", {0x11, 0x22, 0x33, 0x44}, {0x05, 0x11, 0x22, 0x33, 0x44}},
      {"trailing zeros", {0x11, 0x00, 0x00, 0x00}, {0x02, 0x11, 0x01, 0x01, 0x01}},
      {"254 non-zero bytes", Range(1, 254), Cat({{0xFF}, Range(1, 254)})},
      {"zero then 254", Cat({{0x00}, Range(1, 254)}), Cat({{0x01, 0xFF}, Range(1, 254)})},
      {"255 non-zero bytes", Range(1, 255), Cat({{0xFF}, Range(1, 254), {0x02, 0xFF}})},
      {"254 then zero", Cat({Range(2, 255), {0x00}}),
       Cat({{0xFF}, Range(2, 255), {0x01, 0x01}})},
      {"253, zero, one", Cat({Range(3, 255), {0x00, 0x01}}),
       Cat({{0xFE}, Range(3, 255), {0x02, 0x01}})},
      {"sync packet and CRC", {0xAD, 0x00, 0x67}, {0x02, 0xAD, 0x02, 0x67}},
      {"packet and CRC", {0x04, 0x02, 0x12, 0x34, 0xE3}, {0x06, 0x04, 0x02, 0x12, 0x34, 0xE3}},
      {"packet with a zero and CRC", {0x02, 0x03, 0x00, 0x10, 0x20, 0xC4},
       {0x03, 0x02, 0x03, 0x04, 0x10, 0x20, 0xC4}},
  };
}

TEST(Cobs, EncodesVectors) {
  for (const CobsCase& c : CobsCases()) {
    SCOPED_TRACE(c.name);
    Bytes out(COBS_ENCODED_MAX(c.decoded.size()), 0xEE);
    const size_t n = cobs_encode(c.decoded.data(), c.decoded.size(), out.data());
    out.resize(n);
    EXPECT_EQ(out, c.encoded);
  }
}

TEST(Cobs, EncodesInPlace) {
  for (const CobsCase& c : CobsCases()) {
    SCOPED_TRACE(c.name);
    Bytes buffer = c.decoded;
    buffer.resize(COBS_ENCODED_MAX(c.decoded.size()), 0xEE);
    const size_t n = cobs_encode_inplace(buffer.data(), c.decoded.size());
    buffer.resize(n);
    EXPECT_EQ(buffer, c.encoded);
  }
}

TEST(Cobs, DecodesVectors) {
  for (const CobsCase& c : CobsCases()) {
    SCOPED_TRACE(c.name);
    Bytes out(c.encoded.size(), 0xEE);
    const size_t n = cobs_decode(c.encoded.data(), c.encoded.size(), out.data());
    out.resize(n);
    EXPECT_EQ(out, c.decoded);
    Bytes buffer = c.encoded;
    buffer.resize(cobs_decode_inplace(buffer.data(), buffer.size()));
    EXPECT_EQ(buffer, c.decoded);
  }
}

TEST(Cobs, RejectsMalformedInput) {
  const struct {
    const char* name;
    Bytes encoded;
  } cases[] = {
      {"code runs past the end", {0x05, 0x11, 0x22}},
      {"last code runs past the end", {0x02, 0x11, 0x03, 0x22}},
      {"zero code byte", {0x02, 0x11, 0x00, 0x22}},
      {"zero first byte", {0x00}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out(c.encoded.size() + 1);
    EXPECT_EQ(cobs_decode(c.encoded.data(), c.encoded.size(), out.data()), 0u);
  }
}

TEST(Cobs, NullBuffers) {
  uint8_t b[4] = {1, 2, 3, 4};
  EXPECT_EQ(cobs_encode(nullptr, 2, b), 0u);
  EXPECT_EQ(cobs_encode(b, 2, nullptr), 0u);
  EXPECT_EQ(cobs_encode_inplace(nullptr, 2), 0u);
  EXPECT_EQ(cobs_decode(nullptr, 2, b), 0u);
}

// Every length across the block boundary, with and without zeros, survives
// encode and decode, and the encoding holds no zero byte.
TEST(Cobs, RoundTripsAcrossBlockBoundaries) {
  for (size_t length : {0u, 1u, 253u, 254u, 255u, 508u, 509u, 600u}) {
    for (int zeroEvery : {0, 7, 300}) {
      SCOPED_TRACE(testing::Message() << "length " << length << " zero every " << zeroEvery);
      Bytes data(length);
      for (size_t i = 0; i < length; ++i)
        data[i] = (zeroEvery && i % zeroEvery == 0) ? 0 : static_cast<uint8_t>(1 + i % 251);
      Bytes encoded(COBS_ENCODED_MAX(length));
      encoded.resize(cobs_encode(data.data(), length, encoded.data()));
      for (uint8_t b : encoded) ASSERT_NE(b, 0);
      Bytes decoded(encoded.size());
      decoded.resize(cobs_decode(encoded.data(), encoded.size(), decoded.data()));
      EXPECT_EQ(decoded, data);
    }
  }
}

}  // namespace
