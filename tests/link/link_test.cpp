// Link behaviour beyond single transcripts: start and stop, pooled writing,
// the user filter, the idle reader, sync pacing, write failures, threads.
#include <stdio.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/Log.h"
#include "common/aLinkManagerInternal.h"
#include "tests/link/link_fixture.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

aPacket* MakePacket(uint8_t address, uint8_t length, uint8_t fill) {
  uint8_t data[aPACKET_MAXDATA];
  for (int i = 0; i < length; i++) data[i] = static_cast<uint8_t>(fill + i);
  return aPacket_CreateWithData(address, length, data);
}

aErr Put(int32_t id, uint8_t address, uint8_t length, uint8_t fill) {
  aPacket* p = MakePacket(address, length, fill);
  aErr err = aLink_PutPacket(id, p);
  aPacket_Destroy(&p);
  return err;
}

uint8_t Any(const aPacket*, void*) { return 1; }

using LinkTest = LinkFixture;

TEST_F(LinkTest, StartOnRunningLinkSendsNothing) {
  Start();
  EXPECT_EQ(aLink_Start(id), aErrNone);
  EXPECT_TRUE(module->Next(1, 150ms).empty());
}

TEST_F(LinkTest, StopTwiceIsHarmless) {
  Start();
  std::shared_ptr<aLink> link = aLinkManager_GetLink(id);
  ASSERT_TRUE(link);
  EXPECT_EQ(aLink_Stop(link.get()), aErrNone);
  EXPECT_TRUE(module->WaitFor(HexBytes("AF 01 00")));
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusStopped);
  EXPECT_EQ(aLink_Stop(link.get()), aErrNone);
  EXPECT_EQ(aLink_Stop(nullptr), aErrParam);
  // Nobody can align a stopped link: no two-second wait for it.
  const auto start = Clock::now();
  EXPECT_EQ(aLink_Sync(id), aErrNotReady);
  EXPECT_LT(Clock::now() - start, 1s);
  // A stopped link can start again.
  EXPECT_EQ(aLink_Start(id), aErrNone);
  EXPECT_TRUE(module->WaitFor(HexBytes("AF 01 01")));
}

TEST_F(LinkTest, UnpooledWritesOnePacketPerWrite) {
  Start();
  Align();
  const size_t before = module->WriteSizes().size();
  const size_t bytesBefore = module->Received().size();
  for (uint8_t i = 0; i < 5; i++) ASSERT_EQ(Put(id, 4, i, 0x10), aErrNone);
  ASSERT_TRUE(module->WaitTotal(bytesBefore + 2 + 3 + 4 + 5 + 6));
  std::vector<size_t> sizes = module->WriteSizes();
  sizes.erase(sizes.begin(), sizes.begin() + static_cast<long>(before));
  EXPECT_EQ(sizes, (std::vector<size_t>{2, 3, 4, 5, 6}));
}

TEST_F(LinkTest, PooledBatchesStayWithinLimitAndKeepOrder) {
  // Queue 200 full packets before the threads start, so the writer finds
  // them all waiting.
  const int32_t linkId = aLinkManager_Create(-1, 0, LINK_TYPE_NONE);
  ASSERT_EQ(aLink_Init(linkId, MakeStream()), linkId);
  aLinkManager_ChangeUseCount(aLinkManager_LookupEntryByID(linkId), 1);
  id = linkId;
  ASSERT_EQ(aLink_EnablePooledPackets(id, true), aErrNone);
  Bytes expected;
  for (int i = 0; i < 200; i++) {
    aPacket* p = MakePacket(4, 28, static_cast<uint8_t>(i));
    ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
    uint8_t wire[30];
    aPacket_GetBytes(p, wire, sizeof(wire), nullptr);
    expected.insert(expected.end(), wire, wire + 30);
    aPacket_Destroy(&p);
  }
  ASSERT_EQ(aLink_Start(id), aErrNone);
  expected.insert(expected.end(), {0xAF, 0x01, 0x01});
  ASSERT_TRUE(module->WaitTotal(expected.size()));
  EXPECT_EQ(module->Received(), expected);
  const std::vector<size_t> sizes = module->WriteSizes();
  EXPECT_LT(sizes.size(), 10u);  // batched, not 201 writes
  for (size_t s : sizes) EXPECT_LE(s, static_cast<size_t>(aLINK_POOL_BYTES));
}

