#include "net/tcp_async_data_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

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

// Reads a send list back into one string.
std::string flatten(const SendList& list) {
    std::string out;
    for (const SendSegment& s : list) out.append(s.data, s.len);
    return out;
}

TEST(OutputBufferTest, AdoptedBlocksAreQueuedInOrderWithoutCopiesAndGoBackToThePool) {
    BufferBlockPool::trim();
    TcpAsyncDataBuffer buf;
    buf.queueOutput("head|", 5);
    BlockChain chain;
    std::string big(OutputBuffer::kBlockSize + 100, 'b');
    chain.append(big.data(), big.size());
    chain.append("tail", 4);
    ASSERT_EQ(chain.size(), big.size() + 4);
    const SendList& list = buf.output().segments();
    buf.queueOutput(chain);
    EXPECT_TRUE(chain.empty());
    // A later append goes on in the adopted block's free rest.
    buf.queueOutput("|end", 4);
    EXPECT_EQ(flatten(list), "head|" + big + "tail|end");
    EXPECT_EQ(list.size(), 4u);
    EXPECT_EQ(list[2].data + list[2].len, list[3].data) << "the append shares the last adopted block";
    EXPECT_EQ(buf.cursor().bytesLeft(), 5 + big.size() + 8);

    // Emptying gives every block to the pool: an idle connection holds none.
    buf.cursor().advance(buf.cursor().bytesLeft());
    buf.outputDone();
    EXPECT_EQ(BufferBlockPool::cached(), 3u);
    // The next burst takes them back before mapping new ones.
    buf.queueOutput(big.data(), big.size());
    EXPECT_EQ(BufferBlockPool::cached(), 1u);
    EXPECT_EQ(flatten(buf.output().segments()), big);
}

TEST(OutputBufferTest, AppendsAfterAnAdoptedBlockGoOnInItAndThenInNewBlocks) {
    OutputBuffer out;
    out.append("head", 4);  // a partly used block
    BufferBlockPool::Block block = BufferBlockPool::take();
    std::memcpy(block.get(), "abc", 3);
    out.adopt(std::move(block), 3);
    out.append("def", 3);
    ASSERT_EQ(out.segments().size(), 2u);  // the adopted block's segment grew
    EXPECT_EQ(std::string(out.segments()[1].data, out.segments()[1].len), "abcdef");
    std::string fill(OutputBuffer::kBlockSize, 'f');
    out.append(fill.data(), fill.size());  // spills into a new block
    EXPECT_EQ(out.queuedSize(), 10 + fill.size());
    EXPECT_EQ(flatten(out.segments()), "headabcdef" + fill);
}

TEST(BlockChainTest, PiecesOfAnySizeComeOutWholeAndInOrderAcrossBlocks) {
    BlockChain chain;
    std::string want;
    const std::size_t sizes[] = {1, 16384, 0, 65535, 2, 65536, 131073, 777, 65536 - 777 - 3};
    char fill = 'a';
    for (std::size_t n : sizes) {
        std::string piece(n, fill++);
        chain.append(piece.data(), piece.size());
        want += piece;
        ASSERT_EQ(chain.size(), want.size());
    }
    std::string got;
    std::vector<BlockChain::Filled> blocks = chain.release();
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (i + 1 < blocks.size()) {
            EXPECT_EQ(blocks[i].len, BufferBlockPool::kBlockSize) << "block " << i;
        }
        got.append(blocks[i].block.get(), blocks[i].len);
    }
    EXPECT_TRUE(got == want);
    EXPECT_TRUE(chain.empty());
}

TEST(BufferBlockPoolTest, KeepsAtMostItsCapAndTrimsToNothing) {
    BufferBlockPool::trim();
    std::vector<BufferBlockPool::Block> taken;
    for (std::size_t i = 0; i < BufferBlockPool::kMaxCached + 5; ++i) taken.push_back(BufferBlockPool::take());
    taken.clear();
    EXPECT_EQ(BufferBlockPool::cached(), BufferBlockPool::kMaxCached);
    BufferBlockPool::trim();
    EXPECT_EQ(BufferBlockPool::cached(), 0u);
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
