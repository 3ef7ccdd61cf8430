// What stands at a settings path is not trusted: a FIFO, a device, a
// directory or a runaway file in place of server.conf, log-tlsproxy.cfg or
// a CRL gives the reader's error line with the reason, at once, and never
// a hang or a memory blow-up. One fixture drives the three readers.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "log_test_support.h"
#include "tls/x509_crl_check.h"
#include "util/ini_file.h"
#include "util/log_config.h"
#include "util/log_facility.h"

namespace morvex {
namespace {

using ::testing::HasSubstr;

// The readers' bounds: 4 MiB for .conf files and the logging configuration,
// 64 MiB for a CRL.
constexpr std::size_t kConfBound = 4u << 20;
constexpr std::size_t kCrlBound = 64u << 20;

struct Kind {
    const char* name;
    const char* reason;  // what the error line says
};

class UnusableSettingsFile : public ::testing::Test {
protected:
    // Puts a thing of the kind at dir/name; returns its path.
    std::string make(const Kind& kind, const std::string& name, std::size_t bound) {
        const std::string path = dir.file(name);
        const std::string what = kind.name;
        if (what == "fifo") {
            EXPECT_EQ(0, ::mkfifo(path.c_str(), 0600));
        } else if (what == "device") {
            EXPECT_EQ(0, ::symlink("/dev/zero", path.c_str()));
        } else if (what == "directory") {
            EXPECT_EQ(0, ::mkdir(path.c_str(), 0700));
        } else {  // one byte over the bound, sparse
            int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            EXPECT_EQ(0, ::ftruncate(fd, static_cast<off_t>(bound) + 1));
            ::close(fd);
        }
        return path;
    }

    // Runs read and gives the standard error it wrote. A reader that hangs
    // (on a FIFO) is freed by opening the FIFO for writing, and fails.
    std::string run(const std::string& path, const std::function<void()>& read) {
        test::CapturedStderr err;
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> finished = done->get_future();
        std::thread reader([read, done] {
            read();
            done->set_value();
        });
        if (finished.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << path << ": the reader hangs";
            int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) ::close(fd);
        }
        reader.join();
        return err.text();
    }

    test::ScratchDir dir;
    const Kind kinds[4] = {{"fifo", "not a regular file (a FIFO)"},
                           {"device", "not a regular file (a character device)"},
                           {"directory", "not a regular file (a directory)"},
                           {"oversized", "larger than "}};
};

TEST_F(UnusableSettingsFile, ConfFileFailsWithItsReadErrorLine) {
    for (const Kind& kind : kinds) {
        const std::string path = make(kind, std::string("server-") + kind.name + ".conf", kConfBound);
        IniFile file;
        const std::string err = run(path, [&] { file = IniFile::load(path); });
        EXPECT_TRUE(file.readFailed()) << kind.name;
        EXPECT_TRUE(file.stanzas().empty()) << kind.name;
        const std::string line = "Cannot read file=" + path + " for parsing: " + kind.reason;
        EXPECT_THAT(file.error(), HasSubstr(line)) << kind.name;
        EXPECT_THAT(err, HasSubstr("ERROR - " + line)) << kind.name;
    }
    // A missing file is no error of this kind: it is simply empty.
    EXPECT_FALSE(IniFile::load(dir.file("none.conf")).readFailed());
}

TEST_F(UnusableSettingsFile, LoggingConfigurationFailsWithItsOpenErrorLine) {
    for (const Kind& kind : kinds) {
        const std::string path = make(kind, std::string("log-") + kind.name + ".cfg", kConfBound);
        LogConfigContext context;
        context.path = path;
        bool loaded = true;
        const std::string err = run(path, [&] { loaded = loadLogConfig(context); });
        LogFacility::instance().unconfigure();
        EXPECT_FALSE(loaded) << kind.name;
        EXPECT_THAT(err, HasSubstr("Couldn't open log file configuration \"" + path + "\": " + kind.reason))
            << kind.name;
    }
    // The same thing as the local file: the main file is used, the local
    // one is reported.
    const std::string main = dir.file("log.cfg");
    test::writeWholeFile(main, "rootCategory=INFO\n");
    const std::string local = make(kinds[0], "log-local.cfg", kConfBound);
    LogConfigContext context;
    context.path = main;
    bool loaded = false;
    const std::string err = run(local, [&] { loaded = loadLogConfig(context); });
    LogFacility::instance().unconfigure();
    EXPECT_TRUE(loaded);
    EXPECT_THAT(err, HasSubstr("Couldn't open log file configuration \"" + local + "\": " + kinds[0].reason));
}

TEST_F(UnusableSettingsFile, CrlFailsWithItsAddErrorLine) {
    for (const Kind& kind : kinds) {
        if (std::string(kind.name) == "directory") continue;  // a CRL directory is read file by file
        const std::string path = make(kind, std::string("crl-") + kind.name + ".pem", kCrlBound);
        X509RevocationStore store;
        bool ok = true;
        const std::string err = run(path, [&] { ok = store.load(path); });
        EXPECT_FALSE(ok) << kind.name;
        EXPECT_EQ(0u, store.size()) << kind.name;
        EXPECT_THAT(err, HasSubstr("Failed to add (" + path + ") to the revocation store.")) << kind.name;
        EXPECT_THAT(err, HasSubstr(kind.reason)) << kind.name;
    }
}

}  // namespace
}  // namespace morvex
