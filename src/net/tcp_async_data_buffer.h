// A channel's data buffers: the 65536-byte receive ring that the data-available
// callback consumes from, the output buffer that queued bytes go into, and the
// write cursor over a send list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "net/buffer_block_pool.h"
#include "net/receive_ring.h"

namespace morvex {

// One segment of a send list: a 32-bit length and a pointer.
struct SendSegment {
    std::uint32_t len;
    const char* data;
};
using SendList = std::vector<SendSegment>;

// Where writing stands in a send list: the list, the current segment and the
// offset inside it. The list belongs to the caller, which must keep it valid
// and leave the bytes already queued unchanged until the cursor is through.
// Segments may be appended (and the last one extended) meanwhile.
class SendCursor {
public:
    SendCursor() noexcept : _list(&emptyList()) {}

    static const SendList& emptyList() noexcept;

    void set(const SendList& list, std::size_t index = 0, std::size_t offset = 0) noexcept {
        _list = &list;
        _index = index;
        _offset = offset;
    }
    // Back to the shared empty list.
    void reset() noexcept { set(emptyList()); }

    const SendList& list() const noexcept { return *_list; }
    std::size_t index() const noexcept { return _index; }
    std::size_t offset() const noexcept { return _offset; }
    bool isEmptyList() const noexcept { return _list == &emptyList(); }

    // True while any byte remains to be written.
    bool hasData() const noexcept;
    // Segments from the current one on that still hold bytes (an upper bound:
    // empty trailing segments are counted).
    std::size_t segmentsLeft() const noexcept { return _index < _list->size() ? _list->size() - _index : 0; }
    std::size_t bytesLeft() const noexcept;

    // The unwritten part of the current segment.
    const char* currentData() const noexcept { return (*_list)[_index].data + _offset; }
    std::size_t currentLen() const noexcept { return (*_list)[_index].len - _offset; }

    // Moves past n written bytes, across segments.
    void advance(std::size_t n) noexcept;

    // ", async write data: segment i/n, offset o, bytes left b".
    void dump(CrashLogOutput& out) const noexcept;

private:
    const SendList* _list;
    std::size_t _index = 0;
    std::size_t _offset = 0;
};

// The output buffer: a send list whose segments point into a chain of
// fixed blocks. Blocks never move, so bytes already queued stay valid and in
// order while more are appended during a write. Emptying gives every block
// back to the block pool: an idle connection holds none, a steady stream of
// small writes takes the same few blocks from the pool again, and a burst
// does not leave the process larger than before.
class OutputBuffer {
public:
    static constexpr std::size_t kBlockSize = BufferBlockPool::kBlockSize;

    OutputBuffer() = default;
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;

    // Appends bytes to the open segment (opening one if needed).
    void append(const char* data, std::size_t len);
    // Queues the first len bytes of a filled block without copying them;
    // later appends go on in the block's free rest.
    void adopt(BufferBlockPool::Block block, std::size_t len);
    // Ends the open segment: the next append starts a new one.
    void closeSegment() noexcept { _open = false; }
    bool isOpen() const noexcept { return _open; }
    // Forgets every segment and gives the blocks back to the pool.
    void clear() noexcept;

    const SendList& segments() const noexcept { return _segments; }
    std::size_t queuedSize() const noexcept { return _queued; }
    bool empty() const noexcept { return _queued == 0; }

private:
    using Block = BufferBlockPool::Block;

    SendList _segments;
    std::vector<Block> _blocks;
    std::size_t _block = 0;  // index of the block being filled
    std::size_t _used = 0;   // bytes used in that block
    std::size_t _queued = 0;
    bool _open = false;
};

class TcpAsyncDataBuffer : public ReceiveRing<65536> {
public:
    OutputBuffer& output() noexcept { return _output; }
    const OutputBuffer& output() const noexcept { return _output; }
    SendCursor& cursor() noexcept { return _cursor; }
    const SendCursor& cursor() const noexcept { return _cursor; }

    // Appends bytes to the output, closes the open segment and points the
    // cursor at the output's send list (keeping its place when it already
    // writes from it).
    void queueOutput(const char* data, std::size_t len);
    // The same for bytes already in pool blocks: adopts them.
    void queueOutput(BlockChain& chain);
    // After the last byte went out: empties the output and the cursor.
    void outputDone() noexcept;

private:
    OutputBuffer _output;
    SendCursor _cursor;
};

}  // namespace morvex
