#include "net/tcp_async_data_buffer.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace morvex {

const SendList& SendCursor::emptyList() noexcept {
    static const SendList empty;
    return empty;
}

bool SendCursor::hasData() const noexcept {
    for (std::size_t i = _index; i < _list->size(); ++i) {
        if ((*_list)[i].len > (i == _index ? _offset : 0)) return true;
    }
    return false;
}

std::size_t SendCursor::bytesLeft() const noexcept {
    std::size_t n = 0;
    for (std::size_t i = _index; i < _list->size(); ++i) n += (*_list)[i].len;
    return n - (_index < _list->size() ? _offset : 0);
}

void SendCursor::advance(std::size_t n) noexcept {
    while (_index < _list->size()) {
        std::size_t left = (*_list)[_index].len - _offset;
        if (n < left) {
            _offset += n;
            return;
        }
        n -= left;
        ++_index;
        _offset = 0;
        if (n == 0) break;
    }
    // Skip empty segments so that index() names the next byte to write.
    while (_index < _list->size() && (*_list)[_index].len == 0) ++_index;
}

void SendCursor::dump(CrashLogOutput& out) const noexcept {
    out.printf(", async write data: segment %zu/%zu, offset %zu, bytes left %zu", _index, _list->size(), _offset,
               bytesLeft());
}

void OutputBuffer::append(const char* data, std::size_t len) {
    while (len > 0) {
        if (_block >= _blocks.size()) {
            _blocks.push_back(BufferBlockPool::take());
        }
        if (_used == kBlockSize) {
            ++_block;
            _used = 0;
            _open = false;  // a segment never spans blocks
            continue;
        }
        std::size_t n = std::min(len, kBlockSize - _used);
        char* dst = _blocks[_block].get() + _used;
        std::memcpy(dst, data, n);
        if (_open && !_segments.empty() && _segments.back().data + _segments.back().len == dst) {
            _segments.back().len += static_cast<std::uint32_t>(n);
        } else {
            _segments.push_back(SendSegment{static_cast<std::uint32_t>(n), dst});
        }
        _open = true;
        _used += n;
        _queued += n;
        data += n;
        len -= n;
    }
}

void OutputBuffer::adopt(Block block, std::size_t len) {
    if (len == 0) return;
    // The adopted block becomes the one being filled; the free rest of the
    // block before it stays unused until the buffer empties.
    char* data = block.get();
    _segments.reserve(_segments.size() + 1);
    _blocks.push_back(std::move(block));
    _segments.push_back(SendSegment{static_cast<std::uint32_t>(len), data});
    _block = _blocks.size() - 1;
    _used = len;
    _queued += len;
    _open = true;
}

void OutputBuffer::clear() noexcept {
    _blocks.clear();
    _segments.clear();
    _block = 0;
    _used = 0;
    _queued = 0;
    _open = false;
}

void TcpAsyncDataBuffer::queueOutput(const char* data, std::size_t len) {
    bool writing = &_cursor.list() == &_output.segments();
    _output.append(data, len);
    _output.closeSegment();
    if (!writing) _cursor.set(_output.segments());
}

void TcpAsyncDataBuffer::queueOutput(BlockChain& chain) {
    bool writing = &_cursor.list() == &_output.segments();
    for (BlockChain::Filled& f : chain.release()) _output.adopt(std::move(f.block), f.len);
    _output.closeSegment();
    if (!writing) _cursor.set(_output.segments());
}

void TcpAsyncDataBuffer::outputDone() noexcept {
    _output.clear();
    _cursor.reset();
}

}  // namespace morvex
