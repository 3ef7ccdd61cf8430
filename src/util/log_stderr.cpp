#include "util/log_stderr.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <mutex>

namespace morvex {

namespace {

enum class Kind { Plain, Pipe, PolledPipe, Socket };

struct State {
    std::mutex lock;
    // What descriptor 2 was when `fd` was chosen: a test (or anything else)
    // that points descriptor 2 elsewhere gets a fresh choice.
    dev_t dev = 0;
    ino_t ino = 0;
    bool known = false;
    Kind kind = Kind::Plain;
    int fd = STDERR_FILENO;  // ours when not STDERR_FILENO
    std::uint64_t dropped = 0;
    bool cut = false;  // the last text written ended inside a line
};

State& state() {
    static auto* s = new State;  // never destroyed: logging runs during exit
    return *s;
}

// The non-blocking pipe description, for the signal-safe path.
std::atomic<int> g_signalFd{-1};

// Chooses how to write descriptor 2 as it is now. Called with the lock held.
void choose(State& s) {
    struct stat st;
    if (::fstat(STDERR_FILENO, &st) != 0) {
        s.known = false;
        return;
    }
    if (s.known && st.st_dev == s.dev && st.st_ino == s.ino) return;
    if (s.fd != STDERR_FILENO) {
        g_signalFd.store(-1, std::memory_order_relaxed);
        ::close(s.fd);
        s.fd = STDERR_FILENO;
    }
    s.known = true;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.kind = Kind::Plain;
    if (S_ISSOCK(st.st_mode)) {
        s.kind = Kind::Socket;
    } else if (S_ISFIFO(st.st_mode)) {
        // O_NONBLOCK on descriptor 2 itself would change the parent's
        // description of the pipe too; a description of our own does not.
        int fd = ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            s.fd = fd;
            s.kind = Kind::Pipe;
            g_signalFd.store(fd, std::memory_order_relaxed);
        } else {
            s.kind = Kind::PolledPipe;  // without /proc: a readiness check first
        }
    }
}

// One non-blocking write; -1 with errno EAGAIN when nothing fits now.
ssize_t writeSome(const State& s, const char* data, std::size_t size) {
    switch (s.kind) {
        case Kind::Socket:
            return ::send(STDERR_FILENO, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        case Kind::Pipe:
            return ::write(s.fd, data, size);
        case Kind::PolledPipe: {
            // Room for one pipe buffer's worth when the pipe says it is
            // writable (other writers of the pipe aside).
            struct pollfd p = {STDERR_FILENO, POLLOUT, 0};
            if (::poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0) {
                errno = EAGAIN;
                return -1;
            }
            return ::write(STDERR_FILENO, data, std::min<std::size_t>(size, PIPE_BUF));
        }
        case Kind::Plain:
            break;
    }
    return ::write(STDERR_FILENO, data, size);
}

// Writes as much of data as fits; returns the bytes written.
std::size_t writeAvailable(const State& s, const char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = writeSome(s, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::uint64_t linesIn(const char* data, std::size_t size) {
    return static_cast<std::uint64_t>(std::count(data, data + size, '\n'));
}

}  // namespace

void writeStandardError(const char* data, std::size_t size) noexcept {
    if (size == 0) return;
    const int savedErrno = errno;
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    choose(s);
    if (s.dropped != 0) {
        char note[160];
        int n = std::snprintf(note, sizeof note,
                              "%sWARN - %llu lines for standard error were dropped: it was not being read\r\n",
                              s.cut ? "\r\n" : "", static_cast<unsigned long long>(s.dropped));
        const std::size_t length = static_cast<std::size_t>(std::max(n, 0));
        const std::size_t written = writeAvailable(s, note, length);
        if (written < length) {
            // Still full: this text joins the count (a cut note ends inside
            // a line like any other cut text).
            s.cut = s.cut || written != 0;
            s.dropped += std::max<std::uint64_t>(linesIn(data, size), 1);
            errno = savedErrno;
            return;
        }
        s.dropped = 0;
        s.cut = false;
    }
    const std::size_t written = writeAvailable(s, data, size);
    if (written < size) {
        s.dropped += std::max<std::uint64_t>(linesIn(data + written, size - written), 1);
        s.cut = written != 0 && data[written - 1] != '\n';
    } else {
        s.cut = data[size - 1] != '\n';
    }
    errno = savedErrno;
}

void writeStandardErrorFromSignal(const char* data, std::size_t size) noexcept {
    const int savedErrno = errno;
    int fd = g_signalFd.load(std::memory_order_relaxed);
    std::size_t done = 0;
    while (done < size) {
        ssize_t n;
        if (fd >= 0) {
            n = ::write(fd, data + done, size - done);
        } else {
            // Not known to be a pipe of our own: write only what the
            // descriptor says it takes now, a pipe buffer's worth at most.
            struct pollfd p = {STDERR_FILENO, POLLOUT, 0};
            if (::poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0) break;
            n = ::write(STDERR_FILENO, data + done, std::min<std::size_t>(size - done, PIPE_BUF));
        }
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    errno = savedErrno;
}

std::uint64_t standardErrorLinesDropped() noexcept {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.dropped;
}

}  // namespace morvex
