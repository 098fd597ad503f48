// The firmware-upgrade exchange against the virtual module, on the packet
// path and on the UEI-bytes path, with the flashed images compared to what
// was sent; and the upgrade faults.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "tests/sim/ModuleTestSupport.h"

using simtest::Bytes;
using simtest::Hex;
using simtest::Packet;
using simtest::Rig;

namespace {

constexpr uint8_t kAddr = 4;

struct Block {
  uint8_t flags;
  uint32_t address;
  Bytes data;
};

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 31 + (i >> 3));
  return b;
}

uint32_t Sum(const Bytes& b) {
  uint32_t s = 0;
  for (uint8_t x : b) s += x;
  return s;
}

uint32_t Be32(const Bytes& p, size_t at) {
  return uint32_t(p[at]) << 24 | uint32_t(p[at + 1]) << 16 | uint32_t(p[at + 2]) << 8 | p[at + 3];
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The host's side of the exchange, written from the protocol.
class UpgradeHost {
 public:
  UpgradeHost(Rig& rig, bool ueiPath) : rig_(rig), uei_(ueiPath) {}

  Bytes Ask(const Bytes& payload, const Bytes& prefix) {
    rig_.Send(Packet(kAddr, payload));
    return Await(prefix);
  }

  // The payload of the next packet that starts with prefix; empty when none.
  Bytes Await(const Bytes& prefix) {
    std::optional<Bytes> r = rig_.out.NextWith(prefix, 2000);
    EXPECT_TRUE(r) << "no reply starting " << Hex(prefix);
    return r ? Bytes(r->begin() + 2, r->end()) : Bytes{};
  }

  uint16_t Prepare(const Block& b) {
    Bytes r = Ask({0x5F, 0x03, b.flags, uint8_t(b.address >> 24), uint8_t(b.address >> 16),
                   uint8_t(b.address >> 8), uint8_t(b.address)},
                  {0x5F, 0x07});
    EXPECT_EQ(r.size(), 5u);
    EXPECT_EQ(r.size() > 2 ? r[2] : 0xFF, 0) << "prepare refused";
    return r.size() == 5 ? uint16_t(r[3] << 8 | r[4]) : 0;
  }

  // Sends data, then asks for the checksum and compares it.
  void Transfer(const Bytes& data) {
    if (uei_) {
      size_t at = 0;
      uint8_t seq = 0;
      do {
        const size_t n = std::min<size_t>(24, data.size() - at);
        const bool more = at + n < data.size();
        Bytes p{0x5F, 0x8A, 0x20};
        p.insert(p.end(), data.begin() + long(at), data.begin() + long(at + n));
        p.push_back(uint8_t((seq++ & 0x7F) | (more ? 0x80 : 0)));
        rig_.Send(Packet(kAddr, p));
        at += n;
      } while (at < data.size());
      EXPECT_EQ(Hex(Await({0x5F, 0xCA})), "5F CA 00");
    } else {
      for (size_t at = 0; at < data.size();) {
        const size_t n = std::min<size_t>(26, data.size() - at);
        Bytes p{0x5F, 0x01};
        p.insert(p.end(), data.begin() + long(at), data.begin() + long(at + n));
        Bytes r = Ask(p, {0x5F, 0x01});
        ASSERT_EQ(r.size(), 3u);
        if (r[2] == n) at += n;  // another count: the same packet again
      }
    }
    Bytes s = Ask({0x5F, 0x04}, {0x5F, 0x07});
    ASSERT_EQ(s.size(), 7u);
    EXPECT_EQ(s[2], 0);
    EXPECT_EQ(Be32(s, 3), Sum(data));
  }

  void Write(size_t n) {
    EXPECT_EQ(Hex(Ask({0x5F, 0x05, uint8_t(n >> 8), uint8_t(n)}, {0x5F, 0x07})), "5F 07 00");
  }

 private:
  Rig& rig_;
  bool uei_;
};

sim::VirtualModuleConfig UpgradeConfig() {
  sim::VirtualModuleConfig c;
  c.serial = 0x00C0FFEE;
  c.address = kAddr;
  c.heartbeatMs = 0;
  c.blockSize = 64;
  c.loadBase = 0x20000400;
  c.restartMs = 40;
  return c;
}

std::string TempDir() {
  std::string dir = ::testing::TempDir() + "simdump.XXXXXX";
  std::vector<char> buf(dir.begin(), dir.end());
  buf.push_back('\0');
  EXPECT_NE(mkdtemp(buf.data()), nullptr);
  return buf.data();
}

class UpgradeExchange : public ::testing::TestWithParam<bool> {};

}  // namespace

