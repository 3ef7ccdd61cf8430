#include "util/log_category.h"

#include <algorithm>

namespace morvex {

void LogCategory::removeObserver(LogObserver* observer) {
    _observers.erase(std::remove(_observers.begin(), _observers.end(), observer), _observers.end());
}

void LogCategory::copySettingsFrom(const LogCategory& other) {
    setThresholdRaw(other.threshold());
    _thresholdSet = other._thresholdSet;
    _buffered = other._buffered;
    _appenders = other._appenders;
}

}  // namespace morvex
