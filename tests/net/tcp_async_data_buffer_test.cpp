#include "net/tcp_async_data_buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace morvex {
namespace {

TEST(ReceiveRingTest, WrapsAndKeepsOrder) {
    ReceiveRing<16> ring;
    EXPECT_EQ(ring.append("0123456789ab", 12), 12u);
    ring.consume(10);
    // 2 readable at offset 10; writing wraps after 4 more bytes.
    EXPECT_EQ(ring.contiguousFree(), 4u);
    EXPECT_EQ(ring.append("cdefghijklmnopq", 15), 14u);  // 16 - 2 readable
    EXPECT_TRUE(ring.full());
    EXPECT_EQ(ring.contiguousReadable(), 6u);
    char out[16];
    ASSERT_EQ(ring.peek(out, sizeof out), 16u);
    EXPECT_EQ(std::string(out, 16), "abcdefghijklmnop");
    EXPECT_EQ(ring.at(15), 'p');
    ring.clear();
    EXPECT_TRUE(ring.empty());
    EXPECT_EQ(ring.readCounter(), 26u);  // counters never go back
}

TEST(OutputBufferTest, QueuedBytesStayValidWhileAppending) {
    TcpAsyncDataBuffer buf;
    std::string a(70000, 'a');
    buf.queueOutput(a.data(), a.size());
    SendCursor& cur = buf.cursor();
    ASSERT_EQ(&cur.list(), &buf.output().segments());
    // Spans two blocks: two segments.
    EXPECT_EQ(cur.list().size(), 2u);
    EXPECT_EQ(cur.bytesLeft(), 70000u);
    const char* firstByte = cur.currentData();
    cur.advance(100);
    // Appending more while a write is under way keeps the cursor's place and
    // the bytes already queued.
    for (int i = 0; i < 200; ++i) buf.queueOutput("xyz", 3);
    EXPECT_EQ(cur.offset(), 100u);
    EXPECT_EQ(firstByte[0], 'a');
    EXPECT_EQ(cur.bytesLeft(), 70000u - 100 + 600);
    // Every queueOutput closes its segment: separate writes are separate segments.
    EXPECT_EQ(cur.list().size(), 2u + 200);
    cur.advance(cur.bytesLeft());
    EXPECT_FALSE(cur.hasData());
    buf.outputDone();
    EXPECT_TRUE(cur.isEmptyList());
    EXPECT_TRUE(buf.output().empty());
}

TEST(OutputBufferTest, OpenSegmentIsExtendedUntilClosed) {
    OutputBuffer out;
    out.append("ab", 2);
    out.append("cd", 2);
    ASSERT_EQ(out.segments().size(), 1u);
    EXPECT_EQ(std::string(out.segments()[0].data, out.segments()[0].len), "abcd");
    out.closeSegment();
    out.append("ef", 2);
    EXPECT_EQ(out.segments().size(), 2u);
    EXPECT_EQ(out.queuedSize(), 6u);
}

TEST(SendCursorTest, AdvanceSkipsEmptySegments) {
    SendList list{{3, "abc"}, {0, ""}, {2, "de"}};
    SendCursor c;
    c.set(list);
    EXPECT_EQ(c.bytesLeft(), 5u);
    c.advance(3);
    EXPECT_EQ(c.index(), 2u);
    EXPECT_EQ(std::string(c.currentData(), c.currentLen()), "de");
    c.advance(2);
    EXPECT_FALSE(c.hasData());
    EXPECT_EQ(c.segmentsLeft(), 0u);
}

}  // namespace
}  // namespace morvex
