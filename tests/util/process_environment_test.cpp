#include "util/process_environment.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

namespace morvex {
namespace {

// Sets or clears a variable for a scope, restoring the old value.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : _name(name) {
        if (const char* old = std::getenv(name)) _old = old, _had = true;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { _had ? setenv(_name, _old.c_str(), 1) : unsetenv(_name); }

private:
    const char* _name;
    std::string _old;
    bool _had = false;
};

TEST(ProcessEnvironment, NormalisesAndWritesBackTheDirectories) {
    ScopedEnv home("MORVEX_HOME", "/opt////morvex//");
    ScopedEnv etc("MORVEX_ETC", nullptr);
    ScopedEnv db("MORVEX_DB", "/");
    ProcessEnvironment env;
    env.initialize();
    EXPECT_EQ("/opt/morvex", env.homeDirectory().str());
    EXPECT_STREQ("/opt/morvex", std::getenv("MORVEX_HOME"));
    EXPECT_EQ("/", env.dataDirectory().str());
    EXPECT_EQ("/opt/morvex/etc", env.settingsDirectory().str());
    EXPECT_EQ("/opt/morvex/etc/auth/server_tlsproxy.pem", env.proxyCertificatePath().str());
    EXPECT_EQ("/opt/morvex/var/log/morvex", env.crashLogDirectory().str());

    // A later run reads the environment again; unset variables keep the field.
    ScopedEnv etc2("MORVEX_ETC", "/etc/morvex/");
    ScopedEnv home2("MORVEX_HOME", "");
    env.initialize();
    EXPECT_EQ("/etc/morvex", env.settingsDirectory().str());
    EXPECT_STREQ("/etc/morvex", std::getenv("MORVEX_ETC"));
    EXPECT_EQ("/opt/morvex", env.homeDirectory().str());
}

TEST(ProcessEnvironment, HostIdentityAndServerName) {
    {
        ScopedEnv host("COMPUTERNAME", nullptr);
        ScopedEnv server("MORVEX_SERVER_NAME", "");
        ProcessEnvironment a, b;
        EXPECT_THAT(a.hostIdentity(), ::testing::MatchesRegex("no-hostname-set \\[[0-9a-f]{32}\\]"));
        EXPECT_NE(a.hostIdentity(), b.hostIdentity());
        EXPECT_EQ("Morvexd", a.serverName());
    }
    ScopedEnv host("COMPUTERNAME", "box7");
    ScopedEnv server("MORVEX_SERVER_NAME", "idx1");
    ProcessEnvironment env;
    EXPECT_THAT(env.hostIdentity(), ::testing::MatchesRegex("box7 \\[[0-9a-f]{32}\\]"));
    EXPECT_EQ("idx1", env.serverName());
    EXPECT_EQ(&ProcessEnvironment::instance(), &ProcessEnvironment::instance());
}

}  // namespace
}  // namespace morvex
