// The link table: ids, use counts, destruction, reset, link specifiers, and
// the answers for ids that name no link.
#include <string.h>

#include <mutex>
#include <vector>

#include "common/aLinkManagerInternal.h"
#include "tests/link/link_fixture.h"

namespace {

using namespace std::chrono_literals;

TEST(LinkSpec, LayoutAndLifecycle) {
  linkSpec* spec = aLinkSpec_Create(TCPIP);
  ASSERT_NE(spec, nullptr);
  const uint8_t address[4] = {192, 168, 1, 10};
  memcpy(&spec->t.ip.ip_address, address, 4);  // network order, as in a socket address
  spec->t.ip.ip_port = 8000;
  const uint8_t* raw = reinterpret_cast<const uint8_t*>(spec);
  EXPECT_EQ(std::vector<uint8_t>(raw, raw + 4), (std::vector<uint8_t>{2, 0, 0, 0}));
  EXPECT_EQ(std::vector<uint8_t>(raw + 24, raw + 32),
            (std::vector<uint8_t>{0xC0, 0xA8, 0x01, 0x0A, 0x40, 0x1F, 0x00, 0x00}));
  EXPECT_EQ(offsetof(linkSpec, t.serial.serial_port), 28u);
  for (size_t i = 32; i < sizeof(linkSpec); i++) ASSERT_EQ(raw[i], 0) << i;

  linkSpec* copy = aLinkSpec_Copy(*spec);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(memcmp(copy, spec, sizeof(linkSpec)), 0);
  EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrNone);
  EXPECT_EQ(copy, nullptr);
  EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrParam);
  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
  EXPECT_TRUE(isAETHER(AETHER) && isAETHER(AETHER_SERIAL));
  EXPECT_FALSE(isAETHER(SERIAL) || isAETHER(8));
}

TEST(LinkTable, UnknownIdsAreRefused) {
  const int32_t none = 999999;
  int32_t id = none;
  EXPECT_EQ(aLink_Destroy(&id), aErrParam);
  EXPECT_EQ(id, 0);
  EXPECT_EQ(aLink_GetStatus(none), kLinkStatusInvalidStream);
  EXPECT_EQ(aLink_Start(none), aErrParam);
  EXPECT_EQ(aLink_Sync(none), aErrParam);
  EXPECT_EQ(aLink_ForceRoute(none, 1), aErrNotFound);
  EXPECT_EQ(aLink_Reset(none), aErrParam);
  EXPECT_EQ(aLink_EnablePooledPackets(none, true), aErrParam);
  EXPECT_EQ(aLink_InstallUserPacketFilter(none, nullptr, nullptr), aErrParam);
  EXPECT_EQ(aLink_DrainPackets(none, nullptr, nullptr), 0u);
  EXPECT_EQ(aLink_GetPacket(none), nullptr);
  EXPECT_EQ(aLink_AwaitPacket(none, 10), nullptr);
  aPacket* p = aPacket_Create();
  EXPECT_EQ(aLink_PutPacket(none, p), aErrParam);
  aPacket_Destroy(&p);
  EXPECT_EQ(aLink_Init(none, nullptr), 0);
  EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);
}

class LinkTableTest : public LinkFixture {};

TEST_F(LinkTableTest, IdsCountUpAndAreNeverReused) {
  aStreamRef s1 = MakeStream();
  auto m1 = std::move(module);
  aStreamRef s2 = MakeStream();
  int32_t first = aLink_Create(s1);
  int32_t second = aLink_Create(s2);
  ASSERT_NE(first, 0);
  EXPECT_EQ(second, first + 1);
  const int32_t oldFirst = first;
  EXPECT_EQ(aLink_Destroy(&first), aErrNone);
  EXPECT_EQ(aLinkManager_LookupEntryByID(oldFirst), nullptr);
  aStreamRef s3 = MakeStream();
  int32_t third = aLink_Create(s3);
  EXPECT_EQ(third, second + 1);
  aLink_Destroy(&second);
  aLink_Destroy(&third);
}

TEST_F(LinkTableTest, FailedCreateLeavesNoEntry) {
  const int32_t next = aLinkManager_Create(-1, 0, LINK_TYPE_NONE) + 1;
  int32_t probe = next - 1;
  aLink_Destroy(&probe);  // use count 0: torn down at once
  EXPECT_EQ(aLinkManager_LookupEntryByID(next - 1), nullptr);
  EXPECT_EQ(aLink_Create(nullptr), 0);
  EXPECT_EQ(aLinkManager_LookupEntryByID(next), nullptr);
}

