// The logging configuration reader, then messages through the channels it
// configured, and the input compiled as a conversion pattern and as a date
// format.
//
// Appender file names are the one thing the input does not choose: every
// "fileName" setting is rewritten to a file in the scratch directory, and an
// input that could spell the property another way (through a comment inside
// the word) is skipped. Invariants: rendering is deterministic for a fixed
// event; a maximum width bounds the atom it is on.
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz_support.h"
#include "util/log_config.h"
#include "util/log_layout.h"
#include "util/logger.h"

namespace {

using namespace morvex;

const std::string& logDir() {
    static const std::string dir = [] {
        std::string d = fuzz::scratchDir() + "/log";
        std::filesystem::create_directories(d);
        return d;
    }();
    return dir;
}

// The configuration text with every fileName value replaced; false when "Name" occurs anywhere else (a split word could
// still form the key).
bool confineFileNames(std::string_view in, std::string& out) {
    static const std::string_view kKey = "fileName";
    const char* const names[] = {"/a.log", "/b.log", "/c.log"};
    unsigned n = 0;
    std::size_t i = 0;
    while (i < in.size()) {
        std::size_t at = in.find(kKey, i);
        std::size_t name = in.find("Name", i);
        if (name != std::string_view::npos && (at == std::string_view::npos || name < at + 4)) {
            if (at == std::string_view::npos || name != at + 4) return false;
        }
        if (at == std::string_view::npos) {
            out.append(in.substr(i));
            break;
        }
        out.append(in.substr(i, at - i));
        out += "fileName=" + logDir() + names[n++ % 3];
        std::size_t eol = in.find('\n', at);
        i = eol == std::string_view::npos ? in.size() : eol;
    }
    return true;
}

void emptyLogDir() {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(logDir(), ec)) {
        std::filesystem::remove(entry.path(), ec);
    }
}

void checkLayout(std::string_view pattern, std::uint64_t h) {
    LogLayout layout(pattern);
    LogEvent event;
    event.level = static_cast<LogLevel>(h % 9);
    event.channel = "TLSProxy";
    event.message = "a \"quoted\" message\twith\\bytes \xc3\xa9";
    event.wallMs = 1700000000123;
    event.elapsedNs = 4567000000;
    const std::uint64_t maxMessage = (h >> 8) % 4 == 0 ? 5 : 0;
    for (LogSerialization s : {LogSerialization::Plain, LogSerialization::Json}) {
        std::string first;
        std::string second;
        layout.render(event, s, maxMessage, first);
        layout.render(event, s, maxMessage, second);
        // %u (processor time, with or without flags such as %5u) is the one
        // conversion that may differ between two renderings.
        if (pattern.find('u') == std::string_view::npos) FUZZ_CHECK(first == second);
    }
    std::string date;
    LogDateFormat(pattern).format(event.wallMs, date);
    (void)LogDateFormat::valid(pattern);
    // A message atom cut to 3 characters.
    LogLayout cut("%.3m");
    std::string out;
    cut.render(event, LogSerialization::Plain, 0, out);
    FUZZ_CHECK(out.size() == 3);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Logger proxyLog("TLSProxy");
    static Logger otherLog("FuzzChannel");
    const std::string_view text = fuzz::asText(data, size);
    const std::uint64_t h = fuzz::hashBytes(text);

    checkLayout(text, h);

    std::string config;
    if (!confineFileNames(text, config)) return 0;
    const std::string path = logDir() + "/log.cfg";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << config;

    LogConfigContext context;
    context.path = path;
    context.substitutions.emplace_back("${MORVEX_HOME}", fuzz::scratchDir());
    context.deferredOpenNames = {"b.log"};
    context.commandLine = (h & 7) == 0;  // standard error only now and then: it is slow
    context.allowedKeys = (h >> 3) % 4 == 0 ? (kLogKeyAll & ~kLogKeyLayout) : kLogKeyAll;
    if ((h >> 5) & 1) context.sectionName = "tlsproxy";
    FUZZ_CHECK(loadLogConfig(context));

    proxyLog.debug("debug %s %d", "text", 42);
    proxyLog.warn("warn with \"quotes\" and a tab\t and \\");
    otherLog.error("error %%m: %m");
    otherLog.info("info %.*s", static_cast<int>(std::min<std::size_t>(size, 64)), text.data());
    emptyLogDir();
    return 0;
}
