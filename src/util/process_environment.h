// The product's directories, read from the process environment.
//
// One object per process (ProcessEnvironment::instance()), created on first use
// and never destroyed. initialize() reads MORVEX_HOME, MORVEX_DB and
// MORVEX_ETC, normalises each as a path (collapsed separators, no trailing
// separator) and writes the normalised value back into the environment so
// that later readers and child processes see the same text. It performs no
// checks: an unset variable leaves its field empty. Used from the main thread
// during start-up only; initialize() may run more than once.
#pragma once

#include <string>

#include "util/pathname.h"

namespace morvex {

class ProcessEnvironment {
public:
    // The process's one environment, constructed on first use (thread-safe).
    static ProcessEnvironment& instance();

    // A fresh environment object (tests); the program uses instance().
    ProcessEnvironment();
    ProcessEnvironment(const ProcessEnvironment&) = delete;
    ProcessEnvironment& operator=(const ProcessEnvironment&) = delete;

    // Reads the variables again, normalises them and writes them back.
    void initialize();

    // $MORVEX_HOME, normalised; empty when unset.
    const Pathname& homeDirectory() const noexcept { return _homeDirectory; }
    // $MORVEX_DB, normalised; empty when unset.
    const Pathname& dataDirectory() const noexcept { return _dataDirectory; }
    // $MORVEX_ETC when set, otherwise <home>/etc.
    Pathname settingsDirectory() const;
    // <settings>/auth/server_tlsproxy.pem
    Pathname proxyCertificatePath() const;
    // <home>/var/log/morvex: where crash reports go.
    Pathname crashLogDirectory() const;

    // $MORVEX_SERVER_NAME, or "Morvexd" when unset or empty.
    const std::string& serverName() const noexcept { return _serverName; }
    // "$COMPUTERNAME [<32 hex digits>]" ("no-hostname-set" without the
    // variable); the digits are random per process.
    const std::string& hostIdentity() const noexcept { return _hostIdentity; }

    const std::string& daemonComponentName() const noexcept { return _daemonComponentName; }
    const std::string& installName() const noexcept { return _installName; }
    unsigned managementPort() const noexcept { return _managementPort; }

private:
    // Reads one variable into field, normalises it and writes it back.
    static void readPathVariable(const char* variable, Pathname& field);

    Pathname _homeDirectory;
    Pathname _dataDirectory;
    Pathname _settingsDirectory;
    std::string _daemonComponentName = "morvexd";
    std::string _installName = "myinstall";
    unsigned _managementPort = 8089;
    // 1 makes the settings directory field binding even when empty.
    int _settingsDirectoryMode = 5;
    std::string _serverName;
    std::string _hostIdentity;
};

}  // namespace morvex
