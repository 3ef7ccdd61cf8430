// Helper for the crash reporter tests: sets crash reporting up the way the
// program does, then faults on purpose in the way argv[1] names. The
// functions that fault are exported so that backtraces name them.
//
//   morvex_crash_child <mode> <report directory>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "util/base_exception.h"
#include "util/crash_log_notation.h"
#include "util/crash_reporter.h"
#include "util/log_config.h"
#include "util/logger.h"
#include "util/thread.h"

extern "C" {
// Sanitizers would report the store themselves; the fault is the point.
__attribute__((noinline, no_sanitize("undefined", "address"))) void crashChildWriteNull() {
    volatile int* volatile target = nullptr;  // volatile: the store must stay a plain store
    *target = 1;
}

volatile int crashChildRecursionLimit = 1 << 30;  // far beyond any stack

__attribute__((noinline)) int crashChildRecurse(int depth) {
    if (depth == crashChildRecursionLimit) return 0;
    volatile char frame[256];
    frame[0] = static_cast<char>(depth);
    return crashChildRecurse(depth + 1) + frame[0];  // not a tail call
}
}

namespace {

class ChildNotation : public morvex::ScopedPerThreadCrashLogNotation {
public:
    void describe(morvex::CrashLogOutput& out) const noexcept override {
        out.write("ChildNotation: ");
        out.flag("working", true);
        out.write("\r\n");
    }
};

class WorkerNotation : public morvex::ScopedPerThreadCrashLogNotation {
public:
    explicit WorkerNotation(int index) : _index(index) {}
    void describe(morvex::CrashLogOutput& out) const noexcept override {
        out.printf("WorkerNotation: index=%d\r\n", _index);
    }

private:
    int _index;
};

// Its printing faults: a report must not start again.
void faultingNotePrint(const char*, morvex::CrashReportWriter&) {
    crashChildWriteNull();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::string mode = argv[1];
    morvex::EmptyMainThread mainThread;
    morvex::installCrashReporting(argv[2]);
    morvex::CrashReporter::addNote("crash child note");

    if (mode == "null-write") {
        ChildNotation notation;
        crashChildWriteNull();
    } else if (mode == "abort") {
        std::abort();
    } else if (mode == "recursion") {
        return crashChildRecurse(0);
    } else if (mode == "throw") {
        throw morvex::BaseException("boom");
    } else if (mode == "thread") {
        morvex::ThreadFunction worker(
            [] {
                ChildNotation notation;
                crashChildWriteNull();
            },
            "Crash Worker");
        worker.start();
        worker.join();
    } else if (mode == "thread-recursion") {
        morvex::ThreadFunction worker([] { crashChildRecurse(0); }, "DeepWorker");
        worker.start();
        worker.join();
    } else if (mode == "overflow") {
        const std::string line(1000, 'x');
        for (int i = 0; i < 600; ++i) morvex::CrashReporter::addNote(line.c_str());
        crashChildWriteNull();
    } else if (mode == "log-then-crash") {
        // Logging into <dir>/logs/child.log: one unbuffered and one buffered
        // category, each with a line still pending when the fault comes.
        const std::string logs = std::string(argv[2]) + "/logs";
        morvex::LogConfigContext context;
        context.path = logs + "/log.cfg";
        std::FILE* cfg = std::fopen(context.path.c_str(), "w");
        if (!cfg) return 4;
        std::fprintf(cfg,
                     "rootCategory=INFO, A1\ncategory.ChildBuffered=INFO, buffered, A1\n"
                     "appender.A1.fileName=%s/child.log\nappender.A1.layout.ConversionPattern=%%c %%m%%n\n",
                     logs.c_str());
        std::fclose(cfg);
        morvex::loadLogConfig(context);
        static morvex::Logger plain("Child");
        static morvex::Logger buffered("ChildBuffered");
        plain.info("last words before the crash");
        buffered.info("buffered last words");
        crashChildWriteNull();
    } else if (mode == "all-threads") {
        // Two workers hold notations and wait; the main thread faults.
        std::atomic<int> ready{0};
        auto work = [&ready](int index) {
            WorkerNotation notation(index);
            ready.fetch_add(1);
            for (;;) pause();
        };
        morvex::ThreadFunction first([&] { work(1); }, "Worker One");
        morvex::ThreadFunction second([&] { work(2); }, "Worker Two");
        first.start();
        second.start();
        while (ready.load() < 2) usleep(1000);
        ChildNotation notation;
        crashChildWriteNull();
    } else if (mode == "nested") {
        morvex::CrashReporter::addNote("faults", faultingNotePrint);
        crashChildWriteNull();
    }
    return 3;
}
