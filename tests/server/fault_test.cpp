// Every way the local server can misbehave gives a failed (or, where the
// answer is still well-formed, an empty) result: never a crash, a hang or a
// half answer taken for a whole one.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/Log.h"
#include "tests/server/ServerProcess.h"
#include "updater/HTTPRequest.h"
#include "updater/UpdateServerRequest.h"

namespace servertest {
namespace {

const unsigned kSerial = 0x0A1B2C3D;

class Catalog {
 public:
  bool Make() {
    std::string dev = dir.path() + "/devices/0A1B2C3D";
    return Run({"/bin/mkdir", "-p", dev}) == 0 && MakeBird(dev + "/1234.bird", 1234, "2.10.3", kSerial) &&
           MakeBird(dev + "/1240.bird", 1240, "2.11.0", kSerial) && WriteText(dev + "/token", "aa.bb.cc\n") &&
           WriteText(dir.path() + "/fingerprints", "1 2 3 4 0A1B2C3D 1234\n");
  }
  std::string path() const { return dir.path(); }

 private:
  TempDir dir;
};

// The six requests, run once, with their outputs pre-set to markers.
struct Outcome {
  bool ping = false, query = false, get = false, list = false, recovery = false, jwt = false;
  std::string build = "old", version = "old", text = "old", token = "old";
  std::map<std::string, std::string> builds{{"stale", "entry"}};
  unsigned serial = 5555, number = 7777;
  double slowestSeconds = 0;
};

Outcome RunAll(const char* url) {
  Outcome o;
  unsigned fp[4] = {1, 2, 3, 4};
  auto timed = [&o](auto request) {
    auto start = std::chrono::steady_clock::now();
    bool result = request();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (seconds > o.slowestSeconds) o.slowestSeconds = seconds;
    return result;
  };
  o.ping = timed([&] { return UpdateServerRequest::ping(url); });
  o.query = timed([&] { return UpdateServerRequest::QueryBuild(kSerial, o.build, o.version, url); });
  o.get = timed([&] { return UpdateServerRequest::GetBuild(kSerial, "2.11.0", "1240", o.text, url, false); });
  o.list = timed([&] { return UpdateServerRequest::GetBuildList(kSerial, o.builds, url); });
  o.recovery = timed([&] { return UpdateServerRequest::GetRecoveryInfo(fp, &o.serial, &o.number, url); });
  o.jwt = timed([&] { return UpdateServerRequest::GetDeviceJWT(kSerial, o.token, url); });
  return o;
}

bool Decodes(const std::string& text) {
  unsigned long length = 0;
  unsigned char* bytes = base64_decode(text.data(), text.size(), &length);
  free(bytes);
  return bytes != nullptr;
}

void ExpectAllFailedUnchanged(const Outcome& o) {
  EXPECT_FALSE(o.ping);
  EXPECT_FALSE(o.query);
  EXPECT_FALSE(o.get);
  EXPECT_FALSE(o.list);
  EXPECT_FALSE(o.recovery);
  EXPECT_FALSE(o.jwt);
  EXPECT_EQ(o.build, "old");
  EXPECT_EQ(o.version, "old");
  EXPECT_EQ(o.text, "old");
  EXPECT_EQ(o.token, "old");
  EXPECT_TRUE(o.builds.empty());
  EXPECT_EQ(o.serial, 5555u);
  EXPECT_EQ(o.number, 7777u);
}

class ServerFaults : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    catalog = new Catalog();
    ASSERT_TRUE(catalog->Make());
  }
  static void TearDownTestSuite() {
    delete catalog;
    catalog = nullptr;
  }
  void SetUp() override { ASSERT_NE(catalog, nullptr); }
  void TearDown() override { HTTPRequest::SetLimits(HTTPRequest::Limits()); }

  // Starts a server with these fault options; fails the test when it does not start.
  void Start(std::vector<std::string> options) {
    options.insert(options.begin(), {"--catalog", catalog->path()});
    ASSERT_TRUE(server.Start(options, work.path() + "/server.err")) << server.error();
  }

  static Catalog* catalog;
  TempDir work;
  ServerProcess server;
};

Catalog* ServerFaults::catalog = nullptr;

TEST_F(ServerFaults, BrokenAnswersFailEveryRequest) {
  const char* modes[] = {"http404", "http500", "notok", "empty-body", "drop", "cut"};
  for (const char* mode : modes) {
    SCOPED_TRACE(mode);
    Start({"--fault", mode});
    ExpectAllFailedUnchanged(RunAll(server.url().c_str()));
    server.Stop();
  }
}

TEST_F(ServerFaults, OkWithoutPayloadGivesEmptyResults) {
  Start({"--fault", "empty"});
  Outcome o = RunAll(server.url().c_str());
  EXPECT_TRUE(o.ping);
  EXPECT_TRUE(o.query);
  EXPECT_EQ(o.build, "old");
  EXPECT_EQ(o.version, "old");
  EXPECT_TRUE(o.get);
  EXPECT_EQ(o.text, "") << "an accepted fetch empties the payload";
  EXPECT_TRUE(o.list);
  EXPECT_TRUE(o.builds.empty());
  EXPECT_TRUE(o.recovery);
  EXPECT_EQ(o.serial, 5555u);
  EXPECT_EQ(o.number, 7777u);
  EXPECT_FALSE(o.jwt) << "a token is required";
  EXPECT_EQ(o.token, "old");
}

