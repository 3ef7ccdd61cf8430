#include "util/log_suppression.h"

#include <ctime>

namespace morvex {

std::string LogSuppression::summaryText(std::string_view firstText, std::uint64_t suppressed, std::int64_t firstMs) {
    std::time_t seconds = static_cast<std::time_t>(firstMs / 1000);
    std::tm tm{};
    localtime_r(&seconds, &tm);
    char when[32];
    std::size_t n = std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
    std::string text(firstText);
    text += "\r\n\t\t\t\t";
    text += std::to_string(suppressed);
    text += " similar messages suppressed.  First occurred at: ";
    text.append(when, n);
    return text;
}

bool LogSuppression::admit(std::string_view format, LogLevel level, std::string_view text, std::int64_t nowMs,
                           std::vector<Summary>& summaries) {
    std::lock_guard<std::mutex> guard(_lock);
    for (auto it = _groups.begin(); it != _groups.end();) {
        const Group& g = it->second;
        if (nowMs - g.firstMs < _intervalMs) {
            ++it;
            continue;
        }
        if (g.occurrences > g.passed) {
            summaries.push_back({g.level, summaryText(g.firstText, g.occurrences - g.passed, g.firstMs)});
        }
        it = _groups.erase(it);
    }
    auto [it, created] = _groups.try_emplace(std::string(format));
    Group& g = it->second;
    if (created) {
        g = Group{level, std::string(text), nowMs, 1, 1};
        return true;
    }
    ++g.occurrences;
    if (g.passed >= _allowance) return false;
    ++g.passed;
    return true;
}

}  // namespace morvex
