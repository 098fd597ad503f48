// A link over a socket-pair stream with a scripted module on the far end.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>

#include "common/aLink.h"
#include "tests/link/scripted_module.h"
#include "tests/link/socket_stream.h"

class LinkFixture : public ::testing::Test {
 protected:
  void TearDown() override {
    if (id) aLink_Destroy(&id);
    module.reset();
  }

  // Makes the stream and the module; the link is not created yet.
  aStreamRef MakeStream(const SocketStreamOptions& options = SocketStreamOptions()) {
    aStreamRef stream = nullptr;
    int peer = -1;
    EXPECT_EQ(SocketStream_Create(&stream, &peer, options), aErrNone);
    module = std::make_unique<ScriptedModule>(peer);
    return stream;
  }

  // Creates and starts the link and consumes its route-on packet.
  void Start(const SocketStreamOptions& options = SocketStreamOptions()) {
    id = aLink_Create(MakeStream(options));
    ASSERT_NE(id, 0);
    ASSERT_TRUE(module->WaitFor(HexBytes("AF 01 01")));
  }

  // Runs aLink_Sync against a module answering from address 4.
  void Align() {
    auto sync = std::async(std::launch::async, [this] { return aLink_Sync(id); });
    ASSERT_TRUE(module->WaitFor(HexBytes("AD 00 AD 00 AD 00 AD 00 AD 00 AD 00")));
    module->Send(HexBytes("04 00 04 00 04 00 04 00 04 00 04 00"));
    ASSERT_EQ(sync.get(), aErrNone);
    ASSERT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    module->SkipAll();
  }

  int32_t id = 0;
  std::unique_ptr<ScriptedModule> module;
  // Stream counters and switches; members so that they outlive the link,
  // whose writer still touches them while TearDown stops it.
  std::atomic<bool> failWrites{false};
  std::atomic<uint64_t> writeCalls{0};
};
