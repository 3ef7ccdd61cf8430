#include "util/pathname.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "log_test_support.h"

namespace morvex {
namespace {

TEST(Pathname, JoinCollapseAndTrim) {
    EXPECT_EQ("/opt/m/etc", Pathname("/opt/m").join("etc").str());
    EXPECT_EQ("/opt/m/etc", Pathname("/opt/m/").join("//etc").str());
    EXPECT_EQ("/opt/m", Pathname("/opt/m").join("").str());
    EXPECT_EQ("/etc", Pathname().join("etc").str());
    EXPECT_EQ("home/var/log/morvex", Pathname("home").joined("var", "log", "morvex").str());

    EXPECT_EQ("/a/b/c", Pathname("/a////b//c").collapse().str());
    EXPECT_EQ("//server/share/x", Pathname("//server//share///x").collapse().str());
    EXPECT_EQ("/a/b", Pathname("/a/b//").trim().str());
    EXPECT_EQ("/", Pathname("///").normalize().str());
    EXPECT_EQ("/", Pathname("/").normalize().str());
    EXPECT_EQ("rel/x", Pathname("rel//x/").normalize().str());
}

TEST(Pathname, LongPathWarningNamesTheCallers) {
    const std::string longPath = "/" + std::string(300, 'd');
    test::CapturedStderr err;
    Pathname p(longPath);
    Pathname exempt("=X:" + std::string(300, 'e') + "/x");
    Pathname fine("/short");
    const std::string text = err.text();
    EXPECT_EQ(0u, text.find("WARN - Pathname '" + longPath + "' larger than MAX_PATH, callers: \r\n\t")) << text;
    EXPECT_EQ(text.rfind("WARN - "), 0u);  // one message: the exempt and short paths are quiet
}

}  // namespace
}  // namespace morvex
