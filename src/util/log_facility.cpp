#include "util/log_facility.h"

#include <chrono>
#include <cstdlib>
#include <optional>

#include "util/log_flusher.h"

namespace morvex {

namespace {

std::int64_t monotonicNs() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

LogFacility& LogFacility::instance() {
    // Never destroyed: static channels of other translation units unregister
    // during exit, after any ordinary static here would be gone.
    static LogFacility* s_facility = new LogFacility();
    return *s_facility;
}

LogFacility::LogFacility() : _rootAppender(new LogAppender("rootAppender")) {
    _retired.emplace_back(_rootAppender);  // owner; the pointer is the live root
    // Buffered categories must not lose their tail when the process exits.
    std::atexit([] { LogFacility::instance().flushAll(); });
}

void LogFacility::registerChannel(Logger& channel) {
    if (channel._suppression) {
        // Not under _lock: summaries are written under this lock, and writing
        // may register a channel.
        std::lock_guard<std::mutex> summaries(_summaryLock);
        _suppressing.push_back(&channel);
    }
    std::lock_guard<std::mutex> guard(_lock);
    channel._nextChannel = _channels;
    if (_channels) _channels->_prevChannel = &channel;
    _channels = &channel;
    channel._category.store(&_root, std::memory_order_release);
    channel._threshold.store(static_cast<int>(_root.threshold()), std::memory_order_relaxed);
    if (_configured.load(std::memory_order_relaxed)) bindLocked(channel);
}

void LogFacility::unregisterChannel(Logger& channel) {
    if (channel._suppression) {
        std::lock_guard<std::mutex> summaries(_summaryLock);
        std::erase(_suppressing, &channel);
    }
    std::lock_guard<std::mutex> guard(_lock);
    if (channel._prevChannel) {
        channel._prevChannel->_nextChannel = channel._nextChannel;
    } else if (_channels == &channel) {
        _channels = channel._nextChannel;
    }
    if (channel._nextChannel) channel._nextChannel->_prevChannel = channel._prevChannel;
    channel._prevChannel = channel._nextChannel = nullptr;
}

void LogFacility::bindLocked(Logger& channel) {
    auto it = _categories.find(channel._name);
    if (it == _categories.end()) {
        it = _categories.emplace(channel._name, std::make_unique<LogCategory>(channel._name)).first;
        it->second->copySettingsFrom(_root);
    }
    channel._category.store(it->second.get(), std::memory_order_release);
    channel._threshold.store(static_cast<int>(it->second->threshold()), std::memory_order_relaxed);
    channel._bound = true;
}

void LogFacility::reset() {
    std::lock_guard<std::mutex> guard(_lock);
    // A fresh root appender: back to standard error with default properties.
    _rootAppender->flush();
    _rootAppender->setDisabled(true);
    _rootAppender = new LogAppender("rootAppender");
    _retired.emplace_back(_rootAppender);
    for (auto& [name, appender] : _appenders) {
        appender->close();
        appender->setDisabled(true);
        _retired.push_back(std::move(appender));
    }
    _appenders.clear();
    _root.setThresholdRaw(LogLevel::Info);
    _root.setThresholdSet(false);
    _root.setBuffered(false);
    _root.appenders().clear();
    for (auto& [name, category] : _categories) {
        category->setNamed(false);
        category->copySettingsFrom(_root);
    }
}

void LogFacility::unconfigure() {
    reset();
    std::lock_guard<std::mutex> guard(_lock);
    _configured.store(false, std::memory_order_release);
    _commandLine = true;
    for (Logger* channel = _channels; channel; channel = channel->_nextChannel) {
        LogCategory* category = channel->_category.load(std::memory_order_relaxed);
        channel->_threshold.store(static_cast<int>(category->threshold()), std::memory_order_relaxed);
    }
}

void LogFacility::markOrigin() {
    std::int64_t expected = 0;
    _originNs.compare_exchange_strong(expected, monotonicNs());
}

std::int64_t LogFacility::elapsedNs() const noexcept {
    std::int64_t origin = _originNs.load(std::memory_order_relaxed);
    return origin == 0 ? 0 : monotonicNs() - origin;
}

LogCategory& LogFacility::namedCategory(const std::string& name) {
    std::lock_guard<std::mutex> guard(_lock);
    auto it = _categories.find(name);
    if (it == _categories.end()) it = _categories.emplace(name, std::make_unique<LogCategory>(name)).first;
    LogCategory& category = *it->second;
    if (!category.named()) {
        category.copySettingsFrom(_root);
        category.setNamed(true);
    }
    return category;
}

LogCategory* LogFacility::findCategory(const std::string& name) {
    std::lock_guard<std::mutex> guard(_lock);
    auto it = _categories.find(name);
    return it == _categories.end() ? nullptr : it->second.get();
}

LogAppender* LogFacility::findAppender(const std::string& name) {
    std::lock_guard<std::mutex> guard(_lock);
    if (name == "rootAppender") return _rootAppender;
    auto it = _appenders.find(name);
    return it == _appenders.end() ? nullptr : it->second.get();
}

LogAppender& LogFacility::appender(const std::string& name) {
    std::lock_guard<std::mutex> guard(_lock);
    if (name == "rootAppender") return *_rootAppender;
    auto& slot = _appenders[name];
    if (!slot) slot = std::make_unique<LogAppender>(name);
    return *slot;
}

std::vector<LogAppender*> LogFacility::namedAppenders() {
    std::lock_guard<std::mutex> guard(_lock);
    std::vector<LogAppender*> out;
    for (auto& [name, appender] : _appenders) out.push_back(appender.get());
    return out;
}

void LogFacility::bindChannels() {
    std::lock_guard<std::mutex> guard(_lock);
    for (auto& [name, category] : _categories) {
        if (!category->named()) category->copySettingsFrom(_root);
    }
    for (Logger* channel = _channels; channel; channel = channel->_nextChannel) bindLocked(*channel);
    _configured.store(true, std::memory_order_release);
}

void LogFacility::setThreshold(LogCategory& category, LogLevel level) {
    std::lock_guard<std::mutex> guard(_lock);
    category.setThresholdRaw(level);
    for (Logger* channel = _channels; channel; channel = channel->_nextChannel) {
        if (channel->_category.load(std::memory_order_relaxed) == &category) {
            channel->_threshold.store(static_cast<int>(level), std::memory_order_relaxed);
        }
    }
}

void LogFacility::writeDueSummaries(bool force) {
    using namespace std::chrono;
    const std::int64_t now = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    std::optional<std::int64_t> next;
    {
        std::lock_guard<std::mutex> guard(_summaryLock);
        for (const Logger* channel : _suppressing) {
            std::optional<std::int64_t> due = channel->writeSummaries(now, force);
            if (due && (!next || *due < *next)) next = due;
        }
    }
    if (next) LogFlusher::instance().armSummariesAt(LogFlusher::Clock::now() + milliseconds(*next - now));
}

void LogFacility::flushAll() {
    writeDueSummaries(true);
    std::vector<LogAppender*> appenders;
    {
        std::lock_guard<std::mutex> guard(_lock);
        appenders.push_back(_rootAppender);
        for (auto& [name, appender] : _appenders) appenders.push_back(appender.get());
    }
    for (LogAppender* appender : appenders) appender->flush();
}

}  // namespace morvex
