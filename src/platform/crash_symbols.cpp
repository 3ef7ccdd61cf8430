#include "platform/crash_symbols.h"

#include <dlfcn.h>
#include <elf.h>
#include <execinfo.h>
#include <link.h>
#include <string.h>

#include <cerrno>
#include <cstring>

namespace morvex::platform {

namespace {

const char* baseName(const char* path) noexcept {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// The dynamic section's pointers are relocated in place by the loader for
// most modules, but not for all (the vDSO): accept both.
template <typename T>
const T* dynPointer(ElfW(Addr) value, ElfW(Addr) base) noexcept {
    return reinterpret_cast<const T*>(value < base ? value + base : value);
}

// Number of entries in the dynamic symbol table, from DT_HASH or DT_GNU_HASH.
std::size_t symbolCount(const std::uint32_t* sysvHash, const std::uint32_t* gnuHash) noexcept {
    if (sysvHash) return sysvHash[1];
    if (!gnuHash) return 0;
    const std::uint32_t nbuckets = gnuHash[0];
    const std::uint32_t symoffset = gnuHash[1];
    const std::uint32_t bloomSize = gnuHash[2];
    const auto* bloom = reinterpret_cast<const ElfW(Addr)*>(gnuHash + 4);
    const auto* buckets = reinterpret_cast<const std::uint32_t*>(bloom + bloomSize);
    const std::uint32_t* chain = buckets + nbuckets;
    std::uint32_t last = 0;
    for (std::uint32_t i = 0; i < nbuckets; ++i)
        if (buckets[i] > last) last = buckets[i];
    if (last < symoffset) return symoffset;
    while ((chain[last - symoffset] & 1) == 0) ++last;  // the chain's end bit marks its last symbol
    return last + 1;
}

struct Writer {
    char* out;
    std::size_t size;
    std::size_t len = 0;
    void put(const char* s, std::size_t n) noexcept {
        for (std::size_t i = 0; i < n && len + 1 < size; ++i) out[len++] = s[i];
        out[len] = '\0';
    }
    void put(const char* s) noexcept { put(s, std::strlen(s)); }
};

// <source-name> ::= <length> <identifier>
bool sourceName(const char*& s, Writer& w, const char** last, std::size_t* lastLen) noexcept {
    if (*s < '0' || *s > '9') return false;
    std::size_t n = 0;
    while (*s >= '0' && *s <= '9') {
        n = n * 10 + static_cast<std::size_t>(*s++ - '0');
        if (n > 4096) return false;
    }
    if (::strnlen(s, n) < n) return false;
    if (n == 12 && std::strncmp(s, "_GLOBAL__N_1", 12) == 0)
        w.put("(anonymous namespace)");
    else
        w.put(s, n);
    *last = s;
    *lastLen = n;
    s += n;
    return true;
}

// A plain, std:: or nested name; constructors and destructors repeat the
// enclosing class name.
bool parseName(const char*& s, Writer& w) noexcept {
    const char* last = nullptr;
    std::size_t lastLen = 0;
    if (*s == 'L') ++s;  // internal linkage
    if (s[0] == 'S' && s[1] == 't') {
        s += 2;
        w.put("std::");
        return sourceName(s, w, &last, &lastLen);
    }
    if (*s != 'N') return sourceName(s, w, &last, &lastLen);
    ++s;
    while (*s == 'r' || *s == 'V' || *s == 'K' || *s == 'R' || *s == 'O') ++s;
    bool first = true;
    while (*s != 'E') {
        if (!first) w.put("::");
        if (first && s[0] == 'S' && s[1] == 't') {
            s += 2;
            w.put("std");
        } else if (s[0] == 'C' && s[1] >= '1' && s[1] <= '3' && last) {
            s += 2;
            w.put(last, lastLen);
        } else if (s[0] == 'D' && s[1] >= '0' && s[1] <= '2' && last) {
            s += 2;
            w.put("~");
            w.put(last, lastLen);
        } else if (!sourceName(s, w, &last, &lastLen)) {
            return false;
        }
        first = false;
    }
    ++s;
    return !first;
}

}  // namespace

void crashSymbolsWarmUp() noexcept {
    void* frames[4];
    backtrace(frames, 4);
}

std::size_t crashBacktrace(void** frames, std::size_t max) noexcept {
    int n = backtrace(frames, static_cast<int>(max));
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool crashLookupSymbol(const void* address, CrashSymbol& out) noexcept {
    out = CrashSymbol{};
    dl_find_object found{};
    if (_dl_find_object(const_cast<void*>(address), &found) != 0 || !found.dlfo_link_map) return false;
    const link_map* lm = found.dlfo_link_map;
    const ElfW(Addr) base = lm->l_addr;
    const auto addr = reinterpret_cast<ElfW(Addr)>(address);
    out.module = (lm->l_name && *lm->l_name) ? baseName(lm->l_name) : program_invocation_short_name;
    out.moduleOffset = addr - base;

    const ElfW(Sym)* symtab = nullptr;
    const char* strtab = nullptr;
    const std::uint32_t* sysvHash = nullptr;
    const std::uint32_t* gnuHash = nullptr;
    for (const ElfW(Dyn)* d = lm->l_ld; d && d->d_tag != DT_NULL; ++d) {
        switch (d->d_tag) {
            case DT_SYMTAB:
                symtab = dynPointer<ElfW(Sym)>(d->d_un.d_ptr, base);
                break;
            case DT_STRTAB:
                strtab = dynPointer<char>(d->d_un.d_ptr, base);
                break;
            case DT_HASH:
                sysvHash = dynPointer<std::uint32_t>(d->d_un.d_ptr, base);
                break;
            case DT_GNU_HASH:
                gnuHash = dynPointer<std::uint32_t>(d->d_un.d_ptr, base);
                break;
            default:
                break;
        }
    }
    if (!symtab || !strtab) return true;
    const std::size_t count = symbolCount(sysvHash, gnuHash);
    for (std::size_t i = 0; i < count; ++i) {
        const ElfW(Sym)& sym = symtab[i];
        const int type = ELF64_ST_TYPE(sym.st_info);
        if ((type != STT_FUNC && type != STT_GNU_IFUNC) || sym.st_shndx == SHN_UNDEF || sym.st_value == 0) continue;
        const ElfW(Addr) start = base + sym.st_value;
        if (addr >= start && addr < start + (sym.st_size ? sym.st_size : 1)) {
            out.name = strtab + sym.st_name;
            out.symbolOffset = addr - start;
            break;
        }
    }
    return true;
}

std::size_t crashDemangle(const char* mangled, char* out, std::size_t size) noexcept {
    if (!out || size == 0) return 0;
    Writer w{out, size};
    out[0] = '\0';
    if (!mangled) return 0;
    const char* s = mangled;
    const bool function = s[0] == '_' && s[1] == 'Z';
    if (function) s += 2;
    // A type name must be consumed whole; a function's parameters are left out.
    if (parseName(s, w) && (function || *s == '\0')) return w.len;
    w.len = 0;
    w.put(mangled);
    return w.len;
}

}  // namespace morvex::platform
