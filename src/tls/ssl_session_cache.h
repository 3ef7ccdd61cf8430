// The client session cache: library sessions by target ("host:port"), in
// memory and in one file per target under the configured directory. A file
// holds a 5-byte length field (the DER length in decimal ASCII, padded with
// zero bytes) followed by the session's DER encoding.
//
// Settings come from SslLibrary::clientSessionCache(); everything here runs
// under the process-wide TLS lock.
#pragma once

#include <openssl/ssl.h>

#include <string>

namespace morvex {

class SslClientSessionCache {
public:
    // The cached session for the target (memory first, else its file), with
    // a reference for the caller, or null. Only when the cache is on.
    static SSL_SESSION* find(const std::string& target);

    // Replaces the target's cached session (takes the caller's reference)
    // and writes it to disk when file writing is on.
    static void store(const std::string& target, SSL_SESSION* session);

    // The target's file: the directory joined with the target, ':' -> '-'.
    static std::string filePath(const std::string& directory, const std::string& target);

    // File form. readFile returns a new session or null (logging "Can't open
    // session file %s" / "Can't read session file %s" at debug); writeFile
    // returns false when nothing was written.
    static SSL_SESSION* readFile(const std::string& path);
    static bool writeFile(const std::string& path, SSL_SESSION* session);

    // Drops every in-memory entry (tests, and nothing else).
    static void clearMemory();
};

}  // namespace morvex
