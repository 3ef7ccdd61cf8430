// The settings-file reader and the TLS option loaders over every stanza it
// finds, with the value parsers on every value and a client TLS context built
// from the loaded versions, ciphers and curves.
//
// Invariants: the line count is the number of physical lines; plain settings
// written back as a file read back to the same values; loaded version sets
// never hold SSL2; a version set, a useSSL word and a validation method print
// to text that parses back to them; name lists come out valid and filtering
// them again changes nothing; a context that builds keeps the cipher list it
// was given and only curves that were asked for.
#include <algorithm>
#include <string>

#include "fuzz_support.h"
#include "tls/ssl_context.h"
#include "tls/ssl_context_options.h"
#include "tls/ssl_options_loader.h"
#include "util/ini_file.h"

namespace {

using namespace morvex;

std::size_t physicalLines(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // a byte-order mark is not a line
    std::size_t n = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    return n + (!text.empty() && text.back() != '\n' ? 1 : 0);
}

std::vector<std::string> splitCommas(std::string_view list) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (;;) {
        std::size_t comma = list.find(',', from);
        parts.emplace_back(list.substr(from, comma - from));
        if (comma == std::string_view::npos) return parts;
        from = comma + 1;
    }
}

// A setting that the plain "key = value" form can carry unchanged.
bool plain(std::string_view s) {
    return s.find_first_of(std::string_view("\\\n\r\0=", 5)) == std::string_view::npos;
}

void checkWriteBack(const IniFile& file) {
    std::string text;
    std::vector<std::pair<const IniFile::Stanza*, const IniFile::Setting*>> written;
    for (const auto& [name, stanza] : file.stanzas()) {
        if (!plain(stanza.name) || stanza.name.find(']') != std::string::npos) continue;
        text += "[" + stanza.name + "]\n";
        for (const auto& [key, setting] : stanza.settings) {
            if (!plain(key) || !plain(setting.value) || key.empty()) continue;
            const char first = key.front();
            if (first == '[' || first == ';' || first == '#') continue;
            text += key + " = " + setting.value + "\n";
            written.emplace_back(&stanza, &setting);
        }
    }
    const IniFile again = IniFile::parse("again.conf", text);
    for (const auto& [stanza, setting] : written) {
        const std::string* value = again.value(stanza->name, setting->key);
        FUZZ_CHECK(value != nullptr);
        FUZZ_CHECK(*value == setting->value);
    }
}

void checkNameList(const std::string& list) {
    if (list.empty()) return;
    for (const std::string& name : splitCommas(list)) FUZZ_CHECK(isValidHostNamePattern(name));
    FUZZ_CHECK(filterHostNameList(list) == list);
}

void checkValue(const std::string& value) {
    if (auto bits = parseSslVersions(value)) {
        FUZZ_CHECK((*bits & ~(SslVersion::ALL | SslVersion::TLS1_3)) == 0);
        // The printed form names TLS 1.3 only where it is on; read back, a
        // list that does not name it keeps TLS 1.3 wherever TLS 1.2 is.
        std::uint32_t expected = *bits | ((*bits & SslVersion::TLS1_2) ? SslVersion::TLS1_3 : 0);
        if (*bits != 0) FUZZ_CHECK(parseSslVersions(sslVersionsToString(*bits)) == expected);
    }
    if (auto b = parseBooleanWord(value)) {
        std::string upper = value;
        for (char& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
        FUZZ_CHECK(parseBooleanWord(upper) == b);
    }
    if (auto u = parseUseSsl(value)) FUZZ_CHECK(parseUseSsl(toString(*u)) == u);
    if (auto m = parseCertStatusValidationMethod(value)) {
        FUZZ_CHECK(parseCertStatusValidationMethod(toString(*m)) == m);
    }
    if (auto ms = parseDurationMs(value)) {
        FUZZ_CHECK(*ms >= 0);
        FUZZ_CHECK(parseDurationMs(std::to_string(*ms) + "ms") == ms);
    }
    checkNameList(filterHostNameList(value));
    (void)isAbsoluteSettingsPath(value);
}

void checkLoaded(const SslContextOptions& o) {
    FUZZ_CHECK((o.sslVersions & ~(SslVersion::ALL | SslVersion::TLS1_3)) == 0);
    checkNameList(o.commonNameToCheck);
    checkNameList(o.altNameToCheck);
}

// Builds a client context from what the loader read, without the files
// (which do not exist here) and without the system trust store (slow).
void buildContext(SslClientContextOptions options) {
    options.rootCAPath.clear();
    options.caCertFile.clear();
    options.certFile.clear();
    options.privateKeyFile.clear();
    options.caTrustStore = "morvex";
    options.shouldVerifyServerCert = false;
    options.useSslClientSessionCache = false;
    SslContext context;
    if (!context.initClient(options)) return;
    FUZZ_CHECK(context.cipherList() == options.cipherSuite);
    if (context.curveList().empty()) return;
    // Accepted curves are the asked names, lower-cased, joined with ':'.
    std::string asked = options.ecdhCurves;
    for (char& c : asked) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    std::size_t from = 0;
    const std::string& list = context.curveList();
    for (;;) {
        std::size_t colon = list.find(':', from);
        FUZZ_CHECK(asked.find(list.substr(from, colon - from)) != std::string::npos);
        if (colon == std::string::npos) break;
        from = colon + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    morvex::fuzz::quietLogging();
    const std::string_view text = morvex::fuzz::asText(data, size);
    const std::uint64_t h = morvex::fuzz::hashBytes(text);

    const IniFile file = IniFile::parse(h % 8 == 0 ? "fuzz.conf.spec" : "server.conf", text);
    FUZZ_CHECK(file.lineNumber() == physicalLines(text));
    checkWriteBack(file);

    SslOptionsLoadEnv env;
    env.settingsDir = morvex::fuzz::scratchDir() + "/etc";
    env.homeDir = morvex::fuzz::scratchDir();
    env.mainDaemonProcess = (h >> 3) & 1;
    SslServerContextOptions rootDefaults;
    rootDefaults.rootCAPath = "/nonexistent/ca.pem";
    if ((h >> 4) & 1) env.rootCADefaults = &rootDefaults;

    int built = 0;
    int stanzas = 0;
    for (const auto& [name, stanza] : file.stanzas()) {
        if (++stanzas > 16) break;
        PropertySet props;
        for (const auto& [key, setting] : stanza.settings) {
            props.emplace(key, setting.value);
            checkValue(setting.value);
        }
        // The first stanza also stands in for server.conf [sslConfig], whose
        // keys are read only there.
        const std::string stanzaName = stanzas == 1 && (h >> 5) & 1 ? "sslConfig" : stanza.name;
        SslServerContextOptions server;
        if (loadSslServerOptions("server", stanzaName, props, server, env)) checkLoaded(server);
        SslClientContextOptions client;
        if (loadSslClientOptions(stanzas == 2 ? "deploymentclient" : "server", stanzaName, props, client, env)) {
            checkLoaded(client);
            if (built++ < 2) buildContext(client);
        }
    }
    return 0;
}
