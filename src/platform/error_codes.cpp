#include "platform/error_codes.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace morvex::platform {

namespace {

struct ErrorEntry {
    std::uint32_t code;
    const char* name;
    const char* text;
};

constexpr ErrorEntry kErrors[] = {
#define MORVEX_ERROR_ENTRY(name, value, text) {value, #name, text},
    MORVEX_ERROR_CODES(MORVEX_ERROR_ENTRY)
#undef MORVEX_ERROR_ENTRY
};

const ErrorEntry* findEntry(std::uint32_t code) noexcept {
    for (const auto& e : kErrors) {
        if (e.code == code) return &e;
    }
    return nullptr;
}

// Copies at most size-1 bytes and strips trailing CR/LF, as the system
// message routine's callers do.
std::size_t copyTrimmed(const char* text, char* buf, std::size_t size) noexcept {
    if (size == 0) return 0;
    std::size_t n = std::strlen(text);
    if (n >= size) n = size - 1;
    std::memcpy(buf, text, n);
    while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n')) --n;
    buf[n] = '\0';
    return n;
}

}  // namespace

const char* ErrorName(std::uint32_t code) noexcept {
    const ErrorEntry* e = findEntry(code);
    return e ? e->name : nullptr;
}

std::size_t ErrorText(std::uint32_t code, char* buf, std::size_t size) noexcept {
    if (const ErrorEntry* e = findEntry(code)) return copyTrimmed(e->text, buf, size);
    if (code < 10000) {
        char tmp[256];
        // GNU strerror_r returns a pointer that may or may not be tmp.
        const char* text = strerror_r(static_cast<int>(code), tmp, sizeof tmp);
        if (text && std::strncmp(text, "Unknown error", 13) != 0) return copyTrimmed(text, buf, size);
    }
    int n = std::snprintf(buf, size, "FormatMessage was unable to decode error (%lu), (0x%x)",
                          static_cast<unsigned long>(code), code);
    if (n < 0) return 0;
    return static_cast<std::size_t>(n) < size ? static_cast<std::size_t>(n) : size - 1;
}

std::string ErrorText(std::uint32_t code) {
    char buf[512];
    std::size_t n = ErrorText(code, buf, sizeof buf);
    return std::string(buf, n);
}

std::uint32_t WinsockErrorFromErrno(int err) noexcept {
    switch (err) {
        case 0: return 0;
        case EINTR: return WSAEINTR;
        case EBADF: return WSAEBADF;
        case EACCES:
        case EPERM: return WSAEACCES;
        case EFAULT: return WSAEFAULT;
        case EINVAL: return WSAEINVAL;
        case EMFILE:
        case ENFILE: return WSAEMFILE;
        case EAGAIN: return WSAEWOULDBLOCK;
        case EINPROGRESS: return WSAEWOULDBLOCK;  // a non-blocking connect under way
        case EALREADY: return WSAEALREADY;
        case ENOTSOCK: return WSAENOTSOCK;
        case EDESTADDRREQ: return WSAEDESTADDRREQ;
        case EMSGSIZE: return WSAEMSGSIZE;
        case EPROTOTYPE: return WSAEPROTOTYPE;
        case ENOPROTOOPT: return WSAENOPROTOOPT;
        case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
        case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
        case EOPNOTSUPP: return WSAEOPNOTSUPP;
        case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
        case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
        case EADDRINUSE: return WSAEADDRINUSE;
        case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
        case ENETDOWN: return WSAENETDOWN;
        case ENETUNREACH: return WSAENETUNREACH;
        case ENETRESET: return WSAENETRESET;
        case ECONNABORTED: return WSAECONNABORTED;
        case ECONNRESET:
        case EPIPE: return WSAECONNRESET;
        case ENOBUFS:
        case ENOMEM: return WSAENOBUFS;
        case EISCONN: return WSAEISCONN;
        case ENOTCONN: return WSAENOTCONN;
        case ESHUTDOWN: return WSAESHUTDOWN;
        case ETOOMANYREFS: return WSAETOOMANYREFS;
        case ETIMEDOUT: return WSAETIMEDOUT;
        case ECONNREFUSED: return WSAECONNREFUSED;
        case ELOOP: return WSAELOOP;
        case ENAMETOOLONG: return WSAENAMETOOLONG;
        case EHOSTDOWN: return WSAEHOSTDOWN;
        case EHOSTUNREACH: return WSAEHOSTUNREACH;
        case ENOTEMPTY: return WSAENOTEMPTY;
        case EDQUOT: return WSAEDQUOT;
        case ESTALE: return WSAESTALE;
        default: return static_cast<std::uint32_t>(err);
    }
}

}  // namespace morvex::platform
