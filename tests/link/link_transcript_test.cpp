// Wire transcripts of the link: each case is a host action, then exchanges of
// the bytes the host must write next and the module's answer to them.
#include <chrono>
#include <functional>
#include <thread>
#include <future>
#include <string>
#include <vector>

#include "common/aUEI.h"
#include "tests/link/link_fixture.h"

namespace {

enum class Setup { kNoLink, kStarted, kAligned };

struct Exchange {
  const char* out;     // bytes the host writes next ("" for none expected)
  const char* answer;  // bytes the module sends then ("" for none)
};

struct Transcript {
  const char* name;
  Setup setup;
  std::function<aErr(LinkFixture*, int32_t*)> action;  // runs on its own thread
  std::vector<Exchange> exchanges;
  aErr result;                                       // of the action
  std::function<void(int32_t)> check;                // after the exchanges
};

const char* kSyncRequest = "AD 00 AD 00 AD 00 AD 00 AD 00 AD 00";

aErr NoAction(LinkFixture*, int32_t*) { return aErrNone; }

aErr PutBytes(int32_t id, const std::string& hex) {
  Bytes b = HexBytes(hex);
  aPacket* p = aPacket_CreateWithData(b[0], b[1], b.data() + 2);
  aErr err = aLink_PutPacket(id, p);
  aPacket_Destroy(&p);
  return err;
}

void ExpectNoInbound(int32_t id) {
  aPacket* p = aLink_AwaitPacket(id, 50);
  EXPECT_EQ(p, nullptr);
  if (p) aPacket_Destroy(&p);
}

// The reader handles the answer shortly after it was sent: poll for it.
void ExpectStatus(int32_t id, int32_t status) {
  for (int i = 0; i < 200 && aLink_GetStatus(id) != status; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(aLink_GetStatus(id), status);
}

uint8_t IsUEIReply(const aPacket* p, void*) {
  return p->dataSize >= 3 && p->data[0] == 3 && p->data[1] == 0x08 && (p->data[2] & 0x1F) == 0;
}

class LinkTranscript : public LinkFixture {
 public:
  void Run(const Transcript& t) {
    SCOPED_TRACE(t.name);
    if (t.setup != Setup::kNoLink) {
      Start();
      if (t.setup == Setup::kAligned) Align();
      module->SkipAll();
    } else {
      stream = MakeStream();
    }
    auto action = std::async(std::launch::async, [&] { return t.action(this, &id); });
    for (const Exchange& e : t.exchanges) {
      const Bytes want = HexBytes(e.out);
      if (!want.empty()) EXPECT_EQ(ToHex(module->Next(want.size())), ToHex(want));
      const Bytes answer = HexBytes(e.answer);
      if (!answer.empty()) module->Send(answer);
    }
    EXPECT_EQ(action.get(), t.result);
    if (t.check) t.check(id);
  }
  aStreamRef stream = nullptr;
};

TEST_F(LinkTranscript, Cases) {
  const Transcript cases[] = {
      {"route on at start", Setup::kNoLink,
       [](LinkFixture* f, int32_t* id) {
         *id = aLink_Create(static_cast<LinkTranscript*>(f)->stream);
         return *id ? aErrNone : aErrConnection;
       },
       {{"AF 01 01", ""}}, aErrNone,
       [](int32_t id) { ExpectStatus(id, kLinkStatusRunning); }},

      {"sync aligns on 04 00 04 00", Setup::kStarted,
       [](LinkFixture*, int32_t* id) { return aLink_Sync(*id); },
       {{kSyncRequest, "04 00 04 00 04 00 04 00 04 00 04 00"}}, aErrNone,
       [](int32_t id) {
         ExpectStatus(id, kLinkStatusRunning);
         ExpectNoInbound(id);  // the surplus answers were drained
       }},

      {"04 00 06 00 does not align; a new request follows", Setup::kStarted,
       [](LinkFixture*, int32_t* id) { return aLink_Sync(*id); },
       {{kSyncRequest, "04 00 06 00"}, {kSyncRequest, "06 00 06 00"}}, aErrNone,
       [](int32_t id) { ExpectStatus(id, kLinkStatusRunning); }},

      {"odd address re-syncs", Setup::kAligned, NoAction,
       {{"", "05"}, {kSyncRequest, "04 00 04 00"}}, aErrNone,
       [](int32_t id) { ExpectStatus(id, kLinkStatusRunning); }},

      {"length above 28 re-syncs", Setup::kAligned, NoAction,
       {{"", "04 1D"}, {kSyncRequest, "04 00 04 00"}}, aErrNone,
       [](int32_t id) { ExpectStatus(id, kLinkStatusRunning); }},

      {"heartbeat up answered", Setup::kAligned, NoAction,
       {{"", "04 02 00 00"}, {"04 02 00 02", ""}}, aErrNone, ExpectNoInbound},

      {"heartbeat down answered", Setup::kAligned, NoAction,
       {{"", "04 02 00 01"}, {"04 02 00 03", ""}}, aErrNone, ExpectNoInbound},

      {"two-byte packet that is no heartbeat is queued", Setup::kAligned, NoAction,
       {{"", "04 02 05 00"}}, aErrNone,
       [](int32_t id) {
         aPacket* p = aLink_AwaitPacket(id, 2000);
         ASSERT_NE(p, nullptr);
         EXPECT_EQ(p->address, 0x04);
         EXPECT_EQ(p->data[0], 0x05);
         aPacket_Destroy(&p);
       }},

      {"packet written as address, length, payload", Setup::kAligned,
       [](LinkFixture*, int32_t* id) { return PutBytes(*id, "06 03 03 41 20"); },
       {{"06 03 03 41 20", ""}}, aErrNone, nullptr},

      {"UEI get and its reply", Setup::kAligned,
       [](LinkFixture*, int32_t* id) { return PutBytes(*id, "04 03 03 48 20"); },
       {{"04 03 03 48 20", "04 07 03 08 00 12 34 56 78"}}, aErrNone,
       [](int32_t id) {
         aPacket* p = aLink_AwaitFirst(id, IsUEIReply, nullptr, 2000);
         ASSERT_NE(p, nullptr);
         EXPECT_EQ(aUEI_RetrieveInt(p->data + 3), 0x12345678u);
         aPacket_Destroy(&p);
       }},

      {"route off at stop", Setup::kStarted,
       [](LinkFixture*, int32_t* id) { return aLink_Destroy(id); },
       {{"AF 01 00", ""}}, aErrNone, nullptr},
  };
  for (const Transcript& t : cases) {
    Run(t);
    TearDown();
    stream = nullptr;
  }
}

}  // namespace
