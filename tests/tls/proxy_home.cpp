#include "proxy_home.h"

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/origin.h"

namespace morvex::test {

ProxyHome::ProxyHome() : _ca(TestCert::create(CertSpec().cn("TLS E2E CA").asCa())) {
    std::filesystem::copy(MORVEX_SOURCE_DIR "/etc", etc(), std::filesystem::copy_options::recursive);
    TestCert proxyCert = TestCert::create(CertSpec().cn("morvexd-tls-proxy-localhost"));
    _home.file("etc/auth/appsCA.pem", _ca.certPem());
    _home.file("etc/auth/server_tlsproxy.pem", proxyCert.certPem() + proxyCert.keyPem(kKeyPassword));
    _home.file("etc/log-tlsproxy-local.cfg",
               "rootCategory=DEBUG, A1\n"
               "appender.A1.fileName=${MORVEX_HOME}/var/log/morvex/proxy.log\n"
               "appender.A1.layout.ConversionPattern=%p %t %c %m%n\n");
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
    ProcessOptions o;
    o.env["MORVEX_HOME"] = path();
    o.env["MORVEX_ETC"] = std::nullopt;
    o.stdinData = R"({"listen_port": )" + std::to_string(_port) + R"(, "token": ")" + kToken +
                  R"(", "private_key_password": ")" + kKeyPassword + R"("})";
    _proxy = std::make_unique<ChildProcess>(o);
    return waitForLog("TLSProxy is started", timeout);
}

ProcessResult ProxyHome::waitForExit(std::chrono::milliseconds timeout) {
    return _proxy->wait(timeout);
}

std::string ProxyHome::log() const {
    std::ifstream in(path() + "/var/log/morvex/proxy.log", std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool ProxyHome::waitForLog(const std::string& needle, std::chrono::milliseconds timeout) const {
    return waitForFileContaining(path() + "/var/log/morvex/proxy.log", needle, timeout);
}

ProcessResult ProxyHome::curl(const std::string& type, std::uint16_t originPort) const {
    ProcessOptions o;
    o.program = "/usr/bin/curl";
    o.args = {"-sk",
              "--http1.1",
              "--max-time",
              "5",
              "https://127.0.0.1:" + std::to_string(_port) + "/",
              "-H",
              "Host: localhost:" + std::to_string(originPort),
              "-H",
              "x-morvex-request-type: " + type,
              "-H",
              std::string("x-morvex-tlsproxy-token: ") + kToken};
    return runProcess(o, std::chrono::seconds(15));
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
