// Categories: the settings that a channel name maps to (threshold, buffered
// flag, appenders, observers). One per channel name, no hierarchy; the root
// category holds the defaults that new categories copy.
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "util/log_layout.h"
#include "util/logger.h"

namespace morvex {

class LogAppender;

// Sees each message of a category, rendered by the category's first appender,
// before it is written. Called under that appender's lock: must not log.
class LogObserver {
public:
    virtual ~LogObserver() = default;
    virtual void observe(const LogEvent& event, std::string_view rendered) = 0;
};

class LogCategory {
public:
    explicit LogCategory(std::string name) : _name(std::move(name)) {}

    const std::string& name() const noexcept { return _name; }

    LogLevel threshold() const noexcept { return static_cast<LogLevel>(_threshold.load(std::memory_order_relaxed)); }
    // Only the facility changes thresholds, since channels cache them.
    void setThresholdRaw(LogLevel level) noexcept {
        _threshold.store(static_cast<int>(level), std::memory_order_relaxed);
    }
    bool thresholdSet() const noexcept { return _thresholdSet; }
    void setThresholdSet(bool set) noexcept { _thresholdSet = set; }
    bool buffered() const noexcept { return _buffered; }
    void setBuffered(bool buffered) noexcept { _buffered = buffered; }

    // Appenders, first to last; empty means the root appender.
    const std::vector<LogAppender*>& appenders() const noexcept { return _appenders; }
    std::vector<LogAppender*>& appenders() noexcept { return _appenders; }

    const std::vector<LogObserver*>& observers() const noexcept { return _observers; }
    void addObserver(LogObserver* observer) { _observers.push_back(observer); }
    void removeObserver(LogObserver* observer);

    // Copies threshold, flags and appender list (not the name or observers).
    void copySettingsFrom(const LogCategory& other);

    // Set while the current configuration has named this category.
    bool named() const noexcept { return _named; }
    void setNamed(bool named) noexcept { _named = named; }

private:
    const std::string _name;
    std::atomic<int> _threshold{static_cast<int>(LogLevel::Info)};
    bool _thresholdSet = false;
    bool _buffered = false;
    bool _named = false;
    std::vector<LogAppender*> _appenders;
    std::vector<LogObserver*> _observers;
};

}  // namespace morvex
