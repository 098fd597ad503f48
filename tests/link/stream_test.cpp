// Stream framework: reads with push-back, records and C strings, writes,
// flush, and the file streams.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "common/aStream.h"

namespace {

// A stream kind driven by a script: each item is a byte, or one of the
// markers below; after the script it reports the end of input.
constexpr int kNotReady = -1;
constexpr int kEOF = -2;
constexpr int kFail = -3;

struct ScriptRef {
  std::deque<int> script;
  std::vector<uint8_t> written;
  int putCalls = 0;
  int writeCalls = 0;
  int gets = 0;
  bool deleted = false;
  aErr putResult = aErrNone;
};

aErr sGet(uint8_t* pData, void* ref) {
  ScriptRef* s = static_cast<ScriptRef*>(ref);
  s->gets++;
  if (s->script.empty()) return aErrEOF;
  int item = s->script.front();
  s->script.pop_front();
  if (item == kNotReady) return aErrNotReady;
  if (item == kEOF) return aErrEOF;
  if (item == kFail) return aErrIO;
  *pData = static_cast<uint8_t>(item);
  return aErrNone;
}
aErr sPut(uint8_t data, void* ref) {
  ScriptRef* s = static_cast<ScriptRef*>(ref);
  s->putCalls++;
  if (s->putResult != aErrNone) return s->putResult;
  s->written.push_back(data);
  return aErrNone;
}
aErr sWrite(const uint8_t* pData, uint64_t length, void* ref) {
  ScriptRef* s = static_cast<ScriptRef*>(ref);
  s->writeCalls++;
  s->written.insert(s->written.end(), pData, pData + length);
  return aErrNone;
}
aErr sDelete(void* ref) {
  static_cast<ScriptRef*>(ref)->deleted = true;
  return aErrNone;
}

std::deque<int> Text(const std::string& text) { return std::deque<int>(text.begin(), text.end()); }

class StreamTest : public ::testing::Test {
 protected:
  void SetUp() override { stream = aStream_Create(sGet, sPut, sWrite, sDelete, &ref); }
  void TearDown() override {
    if (stream) aStream_Destroy(&stream);
  }
  void Script(std::initializer_list<std::deque<int>> parts) {
    for (const auto& part : parts) ref.script.insert(ref.script.end(), part.begin(), part.end());
  }
  ScriptRef ref;
  aStreamRef stream = nullptr;
};

TEST_F(StreamTest, ReadNotReadyRestoresConsumedBytes) {
  Script({{'a', 'b', kNotReady, 'c', 'd'}});
  uint8_t dest[4] = {9, 9, 9, 9};
  EXPECT_EQ(aStream_Read(stream, dest, 4), aErrNotReady);
  EXPECT_EQ(dest[0], 9);
  EXPECT_EQ(stream->pushCount, 2u);
  EXPECT_EQ(aStream_Read(stream, dest, 4), aErrNone);
  EXPECT_EQ(std::string(dest, dest + 4), "abcd");
}

TEST_F(StreamTest, ReadEndDeliversBytesBeforeIt) {
  Script({{'x', 'y', kEOF}});
  uint8_t dest[4] = {0};
  EXPECT_EQ(aStream_Read(stream, dest, 4), aErrEOF);
  EXPECT_EQ(std::string(dest, dest + 2), "xy");
}

TEST_F(StreamTest, ReadFailureDropsBytes) {
  Script({{'x', kFail, 'y'}});
  uint8_t dest[2] = {0, 0};
  EXPECT_EQ(aStream_Read(stream, dest, 2), aErrIO);
  EXPECT_EQ(dest[0], 0);
  EXPECT_EQ(stream->pushCount, 0u);
}

TEST_F(StreamTest, ReadArgumentsAndZeroCount) {
  uint8_t dest[1];
  EXPECT_EQ(aStream_Read(stream, dest, 0), aErrNone);
  EXPECT_EQ(ref.gets, 0);
  EXPECT_EQ(aStream_Read(stream, nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_Read(nullptr, dest, 1), aErrParam);
  aStreamRef writeOnly = aStream_Create(nullptr, sPut, nullptr, nullptr, &ref);
  EXPECT_EQ(aStream_Read(writeOnly, dest, 1), aErrMode);
  aStream_Destroy(&writeOnly);
}

TEST_F(StreamTest, PushBackGrowsAndKeepsOrderAcrossWrap) {
  // Wrap the ring first: push and take 300 bytes so head and tail sit mid-ring.
  for (int i = 0; i < 300; i++) ASSERT_EQ(aStreamBufferChar(stream, 0), aErrNone);
  uint8_t sink[300];
  ASSERT_EQ(aStream_Read(stream, sink, 300), aErrNone);
  for (int i = 0; i < 600; i++)
    ASSERT_EQ(aStreamBufferChar(stream, static_cast<uint8_t>(i % 251)), aErrNone);
  EXPECT_EQ(stream->pushCapacity, 1024u);
  std::vector<uint8_t> back(600);
  ASSERT_EQ(aStream_Read(stream, back.data(), 600), aErrNone);
  for (int i = 0; i < 600; i++) ASSERT_EQ(back[i], i % 251) << i;
  EXPECT_EQ(aStreamBufferChar(nullptr, 1), aErrParam);
}

TEST_F(StreamTest, ReadCStringStopsAtNul) {
  Script({Text("abc"), {0}, Text("def")});
  char dest[8];
  EXPECT_EQ(aStream_ReadCString(stream, dest, 8), aErrNone);
  EXPECT_STREQ(dest, "abc");
  uint8_t rest[3];
  EXPECT_EQ(aStream_Read(stream, rest, 3), aErrNone);
  EXPECT_EQ(std::string(rest, rest + 3), "def");
}

TEST_F(StreamTest, RecordEndsAtEndOfInput) {
  Script({Text("abc")});
  uint8_t dest[16];
  uint64_t length = 99;
  const uint8_t term[2] = {'\r', '\n'};
  EXPECT_EQ(aStream_ReadRecord(stream, dest, &length, 16, term, 2), aErrNone);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(aStream_ReadRecord(stream, dest, &length, 16, term, 2), aErrEOF);
  EXPECT_EQ(length, 0u);
}

TEST_F(StreamTest, RecordFullLeavesTerminatorUnread) {
  Script({Text("abcd\n")});
  uint8_t dest[16];
  uint64_t length = 0;
  const uint8_t term = '\n';
  EXPECT_EQ(aStream_ReadRecord(stream, dest, &length, 4, &term, 1), aErrNone);
  EXPECT_EQ(length, 4u);
  uint8_t next;
  EXPECT_EQ(aStream_Read(stream, &next, 1), aErrNone);
  EXPECT_EQ(next, '\n');
}

TEST_F(StreamTest, RecordNotReadyPushesRecordBack) {
  Script({Text("ab"), {kNotReady}, Text("c\n")});
  char dest[16];
  EXPECT_EQ(aStream_ReadCStringRecord(stream, dest, 16, "\n"), aErrNotReady);
  EXPECT_EQ(aStream_ReadCStringRecord(stream, dest, 16, "\n"), aErrNone);
  EXPECT_STREQ(dest, "abc");
}

TEST_F(StreamTest, RecordArguments) {
  uint8_t dest[4];
  const uint8_t term = 0;
  EXPECT_EQ(aStream_ReadRecord(stream, dest, nullptr, 4, nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(stream, dest, nullptr, 4, &term, 0), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(stream, nullptr, nullptr, 4, &term, 1), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(stream, dest, nullptr, 0, &term, 1), aErrParam);
}

TEST_F(StreamTest, WriteUsesPutForOneByteAndWriteForBlocks) {
  const uint8_t data[3] = {1, 2, 3};
  EXPECT_EQ(aStream_Write(stream, data, 1), aErrNone);
  EXPECT_EQ(ref.putCalls, 1);
  EXPECT_EQ(ref.writeCalls, 0);
  EXPECT_EQ(aStream_Write(stream, data, 2), aErrNone);
  EXPECT_EQ(ref.writeCalls, 1);
  EXPECT_EQ(aStream_Write(stream, data, 0), aErrNone);
  EXPECT_EQ(ref.written, (std::vector<uint8_t>{1, 1, 2}));
  EXPECT_EQ(aStream_Write(stream, nullptr, 1), aErrParam);
  aStreamRef readOnly = aStream_Create(sGet, nullptr, nullptr, nullptr, &ref);
  EXPECT_EQ(aStream_Write(readOnly, data, 1), aErrMode);
  aStream_Destroy(&readOnly);
}

TEST_F(StreamTest, WritePutFailureStopsLoop) {
  aStreamRef putOnly = aStream_Create(nullptr, sPut, nullptr, nullptr, &ref);
  ref.putResult = aErrWrite;
  const uint8_t data[3] = {1, 2, 3};
  EXPECT_EQ(aStream_Write(putOnly, data, 3), aErrWrite);
  EXPECT_EQ(ref.putCalls, 1);
  aStream_Destroy(&putOnly);
}

TEST_F(StreamTest, CStringRecordsRoundTrip) {
  EXPECT_EQ(aStream_WriteCString(stream, "hi"), aErrNone);
  EXPECT_EQ(aStream_WriteCStringRecord(stream, "ok", "\r\n"), aErrNone);
  // The record carries the terminator's NUL too.
  const std::vector<uint8_t> expect = {'h', 'i', 0, 'o', 'k', '\r', '\n', 0};
  EXPECT_EQ(ref.written, expect);
  const uint8_t term = ';';
  EXPECT_EQ(aStream_WriteRecord(stream, nullptr, 1, &term, 1), aErrParam);
  EXPECT_EQ(aStream_WriteRecord(stream, &term, 1, &term, 0), aErrParam);
}

TEST_F(StreamTest, DestroyRunsDeleteAndInvalidates) {
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_TRUE(ref.deleted);
  EXPECT_EQ(stream, nullptr);
  aStreamRef none = nullptr;
  EXPECT_EQ(aStream_Destroy(&none), aErrParam);
  EXPECT_EQ(none, nullptr);
}

TEST_F(StreamTest, FlushStopsOnNotReady) {
  ScriptRef outRef;
  aStreamRef out = aStream_Create(nullptr, sPut, nullptr, nullptr, &outRef);
  Script({{'a', 'b', kNotReady, 'c'}});
  EXPECT_EQ(aStream_Flush(stream, out), aErrNotReady);
  EXPECT_EQ(outRef.written, (std::vector<uint8_t>{'a', 'b'}));
  EXPECT_EQ(aStream_Flush(stream, out), aErrNone);
  EXPECT_EQ(outRef.written, (std::vector<uint8_t>{'a', 'b', 'c'}));
  EXPECT_EQ(aStream_Flush(out, stream), aErrMode);
  aStream_Destroy(&out);
}

TEST_F(StreamTest, WaitReportsHeldBytesAndMissingOperation) {
  EXPECT_EQ(aStream_Wait(stream, 0), aErrUnimplemented);
  ASSERT_EQ(aStreamBufferChar(stream, 7), aErrNone);
  EXPECT_EQ(aStream_Wait(stream, 0), aErrNone);
  EXPECT_EQ(aStream_Wait(nullptr, 0), aErrParam);
}

class FileStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/link_stream_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override {
    for (const char* f : {"/in", "/out"}) unlink((dir + f).c_str());
    rmdir(dir.c_str());
  }
  std::string dir;
};

TEST_F(FileStreamTest, FlushCopiesFile) {
  std::string content;
  for (int i = 0; i < 5000; i++) content += static_cast<char>(i * 7);
  FILE* f = fopen((dir + "/in").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fwrite(content.data(), 1, content.size(), f);
  fclose(f);

  aStreamRef in = nullptr, out = nullptr;
  ASSERT_EQ(aStream_CreateFileInput((dir + "/in").c_str(), &in), aErrNone);
  ASSERT_EQ(aStream_CreateFileOutput((dir + "/out").c_str(), &out), aErrNone);
  EXPECT_EQ(aStream_Flush(in, out), aErrNone);
  EXPECT_EQ(aStream_Destroy(&in), aErrNone);
  EXPECT_EQ(aStream_Destroy(&out), aErrNone);

  f = fopen((dir + "/out").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::string copy(6000, '\0');
  copy.resize(fread(&copy[0], 1, copy.size(), f));
  fclose(f);
  EXPECT_EQ(copy, content);
}

TEST_F(FileStreamTest, OpenFailures) {
  aStreamRef s = reinterpret_cast<aStreamRef>(1);
  EXPECT_EQ(aStream_CreateFileInput((dir + "/missing").c_str(), &s), aErrResource);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(aStream_CreateFileInput(nullptr, &s), aErrResource);
  EXPECT_EQ(aStream_CreateFileOutput((dir + "/none/out").c_str(), &s), aErrResource);
  EXPECT_EQ(aStream_CreateFileOutput((dir + "/out").c_str(), nullptr), aErrResource);
}

TEST_F(FileStreamTest, DirectionIsFixed) {
  aStreamRef out = nullptr;
  ASSERT_EQ(aStream_CreateFileOutput((dir + "/out").c_str(), &out), aErrNone);
  uint8_t b;
  EXPECT_EQ(aStream_Read(out, &b, 1), aErrMode);
  EXPECT_EQ(aStream_WriteCString(out, "x"), aErrNone);
  aStream_Destroy(&out);
  aStreamRef in = nullptr;
  ASSERT_EQ(aStream_CreateFileInput((dir + "/out").c_str(), &in), aErrNone);
  EXPECT_EQ(aStream_Write(in, &b, 1), aErrMode);
  char text[4];
  EXPECT_EQ(aStream_ReadCString(in, text, 4), aErrNone);
  EXPECT_STREQ(text, "x");
  aStream_Destroy(&in);
}

}  // namespace