TEST_F(ServerFaults, DamagedBase64IsFetchedButDoesNotDecode) {
  const char* modes[] = {"truncated-base64", "invalid-base64"};
  for (const char* mode : modes) {
    SCOPED_TRACE(mode);
    Start({"--fault", mode});
    Outcome o = RunAll(server.url().c_str());
    EXPECT_TRUE(o.ping && o.query && o.list && o.recovery && o.jwt) << "other requests are unaffected";
    EXPECT_TRUE(o.get);
    EXPECT_FALSE(o.text.empty());
    EXPECT_FALSE(Decodes(o.text));
    server.Stop();
  }
}

TEST_F(ServerFaults, FaultCanBeLimitedToOneRequestKindAndCount) {
  Start({"--fault", "http500", "--fault-op", "bird", "--fault-times", "1"});
  Outcome first = RunAll(server.url().c_str());
  EXPECT_TRUE(first.ping && first.query && first.list && first.recovery && first.jwt);
  EXPECT_FALSE(first.get);
  EXPECT_EQ(first.text, "old");
  Outcome second = RunAll(server.url().c_str());
  EXPECT_TRUE(second.get);
  EXPECT_TRUE(Decodes(second.text));
}

TEST_F(ServerFaults, SilentServerIsAbandonedByTheLowSpeedLimit) {
  HTTPRequest::Limits limits;
  limits.lowSpeedTimeSeconds = 1;
  HTTPRequest::SetLimits(limits);
  Start({"--fault", "slow", "--delay", "30"});
  Outcome o = RunAll(server.url().c_str());
  ExpectAllFailedUnchanged(o);
  EXPECT_LT(o.slowestSeconds, 10.0) << "each request gives up after about a second";

  std::map<std::string, std::string> query{{"op", "hi"}};
  try {
    HTTPRequest::GET(server.url().c_str(), query);
    ADD_FAILURE() << "a silent server did not time out";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Timeout was reached");
  }
}

TEST_F(ServerFaults, SlowServerWithinTheLimitsIsWaitedFor) {
  Start({"--fault", "slow", "--delay", "1.5", "--fault-op", "qu"});
  Outcome o = RunAll(server.url().c_str());
  EXPECT_TRUE(o.query);
  EXPECT_EQ(o.build, "1240");
  EXPECT_EQ(o.version, "2.11.0");
  EXPECT_GE(o.slowestSeconds, 1.0);
}

// What the diagnostic log says about a failed request: the status and body,
// the transport message, or the request that was refused.
TEST_F(ServerFaults, FailuresAreExplainedInTheDiagnosticLog) {
  struct Case {
    const char* fault;
    std::function<bool(const char* url)> request;
    std::string expected;  // "{URL}" stands for the base URL
  };
  std::string build, version;
  std::map<std::string, std::string> builds;
  const Case cases[] = {
      {"http404", [](const char* u) { return UpdateServerRequest::ping(u); }, "PING ==> [404] [not found\n]\n"},
      {"http500", [&](const char* u) { return UpdateServerRequest::QueryBuild(kSerial, build, version, u); },
       "QueryBuild ==> [500] [internal error\n]\n"},
      {"notok", [](const char* u) { return UpdateServerRequest::ping(u); },
       "ServerCommClass: ping failed [{URL}?op=hi&rv=2&]\n"},
      {"empty-body", [&](const char* u) { return UpdateServerRequest::GetBuildList(kSerial, builds, u); },
       "ServerCommClass: GetBuildList failed [{URL}?op=builds&sn=0A1B2C3D&]\n"},
      {"drop", [&](const char* u) { return UpdateServerRequest::GetBuildList(kSerial, builds, u); },
       "GetBuildList ==> [Server returned nothing (no headers, no data)]\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    Start({"--fault", c.fault});
    char* text = nullptr;
    size_t size = 0;
    FILE* capture = open_memstream(&text, &size);
    ASSERT_NE(capture, nullptr);
    Log::SetOutput(capture);
    Log::ActivatePackage(DEBUG_ServerComm);
    bool result = c.request(server.url().c_str());
    Log::DeactivatePackage(DEBUG_ServerComm);
    Log::SetOutput(nullptr);
    fclose(capture);
    std::string log(text, size);
    free(text);
    EXPECT_FALSE(result);
    std::string expected = c.expected;
    size_t at = expected.find("{URL}");
    if (at != std::string::npos) expected.replace(at, 5, server.url());
    EXPECT_NE(log.find(expected), std::string::npos) << log;
    server.Stop();
  }
}

// A listener whose accept queue is full drops further connection attempts,
// so a connect to it never completes: the connect time-out must end it.
TEST(ConnectTimeout, UnansweredConnectionIsAbandoned) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::vector<int> fillers;
  for (int i = 0; i < 4; i++) {
    int filler = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(filler, 0);
    fcntl(filler, F_SETFL, O_NONBLOCK);
    connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    fillers.push_back(filler);
  }
  usleep(200000);

  HTTPRequest::Limits limits;
  limits.connectTimeoutSeconds = 1;
  HTTPRequest::SetLimits(limits);
  std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/cgi/u";
  std::map<std::string, std::string> query{{"op", "hi"}};
  auto start = std::chrono::steady_clock::now();
  try {
    HTTPRequest::GET(url.c_str(), query);
    ADD_FAILURE() << "the connection attempt did not time out";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Timeout was reached");
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 10.0);
  EXPECT_FALSE(UpdateServerRequest::ping(url.c_str()));
  HTTPRequest::SetLimits(HTTPRequest::Limits());
  for (int filler : fillers) close(filler);
  close(listener);
}

}  // namespace
}  // namespace servertest