// The pattern a transport's create function follows: one entry per module,
// one use per create.
int32_t CreateShared(uint32_t serial, aStreamRef stream) {
  aLinkEntry* e = aLinkManager_LookupEntryByIdentifier(static_cast<int32_t>(serial), USB);
  if (e) {
    aLinkManager_ChangeUseCount(e, 1);
    aStream_Destroy(&stream);
    return e->id;
  }
  int32_t id = aLinkManager_Create(static_cast<int32_t>(serial), 0, USB);
  aErr err = aLink_Init(id, stream) == id ? aErrNone : aErrConnection;
  if (!err) {
    aLinkManager_ChangeUseCount(aLinkManager_LookupEntryByID(id), 1);
    err = aLink_Start(id);
  }
  if (err) {
    aLink_Destroy(&id);
    return 0;
  }
  return id;
}

TEST_F(LinkTableTest, SharedLinkLivesUntilLastUse) {
  int32_t a = CreateShared(0x1234ABCD, MakeStream());
  ASSERT_NE(a, 0);
  ASSERT_TRUE(module->WaitFor(HexBytes("AF 01 01")));
  aStreamRef unused = nullptr;
  int peer = -1;
  ASSERT_EQ(SocketStream_Create(&unused, &peer, SocketStreamOptions()), aErrNone);
  ScriptedModule other(peer);
  int32_t b = CreateShared(0x1234ABCD, unused);
  EXPECT_EQ(b, a);
  EXPECT_EQ(aLinkManager_LookupEntryByID(a)->useCount, 2);

  const int32_t keep = a;
  EXPECT_EQ(aLink_Destroy(&a), aErrNone);
  EXPECT_EQ(a, 0);
  EXPECT_EQ(aLink_GetStatus(keep), kLinkStatusRunning);
  EXPECT_TRUE(module->Next(1, 100ms).empty());  // no route-off yet
  EXPECT_EQ(aLink_Destroy(&b), aErrNone);
  EXPECT_TRUE(module->WaitFor(HexBytes("AF 01 00")));
  EXPECT_EQ(aLink_GetStatus(keep), kLinkStatusInvalidStream);
  EXPECT_EQ(aLinkManager_LookupEntryByIdentifier(0x1234ABCD, USB), nullptr);
}

// Reset reopens through the opener registered for the kind.
std::mutex gReopenMutex;
std::unique_ptr<ScriptedModule> gReopened;
int32_t gReopenIdent = 0;
aErr OpenAgain(int32_t ident0, int32_t, int32_t, aStreamRef* out) {
  int peer = -1;
  aErr err = SocketStream_Create(out, &peer, SocketStreamOptions());
  if (err) return err;
  std::lock_guard<std::mutex> g(gReopenMutex);
  gReopenIdent = ident0;
  gReopened = std::make_unique<ScriptedModule>(peer);
  return aErrNone;
}

TEST_F(LinkTableTest, ResetReopensByKind) {
  aLink_SetStreamOpener(USB, OpenAgain);
  id = CreateShared(0x0BADF00D, MakeStream());
  ASSERT_NE(id, 0);
  ASSERT_TRUE(module->WaitFor(HexBytes("AF 01 01")));
  ASSERT_EQ(aLink_InstallUserPacketFilter(id, [](const aPacket*, void*) -> uint8_t { return 1; },
                                          nullptr),
            aErrNone);

  EXPECT_EQ(aLink_Reset(id), aErrNone);
  EXPECT_TRUE(module->WaitFor(HexBytes("AF 01 00")));  // the old stream was closed cleanly
  std::unique_ptr<ScriptedModule> reopened;
  int32_t ident = 0;
  {
    std::lock_guard<std::mutex> g(gReopenMutex);
    reopened = std::move(gReopened);
    ident = gReopenIdent;
  }
  ASSERT_TRUE(reopened);
  EXPECT_EQ(ident, 0x0BADF00D);
  EXPECT_TRUE(reopened->WaitFor(HexBytes("AF 01 01")));
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
  // The filter was cleared: packets reach the queue again.
  reopened->Send(HexBytes("04 01 09"));
  aPacket* p = aLink_AwaitPacket(id, 2000);
  ASSERT_NE(p, nullptr);
  aPacket_Destroy(&p);
  aLink_Destroy(&id);
  reopened.reset();
  aLink_SetStreamOpener(USB, nullptr);
}

TEST_F(LinkTableTest, ResetWithoutOpenerLeavesLinkStopped) {
  Start();  // legacy kind: cannot be reopened
  EXPECT_EQ(aLink_Reset(id), aErrParam);
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusInvalidStream);
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

}  // namespace
