// Threads of the program. Every thread, the main thread included, is a
// Thread object: it has a name (blanks removed), is counted, is listed in a
// registry while it runs, owns per-thread scoped objects, and heads its own
// crash-log notation list. Failures of OS thread and synchronisation calls
// are fatal: "Fatal thread error: ..." is logged at FATAL and the process
// aborts.
//
// Life of a Thread: constructed (the OS thread exists and waits) -> start()
// -> running main() (listed) -> finished (unlisted) -> join() -> destroyed.
// A thread given up before start() (joinOrCancel() or the destructor) ends
// without running main() and is never listed.
//
// The program builds one MainThread (an EmptyMainThread) first, on the
// process's first thread; a Thread constructed before it throws.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os_thread.h"
#include "platform/sync.h"
#include "util/base_exception.h"
#include "util/crash_log_notation.h"
#include "util/logger.h"

namespace morvex {

// Thrown for thread-layer failures; logs its own message at WARN on the
// "Thread" channel when constructed.
class ThreadException : public BaseException {
public:
    // A plain message ("Thread created before main thread!").
    explicit ThreadException(const std::string& message);
    // A failed OS call: "<thread>: about to throw a ThreadException: <call>:
    // <text of code>; <n> threads active".
    ThreadException(const char* callName, std::uint32_t errorCode);
};

class Thread;

// Per-thread state: lives on an ordinary thread's own stack for its whole
// life; a MainThread embeds its own.
struct alignas(64) PerThreadState {
    Thread* thread = nullptr;
    char text[64] = {};
};

class Thread {
public:
    static constexpr std::size_t kDefaultStackSize = 0x200000;

    // Objects that live exactly as long as their thread's body (created by
    // the registered factories before main(), destroyed after it).
    class ThreadScopedObject {
    public:
        virtual ~ThreadScopedObject();
    };
    // Returns a newly allocated object; the thread owns it.
    using ThreadScopedObjectFactory = std::function<ThreadScopedObject*()>;

    class iterate_running_threads_callback {
    public:
        virtual ~iterate_running_threads_callback();
        // Runs with the registry lock held: must not start, join or destroy
        // threads.
        virtual void callback(Thread& thread) = 0;
    };

    // Thrown by a thread to end itself quietly (its scoped objects are
    // destroyed, a DEBUG line is logged, the thread ends normally).
    class TerminateException : public std::exception {
    public:
        explicit TerminateException(std::string reason = "terminate requested") : _reason(std::move(reason)) {}
        const char* what() const noexcept override { return _reason.c_str(); }

    private:
        std::string _reason;
    };

    // The name is formatted printf-style, then every blank is removed. The
    // OS thread is created at once and waits for start(). Throws
    // ThreadException without a MainThread or when the OS thread cannot be
    // created.
    explicit Thread(const char* nameFormat, ...) MORVEX_PRINTF(2, 3);
    Thread(std::size_t stackSize, const char* nameFormat, ...) MORVEX_PRINTF(3, 4);

    // Gives up a thread never joined (it ends without running main() if it
    // was not started) and waits for it; destroys the scoped objects.
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Writes the thread's description for a crash report (CR LF line ends).
    virtual void crashLogDescribe(CrashLogOutput& out) const noexcept;

    // The thread's body, run after start() on the new thread.
    virtual void main() = 0;

    void start();         // lets the thread run
    void join();          // waits for the thread to end
    void joinOrCancel();  // joins; a thread not yet started ends without running main()
    void unlist();        // keeps a thread that has not started out of the registry

    const std::string& name() const noexcept { return _name; }
    std::uint32_t token() const noexcept { return _token; }
    std::uint32_t osThreadId() const noexcept { return _osThreadId.load(std::memory_order_acquire); }
    std::uint32_t didJoin() const noexcept;
    bool isMainThreadObject() const noexcept { return _mainThread; }
    CrashLogNotationList& crashLogNotations() noexcept { return _notations; }

    // --- process-wide queries, callable from any thread ---

    // The calling thread's Thread (null on threads this layer did not create).
    static Thread* current() noexcept;
    // The calling thread's name; "MainThread" without a Thread object when no
    // main thread exists yet or the caller is the main thread, else
    // "Unknown Thread". Does not allocate.
    static const char* currentThreadName() noexcept;
    // The calling thread's OS id (the main thread's for the main thread
    // before its object exists).
    static std::uint32_t currentOsThreadId() noexcept;
    static bool isMainThread() noexcept;
    // Counted threads + 1 once a main thread exists; 1 before.
    static std::uint32_t threadsActive() noexcept;
    static bool mainThreadExists() noexcept;

    // Under the registry lock, newest first, threads not yet joined.
    static void iterateRunningThreads(iterate_running_threads_callback& callback);
    static Thread* findRunningThread(const std::function<bool(const Thread&)>& predicate);
    static Thread* findRunningThreadByName(std::string_view name);

