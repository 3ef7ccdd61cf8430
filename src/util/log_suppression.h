// Suppression of similar messages for channels that ask for it: messages are
// grouped by their format; within one interval (measured from a group's first
// message) up to `allowance` messages of a group are written and the rest only
// counted. Once the interval has passed, the group's summary is written and
// the group is forgotten, so the allowance applies per interval. Summaries are
// taken when the next message of the channel arrives, by the LogFlusher when
// they fall due, and at stop.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "util/logger.h"

namespace morvex {

class LogSuppression {
public:
    struct Summary {
        LogLevel level;
        std::string firstText;  // escaped like any message text
        std::string suffix;     // summarySuffix(): written as it is (real CR LF)
    };

    LogSuppression(unsigned intervalSeconds, unsigned allowance) noexcept
        : _intervalMs(static_cast<std::int64_t>(intervalSeconds) * 1000), _allowance(allowance) {}

    // Decides whether a message (group key: its format) is written; appends to
    // summaries the summaries of groups whose interval has passed by nowMs
    // (wall-clock ms), which the caller writes first. When the message is
    // suppressed, *dueMs is set to the time its group's summary falls due.
    // Thread-safe.
    bool admit(std::string_view format, LogLevel level, std::string_view text, std::int64_t nowMs,
               std::vector<Summary>& summaries, std::int64_t* dueMs = nullptr);

    // Appends the summaries of groups due by nowMs (every group with
    // suppressed messages when force: at stop) and forgets those groups.
    // Returns when the next summary falls due, if any is pending.
    std::optional<std::int64_t> takeDue(std::int64_t nowMs, bool force, std::vector<Summary>& summaries);

    // "\r\n\t\t\t\t", the count and " similar messages suppressed.  First
    // occurred at: " with the local time of firstMs.
    static std::string summarySuffix(std::uint64_t suppressed, std::int64_t firstMs);

private:
    struct Group {
        LogLevel level;
        std::string firstText;
        std::int64_t firstMs;
        std::uint64_t occurrences;
        std::uint64_t passed;
    };

    // takeDue with the lock held.
    std::optional<std::int64_t> takeDueLocked(std::int64_t nowMs, bool force, std::vector<Summary>& summaries);

    const std::int64_t _intervalMs;
    const unsigned _allowance;
    std::mutex _lock;
    std::unordered_map<std::string, Group> _groups;
};

}  // namespace morvex
