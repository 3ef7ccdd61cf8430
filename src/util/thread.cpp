#include "util/thread.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "platform/error_codes.h"
#include "platform/last_error.h"
#include "util/log_facility.h"
#include "util/thread_scoped_ssl.h"

namespace morvex {

namespace {

// Never destroyed: threads may log while the process exits.
const Logger& threadLog() {
    static const Logger* log = new Logger("Thread");
    return *log;
}

const char kMainThreadName[] = "MainThread";
const char kUnknownThreadName[] = "Unknown Thread";

std::atomic<std::uint32_t> g_threadCount{0};
std::atomic<bool> g_mainThreadCreated{false};
std::atomic<bool> g_firstThreadCreated{false};
std::atomic<bool> g_runtimeAlive{true};
// Written once by the MainThread constructor, before other threads exist.
std::uint32_t g_mainThreadOsId = 0;
std::uint32_t g_mainThreadObjectOsId = 0;
MainThread* g_mainThread = nullptr;

thread_local Thread* t_current = nullptr;

struct FatalRecord {
    const char* call = "none";
    std::uint32_t code = 999;
    std::uint32_t threadsActive = 0;
    char threadName[64] = "none";
};
FatalRecord g_fatal;

platform::CriticalSection& registryLock() {
    static auto* cs = new platform::CriticalSection;
    return *cs;
}
Thread* g_registryHead = nullptr;  // newest listed running thread; registry lock

std::vector<Thread::ThreadScopedObjectFactory>& factories() {
    static auto* list = new std::vector<Thread::ThreadScopedObjectFactory>;
    return *list;
}

std::vector<Thread::ThreadScopedObjectFactory> factoriesSnapshot() {
    platform::CriticalSectionGuard guard(registryLock());
    return factories();
}

std::string withoutBlanks(std::string name) {
    std::erase(name, ' ');
    return name;
}

// The upper-camel-case words of text ("TlsProxyIo" -> Tls, Proxy, Io).
std::vector<std::string> camelWords(std::string_view text) {
    std::vector<std::string> words;
    for (char c : text) {
        if (words.empty() || (c >= 'A' && c <= 'Z')) words.emplace_back();
        words.back() += c;
    }
    return words;
}

void platformFatalHandler(const char* callName, std::uint32_t code) {
    Thread::fatalThreadErrorIfAlive(callName, code);
}

std::string failureMessage(const char* callName, std::uint32_t code) {
    std::string text = platform::ErrorText(code);
    char buf[1024];
    std::snprintf(buf, sizeof buf, "%s: about to throw a ThreadException: %s: %s; %u threads active",
                  Thread::currentThreadName(), callName, text.c_str(), Thread::threadsActive());
    return buf;
}

[[noreturn]] void throwThreadException(const char* callName, std::uint32_t code) {
    throw ThreadException(callName, code);
}

}  // namespace

// ---- ThreadException ----

ThreadException::ThreadException(const std::string& message) : BaseException(message) {
    threadLog().warn("%s", _message.c_str());
}

ThreadException::ThreadException(const char* callName, std::uint32_t errorCode)
    : BaseException(failureMessage(callName, errorCode)) {
    threadLog().warn("%s", _message.c_str());
}

Thread::ThreadScopedObject::~ThreadScopedObject() = default;
Thread::iterate_running_threads_callback::~iterate_running_threads_callback() = default;

// The thread's permanent entry at the bottom of its notation list.
class Thread::SelfNotation : public ScopedPerThreadCrashLogNotation {
public:
    SelfNotation(const Thread& thread, CrashLogNotationList* list) noexcept
        : ScopedPerThreadCrashLogNotation(BottomOf{list}), _thread(thread) {}
    void describe(CrashLogOutput& out) const noexcept override { _thread.crashLogDescribe(out); }

private:
    const Thread& _thread;
};

unsigned threadEntry(void* arg);

// ---- construction and destruction ----

Thread::Thread(const char* nameFormat, ...) {
    va_list args;
    va_start(args, nameFormat);
    std::string name = formatName(nameFormat, args);
    va_end(args);
    createThread(kDefaultStackSize, std::move(name));
}

Thread::Thread(std::size_t stackSize, const char* nameFormat, ...) {
    va_list args;
    va_start(args, nameFormat);
    std::string name = formatName(nameFormat, args);
    va_end(args);
    createThread(stackSize, std::move(name));
}

Thread::Thread(std::size_t stackSize, std::string name) {
    createThread(stackSize, std::move(name));
}

Thread::Thread(DeferredCreation) noexcept {}

Thread::Thread(MainThreadTag) : _didJoin(1), _name(kMainThreadName), _readyToRun(true), _listed(false) {
    _mainThread = true;
}

std::string Thread::formatName(const char* nameFormat, va_list args) {
    char buf[256];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(buf, sizeof buf, nameFormat, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < sizeof buf) return withoutBlanks(std::string(buf, static_cast<std::size_t>(n)));
    std::string name(static_cast<std::size_t>(n), '\0');
    std::vsnprintf(name.data(), name.size() + 1, nameFormat, args);
    return withoutBlanks(std::move(name));
}

void Thread::createThread(std::size_t stackSize, std::string name) {
    _name = withoutBlanks(std::move(name));
    g_threadCount.fetch_add(1, std::memory_order_relaxed);
    _counted = true;
    if (!g_mainThreadCreated.load(std::memory_order_acquire)) {
        g_threadCount.fetch_sub(1, std::memory_order_relaxed);
        _counted = false;
        throw ThreadException("Thread created before main thread!");
    }
    g_firstThreadCreated.store(true, std::memory_order_relaxed);
    if (!_selfNotation) _selfNotation = new SelfNotation(*this, &_notations);
    _handle = platform::BeginThreadEx(stackSize, &threadEntry, this, &_token);
    if (!_handle) {
        std::uint32_t code = platform::GetLastError();
        g_threadCount.fetch_sub(1, std::memory_order_relaxed);
        _counted = false;
        delete _selfNotation;
        _selfNotation = nullptr;
        throwThreadException("_beginthreadex", code);
    }
}

Thread::~Thread() {
    // Wait first: a thread still running owns its scoped objects.
    giveUp();
    destroyScopedObjects();
    if (_counted) g_threadCount.fetch_sub(1, std::memory_order_relaxed);
    if (_handle && !platform::CloseHandle(_handle)) fatalThreadErrorIfAlive("CloseHandle", platform::GetLastError());
    _handle = nullptr;
    delete _selfNotation;
}

void Thread::giveUp() noexcept {
    if (!_handle) return;
    bool wait;
    {
        platform::CriticalSectionGuard guard(registryLock());
        if (_didJoin == 1) return;
        wait = !_readyToRun || runtimeAlive();
        _readyToRun = true;
        _didJoin = 2;
        _startCondition.wakeAll();
    }
    // Once the runtime is gone a running thread is left to the process exit.
    if (wait) waitForExit();
    platform::CriticalSectionGuard guard(registryLock());
    _didJoin = 1;
}

// ---- the new thread ----

unsigned threadEntry(void* arg) {
    auto* thread = static_cast<Thread*>(arg);
    PerThreadState state;
    state.thread = thread;
    thread->_state.store(&state, std::memory_order_release);
    platform::SetCurrentThreadName(Thread::osThreadName(thread->_name).c_str());
    thread->_osThreadId.store(platform::GetCurrentThreadId(), std::memory_order_release);
    t_current = thread;
    crash_log::setCurrentList(&thread->_notations);

    bool run;
    bool linked = false;
    {
        platform::CriticalSectionGuard guard(registryLock());
        while (!thread->_readyToRun) Thread::conditionWait(thread->_startCondition, registryLock());
        run = thread->_didJoin != 2;
        if (run && thread->_listed) {
            thread->_prevLink = &g_registryHead;
            thread->_next = g_registryHead;
            if (g_registryHead) g_registryHead->_prevLink = &thread->_next;
            g_registryHead = thread;
            linked = true;
        }
    }
    if (run) {
        // Any exception other than TerminateException ends the process here
        // (std::terminate), where the crash reporter takes over.
        [](Thread* t) noexcept { t->runBody(); }(thread);
    }
    if (linked) {
        platform::CriticalSectionGuard guard(registryLock());
        *thread->_prevLink = thread->_next;
        if (thread->_next) thread->_next->_prevLink = thread->_prevLink;
        thread->_prevLink = nullptr;
        thread->_next = nullptr;
    }
    crash_log::setCurrentList(nullptr);
    t_current = nullptr;
    thread->_state.store(nullptr, std::memory_order_release);
    return 0;
}

void Thread::runBody() {
    try {
        for (const auto& factory : factoriesSnapshot()) _scopedObjects.push_back(factory());
        main();
        destroyScopedObjects();
    } catch (const TerminateException& e) {
        destroyScopedObjects();
        threadLog().debug("caught Thread::TerminateException: %s", e.what());
    }
}

void Thread::destroyScopedObjects() noexcept {
    for (ThreadScopedObject* object : _scopedObjects) delete object;
    _scopedObjects.clear();
}

// ---- owner operations ----

void Thread::start() {
    platform::CriticalSectionGuard guard(registryLock());
    _readyToRun = true;
    _startCondition.wakeAll();
}

void Thread::waitForExit() noexcept {
    std::uint32_t rc = platform::WaitForSingleObject(_handle, platform::INFINITE);
    if (rc == platform::WAIT_OBJECT_0) return;
    fatalThreadErrorIfAlive("WaitForSingleObject", rc == platform::WAIT_FAILED ? platform::GetLastError() : rc);
}

void Thread::join() {
    {
        platform::CriticalSectionGuard guard(registryLock());
        _didJoin = 1;
    }
    if (_handle) waitForExit();
}

void Thread::joinOrCancel() {
    bool cancelled = false;
    {
        platform::CriticalSectionGuard guard(registryLock());
        if (!_readyToRun) {
            _readyToRun = true;
            _didJoin = 2;
            cancelled = true;
            _startCondition.wakeAll();
        } else {
            _didJoin = 1;
        }
    }
    if (_handle) waitForExit();
    if (cancelled) {
        platform::CriticalSectionGuard guard(registryLock());
        _didJoin = 1;
    }
}

void Thread::unlist() {
    platform::CriticalSectionGuard guard(registryLock());
    _listed = false;
}

std::uint32_t Thread::didJoin() const noexcept {
    platform::CriticalSectionGuard guard(registryLock());
    return _didJoin;
}

void Thread::crashLogDescribe(CrashLogOutput& out) const noexcept {
    // Runs inside a crash report: no locks, no allocation.
    if (std::strcmp(g_fatal.call, "none") != 0)
        out.printf("Dying on fatal thread error %u from %s, thread %s\r\n", g_fatal.code, g_fatal.call,
                   g_fatal.threadName);
    out.printf("Thread: \"%s\", did_join=%u, ", _name.c_str(), _didJoin);
    out.flag("ready_to_run", _readyToRun);
    out.write(", ");
    out.flag("main_thread", _mainThread);
    out.printf(", token=%u\r\n", _token);
    if (_state.load(std::memory_order_acquire)) out.write("MutexByte: MutexByte-waiting={none}\r\n");
}

// ---- process-wide queries ----

Thread* Thread::current() noexcept {
    return t_current;
}

bool Thread::mainThreadExists() noexcept {
    return g_mainThreadCreated.load(std::memory_order_acquire);
}

const char* Thread::currentThreadName() noexcept {
    if (Thread* t = t_current) return t->_name.c_str();
    return isMainThread() ? kMainThreadName : kUnknownThreadName;
}

std::uint32_t Thread::currentOsThreadId() noexcept {
    if (Thread* t = t_current) return t->osThreadId();
    if (mainThreadExists() && platform::GetCurrentThreadId() != g_mainThreadOsId) return platform::GetCurrentThreadId();
    return g_mainThreadObjectOsId ? g_mainThreadObjectOsId : platform::GetCurrentThreadId();
}

bool Thread::isMainThread() noexcept {
    return !mainThreadExists() || platform::GetCurrentThreadId() == g_mainThreadOsId;
}

std::uint32_t Thread::threadsActive() noexcept {
    return mainThreadExists() ? g_threadCount.load(std::memory_order_relaxed) + 1 : 1;
}

void Thread::iterateRunningThreads(iterate_running_threads_callback& callback) {
    platform::CriticalSectionGuard guard(registryLock());
    for (Thread* t = g_registryHead; t; t = t->_next)
        if (t->_didJoin == 0) callback.callback(*t);
}

void Thread::crashVisitOtherThreads(void (*visit)(const char*, const ScopedPerThreadCrashLogNotation*, void*),
                                    void* context) noexcept {
    const CrashLogNotationList* own = crash_log::currentList();
    MainThread* mainThread = g_mainThread;
    if (mainThread && own != &crash_log::processList())
        visit(mainThread->_name.c_str(), crash_log::processList().head.load(std::memory_order_acquire), context);
    const bool locked = registryLock().tryEnter();
    // Bounded: without the lock the list may be changing under us.
    constexpr unsigned kMaxThreads = 4096;
    unsigned count = 0;
    for (Thread* t = g_registryHead; t && count < kMaxThreads; t = t->_next, ++count) {
        if (&t->_notations == own) continue;
        visit(t->_name.c_str(), t->_notations.head.load(std::memory_order_acquire), context);
    }
    if (locked) registryLock().leave();
}

std::string Thread::osThreadName(std::string_view name) {
    if (name.size() <= kMaxOsThreadName) return std::string(name);
    // The suffix: the trailing index with its separators ("-3", "_12").
    std::size_t cut = name.size();
    while (cut > 0 && (std::isdigit(static_cast<unsigned char>(name[cut - 1])) || name[cut - 1] == '-' ||
                       name[cut - 1] == '_' || name[cut - 1] == '.'))
        --cut;
    const std::string suffix(name.substr(cut));
    std::vector<std::string> words = camelWords(name.substr(0, cut));
    auto length = [&] {
        std::size_t n = suffix.size();
        for (const std::string& w : words) n += w.size();
        return n;
    };
    // First drop the words that say nothing about which thread it is, then
    // shorten the longest words to four letters, then cut the head.
    for (const char* filler : {"Thread", "Dedicated"}) {
        if (length() <= kMaxOsThreadName) break;
        const auto others =
            std::count_if(words.begin(), words.end(), [&](const std::string& w) { return w != filler; });
        if (others > 0) std::erase(words, std::string(filler));
    }
    while (length() > kMaxOsThreadName) {
        auto longest = std::max_element(words.begin(), words.end(),
                                        [](const std::string& a, const std::string& b) { return a.size() < b.size(); });
        if (longest == words.end() || longest->size() <= 4) break;
        longest->resize(4);
    }
    std::string head;
    for (const std::string& w : words) head += w;
    if (suffix.size() >= kMaxOsThreadName) return std::string(name.substr(name.size() - kMaxOsThreadName));
    if (head.size() + suffix.size() > kMaxOsThreadName) head.resize(kMaxOsThreadName - suffix.size());
    return head + suffix;
}

Thread* Thread::findRunningThread(const std::function<bool(const Thread&)>& predicate) {
    platform::CriticalSectionGuard guard(registryLock());
    for (Thread* t = g_registryHead; t; t = t->_next)
        if (t->_didJoin == 0 && predicate(*t)) return t;
    return nullptr;
}

Thread* Thread::findRunningThreadByName(std::string_view name) {
    return findRunningThread([name](const Thread& t) { return t.name() == name; });
}

void Thread::registerThreadScopedObjectFactory(ThreadScopedObjectFactory factory) {
    {
        platform::CriticalSectionGuard guard(registryLock());
        factories().push_back(factory);
    }
    if (mainThreadExists()) {
        if (Thread* t = t_current) t->_scopedObjects.push_back(factory());
    }
}

// ---- failure policy ----

bool Thread::runtimeAlive() noexcept {
    return g_runtimeAlive.load(std::memory_order_acquire);
}

void Thread::quickExit(int status) noexcept {
    g_runtimeAlive.store(false, std::memory_order_release);
    // No destructors or exit handlers follow: write out the pending log lines.
    try {
        LogFacility::instance().flushAll();
    } catch (...) {
    }
    platform::QuickExit(status);
}

void Thread::fatalThreadError(const char* callName, std::uint32_t code) noexcept {
    g_fatal.call = callName;
    g_fatal.code = code;
    g_fatal.threadsActive = threadsActive();
    std::snprintf(g_fatal.threadName, sizeof g_fatal.threadName, "%s", currentThreadName());
    try {
        platform::SetLastError(code);
        threadLog().fatal("Fatal thread error: %s: %m; %u threads active, in %s", callName, threadsActive(),
                          currentThreadName());
    } catch (...) {
    }
    std::abort();
}

void Thread::fatalThreadErrorIfAlive(const char* callName, std::uint32_t code) noexcept {
    if (runtimeAlive()) fatalThreadError(callName, code);
}

void Thread::conditionWait(platform::ConditionVariable& cv, platform::CriticalSection& cs) noexcept {
    if (!cv.sleep(cs, platform::INFINITE))
        fatalThreadErrorIfAlive("SleepConditionVariableCS", platform::GetLastError());
}

bool Thread::conditionWait(platform::ConditionVariable& cv, platform::CriticalSection& cs,
                           std::uint32_t timeoutMs) noexcept {
    if (cv.sleep(cs, timeoutMs)) return true;
    std::uint32_t code = platform::GetLastError();
    if (code != platform::ERROR_TIMEOUT) fatalThreadErrorIfAlive("SleepConditionVariableCS", code);
    return false;
}

// ---- ThreadFunction ----

ThreadFunction::ThreadFunction(std::function<void()> function, const char* nameFormat, ...)
    : Thread(DeferredCreation{}), _function(std::move(function)) {
    va_list args;
    va_start(args, nameFormat);
    std::string name = formatName(nameFormat, args);
    va_end(args);
    createThread(kDefaultStackSize, std::move(name));
}

ThreadFunction::ThreadFunction(std::function<void()> function, std::size_t stackSize, const char* nameFormat, ...)
    : Thread(DeferredCreation{}), _function(std::move(function)) {
    va_list args;
    va_start(args, nameFormat);
    std::string name = formatName(nameFormat, args);
    va_end(args);
    createThread(stackSize, std::move(name));
}

ThreadFunction::~ThreadFunction() {
    // The callable must outlive the thread that may be running it.
    giveUp();
}

void ThreadFunction::main() {
    if (!_function) throw std::bad_function_call();
    _function();
}

// ---- MainThread ----

MainThread::MainThread() : Thread(MainThreadTag{}) {
    if (mainThreadExists()) throw ThreadException("Main Thread created twice!");
    // Keeps the TLS error-queue factory linked into every program.
    static_cast<void>(*static_cast<const volatile int*>(&details::kThreadScopedSslAnchor));
    g_threadCount.store(0, std::memory_order_relaxed);
    static_cast<void>(std::clock());
    // The main thread keeps the process's own name (ps, pgrep and kill -x go
    // by it); "MainThread" is what logs and crash reports show.
    std::uint32_t tid = platform::GetCurrentThreadId();
    _token = tid;
    _osThreadId.store(tid, std::memory_order_release);
    g_mainThreadOsId = tid;
    g_mainThreadObjectOsId = tid;
    g_mainThread = this;
    platform::setFatalThreadErrorHandler(&platformFatalHandler);
    g_mainThreadCreated.store(true, std::memory_order_release);
    _selfNotation = new SelfNotation(*this, &crash_log::processList());
    crash_log::setCurrentList(&crash_log::processList());
    for (const auto& factory : factoriesSnapshot()) _scopedObjects.push_back(factory());
    _ownState.thread = this;
    _state.store(&_ownState, std::memory_order_release);
    t_current = this;
}

MainThread::~MainThread() {
    g_runtimeAlive.store(false, std::memory_order_release);
    t_current = nullptr;
    crash_log::setCurrentList(nullptr);
    _state.store(nullptr, std::memory_order_release);
}

void EmptyMainThread::main() {
    threadLog().fatal("EmptyMainThread::main called");
    std::abort();
}

MainThread& EmptyMainThread::ensureForTest() {
    if (g_mainThread) return *g_mainThread;
    static MainThread* mainThread = new EmptyMainThread;
    return *mainThread;
}

}  // namespace morvex
