// The process-wide logging facility: the registry of channels, categories and
// appenders, and the origin of elapsed times.
//
// Created on first use (a channel's constructor may be the first, from any
// translation unit's static initialisation) and never destroyed, so channels
// and code running at exit can always reach it. Configuration calls are made
// at start-up, before other threads log; channels register from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "util/log_appender.h"
#include "util/log_category.h"
#include "util/logger.h"

namespace morvex {

class LogFacility {
public:
    static LogFacility& instance();

    LogFacility(const LogFacility&) = delete;
    LogFacility& operator=(const LogFacility&) = delete;

    // ---- channels (Logger's constructor and destructor)
    void registerChannel(Logger& channel);
    void unregisterChannel(Logger& channel);

    // ---- configuration (start-up)

    // Back to the unconfigured defaults: the root appender writes to standard
    // error again, named appenders are closed and forgotten, the root
    // threshold is INFO with no appenders, and every category will be copied
    // from the root again unless the next configuration names it.
    void reset();
    // reset(), and messages take the standard-error fallback again as before
    // any configuration (tests that configure logging restore this).
    void unconfigure();
    // Records the origin of %r/%R the first time only.
    void markOrigin();

    LogCategory& rootCategory() noexcept { return _root; }
    LogAppender& rootAppender() noexcept { return *_rootAppender; }
    // The category of a name, created as a copy of the root; a category left
    // from an earlier configuration is copied from the root again the first
    // time this configuration names it.
    LogCategory& namedCategory(const std::string& name);
    // The category of a name if it exists.
    LogCategory* findCategory(const std::string& name);
    // "rootAppender" or a named appender; nullptr when unknown.
    LogAppender* findAppender(const std::string& name);
    // The appender of a name, created if new.
    LogAppender& appender(const std::string& name);
    std::vector<LogAppender*> namedAppenders();

    // Binds every channel to the category of its name (categories that the
    // configuration did not name copy the root), pushes thresholds to the
    // channels, and marks logging configured.
    void bindChannels();
    // Sets a category's threshold and updates the channels bound to it.
    void setThreshold(LogCategory& category, LogLevel level);

    // Whether a configuration has been loaded (before: the stderr fallback).
    bool configured() const noexcept { return _configured.load(std::memory_order_acquire); }
    // The load context's command-line flag (see LogConfigContext).
    bool commandLine() const noexcept { return _commandLine; }
    void setCommandLine(bool commandLine) noexcept { _commandLine = commandLine; }

    // Monotonic ns since the origin (0 before it was marked).
    std::int64_t elapsedNs() const noexcept;

    // Writes every pending suppression summary, then every appender's buffer
    // (at stop, at exit, and for tests).
    void flushAll();
    // Writes the suppression summaries due now (all pending ones when force)
    // and asks the LogFlusher to wake when the next falls due. Any thread
    // without a logging lock.
    void writeDueSummaries(bool force);

private:
    LogFacility();
    void bindLocked(Logger& channel);

    std::mutex _lock;
    LogCategory _root{"rootCategory"};
    LogAppender* _rootAppender;
    std::map<std::string, std::unique_ptr<LogCategory>> _categories;
    std::map<std::string, std::unique_ptr<LogAppender>> _appenders;
    // Appenders dropped by a reset stay allocated: a thread that was still
    // writing through one must not touch freed memory.
    std::vector<std::unique_ptr<LogAppender>> _retired;
    Logger* _channels = nullptr;  // intrusive list of every live channel
    // Channels with suppression, under their own lock: writing summaries
    // logs, which may register channels (under _lock).
    std::mutex _summaryLock;
    std::vector<const Logger*> _suppressing;
    std::atomic<bool> _configured{false};
    bool _commandLine = true;
    std::atomic<std::int64_t> _originNs{0};
};

}  // namespace morvex
