#include "net/buffer_block_pool.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <new>

namespace morvex {

namespace {

struct Cache {
    std::mutex lock;
    std::array<char*, BufferBlockPool::kMaxCached> blocks{};
    std::size_t count = 0;
};

// Never destroyed: blocks may come back from threads that outlive main.
Cache& cache() noexcept {
    static Cache* c = new Cache;
    return *c;
}

void unmap(char* block) noexcept {
    ::munmap(block, BufferBlockPool::kBlockSize);
}

}  // namespace

BufferBlockPool::Block BufferBlockPool::take() {
    Cache& c = cache();
    {
        std::lock_guard<std::mutex> guard(c.lock);
        if (c.count > 0) return Block(c.blocks[--c.count]);
    }
    void* p = ::mmap(nullptr, kBlockSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return Block(static_cast<char*>(p));
}

void BufferBlockPool::give(char* block) noexcept {
    if (block == nullptr) return;
    Cache& c = cache();
    {
        std::lock_guard<std::mutex> guard(c.lock);
        if (c.count < kMaxCached) {
            c.blocks[c.count++] = block;
            return;
        }
    }
    unmap(block);
}

std::size_t BufferBlockPool::cached() noexcept {
    Cache& c = cache();
    std::lock_guard<std::mutex> guard(c.lock);
    return c.count;
}

void BufferBlockPool::trim() noexcept {
    Cache& c = cache();
    std::array<char*, kMaxCached> out{};
    std::size_t n;
    {
        std::lock_guard<std::mutex> guard(c.lock);
        n = c.count;
        for (std::size_t i = 0; i < n; ++i) out[i] = c.blocks[i];
        c.count = 0;
    }
    for (std::size_t i = 0; i < n; ++i) unmap(out[i]);
}

void BlockChain::append(const char* data, std::size_t len) {
    constexpr std::size_t kBlock = BufferBlockPool::kBlockSize;
    const std::size_t room = _blocks.empty() ? 0 : kBlock - _blocks.back().len;
    const std::size_t extra = len > room ? (len - room + kBlock - 1) / kBlock : 0;
    // Every block is in hand before a byte moves: a failure leaves the chain
    // as it was, so no answer is ever handed over cut short.
    std::vector<Filled> fresh;
    fresh.reserve(extra);
    for (std::size_t i = 0; i < extra; ++i) fresh.push_back(Filled{BufferBlockPool::take(), 0});
    _blocks.reserve(_blocks.size() + extra);
    for (Filled& f : fresh) _blocks.push_back(std::move(f));
    std::size_t at = _blocks.size() - extra - (room > 0 ? 1 : 0);
    while (len > 0) {
        Filled& tail = _blocks[at++];
        std::size_t n = std::min(len, kBlock - tail.len);
        std::memcpy(tail.block.get() + tail.len, data, n);
        tail.len += n;
        _size += n;
        data += n;
        len -= n;
    }
}

std::vector<BlockChain::Filled> BlockChain::release() noexcept {
    std::vector<Filled> out;
    out.swap(_blocks);
    _size = 0;
    return out;
}

}  // namespace morvex
