// Test support: runs a program (by default the real morvex-tlsd binary) as a
// child process with chosen arguments, environment and standard input, and
// captures its standard output and standard error.
//
//   ProcessOptions opt;
//   opt.env["MORVEX_HOME"] = home.path();
//   opt.stdinData = R"({"listen_port": 8090, "token": "t"})";
//   ProcessResult r = runProcess(opt, std::chrono::seconds(10));
//   EXPECT_EQ(r.exitCode, 1);
//
// Writing to a child that has exited never raises SIGPIPE: the helper ignores
// that signal in the test process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace morvex::test {

enum class StdinMode {
    Pipe,    // a pipe the test writes to (stdinData first)
    Null,    // /dev/null
    Closed,  // descriptor 0 not open at all
};

struct ProcessOptions {
    std::string program = MORVEX_TLSD_BINARY;
    std::vector<std::string> args;  // without argv[0]
    // Starts from the test's own environment unless cleared; a value of
    // std::nullopt removes the variable.
    bool inheritEnvironment = true;
    std::map<std::string, std::optional<std::string>> env;
    StdinMode stdinMode = StdinMode::Pipe;
    std::string stdinData;            // written right after the start
    bool closeStdinAfterData = true;  // false keeps the pipe open for writeStdin()
    std::string workingDirectory;     // empty: the test's own
};

struct ProcessResult {
    bool timedOut = false;  // the child was killed after the time-out
    int exitCode = -1;      // 0..255 when it exited, else -1
    int signal = 0;         // the signal that ended it, else 0
    std::string out;
    std::string err;
};

// A running child. The destructor kills a child still running and reaps it.
class ChildProcess {
public:
    // Starts the child; throws std::runtime_error when it cannot.
    explicit ChildProcess(const ProcessOptions& options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const noexcept { return _pid; }

    // Writes bytes to the child's standard input (Pipe mode). Returns false
    // when the pipe is closed or the child stops reading for 5 s.
    bool writeStdin(std::string_view bytes);
    void closeStdin();

    bool sendSignal(int sig);
    // True while the child has not exited (does not reap it).
    bool running();

    // Output captured so far.
    std::string stdoutSoFar();
    std::string stderrSoFar();

    // Waits until the output contains needle; false on time-out or when the
    // child closed that stream first.
    bool waitForStdout(std::string_view needle, std::chrono::milliseconds timeout);
    bool waitForStderr(std::string_view needle, std::chrono::milliseconds timeout);

    // Waits for the child to end; on time-out kills it (SIGKILL) and says so.
    // Collects all output. May be called once.
    ProcessResult wait(std::chrono::milliseconds timeout);

private:
    void readerLoop();
    bool waitForText(const std::string& buffer, bool& closed, std::string_view needle,
                     std::chrono::milliseconds timeout);
    bool waitExit(std::chrono::milliseconds timeout);  // reaps into _status

    pid_t _pid = -1;
    int _stdinFd = -1;
    int _stdoutFd = -1;
    int _stderrFd = -1;
    int _pidFd = -1;
    bool _reaped = false;
    int _status = 0;
    std::mutex _mutex;
    std::condition_variable _changed;
    std::string _out;
    std::string _err;
    bool _outClosed = false;
    bool _errClosed = false;
    std::thread _reader;
};

// Starts, feeds stdinData, waits (killing on time-out) and returns the result.
ProcessResult runProcess(const ProcessOptions& options,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(20000));

// Polls cond every millisecond until it holds or the time runs out.
bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds limit = std::chrono::seconds(10));
// The whole content of a file; empty when it cannot be read.
std::string readWholeFile(const std::string& path);
// Waits until the file exists and contains needle.
bool waitForFileContaining(const std::string& path, std::string_view needle, std::chrono::milliseconds timeout);

// A fresh directory under $TMPDIR (or /tmp), removed with its content when
// the object goes.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "morvex-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const noexcept { return _path; }
    // path/relative, creating parent directories; writes content if given.
    std::string file(const std::string& relative, std::optional<std::string_view> content = std::nullopt) const;
    // Every regular file below the directory, as paths relative to it.
    std::vector<std::string> listFiles() const;

private:
    std::string _path;
};

// The real proxy binary on a home directory of its own.
class TestCert;
// Fills home: the shipped etc/, ca as the CA the Telemetry type trusts, a
// proxy certificate whose key is under keyPassword, and a DEBUG log at
// var/log/morvex/proxy.log.
void prepareProxyHome(const TempDir& home, const TestCert& ca, const std::string& keyPassword);
// Starts the binary on home, listening on port, with token and keyPassword
// in its standard input.
ProcessOptions proxyOptions(const std::string& home, std::uint16_t port, const std::string& token,
                            const std::string& keyPassword);
// curl through the proxy at proxyPort: a request of type for https path on
// localhost:originPort; the body on success.
ProcessResult curlThroughProxy(std::uint16_t proxyPort, std::uint16_t originPort, const std::string& type,
                               const std::string& token, const std::string& path, int maxSeconds);

}  // namespace morvex::test