struct FilterLog {
  std::atomic<int> seen{0};
};
uint8_t ConsumeAll(const aPacket*, void* ref) {
  static_cast<FilterLog*>(ref)->seen++;
  return 1;
}

TEST_F(LinkTest, UserFilterConsumesPackets) {
  Start();
  Align();
  FilterLog log;
  ASSERT_EQ(aLink_InstallUserPacketFilter(id, ConsumeAll, &log), aErrNone);
  module->Send(HexBytes("04 02 00 00 04 01 07"));
  for (int i = 0; i < 200 && log.seen < 2; i++) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(log.seen.load(), 2);
  EXPECT_EQ(aLink_GetPacket(id), nullptr);
  EXPECT_TRUE(module->Next(1, 100ms).empty());  // the heartbeat was not answered

  ASSERT_EQ(aLink_InstallUserPacketFilter(id, nullptr, nullptr), aErrNone);
  module->Send(HexBytes("04 02 00 00 04 01 07"));
  EXPECT_EQ(ToHex(module->Next(4)), "04 02 00 02");
  aPacket* p = aLink_AwaitPacket(id, 2000);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data[0], 7);
  aPacket_Destroy(&p);
}

TEST_F(LinkTest, AwaitFirstReturnsAtOnceWhileUnaligned) {
  Start();
  auto sync = std::async(std::launch::async, [this] { return aLink_Sync(id); });
  ASSERT_TRUE(module->WaitFor(HexBytes("AD 00")));
  const auto start = Clock::now();
  EXPECT_EQ(aLink_AwaitFirst(id, Any, nullptr, 5000), nullptr);
  EXPECT_LT(Clock::now() - start, 1s);
  module->Send(HexBytes("04 00 04 00"));
  EXPECT_EQ(sync.get(), aErrNone);
}

TEST_F(LinkTest, UnansweredSyncRepeatsAtSteadyPace) {
  Start();
  const auto start = Clock::now();
  EXPECT_EQ(aLink_Sync(id), aErrNotReady);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  const size_t requests = module->CountOf(HexBytes("AD 00 AD 00 AD 00 AD 00 AD 00 AD 00"));
  // About one request per 50 ms over the two seconds of the sync, never one
  // per empty read.
  EXPECT_GE(requests, 5u);
  EXPECT_LE(requests, static_cast<size_t>(elapsed.count() / 40 + 2));
}

TEST(LinkIdle, ReaderWaitsInsteadOfPolling) {
  struct Case {
    const char* name;
    bool withWait;
    bool waitAlwaysReady;
    uint64_t maxGets;  // over half a second
  } cases[] = {
      {"stream with wait operation", true, false, 40},       // one read per 50 ms slice
      {"stream without wait operation", false, false, 600},  // 1 ms sleeps
      {"wait that always reports input", true, true, 800},   // paced after 100 misses
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<uint64_t> gets{0};
    SocketStreamOptions options;
    options.withWait = c.withWait;
    options.waitAlwaysReady = c.waitAlwaysReady;
    options.getCalls = &gets;
    aStreamRef stream = nullptr;
    int peer = -1;
    ASSERT_EQ(SocketStream_Create(&stream, &peer, options), aErrNone);
    ScriptedModule module(peer);
    int32_t id = aLink_Create(stream);
    ASSERT_NE(id, 0);
    ASSERT_TRUE(module.WaitFor(HexBytes("AF 01 01")));
    const uint64_t before = gets;
    std::this_thread::sleep_for(500ms);
    EXPECT_LE(gets - before, c.maxGets);
    // A byte that arrives is still read at once.
    module.Send(HexBytes("04 02 00 00"));
    EXPECT_EQ(ToHex(module.Next(4, 1s)), "04 02 00 02");
    aLink_Destroy(&id);
  }
}

