#include "proxy_home.h"

#include <signal.h>

#include "support/origin.h"

namespace morvex::test {

ProxyHome::ProxyHome() : _ca(TestCert::create(CertSpec().cn("TLS E2E CA").asCa())) {
    prepareProxyHome(_home, _ca, kKeyPassword);
}

ProxyHome::~ProxyHome() {
    if (_proxy && _proxy->running()) {
        _proxy->sendSignal(SIGTERM);
        _proxy->wait(std::chrono::seconds(20));
    }
}

bool ProxyHome::useScriptCertificate() const {
    ProcessOptions o;
    o.program = MORVEX_SOURCE_DIR "/scripts/make-proxy-cert.sh";
    o.args = {"--bits", "2048", etc() + "/auth", kKeyPassword};
    return runProcess(o, std::chrono::seconds(60)).exitCode == 0;
}

void ProxyHome::writeLocal(const std::string& conf, const std::string& text) const {
    _home.file("etc/system/local/" + conf + ".conf", text);
}

bool ProxyHome::start(std::chrono::milliseconds timeout) {
    _port = pickFreeLoopbackPort();
    _proxy = std::make_unique<ChildProcess>(proxyOptions(path(), _port, kToken, kKeyPassword));
    return waitForLog("TLSProxy is started", timeout);
}

ProcessResult ProxyHome::waitForExit(std::chrono::milliseconds timeout) {
    return _proxy->wait(timeout);
}

std::string ProxyHome::log() const {
    return readWholeFile(path() + "/var/log/morvex/proxy.log");
}

bool ProxyHome::waitForLog(const std::string& needle, std::chrono::milliseconds timeout) const {
    return waitForFileContaining(path() + "/var/log/morvex/proxy.log", needle, timeout);
}

ProcessResult ProxyHome::curl(const std::string& type, std::uint16_t originPort) const {
    return curlThroughProxy(_port, originPort, type, kToken, "/", 5);
}

ProcessResult ProxyHome::sClient(const std::vector<std::string>& args) const {
    ProcessOptions o;
    o.program = "/usr/bin/openssl";
    o.args = {"s_client", "-connect", "127.0.0.1:" + std::to_string(_port)};
    o.args.insert(o.args.end(), args.begin(), args.end());
    o.stdinMode = StdinMode::Null;
    return runProcess(o, std::chrono::seconds(15));
}

}  // namespace morvex::test
