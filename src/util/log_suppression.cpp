#include "util/log_suppression.h"

#include <ctime>

namespace morvex {

std::string LogSuppression::summarySuffix(std::uint64_t suppressed, std::int64_t firstMs) {
    std::time_t seconds = static_cast<std::time_t>(firstMs / 1000);
    std::tm tm{};
    localtime_r(&seconds, &tm);
    char when[32];
    std::size_t n = std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
    std::string text = "\r\n\t\t\t\t";
    text += std::to_string(suppressed);
    text += " similar messages suppressed.  First occurred at: ";
    text.append(when, n);
    return text;
}

std::optional<std::int64_t> LogSuppression::takeDueLocked(std::int64_t nowMs, bool force,
                                                          std::vector<Summary>& summaries) {
    std::optional<std::int64_t> next;
    for (auto it = _groups.begin(); it != _groups.end();) {
        const Group& g = it->second;
        const std::int64_t due = g.firstMs + _intervalMs;
        if (nowMs < due && !force) {
            if (g.occurrences > g.passed && (!next || due < *next)) next = due;
            ++it;
            continue;
        }
        if (g.occurrences > g.passed) {
            summaries.push_back({g.level, g.firstText, summarySuffix(g.occurrences - g.passed, g.firstMs)});
        }
        // At stop a group with nothing suppressed stays: its interval still
        // counts for the messages that follow.
        if (force && g.occurrences == g.passed && nowMs < due) {
            ++it;
            continue;
        }
        it = _groups.erase(it);
    }
    return next;
}

std::optional<std::int64_t> LogSuppression::takeDue(std::int64_t nowMs, bool force, std::vector<Summary>& summaries) {
    std::lock_guard<std::mutex> guard(_lock);
    return takeDueLocked(nowMs, force, summaries);
}

bool LogSuppression::admit(std::string_view format, LogLevel level, std::string_view text, std::int64_t nowMs,
                           std::vector<Summary>& summaries, std::int64_t* dueMs) {
    std::lock_guard<std::mutex> guard(_lock);
    takeDueLocked(nowMs, false, summaries);
    auto [it, created] = _groups.try_emplace(std::string(format));
    Group& g = it->second;
    if (created) {
        g = Group{level, std::string(text), nowMs, 1, 1};
        return true;
    }
    ++g.occurrences;
    if (g.passed >= _allowance) {
        if (dueMs) *dueMs = g.firstMs + _intervalMs;
        return false;
    }
    ++g.passed;
    return true;
}

}  // namespace morvex
