// A routing module with modules on its I2C network: the probe, packets
// travelling over the router's link, and a routed module's restart.
#include <gtest/gtest.h>

#include "tests/sim/ModuleTestSupport.h"

using simtest::Bytes;
using simtest::Hex;
using simtest::Packet;
using simtest::Rig;

namespace {

sim::VirtualModuleConfig RouterConfig() {
  sim::VirtualModuleConfig c;
  c.serial = 0x0000A000;
  c.address = 2;
  c.heartbeatMs = 0;
  for (uint8_t a : {4, 6}) {
    sim::VirtualModuleConfig m;
    m.serial = 0x0000B000u + a;
    m.address = a;
    m.model = 0x20;
    m.restartMs = 150;
    c.network.push_back(m);
  }
  return c;
}

Bytes Probe(uint8_t address) { return Packet(2, {0x08, 0x00, address, 0x02, 0x03, 0x00, 0x00}); }

}  // namespace

TEST(ModuleNetwork, ProbeFindsExactlyTheModulesOnTheBus) {
  Rig rig(RouterConfig());
  struct Case {
    uint8_t address;
    uint8_t status;
  } cases[] = {{4, 0x00}, {6, 0x00}, {8, 0x86}, {0x40, 0x86}};
  for (const Case& c : cases) {
    rig.Send(Probe(c.address));
    EXPECT_EQ(Hex(*rig.out.Next()), Hex(Packet(2, {0x08, 0x00, c.address, 0x00, c.status})))
        << int(c.address);
  }
}

TEST(ModuleNetwork, I2CRegistersOfAModuleReadBack) {
  Rig rig(RouterConfig());
  rig.Send(Packet(2, {0x08, 0x00, 0x04, 0x03, 0x03, 0x10, 0xAA, 0xBB}));
  EXPECT_EQ(Hex(*rig.out.Next()), "02 05 08 00 04 00 00");
  rig.Send(Packet(2, {0x08, 0x00, 0x04, 0x01, 0x03, 0x10}));
  EXPECT_EQ(Hex(*rig.out.Next()), "02 05 08 00 04 00 00");
  rig.Send(Packet(2, {0x08, 0x00, 0x05, 0x02, 0x03}));
  EXPECT_EQ(Hex(*rig.out.Next()), "02 07 08 00 05 02 00 AA BB");
  rig.Send(Packet(2, {0x08, 0x00, 0x09, 0x02, 0x03}));  // nobody at 8
  EXPECT_EQ(Hex(*rig.out.Next()), "02 05 08 00 09 00 86");
  rig.Send(Packet(2, {0x08, 0x00, 0x04, 0x05, 0x03, 0x10}));  // length disagrees with data
  EXPECT_EQ(Hex(*rig.out.Next()), "02 05 08 00 04 00 8E");
}

TEST(ModuleNetwork, RoutedPacketsFlowOnlyWhileRouting) {
  Rig rig(RouterConfig());
  const Bytes askSerial4 = Packet(4, {0x03, 0x49, 0x20});
  rig.Send(askSerial4);
  EXPECT_FALSE(rig.out.Next(150)) << "no routing before the route packet";

  rig.Send(Packet(0xAF, {0x01}));
  rig.Send(askSerial4);
  EXPECT_EQ(Hex(*rig.out.Next()), "04 07 03 09 00 00 00 B0 04");
  rig.Send(Packet(6, {0x03, 0x42, 0x20}));  // a routed module reports the router
  EXPECT_EQ(Hex(*rig.out.Next()), "06 04 03 02 00 02");
  rig.Send(Packet(2, {0x03, 0x49, 0x20}));  // the router answers for itself
  EXPECT_EQ(Hex(*rig.out.Next()), "02 07 03 09 00 00 00 A0 00");
  rig.Send(Packet(0xAD, {}));  // the address query names the router
  EXPECT_EQ(Hex(*rig.out.Next()), "02 00");

  rig.Send(Packet(2, {0x03, 0x94, 0x20, 0x00}));  // route-to-me off
  EXPECT_EQ(Hex(*rig.out.Next()), "02 03 03 D4 00");
  rig.Send(askSerial4);
  EXPECT_FALSE(rig.out.Next(150));
  rig.Send(Packet(2, {0x03, 0x94, 0x20, 0x01}));
  EXPECT_EQ(Hex(*rig.out.Next()), "02 03 03 D4 00");
  rig.Send(askSerial4);
  EXPECT_EQ(Hex(*rig.out.Next()), "04 07 03 09 00 00 00 B0 04");
}

TEST(ModuleNetwork, RoutedModuleRestartsIntoItsLoaderBehindTheRouter) {
  Rig rig(RouterConfig());
  rig.Send(Packet(0xAF, {0x01}));
  rig.Send(Packet(4, {0x5F, 0x02}));
  sim::VirtualModule* m = rig.module.NetworkModule(4);
  ASSERT_NE(m, nullptr);
  ASSERT_TRUE(m->WaitForMode(sim::ModuleMode::Restarting, 1000));
  rig.Send(Probe(4));
  EXPECT_EQ(Hex(*rig.out.NextWith({0x08})), "02 05 08 00 04 00 86") << "gone while restarting";
  // Back in its loader it tells the host through the router; the router's
  // own link never dropped.
  std::optional<Bytes> ann = rig.out.NextWith({0x5F, 0x02}, 2000);
  ASSERT_TRUE(ann);
  EXPECT_EQ((*ann)[0], 0x04);
  EXPECT_EQ(m->Mode(), sim::ModuleMode::Loader);
  EXPECT_EQ(rig.out.EventCount(), 0u);
  rig.Send(Probe(4));
  EXPECT_EQ(Hex(*rig.out.NextWith({0x08})), "02 05 08 00 04 00 00");
}
