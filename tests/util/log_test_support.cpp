#include "log_test_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "util/log_facility.h"

namespace morvex::test {

ScratchDir::ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "morvex-log-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) std::abort();
    _path = tmpl;
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(_path, ec);
}

void writeWholeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

ScopedLogConfig::ScopedLogConfig(const std::string& path, const std::string& text, LogConfigContext context,
                                 const std::string* localText) {
    writeWholeFile(path, text);
    if (localText) writeWholeFile(localLogConfigPath(path), *localText);
    context.path = path;
    _loaded = loadLogConfig(context);
}

ScopedLogConfig::~ScopedLogConfig() {
    LogFacility::instance().flushAll();
    LogFacility::instance().unconfigure();
}

CapturedStderr::CapturedStderr() {
    std::fflush(stderr);
    _saved = ::dup(STDERR_FILENO);
    int fd = ::open(_dir.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
}

CapturedStderr::~CapturedStderr() {
    std::fflush(stderr);
    ::dup2(_saved, STDERR_FILENO);
    ::close(_saved);
}

std::string CapturedStderr::text() const {
    std::fflush(stderr);
    return readWholeFile(_dir.file("stderr"));
}

}  // namespace morvex::test