TEST_P(UpgradeExchange, LoaderThenFirmwareEndUpFlashedAsSent) {
  const bool uei = GetParam();
  sim::VirtualModuleConfig c = UpgradeConfig();
  c.loaderSerial = 0xDEADDEAD;
  c.versionAfterUpgrade = sim::PackVersion(2, 16, 1);
  c.buildAfterUpgrade = 5000;
  c.dumpDir = TempDir();
  Rig rig(c);
  UpgradeHost host(rig, uei);

  const std::vector<Block> loader = {
      {1, 0x20000400, Pattern(100, 3)},
      {1, 0x20001000, {}},  // address only: no data, checksum 0
  };
  const std::vector<Block> firmware = {
      {2, 0x08000000, Pattern(64 * 2 + 1, 9)},  // chunks of 64, 64 and 1
      {2, 0x08010000, Pattern(27, 77)},
  };

  Bytes init = host.Ask({0x5F, 0x00}, {0x5F, 0x00});
  ASSERT_EQ(init.size(), 6u);
  EXPECT_EQ(Be32(init, 2), 0x20000400u);
  for (const Block& b : loader) {
    host.Prepare(b);
    UpgradeHost(rig, false).Transfer(b.data);  // loader blocks go as data packets
  }

  rig.Send(Packet(kAddr, {0x5F, 0x02}));
  ASSERT_TRUE(rig.out.WaitEvent(sim::LinkEvent::Leave, 2000));
  ASSERT_TRUE(rig.out.WaitEvent(sim::LinkEvent::Return, 2000));
  EXPECT_EQ(rig.module.Mode(), sim::ModuleMode::Loader);
  EXPECT_EQ(rig.module.CurrentSerial(), 0xDEADDEADu);
  // The loader announces its start until the host talks to it.
  EXPECT_TRUE(rig.out.NextWith({0x5F, 0x02}, 2000));
  EXPECT_EQ(Hex(host.Ask({0x03, 0x49, 0x20}, {0x03, 0x09})), "03 09 00 DE AD DE AD");
  EXPECT_EQ(Hex(host.Ask({0x49, 0x01, 0x5F, 0x0A, 0x00, 0x80}, {0x49, 0x01})),
            "49 01 5F 0A 00 00");

  for (const Block& b : firmware) {
    const uint16_t blockSize = host.Prepare(b);
    ASSERT_EQ(blockSize, 64);
    for (size_t at = 0; at < b.data.size(); at += blockSize) {
      const size_t n = std::min<size_t>(blockSize, b.data.size() - at);
      host.Transfer(Bytes(b.data.begin() + long(at), b.data.begin() + long(at + n)));
      host.Write(n);
    }
  }
  rig.Send(Packet(kAddr, {0x5F, 0x06}));
  ASSERT_TRUE(rig.out.WaitEvent(sim::LinkEvent::Leave, 2000));
  ASSERT_TRUE(rig.out.WaitEvent(sim::LinkEvent::Return, 2000));
  EXPECT_EQ(rig.module.Mode(), sim::ModuleMode::Firmware);
  EXPECT_EQ(rig.module.CurrentSerial(), 0x00C0FFEEu);
  rig.out.Drain(20);
  EXPECT_EQ(Hex(host.Ask({0x03, 0x47, 0x20}, {0x03, 0x07})), "03 07 00 2F 02 10 01");
  EXPECT_EQ(Hex(host.Ask({0x49, 0xFF}, {0x49, 0xFF})), "49 FF 00 00 13 88");

  auto compare = [](const std::vector<sim::FlashBlock>& got, const std::vector<Block>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
      EXPECT_EQ(got[i].flags, want[i].flags) << i;
      EXPECT_EQ(got[i].address, want[i].address) << i;
      EXPECT_EQ(got[i].data, want[i].data) << i;
    }
  };
  compare(rig.module.LoaderImage(), loader);
  compare(rig.module.FirmwareImage(), firmware);

  // The dump written at the reboot holds the same.
  std::string fw;
  for (const Block& b : firmware) fw.append(b.data.begin(), b.data.end());
  EXPECT_EQ(ReadFile(c.dumpDir + "/firmware.bin"), fw);
  EXPECT_EQ(ReadFile(c.dumpDir + "/firmware.map"), "02 08000000 00000081\n02 08010000 0000001B\n");
  EXPECT_EQ(ReadFile(c.dumpDir + "/loader.bin"), std::string(loader[0].data.begin(), loader[0].data.end()));
  EXPECT_EQ(ReadFile(c.dumpDir + "/loader.map"), "01 20000400 00000064\n01 20001000 00000000\n");
}

