#include "util/settings_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "platform/error_codes.h"

namespace morvex {

namespace {

const char* kindOf(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "of an unknown kind";
}

class Fd {
public:
    explicit Fd(int fd) : _fd(fd) {}
    ~Fd() {
        if (_fd >= 0) ::close(_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return _fd; }

private:
    int _fd;
};

}  // namespace

std::string SettingsFileText::reason() const {
    switch (status) {
        case Status::Ok:
            return {};
        case Status::OpenFailed:
        case Status::ReadFailed:
            return platform::ErrorText(static_cast<std::uint32_t>(error));
        case Status::NotRegular:
            return "not a regular file (" + detail + ")";
        case Status::TooLarge:
            return "larger than " + detail + " bytes";
    }
    return {};
}

SettingsFileText readSettingsFile(const std::string& path, std::size_t maxBytes) {
    SettingsFileText out;
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
    // writer; O_NOCTTY: a terminal named here must not become ours.
    Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) {
        out.status = SettingsFileText::Status::OpenFailed;
        out.error = errno;
        return out;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        out.status = SettingsFileText::Status::ReadFailed;
        out.error = errno;
        return out;
    }
    if (!S_ISREG(st.st_mode)) {
        out.status = SettingsFileText::Status::NotRegular;
        out.detail = kindOf(st.st_mode);
        return out;
    }
    if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
        out.status = SettingsFileText::Status::TooLarge;
        out.detail = std::to_string(maxBytes);
        return out;
    }
    // The file may grow while it is read: one byte beyond the bound is
    // enough to tell.
    out.text.resize(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t have = 0;
    for (;;) {
        if (have == out.text.size()) {
            if (have > maxBytes) break;
            out.text.resize(std::min(maxBytes + 1, have * 2 + 4096));
        }
        ssize_t n = ::read(fd.get(), out.text.data() + have, out.text.size() - have);
        if (n < 0) {
            if (errno == EINTR) continue;
            out.status = SettingsFileText::Status::ReadFailed;
            out.error = errno;
            out.text.clear();
            return out;
        }
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
    }
    if (have > maxBytes) {
        out.status = SettingsFileText::Status::TooLarge;
        out.detail = std::to_string(maxBytes);
        out.text.clear();
        return out;
    }
    out.text.resize(have);
    out.status = SettingsFileText::Status::Ok;
    return out;
}

}  // namespace morvex
