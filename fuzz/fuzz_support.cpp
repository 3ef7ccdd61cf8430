#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "util/log_config.h"

namespace morvex::fuzz {

void checkFailed(const char* what, const char* file, int line) {
    std::fprintf(stderr, "fuzz invariant failed: %s at %s:%d\n", what, file, line);
    std::fflush(stderr);
    std::abort();
}

const std::string& scratchDir() {
    // Never destroyed: the exit handler that removes it runs after static
    // destructors would have.
    static const std::string* const dir = [] {
        std::filesystem::path p =
            std::filesystem::temp_directory_path() / ("morvex-fuzz-" + std::to_string(::getpid()));
        std::filesystem::create_directories(p);
        auto* path = new std::string(p.string());
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(scratchDir(), ec);
        });
        return path;
    }();
    return *dir;
}

void quietLogging() {
    static const bool done = [] {
        const std::string path = scratchDir() + "/quiet.cfg";
        std::ofstream(path) << "rootCategory=DEBUG, Q\nappender.Q.fileName=/dev/null\n";
        LogConfigContext context;
        context.path = path;
        context.commandLine = false;
        loadLogConfig(context);
        return true;
    }();
    (void)done;
}

std::uint64_t hashBytes(std::string_view data) noexcept {
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : data) h = (h ^ c) * 1099511628211ull;
    return h;
}

std::vector<std::size_t> cutPoints(std::string_view data, std::uint64_t seed) {
    std::vector<std::size_t> cuts;
    if (data.size() < 2) return cuts;
    std::uint64_t state = hashBytes(data) ^ seed;
    std::size_t at = 0;
    for (;;) {
        // xorshift: cheap and good enough to spread pieces of 1 to ~64 bytes.
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        std::size_t step = 1 + (state % ((state >> 40) % 2 == 0 ? 3 : 64));
        at += step;
        if (at >= data.size()) break;
        cuts.push_back(at);
    }
    return cuts;
}

}  // namespace morvex::fuzz
