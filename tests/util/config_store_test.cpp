#include "util/config_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using morvex::ConfigStore;

namespace {

class ConfigStoreTest : public testing::Test {
protected:
    void SetUp() override {
        _etc = fs::temp_directory_path() / ("config_store_test_" + std::to_string(::getpid()));
        fs::create_directories(_etc / "system/default");
        fs::create_directories(_etc / "system/local");
    }
    void TearDown() override { fs::remove_all(_etc); }
    void write(const std::string& rel, const std::string& text) { std::ofstream(_etc / rel) << text; }

    fs::path _etc;
};

}  // namespace

TEST_F(ConfigStoreTest, LocalOverridesDefaultKeyByKey) {
    write("system/default/server.conf", "[sslConfig]\na = 1\nb = 2\n[onlyDefault]\nx = y\n");
    write("system/local/server.conf", "[ sslConfig ]\nb = 20\nc = 30\n[onlyLocal]\n");
    ConfigStore store(_etc.string());

    auto ssl = store.stanza("server", "sslConfig");
    ASSERT_TRUE(ssl.has_value());
    EXPECT_EQ(*ssl, (morvex::PropertySet{{"a", "1"}, {"b", "20"}, {"c", "30"}}));
    EXPECT_EQ(store.value("server", "onlyDefault", "x"), "y");
    EXPECT_TRUE(store.hasStanza("server", "onlyLocal"));
    EXPECT_FALSE(store.hasStanza("server", "missing"));
    EXPECT_EQ(store.value("server", "sslConfig", "missing"), std::nullopt);

    // Read once: later changes on disk do not alter the merged view.
    write("system/local/server.conf", "[sslConfig]\nb = 99\n");
    EXPECT_EQ(store.value("server", "sslConfig", "b"), "20");
    // Missing layers count as empty.
    EXPECT_FALSE(store.stanza("nothing", "s").has_value());
}

TEST_F(ConfigStoreTest, ALayerThatCannotBeReadIsListedNotTakenAsEmpty) {
    write("system/default/server.conf", "[sslConfig]\na = 1\n");
    fs::create_directories(_etc / "system/local/server.conf");  // opens, but reading fails
    ConfigStore store(_etc.string());
    testing::internal::CaptureStderr();
    const std::vector<std::string> errors = store.readErrors("server");
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0],
              "Cannot read file=" + store.localPath("server") + " for parsing: not a regular file (a directory)");
    EXPECT_EQ(store.value("server", "sslConfig", "a"), "1");
    EXPECT_TRUE(store.readErrors("other").empty());  // missing layers are no error
}
