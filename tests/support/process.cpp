#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/test_certs.h"

extern char** environ;

namespace morvex::test {

namespace {

using Clock = std::chrono::steady_clock;

void ignoreSigpipeOnce() {
    static const bool done = [] {
        ::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)done;
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

std::runtime_error sysError(const char* what) {
    return std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

ChildProcess::ChildProcess(const ProcessOptions& options) {
    ignoreSigpipeOnce();

    // Everything the child needs is built before fork(): after it, the child
    // only makes async-signal-safe calls.
    std::vector<std::string> argStore;
    argStore.push_back(options.program);
    argStore.insert(argStore.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::map<std::string, std::string> envMap;
    if (options.inheritEnvironment) {
        for (char** e = environ; *e; ++e) {
            std::string_view kv(*e);
            auto eq = kv.find('=');
            if (eq != std::string_view::npos) envMap[std::string(kv.substr(0, eq))] = std::string(kv.substr(eq + 1));
        }
    }
    for (const auto& [name, value] : options.env) {
        if (value) {
            envMap[name] = *value;
        } else {
            envMap.erase(name);
        }
    }
    std::vector<std::string> envStore;
    for (const auto& [name, value] : envMap) envStore.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    int in[2] = {-1, -1}, out[2], err[2];
    if (options.stdinMode == StdinMode::Pipe && ::pipe2(in, O_CLOEXEC) != 0) throw sysError("pipe2");
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw sysError("pipe2");
    int devNull = options.stdinMode == StdinMode::Null ? ::open("/dev/null", O_RDONLY | O_CLOEXEC) : -1;
    const char* cwd = options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str();

    _pid = ::fork();
    if (_pid < 0) throw sysError("fork");
    if (_pid == 0) {
        switch (options.stdinMode) {
            case StdinMode::Pipe:
                ::dup2(in[0], 0);
                break;
            case StdinMode::Null:
                ::dup2(devNull, 0);
                break;
            case StdinMode::Closed:
                ::close(0);
                break;
        }
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        if (cwd && ::chdir(cwd) != 0) ::_exit(126);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    if (devNull >= 0) ::close(devNull);
    if (in[0] >= 0) ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    _stdinFd = in[1];
    _stdoutFd = out[0];
    _stderrFd = err[0];
    if (_stdinFd >= 0) ::fcntl(_stdinFd, F_SETFL, ::fcntl(_stdinFd, F_GETFL) | O_NONBLOCK);
    _pidFd = static_cast<int>(::syscall(SYS_pidfd_open, _pid, 0));  // -1 on old kernels: polled instead
    _reader = std::thread([this] { readerLoop(); });

    if (options.stdinMode == StdinMode::Pipe) {
        if (!options.stdinData.empty()) writeStdin(options.stdinData);
        if (options.closeStdinAfterData) closeStdin();
    }
}

ChildProcess::~ChildProcess() {
    if (!_reaped && _pid > 0) {
        ::kill(_pid, SIGKILL);
        waitExit(std::chrono::milliseconds(10000));
    }
    closeStdin();
    if (_reader.joinable()) _reader.join();
    closeFd(_stdoutFd);
    closeFd(_stderrFd);
    closeFd(_pidFd);
}

void ChildProcess::readerLoop() {
    char buf[16384];
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        pollfd fds[2] = {{outOpen ? _stdoutFd : -1, POLLIN, 0}, {errOpen ? _stderrFd : -1, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int k = 0; k < 2; ++k) {
            if (!fds[k].revents) continue;
            ssize_t n = ::read(fds[k].fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            std::lock_guard<std::mutex> lock(_mutex);
            if (n > 0) {
                (k == 0 ? _out : _err).append(buf, static_cast<std::size_t>(n));
            } else {
                (k == 0 ? outOpen : errOpen) = false;
                (k == 0 ? _outClosed : _errClosed) = true;
            }
            _changed.notify_all();
        }
    }
}

bool ChildProcess::writeStdin(std::string_view bytes) {
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!bytes.empty()) {
        if (_stdinFd < 0) return false;
        ssize_t n = ::write(_stdinFd, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;  // EPIPE: the child is gone
        pollfd p{_stdinFd, POLLOUT, 0};
        if (::poll(&p, 1, remainingMs(deadline)) <= 0) return false;
    }
    return true;
}

void ChildProcess::closeStdin() {
    closeFd(_stdinFd);
}

bool ChildProcess::sendSignal(int sig) {
    return !_reaped && ::kill(_pid, sig) == 0;
}

bool ChildProcess::running() {
    if (_reaped) return false;
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(_pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
    return info.si_pid == 0;
}

std::string ChildProcess::stdoutSoFar() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _out;
}

std::string ChildProcess::stderrSoFar() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _err;
}

bool ChildProcess::waitForText(const std::string& buffer, bool& closed, std::string_view needle,
                               std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(_mutex);
    return _changed.wait_for(lock, timeout, [&] { return buffer.find(needle) != std::string::npos || closed; }) &&
           buffer.find(needle) != std::string::npos;
}

bool ChildProcess::waitForStdout(std::string_view needle, std::chrono::milliseconds timeout) {
    return waitForText(_out, _outClosed, needle, timeout);
}

bool ChildProcess::waitForStderr(std::string_view needle, std::chrono::milliseconds timeout) {
    return waitForText(_err, _errClosed, needle, timeout);
}

bool ChildProcess::waitExit(std::chrono::milliseconds timeout) {
    if (_reaped) return true;
    auto deadline = Clock::now() + timeout;
    for (;;) {
        pid_t r = ::waitpid(_pid, &_status, WNOHANG);
        if (r == _pid || (r < 0 && errno == ECHILD)) {
            _reaped = true;
            return true;
        }
        int left = remainingMs(deadline);
        if (left == 0) return false;
        if (_pidFd >= 0) {
            pollfd p{_pidFd, POLLIN, 0};
            ::poll(&p, 1, left);
        } else {
            ::usleep(5000);  // no pidfd on this kernel
        }
    }
}

ProcessResult ChildProcess::wait(std::chrono::milliseconds timeout) {
    ProcessResult result;
    if (!waitExit(timeout)) {
        result.timedOut = true;
        ::kill(_pid, SIGKILL);
        waitExit(std::chrono::milliseconds(10000));
    }
    closeStdin();
    // The output pipes close when the child (and anything it started that
    // kept them) is gone.
    if (_reader.joinable()) _reader.join();
    if (WIFEXITED(_status)) result.exitCode = WEXITSTATUS(_status);
    if (WIFSIGNALED(_status)) result.signal = WTERMSIG(_status);
    std::lock_guard<std::mutex> lock(_mutex);
    result.out = _out;
    result.err = _err;
    return result;
}

ProcessResult runProcess(const ProcessOptions& options, std::chrono::milliseconds timeout) {
    ChildProcess child(options);
    return child.wait(timeout);
}

bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (!cond()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool waitForFileContaining(const std::string& path, std::string_view needle, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        std::ifstream f(path, std::ios::binary);
        if (f) {
            std::ostringstream s;
            s << f.rdbuf();
            if (s.str().find(needle) != std::string::npos) return true;
        }
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

TempDir::TempDir(const std::string& prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    if (!::mkdtemp(templ.data())) throw sysError("mkdtemp");
    _path = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(_path, ec);
}

std::string TempDir::file(const std::string& relative, std::optional<std::string_view> content) const {
    std::filesystem::path p = std::filesystem::path(_path) / relative;
    std::filesystem::create_directories(p.parent_path());
    if (content) {
        std::ofstream f(p, std::ios::binary | std::ios::trunc);
        f.write(content->data(), static_cast<std::streamsize>(content->size()));
    }
    return p.string();
}

std::vector<std::string> TempDir::listFiles() const {
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(_path)) {
        if (e.is_regular_file()) files.push_back(std::filesystem::relative(e.path(), _path).string());
    }
    return files;
}

void prepareProxyHome(const TempDir& home, const TestCert& ca, const std::string& keyPassword) {
    std::filesystem::copy(MORVEX_SOURCE_DIR "/etc", home.path() + "/etc", std::filesystem::copy_options::recursive);
    TestCert proxyCert = TestCert::create(CertSpec().cn("morvexd-tls-proxy-localhost"));
    home.file("etc/auth/appsCA.pem", ca.certPem());
    home.file("etc/auth/server_tlsproxy.pem", proxyCert.certPem() + proxyCert.keyPem(keyPassword));
    home.file("etc/log-tlsproxy-local.cfg",
              "rootCategory=DEBUG, A1\n"
              "appender.A1.fileName=${MORVEX_HOME}/var/log/morvex/proxy.log\n"
              "appender.A1.layout.ConversionPattern=%p %t %c %m%n\n");
}

ProcessOptions proxyOptions(const std::string& home, std::uint16_t port, const std::string& token,
                            const std::string& keyPassword) {
    ProcessOptions o;
    o.env["MORVEX_HOME"] = home;
    o.env["MORVEX_ETC"] = std::nullopt;
    o.stdinData = R"({"listen_port": )" + std::to_string(port) + R"(, "token": ")" + token +
                  R"(", "private_key_password": ")" + keyPassword + R"("})";
    return o;
}

ProcessResult curlThroughProxy(std::uint16_t proxyPort, std::uint16_t originPort, const std::string& type,
                               const std::string& token, const std::string& path, int maxSeconds) {
    ProcessOptions o;
    o.program = "/usr/bin/curl";
    o.args = {"-sk",
              "--http1.1",
              "--max-time",
              std::to_string(maxSeconds),
              "https://127.0.0.1:" + std::to_string(proxyPort) + path,
              "-H",
              "Host: localhost:" + std::to_string(originPort),
              "-H",
              "x-morvex-request-type: " + type,
              "-H",
              "x-morvex-tlsproxy-token: " + token};
    return runProcess(o, std::chrono::seconds(maxSeconds + 10));
}

}  // namespace morvex::test
