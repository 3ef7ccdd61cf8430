#include "tls/ssl_session_cache.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "tls/ssl_library.h"
#include "util/logger.h"

namespace morvex {

namespace {

Logger s_log("SslSession");

constexpr std::size_t kLengthField = 5;

// Under SslLibrary::lock(). Never destroyed: the sessions outlive statics.
std::map<std::string, SSL_SESSION*>& table() {
    static auto* t = new std::map<std::string, SSL_SESSION*>;
    return *t;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

std::string SslClientSessionCache::filePath(const std::string& directory, const std::string& target) {
    std::string name = target;
    for (char& c : name) {
        if (c == ':') c = '-';
    }
    if (directory.empty() || directory.back() == '/') return directory + name;
    return directory + "/" + name;
}

SSL_SESSION* SslClientSessionCache::readFile(const std::string& path) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        s_log.debug("Can't open session file %s", path.c_str());
        return nullptr;
    }
    char field[kLengthField + 1] = {};
    SSL_SESSION* session = nullptr;
    if (std::fread(field, 1, kLengthField, file.get()) == kLengthField) {
        char* end = nullptr;
        const unsigned long length = std::strtoul(field, &end, 10);
        if (end != field && length > 0 && length < 100000) {
            std::vector<unsigned char> der(length);
            if (std::fread(der.data(), 1, length, file.get()) == length) {
                const unsigned char* p = der.data();
                session = d2i_SSL_SESSION(nullptr, &p, static_cast<long>(length));
            }
        }
    }
    if (session == nullptr) s_log.debug("Can't read session file %s", path.c_str());
    return session;
}

bool SslClientSessionCache::writeFile(const std::string& path, SSL_SESSION* session) {
    const int length = i2d_SSL_SESSION(session, nullptr);
    std::vector<unsigned char> der(length > 0 ? static_cast<std::size_t>(length) : 0);
    unsigned char* p = der.data();
    const int written = length > 0 ? i2d_SSL_SESSION(session, &p) : 0;
    const std::string digits = std::to_string(length);
    if (length <= 0 || written != length || digits.size() > kLengthField) {
        s_log.debug("Not writing session on-disk, i2d_SSL_SESSION return different lengths %d %d", length, written);
        return false;
    }
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        s_log.debug("Error writing session %p to file %s", static_cast<void*>(session), path.c_str());
        return false;
    }
    char field[kLengthField] = {};
    std::memcpy(field, digits.data(), digits.size());
    return std::fwrite(field, 1, kLengthField, file.get()) == kLengthField &&
           std::fwrite(der.data(), 1, der.size(), file.get()) == der.size();
}

SSL_SESSION* SslClientSessionCache::find(const std::string& target) {
    if (!SslLibrary::clientSessionCacheEnabled() || target.empty()) return nullptr;
    const SslLibrary::ClientSessionCacheSettings settings = SslLibrary::clientSessionCache();
    if (!settings.enabled || target.empty()) return nullptr;
    std::lock_guard<std::mutex> guard(SslLibrary::lock());
    auto it = table().find(target);
    if (it == table().end()) {
        if (settings.directory.empty()) return nullptr;
        SSL_SESSION* session = readFile(filePath(settings.directory, target));
        if (session == nullptr) return nullptr;
        it = table().emplace(target, session).first;
    }
    SSL_SESSION_up_ref(it->second);
    return it->second;
}

void SslClientSessionCache::store(const std::string& target, SSL_SESSION* session) {
    const SslLibrary::ClientSessionCacheSettings settings = SslLibrary::clientSessionCache();
    std::lock_guard<std::mutex> guard(SslLibrary::lock());
    SSL_SESSION*& slot = table()[target];
    if (slot != nullptr) SSL_SESSION_free(slot);
    slot = session;
    if (settings.writeFiles && !settings.directory.empty()) writeFile(filePath(settings.directory, target), session);
}

void SslClientSessionCache::clearMemory() {
    std::lock_guard<std::mutex> guard(SslLibrary::lock());
    for (auto& [target, session] : table()) SSL_SESSION_free(session);
    table().clear();
}

}  // namespace morvex
