// Logging configuration: start-up and the loader of the configuration file.
//
// The program's file is $MORVEX_ETC/log-tlsproxy.cfg (the settings directory,
// by default $MORVEX_HOME/etc); a file beside it with "-local" before the
// extension (log-tlsproxy-local.cfg) is read after it and overrides it.
//
// Syntax, one setting per line ('#' starts a comment, <!-- ... --> may span
// lines, an optional "log4cpp." prefix is ignored):
//   rootCategory=WARN, A1                    threshold and appenders of all channels
//   category.TLSProxy=DEBUG                  per channel; a level alone keeps the appenders
//   appender.A1.fileName=${MORVEX_HOME}/var/log/morvex/tlsproxy.log
//   appender.A1.maxFileSize=26214400         bytes (or "25MB"/"25 MB", reported); 0: never roll
//   appender.A1.maxBackupIndex=5
//   appender.A1.layout=PatternLayout         or BasicLayout, SimpleLayout
//   appender.A1.layout.ConversionPattern=%d %p %c %m%n
//   appender.A1.serialization=JSON           appender.A1.escape=false
//   appender.A1.maxMessageSize=16384         appender.A1.bufferSize=16384 (at most 65536)
// Bad lines never stop the load: they are reported (WARN, with file and line)
// once the new configuration is in force.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace morvex {

// Bits of LogConfigContext::allowedKeys, one per appender property.
enum LogConfigKey : unsigned {
    kLogKeyMaxFileSize = 1,
    kLogKeyMaxBackupIndex = 2,
    kLogKeyLayout = 4,
    kLogKeyConversionPattern = 8,
    kLogKeyFileName = 16,
    kLogKeySerialization = 32,
    kLogKeyMaxMessageSize = 64,
    kLogKeyBufferSize = 128,
    kLogKeyEscape = 256,
    kLogKeyAll = 511,
};

// What the start-up hands to the loader.
struct LogConfigContext {
    // The main file; the "-local" file is derived from it.
    std::string path;
    // Replaced (left to right, once) in every appender property value.
    std::vector<std::pair<std::string, std::string>> substitutions;
    // Appenders whose file name contains one of these open on first use.
    std::vector<std::string> deferredOpenNames;
    // true: the root appender stays on standard error and a named appender
    // without a file name writes there too; false: both are disabled.
    bool commandLine = true;
    // With fewer than all bits, other properties are refused and the numeric
    // ones may only grow.
    unsigned allowedKeys = kLogKeyAll;
    // Lines after a [section] header are read only under this name; empty:
    // nothing after the first header takes effect.
    std::string sectionName;
};

// Loads a configuration (resetting an earlier one) and starts the LogFlusher
// thread when a MainThread exists. Returns false when the main file did not
// open or is not a regular file of at most kMaxSettingsFileBytes (logging
// then stays on standard error at INFO). Call at start-up, with no logging
// lock held.
bool loadLogConfig(const LogConfigContext& context);

// The override file's path: "-local" inserted before the extension of the
// file name, or appended when it has none.
std::string localLogConfigPath(const std::string& path);

// The program's logging start-up: initialises the process environment, ends
// the process with -1 when MORVEX_HOME is empty ("MORVEX_HOME must be set.
// Stopping." on standard error), and loads <settings dir>/<fileName>
// ("log-cmdline.cfg" when null) with ${MORVEX_HOME} substituted. Unless quiet,
// prints "Using logging configuration at <path>." to standard error first.
// Then SIGHUP, SIGQUIT, SIGTERM and SIGINT (where still at their default)
// write the batched lines before they end the process.
void startLogging(const char* fileName, bool quiet);

}  // namespace morvex
