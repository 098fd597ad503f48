// The diagnostic log: package filtering, package 0, the length limit and
// whole-call writes from several threads.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <thread>
#include <vector>

#include "app/Log.h"

namespace {

class LogTest : public testing::Test {
 protected:
  void SetUp() override {
    file_ = tmpfile();
    ASSERT_NE(file_, nullptr);
    Log::DeactivatePackage(0xFFFFFFFFu);
    Log::SetOutput(file_);
  }
  void TearDown() override {
    Log::SetOutput(nullptr);
    Log::DeactivatePackage(0xFFFFFFFFu);
    if (file_ != nullptr) fclose(file_);
  }

  // Everything written so far.
  std::string written() {
    fflush(file_);
    std::string text;
    rewind(file_);
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file_)) > 0) text.append(buffer, n);
    fseek(file_, 0, SEEK_END);
    return text;
  }

  FILE* file_ = nullptr;
};

TEST_F(LogTest, PackageMaskFiltersCalls) {
  Log::log(DEBUG_Network_FIRM, "a%d", 1);
  EXPECT_EQ(written(), "");

  Log::ActivatePackage(DEBUG_Updater | DEBUG_Network_FIRM);
  EXPECT_EQ(Log::ActivePackages(), DEBUG_Updater | DEBUG_Network_FIRM);
  Log::log(DEBUG_Network_FIRM, "b%d", 2);
  // A call naming several packages is written when any one of them is active.
  Log::log(DEBUG_APP | DEBUG_Updater, "c");
  Log::log(DEBUG_APP, "d");
  EXPECT_EQ(written(), "b2c");

  Log::DeactivatePackage(DEBUG_Network_FIRM);
  Log::log(DEBUG_Network_FIRM, "e");
  Log::log(DEBUG_Updater, "f");
  EXPECT_EQ(written(), "b2cf");
}

TEST_F(LogTest, PackageZeroIsAlwaysWrittenUnchanged) {
  Log::log(0, "line %s\n", "one");
  Log::log(0, "no newline");
  EXPECT_EQ(written(), "line one\nno newline");
}

TEST_F(LogTest, NothingWrittenWithoutOutput) {
  Log::SetOutput(nullptr);
  Log::log(0, "lost");
  Log::SetOutput(file_);
  Log::log(0, "kept");
  EXPECT_EQ(written(), "kept");
}

TEST_F(LogTest, LongTextIsCutTo2047Characters) {
  const std::string text(5000, 'y');
  Log::log(0, "%s", text.c_str());
  EXPECT_EQ(written(), std::string(2047, 'y'));
}

TEST_F(LogTest, CallsFromSeveralThreadsDoNotInterleave) {
  Log::ActivatePackage(DEBUG_ServerComm);
  constexpr int kThreads = 4;
  constexpr int kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string body(100, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) Log::log(DEBUG_ServerComm, "%d:%s\n", t, body.c_str());
    });
  }
  for (std::thread& thread : threads) thread.join();

  const std::string text = written();
  int lines = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = text.substr(start, end - start);
    ASSERT_EQ(line.size(), 102u) << line;
    const int t = line[0] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(line.substr(2), std::string(100, static_cast<char>('a' + t)));
    ++lines;
    start = end + 1;
  }
  EXPECT_EQ(lines, kThreads * kLines);
}

}  // namespace