INSTANTIATE_TEST_SUITE_P(Paths, UpgradeExchange, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                           return i.param ? std::string("UeiBytes") : std::string("Packets");
                         });

TEST(UpgradeFaults, ShortAckKeepsNothingOfThePacket) {
  sim::VirtualModuleConfig c = UpgradeConfig();
  c.startInLoader = true;
  Rig rig(c);
  UpgradeHost host(rig, false);
  host.Prepare({0, 0x100, {}});
  rig.module.ShortAcks(1);
  Bytes data = Pattern(26, 1);
  Bytes p{0x5F, 0x01};
  p.insert(p.end(), data.begin(), data.end());
  EXPECT_EQ(Hex(host.Ask(p, {0x5F, 0x01})), "5F 01 19");
  EXPECT_EQ(Hex(host.Ask(p, {0x5F, 0x01})), "5F 01 1A");
  Bytes s = host.Ask({0x5F, 0x04}, {0x5F, 0x07});
  EXPECT_EQ(Be32(s, 3), Sum(data));
  host.Write(26);
  rig.Send(Packet(kAddr, {0x5F, 0x06}));
  ASSERT_TRUE(rig.out.WaitEvent(sim::LinkEvent::Return, 2000));
  std::vector<sim::FlashBlock> fw = rig.module.FirmwareImage();
  ASSERT_EQ(fw.size(), 1u);
  EXPECT_EQ(fw[0].data, data);  // once, not once and a half
}

TEST(UpgradeFaults, WrongChecksumRefusedPrepareAndOverlongWrite) {
  sim::VirtualModuleConfig c = UpgradeConfig();
  c.startInLoader = true;
  Rig rig(c);
  UpgradeHost host(rig, false);

  rig.module.RefusePrepares(1);
  Bytes refused = host.Ask({0x5F, 0x03, 0, 0, 0, 1, 0}, {0x5F, 0x07});
  ASSERT_EQ(refused.size(), 5u);
  EXPECT_NE(refused[2], 0);
  EXPECT_EQ(host.Prepare({0, 0x100, {}}), 64);

  Bytes data = Pattern(10, 5);
  Bytes p{0x5F, 0x01};
  p.insert(p.end(), data.begin(), data.end());
  host.Ask(p, {0x5F, 0x01});
  rig.module.WrongChecksums(1);
  Bytes s = host.Ask({0x5F, 0x04}, {0x5F, 0x07});
  EXPECT_EQ(Be32(s, 3), Sum(data) + 1);
  // Writing more than was staged is refused.
  Bytes w = host.Ask({0x5F, 0x05, 0x00, 11}, {0x5F, 0x07});
  ASSERT_EQ(w.size(), 3u);
  EXPECT_NE(w[2], 0);
}

TEST(UpgradeFaults, RepeatedPrepareReplacesTheBlock) {
  sim::VirtualModuleConfig c = UpgradeConfig();
  c.startInLoader = true;
  Rig rig(c);
  UpgradeHost host(rig, false);
  for (uint8_t seed : {1, 2}) {
    host.Prepare({3, 0x4000, {}});
    host.Transfer(Pattern(30, seed));
    host.Write(30);
  }
  rig.Send(Packet(kAddr, {0x5F, 0x06}));
  ASSERT_TRUE(rig.out.WaitEvent(sim::LinkEvent::Return, 2000));
  std::vector<sim::FlashBlock> fw = rig.module.FirmwareImage();
  ASSERT_EQ(fw.size(), 1u);
  EXPECT_EQ(fw[0].data, Pattern(30, 2));
}

TEST(UpgradeFaults, ModuleLeftInItsLoaderTakesANewLoader) {
  sim::VirtualModuleConfig c = UpgradeConfig();
  c.startInLoader = true;
  Rig rig(c);
  UpgradeHost host(rig, false);
  host.Ask({0x5F, 0x00}, {0x5F, 0x00});
  host.Prepare({1, 0x20000400, {}});
  host.Transfer(Pattern(40, 8));
  Bytes w = host.Ask({0x5F, 0x05, 0x00, 40}, {0x5F, 0x07});  // loader blocks are not written
  ASSERT_EQ(w.size(), 3u);
  EXPECT_EQ(w[2], 7);
  rig.Send(Packet(kAddr, {0x5F, 0x02}));
  ASSERT_TRUE(rig.out.WaitEvent(sim::LinkEvent::Return, 2000));
  std::vector<sim::FlashBlock> loader = rig.module.LoaderImage();
  ASSERT_EQ(loader.size(), 1u);
  EXPECT_EQ(loader[0].data, Pattern(40, 8));
  EXPECT_TRUE(rig.module.FirmwareImage().empty());
  // Back in the loader, prepares open firmware blocks again.
  host.Prepare({2, 0x08000000, {}});
  host.Transfer(Pattern(10, 1));
  host.Write(10);
}

