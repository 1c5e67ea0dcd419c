// The generic stream over an in-memory transport: all-or-nothing reads, the
// push-back ring, records and C-string records, flush, and file streams.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "Process.h"
#include "aStream.h"

namespace {

// Input bytes handed out one get at a time; when they run out the transport is
// "not ready" or, once ended, at its end. Output bytes are collected.
struct Memory {
    std::deque<uint8_t> in;
    bool ended = false;
    std::vector<uint8_t> out;
    int writeCalls = 0;
    bool deleted = false;

    void feed(const std::string& s) { in.insert(in.end(), s.begin(), s.end()); }
    std::string written() const { return std::string(out.begin(), out.end()); }
};

aErr memGet(uint8_t* byte, void* ref)
{
    auto* m = static_cast<Memory*>(ref);
    if (m->in.empty())
        return m->ended ? aErrEOF : aErrNotReady;
    *byte = m->in.front();
    m->in.pop_front();
    return aErrNone;
}
aErr memPut(uint8_t byte, void* ref)
{
    static_cast<Memory*>(ref)->out.push_back(byte);
    return aErrNone;
}
aErr memWrite(const uint8_t* bytes, size_t length, void* ref)
{
    auto* m = static_cast<Memory*>(ref);
    m->writeCalls++;
    m->out.insert(m->out.end(), bytes, bytes + length);
    return aErrNone;
}
aErr memDelete(void* ref)
{
    static_cast<Memory*>(ref)->deleted = true;
    return aErrNone;
}

struct StreamTest : ::testing::Test {
    Memory mem;
    aStream* s = aStream_Create(memGet, memPut, memWrite, memDelete, &mem);
    ~StreamTest() override { aStream_Destroy(&s); }
};

TEST_F(StreamTest, ShortReadIsAllOrNothingAndGivesTheBytesBack)
{
    mem.feed("ab");
    uint8_t buf[4] = {};
    EXPECT_EQ(aStream_Read(s, buf, 4), aErrNotReady);
    mem.feed("cd");
    ASSERT_EQ(aStream_Read(s, buf, 4), aErrNone);
    EXPECT_EQ(std::string(buf, buf + 4), "abcd");
}

TEST_F(StreamTest, PushBackGrowsPast512BytesInOrder)
{
    std::string data;
    for (int i = 0; i < 1500; ++i)
        data += static_cast<char>('A' + i % 53);
    mem.feed(data);
    std::vector<uint8_t> buf(2000);
    // Each failed read gives more back than the last, across several growths.
    EXPECT_EQ(aStream_Read(s, buf.data(), 1600), aErrNotReady);
    EXPECT_EQ(aStream_Read(s, buf.data(), 1501), aErrNotReady);
    uint8_t first[10];
    ASSERT_EQ(aStream_Read(s, first, 10), aErrNone);
    EXPECT_EQ(std::string(first, first + 10), data.substr(0, 10));
    ASSERT_EQ(aStream_Read(s, buf.data(), 1490), aErrNone);
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + 1490), data.substr(10));
}

TEST_F(StreamTest, EndOfInputCopiesWhatWasRead)
{
    mem.feed("xy");
    mem.ended = true;
    uint8_t buf[4] = {};
    EXPECT_EQ(aStream_Read(s, buf, 4), aErrEOF);
    EXPECT_EQ(buf[0], 'x');
    EXPECT_EQ(buf[1], 'y');
}

TEST_F(StreamTest, WriteUsesTheBlockSlotOnlyForBlocks)
{
    const uint8_t two[] = {1, 2};
    ASSERT_EQ(aStream_Write(s, two, 2), aErrNone);
    ASSERT_EQ(aStream_Write(s, two, 1), aErrNone);
    EXPECT_EQ(mem.writeCalls, 1);
    EXPECT_EQ(mem.out, (std::vector<uint8_t>{1, 2, 1}));
    aStream* none = aStream_Create(memGet, nullptr, nullptr, nullptr, &mem);
    EXPECT_EQ(aStream_Write(none, two, 2), aErrMode);
    aStream_Destroy(&none);
}

