// Reading a settings file whole without trusting what the path names: only
// a regular file is read, never more than a bound, and the open never waits
// for a FIFO's writer. Every reader of the program's settings (the .conf
// files, the logging configuration, the CRL files) goes through here, so a
// FIFO, a device or a directory in their place fails with a reason instead
// of hanging the start or filling memory.
#pragma once

#include <cstddef>
#include <string>

namespace morvex {

// Bounds: far above any real file of the kind, far below what would hurt.
constexpr std::size_t kMaxSettingsFileBytes = 4u << 20;  // .conf files, logging configuration
constexpr std::size_t kMaxCrlFileBytes = 64u << 20;      // one CRL (large CAs publish tens of MB)

struct SettingsFileText {
    enum class Status {
        Ok,
        OpenFailed,  // open(2) failed; error holds errno (ENOENT: no such file)
        NotRegular,  // a FIFO, device, socket or directory
        TooLarge,    // more than the bound
        ReadFailed,  // read(2) or fstat(2) failed; error holds errno
    };

    Status status = Status::OpenFailed;
    int error = 0;
    std::string text;  // the content when Ok
    // What the path is when NotRegular ("a FIFO", "a directory", ...), the
    // bound when TooLarge.
    std::string detail;

    bool ok() const noexcept { return status == Status::Ok; }
    // The reason in words: the system's text for error, "not a regular
    // file (a FIFO)", or "larger than 4194304 bytes".
    std::string reason() const;
};

// Opens path without blocking (O_NONBLOCK), checks with fstat that it is a
// regular file of at most maxBytes, and reads it whole. Any thread; sets
// errno to the error of a failed open or read.
SettingsFileText readSettingsFile(const std::string& path, std::size_t maxBytes);

}  // namespace morvex