TEST(UpgradeFaults, LongByteValueWrapsItsSequenceNumbers) {
  sim::VirtualModuleConfig c = UpgradeConfig();
  c.startInLoader = true;
  Rig rig(c);
  UpgradeHost host(rig, true);
  host.Prepare({0, 0x2000, {}});
  host.Transfer(Pattern(24 * 130 + 5, 4));  // 131 chunks: numbers 0..127, 0, 1, 2
  host.Write(24 * 130 + 5);
}

TEST(UpgradeFaults, LoadAnsweredBeforeRestartWhenAsked) {
  sim::VirtualModuleConfig c = UpgradeConfig();
  c.answerLoad = true;
  Rig rig(c);
  rig.Send(Packet(kAddr, {0x5F, 0x02}));
  EXPECT_EQ(Hex(*rig.out.Next()), "04 02 5F 02");
  EXPECT_TRUE(rig.out.WaitEvent(sim::LinkEvent::Leave, 2000));
}

TEST(UpgradeFaults, NeverReturningLoaderStaysAwayAndDeaf) {
  sim::VirtualModuleConfig c = UpgradeConfig();
  Rig rig(c);
  rig.module.NeverReturnFromLoader(true);
  rig.Send(Packet(kAddr, {0x5F, 0x02}));
  ASSERT_TRUE(rig.out.WaitEvent(sim::LinkEvent::Leave, 2000));
  EXPECT_FALSE(rig.out.WaitEvent(sim::LinkEvent::Return, 300));
  EXPECT_EQ(rig.module.Mode(), sim::ModuleMode::Restarting);
  EXPECT_FALSE(rig.module.OnBus());
  rig.Send(Packet(0xAD, {}));
  EXPECT_FALSE(rig.out.Next(100));
}

TEST(ReplyFaults, DropDelayAndCorrupt) {
  sim::VirtualModuleConfig c = UpgradeConfig();
  Rig rig(c);
  const Bytes ask = Packet(kAddr, {0x49, 0xFF});
  rig.module.DropReplies(2);
  rig.Send(ask);
  rig.Send(ask);
  EXPECT_FALSE(rig.out.Next(100));
  rig.Send(Packet(0xAD, {}));  // link-level answers are not replies to drop
  EXPECT_EQ(Hex(*rig.out.Next()), "04 00");
  rig.Send(ask);
  EXPECT_TRUE(rig.out.Next());

  rig.module.CorruptNextReply(0, 0x01);
  rig.Send(ask);
  rig.Send(ask);
  EXPECT_EQ((*rig.out.Next())[0], 0x05);
  EXPECT_EQ((*rig.out.Next())[0], 0x04);

  rig.module.DelayReplies(150);
  auto start = std::chrono::steady_clock::now();
  rig.Send(ask);
  rig.Send(Packet(kAddr, {0x17, 0x42}));
  std::optional<Bytes> late = rig.out.Next(2000);
  auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(late);
  EXPECT_GE(waited, std::chrono::milliseconds(150));
  EXPECT_EQ((*late)[2], 0x49);  // order kept
  EXPECT_EQ(Hex(*rig.out.Next(2000)), "04 02 17 42");
}

TEST(ReplyFaults, LinkDroppedAfterCountedBytes) {
  sim::VirtualModuleConfig c = UpgradeConfig();
  Rig rig(c);
  rig.module.DropLinkAfterBytes(4);
  Bytes both = Packet(kAddr, {0x49, 0xFF});
  Bytes sync = Packet(0xAD, {});
  both.insert(both.end(), sync.begin(), sync.end());
  rig.Send(both);
  EXPECT_EQ(Hex(*rig.out.Next()), "04 06 49 FF 00 00 03 E8");
  EXPECT_TRUE(rig.out.WaitEvent(sim::LinkEvent::Drop, 1000));
  EXPECT_FALSE(rig.out.Next(100)) << "bytes after the drop are not taken";
  rig.module.DropLink();
  EXPECT_TRUE(rig.out.WaitEvent(sim::LinkEvent::Drop, 1000));
}
