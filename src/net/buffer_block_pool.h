// BufferBlockPool: the 64 KiB blocks that answers travel in, from the
// outbound thread's hand-over to the daemon's socket.
//
// Blocks are mapped pages. A block given back is kept for the next taker, up
// to kMaxCached of them in the process; beyond that it is unmapped. Without
// the cache a streamed answer would map, fault in and unmap a block every
// 64 KiB on two threads (page faults and TLB shoot-downs cost more than the
// copy itself); with it the process keeps at most kMaxCached blocks (2 MiB)
// more than it uses at any moment, so a burst still gives its memory back.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace morvex {

class BufferBlockPool {
public:
    static constexpr std::size_t kBlockSize = 65536;
    static constexpr std::size_t kMaxCached = 32;

    struct Release {
        void operator()(char* block) const noexcept { give(block); }
    };
    using Block = std::unique_ptr<char[], Release>;

    // A block, cached or newly mapped; throws std::bad_alloc when the system
    // has none. Any thread.
    static Block take();
    // Keeps the block for reuse, or unmaps it when the cache is full.
    static void give(char* block) noexcept;
    // Blocks kept for reuse now.
    static std::size_t cached() noexcept;
    // Unmaps every cached block.
    static void trim() noexcept;
};

// Bytes copied into pool blocks, in order: every block but the last is full.
// It moves between threads whole, and the receiving output buffer adopts its
// blocks instead of copying them again.
class BlockChain {
public:
    struct Filled {
        BufferBlockPool::Block block;
        std::size_t len;
    };

    // Copies the bytes in, taking blocks as needed. Throws std::bad_alloc
    // with nothing appended when the blocks cannot be had.
    void append(const char* data, std::size_t len);
    std::size_t size() const noexcept { return _size; }
    bool empty() const noexcept { return _size == 0; }
    // The blocks, for adopting; the chain is empty afterwards.
    std::vector<Filled> release() noexcept;
    void swap(BlockChain& other) noexcept {
        _blocks.swap(other._blocks);
        std::swap(_size, other._size);
    }

private:
    std::vector<Filled> _blocks;
    std::size_t _size = 0;
};

}  // namespace morvex