// Captures the diagnostic log in a temporary file while alive.
class LogCapture {
 public:
  LogCapture() : file_(tmpfile()) {
    Log::SetOutput(file_);
    Log::ActivatePackage(DEBUG_Network);
  }
  ~LogCapture() {
    Log::DeactivatePackage(DEBUG_Network);
    Log::SetOutput(nullptr);
    fclose(file_);
  }
  std::string Text() {
    fflush(file_);
    rewind(file_);
    std::string text;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), file_)) > 0) text.append(buf, n);
    return text;
  }

 private:
  FILE* file_;
};

size_t Occurrences(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    count++;
  return count;
}

TEST_F(LinkTest, WriteFailuresAreLoggedOncePerStreak) {
  std::atomic<bool>& fail = failWrites;
  std::atomic<uint64_t>& writes = writeCalls;
  SocketStreamOptions options;
  options.failWrites = &fail;
  options.writeCalls = &writes;
  Start(options);
  LogCapture capture;
  fail = true;
  const uint64_t before = writes;
  for (int i = 0; i < 5; i++) ASSERT_EQ(Put(id, 4, 1, static_cast<uint8_t>(i)), aErrNone);
  for (int i = 0; i < 1000 && writes < before + 5; i++) std::this_thread::sleep_for(5ms);
  ASSERT_EQ(writes.load(), before + 5);
  fail = false;
  ASSERT_EQ(Put(id, 4, 1, 0x55), aErrNone);
  ASSERT_TRUE(module->WaitFor(HexBytes("04 01 55")));
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);  // the link carried on
  // The writer notes the recovery right after the write the module saw.
  std::string text = capture.Text();
  for (int i = 0; i < 200 && text.find("were lost") == std::string::npos; i++) {
    std::this_thread::sleep_for(5ms);
    text = capture.Text();
  }
  EXPECT_EQ(Occurrences(text, "stream write failed"), 1u) << text;
  EXPECT_EQ(Occurrences(text, "5 packet(s) were lost"), 1u) << text;
}

TEST_F(LinkTest, DestroyWhileOtherThreadsUseTheLink) {
  Start();
  Align();
  module->Echo(true);
  std::atomic<bool> stop{false};
  const int32_t shared = id;
  std::vector<std::thread> users;
  for (int t = 0; t < 3; t++) {
    users.emplace_back([&, t] {
      while (!stop) {
        Put(shared, 4, 2, static_cast<uint8_t>(t));
        aPacket* p = aLink_AwaitFirst(shared, Any, nullptr, 20);
        if (p) aPacket_Destroy(&p);
        aLink_GetStatus(shared);
        aLink_DrainPackets(shared, Any, nullptr);
      }
    });
  }
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  std::this_thread::sleep_for(50ms);  // the users now hold a dead id
  stop = true;
  for (auto& u : users) u.join();
  EXPECT_EQ(aLink_GetStatus(shared), kLinkStatusInvalidStream);
  EXPECT_EQ(Put(shared, 4, 1, 0), aErrParam);
}

TEST_F(LinkTest, StartStopCyclesWithTraffic) {
  Start();
  Align();
  module->Echo(true);
  std::shared_ptr<aLink> link = aLinkManager_GetLink(id);
  std::atomic<bool> stop{false};
  std::thread user([&] {
    while (!stop) {
      Put(id, 4, 3, 1);
      aPacket* p = aLink_AwaitPacket(id, 5);
      if (p) aPacket_Destroy(&p);
    }
  });
  for (int i = 0; i < 5; i++) {
    EXPECT_EQ(aLink_Stop(link.get()), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusStopped);
    EXPECT_EQ(aLink_Start(id), aErrNone);
  }
  stop = true;
  user.join();
  EXPECT_EQ(module->CountOf(HexBytes("AF 01 00")), 5u);
}

}  // namespace
