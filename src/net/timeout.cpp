#include "net/timeout.h"

#include <algorithm>

#include "platform/tick_count.h"

namespace morvex {

namespace {
// A late periodic firing may still be this far ahead of its target before it
// counts as a clock that went back.
constexpr std::uint64_t kPeriodicSlackBack = 850;
constexpr std::uint64_t kFirstFiringSlack = 170;
}  // namespace

void Timeout::crashLogDescribe(CrashLogOutput& out) const noexcept {
    out.printf("Timeout Attribute Info:\r\n         _when = %llu, _initialInterval = %llu",
               static_cast<unsigned long long>(_when), static_cast<unsigned long long>(_initialInterval));
}

void Timeout::ScopedCrashlogPrint::describe(CrashLogOutput& out) const noexcept {
    out.hexDump("Timeout object", _t, 512);
    out.write("\r\n");
    _t->crashLogDescribe(out);
    out.write("\r\n");
}

void OneShotTimeout::fire(std::uint64_t& nextInterval) {
    nextInterval = 0;
    callback();
}

void PeriodicTimeout::fire(std::uint64_t& nextInterval) {
    if (_target == 0) {
        _period = nextInterval;
        _target = platform::GetTickCount64();
        callback();
        const std::uint64_t now = platform::GetTickCount64();
        _target = tickAdd(_target, _period);
        if (now < _target) {
            std::uint64_t d = _target - now;
            if (d > tickAdd(_period, kFirstFiringSlack)) d = _period;
            nextInterval = d;
            _smoothed = d;
        } else {
            // The callback took a whole period or more.
            nextInterval = std::max<std::uint64_t>(_period / 2, 1);
            _target -= nextInterval;
            _smoothed = 1;
        }
        return;
    }

    callback();
    const std::uint64_t now = platform::GetTickCount64();
    _target = tickAdd(_target, _period);
    if (now < _target) {
        const std::uint64_t d = _target - now;
        if (d <= tickAdd(_period, kPeriodicSlackBack)) {
            nextInterval = d;
            _smoothed = (7 * _smoothed + d) / 8;
        } else {
            // The clock went back: resume from now.
            nextInterval = _smoothed;
            _target = tickAdd(now, _smoothed);
        }
    } else if (now < tickAdd(_target, _period)) {
        // Late by less than a period: fire sooner to catch up.
        std::uint64_t next = _period / 2;
        if (next > 3 * _smoothed / 4) next = _smoothed / 2;
        nextInterval = std::max<std::uint64_t>(next, 1);
    } else {
        // Late by a period or more: drop the missed firings.
        _target = tickAdd(now, _period);
        nextInterval = std::max<std::uint64_t>(_smoothed, 1);
        _smoothed = std::max<std::uint64_t>(_smoothed / 2, 1);
    }
}

}  // namespace morvex