TEST_F(StreamTest, RecordsEndAtSeparatorBufferFullOrEnd)
{
    const uint8_t sep[] = {'\r', '\n'};
    uint8_t buf[16];
    size_t len = 0;
    mem.feed("one\r\ntwo\rx\r\nabcdefgh");
    ASSERT_EQ(aStream_ReadRecord(s, buf, &len, sizeof buf, sep, 2), aErrNone);
    EXPECT_EQ(std::string(buf, buf + len), "one");
    // A separator that stops matching is data.
    ASSERT_EQ(aStream_ReadRecord(s, buf, &len, sizeof buf, sep, 2), aErrNone);
    EXPECT_EQ(std::string(buf, buf + len), "two\rx");
    // Full buffer ends the record; the rest is read next time.
    ASSERT_EQ(aStream_ReadRecord(s, buf, &len, 5, sep, 2), aErrNone);
    EXPECT_EQ(std::string(buf, buf + len), "abcde");
    // Not ready gives everything back.
    EXPECT_EQ(aStream_ReadRecord(s, buf, &len, sizeof buf, sep, 2), aErrNotReady);
    mem.ended = true;
    ASSERT_EQ(aStream_ReadRecord(s, buf, &len, sizeof buf, sep, 2), aErrNone);
    EXPECT_EQ(std::string(buf, buf + len), "fgh");
    EXPECT_EQ(aStream_ReadRecord(s, buf, &len, sizeof buf, sep, 2), aErrEOF);
}

TEST_F(StreamTest, OverlappingSeparatorStillMatches)
{
    const uint8_t sep[] = {'a', 'a', 'b'};
    uint8_t buf[16];
    size_t len = 0;
    mem.feed("xaaab");
    ASSERT_EQ(aStream_ReadRecord(s, buf, &len, sizeof buf, sep, 3), aErrNone);
    EXPECT_EQ(std::string(buf, buf + len), "xa");
}

TEST_F(StreamTest, CStringsAndCStringRecordsRoundTrip)
{
    ASSERT_EQ(aStream_WriteCString(s, "hello"), aErrNone);
    ASSERT_EQ(aStream_WriteCStringRecord(s, "first", "\r\n"), aErrNone);
    ASSERT_EQ(aStream_WriteCStringRecord(s, "second", "\r\n"), aErrNone);
    EXPECT_EQ(mem.written(), std::string("hello\0first\r\nsecond\r\n", 21));
    mem.in.assign(mem.out.begin(), mem.out.end());
    char text[16];
    ASSERT_EQ(aStream_ReadCString(s, text, sizeof text), aErrNone);
    EXPECT_STREQ(text, "hello");
    ASSERT_EQ(aStream_ReadCStringRecord(s, text, sizeof text, "\r\n"), aErrNone);
    EXPECT_STREQ(text, "first");
    ASSERT_EQ(aStream_ReadCStringRecord(s, text, sizeof text, "\r\n"), aErrNone);
    EXPECT_STREQ(text, "second");
    // At most size - 1 bytes, terminated.
    mem.feed("abcdefgh");
    mem.feed(std::string(1, '\0'));
    ASSERT_EQ(aStream_ReadCString(s, text, 4), aErrNone);
    EXPECT_STREQ(text, "abc");
}

TEST_F(StreamTest, FlushCopiesUntilEnd)
{
    Memory target;
    aStream* out = aStream_Create(nullptr, memPut, nullptr, nullptr, &target);
    mem.feed("copy me");
    mem.ended = true;
    EXPECT_EQ(aStream_Flush(s, out), aErrNone);
    EXPECT_EQ(target.written(), "copy me");
    EXPECT_EQ(aStream_Flush(out, s), aErrMode);
    aStream_Destroy(&out);
}

TEST_F(StreamTest, DestroyCallsDeleteAndNullsTheReference)
{
    ASSERT_EQ(aStream_Destroy(&s), aErrNone);
    EXPECT_EQ(s, nullptr);
    EXPECT_TRUE(mem.deleted);
    EXPECT_EQ(aStream_Destroy(&s), aErrParam);
    uint8_t b;
    EXPECT_EQ(aStream_Read(nullptr, &b, 1), aErrParam);
}

TEST(FileStream, WritesThenReadsBackToEnd)
{
    testsupport::TempDir dir;
    std::string path = dir.file("bytes.bin");
    aStream* out = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
    ASSERT_EQ(aStream_WriteCStringRecord(out, "line", "\n"), aErrNone);
    const uint8_t b = 7;
    ASSERT_EQ(aStream_Write(out, &b, 1), aErrNone);
    ASSERT_EQ(aStream_Destroy(&out), aErrNone);

    aStream* in = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
    uint8_t buf[8] = {};
    EXPECT_EQ(aStream_Read(in, buf, 8), aErrEOF);
    EXPECT_EQ(std::string(buf, buf + 6), std::string("line\n\x07", 6));
    EXPECT_EQ(aStream_Write(in, buf, 2), aErrMode);
    ASSERT_EQ(aStream_Destroy(&in), aErrNone);

    EXPECT_EQ(aStream_CreateFileInput(dir.file("missing").c_str(), &in), aErrResource);
    EXPECT_EQ(in, nullptr);
    EXPECT_EQ(aStream_CreateFileInput(nullptr, &in), aErrParam);
}

}  // namespace