    // The name the operating system shows for a thread (ps, top -H, gdb),
    // which keeps at most 15 bytes: the name itself when short enough, else
    // an abbreviation that keeps the trailing index (so that numbered threads
    // stay distinct), e.g. "TlsProxyDedicatedIoThread-3" -> "TlsProxyIo-3".
    // Log lines and crash reports use the full name.
    static std::string osThreadName(std::string_view name);
    static constexpr std::size_t kMaxOsThreadName = 15;

    // For crash reports: calls visit with the name and notation list head of
    // the main thread and of every listed thread, except the calling
    // thread's own list. Allocates nothing; takes the registry lock only if
    // it is free (the crash may have happened while it was held).
    static void crashVisitOtherThreads(void (*visit)(const char* name, const ScopedPerThreadCrashLogNotation* head,
                                                     void* context),
                                       void* context) noexcept;

    // Appends a factory; with a main thread, also runs it for the calling
    // thread at once. Meant for program initialisation.
    static void registerThreadScopedObjectFactory(ThreadScopedObjectFactory factory);

    // Clears the runtime-alive flag and ends the process with _exit(status).
    [[noreturn]] static void quickExit(int status) noexcept;
    // True until the MainThread is destroyed or a quick exit starts; while
    // false, failures of CloseHandle, WaitForSingleObject and
    // SleepConditionVariableCS are ignored.
    static bool runtimeAlive() noexcept;

    // Records the failure, logs "Fatal thread error: %s: %m; %u threads
    // active, in %s" at FATAL and aborts.
    [[noreturn]] static void fatalThreadError(const char* callName, std::uint32_t code) noexcept;
    // fatalThreadError while the runtime is alive; otherwise returns.
    static void fatalThreadErrorIfAlive(const char* callName, std::uint32_t code) noexcept;

    // Condition waits with this layer's failure policy. The unlimited wait
    // returns when woken (fatal on failure); the timed wait returns true when
    // woken and false when the time ran out (last error 1460).
    static void conditionWait(platform::ConditionVariable& cv, platform::CriticalSection& cs) noexcept;
    static bool conditionWait(platform::ConditionVariable& cv, platform::CriticalSection& cs,
                              std::uint32_t timeoutMs) noexcept;

protected:
    // For subclasses that formatted their name already (blanks are removed).
    Thread(std::size_t stackSize, std::string name);

    // For subclasses that must set up members before the OS thread exists:
    // nothing is created until the subclass calls createThread (which throws
    // as the other constructors do).
    struct DeferredCreation {};
    explicit Thread(DeferredCreation) noexcept;
    void createThread(std::size_t stackSize, std::string name);

    // The blank-free name from a printf format.
    static std::string formatName(const char* nameFormat, va_list args);

    // What the destructor does for a thread never joined: a thread not yet
    // started ends without running main(); a running one is waited for.
    // Subclasses call it first in their destructor when main() uses their
    // members.
    void giveUp() noexcept;

private:
    class SelfNotation;
    friend class MainThread;
    friend unsigned threadEntry(void* arg);

    struct MainThreadTag {};
    explicit Thread(MainThreadTag);

    void runBody();
    void destroyScopedObjects() noexcept;
    void waitForExit() noexcept;

    platform::HANDLE _handle = nullptr;
    std::uint32_t _didJoin = 0;  // 0 not joined, 1 joined, 2 cancelled
    std::uint32_t _token = 0;
    std::string _name;
    std::atomic<std::uint32_t> _osThreadId{0};
    bool _readyToRun = false;
    bool _listed = true;
    Thread** _prevLink = nullptr;
    Thread* _next = nullptr;
    platform::ConditionVariable _startCondition;
    std::vector<ThreadScopedObject*> _scopedObjects;
    bool _mainThread = false;
    bool _counted = false;  // included in the thread count
    CrashLogNotationList _notations;
    SelfNotation* _selfNotation = nullptr;
    std::atomic<PerThreadState*> _state{nullptr};
};

// A thread that runs a callable.
class ThreadFunction : public Thread {
public:
    ThreadFunction(std::function<void()> function, const char* nameFormat, ...) MORVEX_PRINTF(3, 4);
    ThreadFunction(std::function<void()> function, std::size_t stackSize, const char* nameFormat, ...)
        MORVEX_PRINTF(4, 5);
    ~ThreadFunction() override;

    // Calls the callable; an empty one throws std::bad_function_call.
    void main() override;

private:
    std::function<void()> _function;
};

// The main thread's object: built once per process on its first thread;
// never started, joined or listed. Destroying it ends the runtime's life.
class MainThread : public Thread {
public:
    MainThread();  // throws ThreadException "Main Thread created twice!"
    ~MainThread() override;

private:
    PerThreadState _ownState;
};

class EmptyMainThread final : public MainThread {
public:
    // Never called; calling it is a programming error (aborts).
    void main() override;

    // For test programs: the process's MainThread, built (never destroyed)
    // as an EmptyMainThread if none exists. Call from the process's first
    // thread.
    static MainThread& ensureForTest();
};

}  // namespace morvex
