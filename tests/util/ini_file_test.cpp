#include "util/ini_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using morvex::IniFile;
using testing::HasSubstr;
using testing::Not;

namespace {

// Parses `text` and returns what was logged on stderr.
std::string parseLogged(IniFile& out, const std::string& path, const std::string& text) {
    testing::internal::CaptureStderr();
    out = IniFile::parse(path, text);
    return testing::internal::GetCapturedStderr();
}

int countOf(const std::string& haystack, const std::string& needle) {
    int n = 0;
    for (std::size_t p = haystack.find(needle); p != std::string::npos; p = haystack.find(needle, p + 1)) ++n;
    return n;
}

}  // namespace

TEST(IniFileTest, StanzasKeysAndDefaultStanza) {
    IniFile f;
    std::string log = parseLogged(f, "t.conf",
                                  "a = b\n"
                                  "[ x ]\n"
                                  "k1 = v1\n"
                                  "[x]\n"
                                  "k2=v2 # not a comment\n"
                                  "[a]b]  trailing\n"
                                  "\tkey\t=\t value \r\n");
    EXPECT_EQ(log, "");
    ASSERT_NE(f.value("default", "a"), nullptr);
    EXPECT_EQ(*f.value("default", "a"), "b");
    // " x " and "x" are one stanza; later headers continue it.
    ASSERT_NE(f.stanza("x"), nullptr);
    EXPECT_EQ(f.stanza(" x"), f.stanza("x"));
    EXPECT_EQ(*f.value("x", "k1"), "v1");
    EXPECT_EQ(*f.value("x", " k2 "), "v2 # not a comment");
    // The name runs to the last ']'; text after it is ignored; CRLF is one terminator.
    EXPECT_EQ(*f.value("a]b", "key"), "value");
    EXPECT_EQ(f.lineNumber(), 7u);

    std::vector<std::string> names;
    for (const auto& [name, s] : f.stanzas()) names.push_back(s.name);
    EXPECT_EQ(names, (std::vector<std::string>{"a]b", "default", " x "}));
}

TEST(IniFileTest, EscapesContinuationsAndNulBytes) {
    IniFile f;
    std::string text =
        "[s]\n"
        "a\\=b = c=d\n"     // escaped '=' stays in the key; split at the next one
        "path = C:\\dir\n"  // no escape processing in values
        "multi = 1\\\n"
        "2\\\n"
        "3\n"
        "spaced = x\\ \n"  // backslash then space: no continuation
        "next = y\n";
    text += std::string("n\0ul = v\0al\n", 12);
    std::string log = parseLogged(f, "esc.conf", text);
    EXPECT_EQ(*f.value("s", "a=b"), "c=d");
    EXPECT_EQ(*f.value("s", "path"), "C:\\dir");
    EXPECT_EQ(*f.value("s", "multi"), "1\n2\n3");
    EXPECT_EQ(*f.value("s", "spaced"), "x\\");
    EXPECT_EQ(*f.value("s", "next"), "y");
    EXPECT_EQ(*f.value("s", "nul"), "val");
    EXPECT_EQ(countOf(log, "esc.conf, line 9:  Found null character: "), 1) << log;
    EXPECT_EQ(f.lineNumber(), 9u);
}

TEST(IniFileTest, MalformedLinesWarnAndAreRetained) {
    IniFile f;
    std::string log = parseLogged(f, "/etc/m.conf",
                                  "# leading comment\n"
                                  "\n"
                                  "[open\n"
                                  "k = first\n"
                                  "   \n"
                                  "; why\n"
                                  "k = second\n"
                                  "no equals here\n"
                                  "[s2]\n"
                                  "x = 1\n"
                                  "; trailing\n"
                                  "dangling\\");
    EXPECT_THAT(log, HasSubstr("/etc/m.conf, line 3: Stanza header is missing terminator: [open"));
    EXPECT_THAT(log, HasSubstr("/etc/m.conf, line 7: Key used more than once in the same stanza: k: k = second"));
    EXPECT_THAT(log, HasSubstr("/etc/m.conf, line 8: Cannot parse into key-value pair: no equals here"));
    EXPECT_THAT(log, HasSubstr("/etc/m.conf, line 12: Cannot end on an escape character: dangling\\"));
    EXPECT_EQ(countOf(log, "WARN"), 5) << log;  // the escape line also cannot be parsed

    const IniFile::Stanza* open = f.stanza("open");
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(open->leadingLines, (std::vector<std::string>{"# leading comment", ""}));
    EXPECT_EQ(*open->find("k"), "first");
    // The dropped duplicate and the lines before it are kept, ahead of the next header.
    EXPECT_EQ(f.stanza("s2")->leadingLines, (std::vector<std::string>{"   ", "; why", "k = second", "no equals here"}));
    EXPECT_EQ(f.trailingLines(), (std::vector<std::string>{"; trailing", "dangling\\"}));
}

TEST(IniFileTest, SchemaFilesKeepFreeTextQuietly) {
    IniFile f;
    std::string log = parseLogged(f, "server.conf.spec", "[s]\nsome free text\nk = v\n");
    EXPECT_THAT(log, Not(HasSubstr("Cannot parse")));
    EXPECT_EQ(f.stanza("s")->settings.at("k").leadingLines, (std::vector<std::string>{"some free text"}));
}

TEST(IniFileTest, UnicodeWhitespaceIsTrimmedAndBlank) {
    IniFile f;
    // U+3000 and U+00A0 around the key and value; a line of U+2028 alone is blank.
    std::string log =
        parseLogged(f, "u.conf", "\xE3\x80\x80key\xC2\xA0=\xE2\x80\x8Bv\xC3\xA9\xE2\x80\xAF\n\xE2\x80\xA8\n");
    EXPECT_EQ(log, "");
    ASSERT_NE(f.value("default", "key"), nullptr);
    EXPECT_EQ(*f.value("default", "key"), "v\xC3\xA9");
    EXPECT_EQ(f.trailingLines().size(), 1u);
}

TEST(IniFileTest, UnopenableFileIsEmptyWithError) {
    IniFile f = IniFile::load("/nonexistent-dir/none.conf");
    EXPECT_TRUE(f.stanzas().empty());
    EXPECT_THAT(f.error(), HasSubstr("Cannot open file=/nonexistent-dir/none.conf for parsing: "));
    EXPECT_THAT(f.error(), HasSubstr("No such file"));
}
