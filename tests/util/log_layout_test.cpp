#include "util/log_layout.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <vector>

#include "util/json_node.h"
#include "util/log_text.h"

namespace morvex {
namespace {

using ::testing::MatchesRegex;

LogEvent event(LogLevel level, std::string_view message, std::string_view channel = "Chan") {
    LogEvent e;
    e.level = level;
    e.channel = channel;
    e.message = message;
    e.wallMs = 1700000000123;     // ,123 milliseconds
    e.elapsedNs = 2'500'000'001;  // 2500.000001 ms: %r rounds up to 2501
    return e;
}

std::string render(std::string_view pattern, const LogEvent& e, LogSerialization s = LogSerialization::Plain,
                   std::uint64_t maxMessageSize = 16384) {
    std::string out;
    LogLayout(pattern).render(e, s, maxMessageSize, out);
    return out;
}

TEST(LogLayout, StandardLayoutsAndConversions) {
    std::string out;
    LogLayout::simple()->render(event(LogLevel::Warn, "text"), LogSerialization::Plain, 16384, out);
    EXPECT_EQ("WARN    : text\r\n", out);
    out.clear();
    LogLayout::basic()->render(event(LogLevel::Error, "boom"), LogSerialization::Plain, 16384, out);
    EXPECT_EQ("2 ERROR Chan boom\r\n", out);

    EXPECT_EQ("2501|2|100%", render("%r|%R|100%%", event(LogLevel::Info, "")));
    // Unknown conversions vanish with their flags; a lone trailing % too.
    EXPECT_EQ("a-b-", render("a%-5q-%zb-%", event(LogLevel::Info, "")));
    EXPECT_THAT(render("%T %u", event(LogLevel::Info, "")), MatchesRegex("[0-9]+ [0-9]+"));
    EXPECT_EQ(LogLayout::currentThreadName(), render("%t", event(LogLevel::Info, "")));
}

TEST(LogLayout, WidthFlagsPadAndCut) {
    const LogEvent e = event(LogLevel::Warn, "message");
    EXPECT_EQ("[ WARN][WARN ][WA][WARN]", render("[%5p][%-5p][%.2p][%2p]", e));
    EXPECT_EQ("[02501][2501 ]", render("[%05r][%-05r]", e));
    EXPECT_EQ("[   message][mess]", render("[%10m][%.4m]", e));
    // A minimum and a maximum together: cut first, then padded.
    EXPECT_EQ("[  Ch]", render("[%4.2c]", e));
}

TEST(LogLayout, DateFormats) {
    const LogEvent e = event(LogLevel::Info, "");
    std::time_t seconds = static_cast<std::time_t>(e.wallMs / 1000);
    std::tm tm{};
    localtime_r(&seconds, &tm);
    char hms[16], ymd[16], dby[32];
    std::strftime(hms, sizeof hms, "%H:%M:%S", &tm);
    std::strftime(ymd, sizeof ymd, "%Y-%m-%d", &tm);
    std::strftime(dby, sizeof dby, "%d %b %Y", &tm);
    const std::string iso = std::string(ymd) + " " + hms + ",123";

    EXPECT_EQ(std::string(hms) + ",123", render("%d{ABSOLUTE}", e));
    EXPECT_EQ(iso, render("%d", e));
    EXPECT_EQ(iso, render("%d{}", e));
    EXPECT_EQ(iso, render("%d{ISO8601}", e));
    EXPECT_EQ(std::string(dby) + " " + hms + ",123", render("%d{DATE}", e));
    EXPECT_EQ(std::string(ymd).substr(0, 4) + "/123!", render("%d{%Y/%l}!", e));
    // Formats that do not compile fall back to ISO 8601.
    EXPECT_EQ(iso, render("%d{%Y %Q}", e));
    EXPECT_EQ(iso, render("%d{trailing %}", e));
}

TEST(LogLayout, LongMessagesAreCutWithTheSkippingMarker) {
    std::string text(20000, 'a');
    for (std::size_t i = 0; i < text.size(); i += 97) text[i] = 'b';
    std::string out = render("%m", event(LogLevel::Info, text));
    ASSERT_EQ(16384u, out.size());
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"( \.\.\.\{skipping ([0-9]+) bytes\}\.\.\. )")));
    const std::size_t skipped = std::stoul(m[1]);
    const std::size_t head = static_cast<std::size_t>(m.position(0));
    const std::size_t tail = out.size() - head - m.length(0);
    EXPECT_EQ(20000u, head + skipped + tail);
    EXPECT_EQ(text.substr(0, head), out.substr(0, head));
    EXPECT_EQ(text.substr(text.size() - tail), out.substr(out.size() - tail));
    EXPECT_NEAR(static_cast<double>(tail), (16384.0 - m.length(0)) / 4, 1.0);

    // maxMessageSize 0 never cuts; a maximum width overrides the size.
    EXPECT_EQ(20000u, render("%m", event(LogLevel::Info, text), LogSerialization::Plain, 0).size());
    EXPECT_EQ(text.substr(0, 44), render("%.44m", event(LogLevel::Info, text)));
    std::string cut = render("%.100m", event(LogLevel::Info, text));
    EXPECT_EQ(100u, cut.size());
    EXPECT_NE(std::string::npos, cut.find("skipping"));
}

TEST(LogLayout, JsonSerialization) {
    const LogEvent e = event(LogLevel::Warn, R"({"a":1})", "TLSProxy");
    std::string out = render("%d{ABSOLUTE} %p [%c] %m%n", e, LogSerialization::Json);
    EXPECT_EQ("{\"datetime\":\"" + render("%d{ABSOLUTE}", e) +
                  R"(","log_level":"WARN","component":"TLSProxy","data":{"a":1}})" + "\r\n",
              out);
    // Other atoms get keys of their own; plain literals are dropped; the data
    // member always comes last and closes the object.
    EXPECT_EQ("{\"elapsed_ms\":\"2501\",\"data\":{}}\r\n",
              render("x%ry%m%n", event(LogLevel::Info, "{}"), LogSerialization::Json));
    EXPECT_EQ("{\"log_level\":\"INFO\",\"data\":1}\r\n",
              render("%m %p%n", event(LogLevel::Info, "1"), LogSerialization::Json));
    EXPECT_EQ("{\"log_level\":\"INFO\"}\r\n", render("%p%n", event(LogLevel::Info, "1"), LogSerialization::Json));
}

// Whatever the message holds, a JSON line is one valid JSON object: a
// message that is JSON is kept as it is (on one line), anything else becomes
// a JSON string with every byte kept.
TEST(LogLayout, JsonOutputIsValidWhateverTheMessageHolds) {
    struct Case {
        std::string message;
        std::string data;
    };
    const std::vector<Case> cases = {
        {R"({"a":[1,2.5e3,true,null,"x\"y"]})", R"({"a":[1,2.5e3,true,null,"x\"y"]})"},
        {"{\n  \"a\": 1\r\n}", "{   \"a\": 1  }"},
        {"Connection closed, destination server=localhost", "\"Connection closed, destination server=localhost\""},
        {"say \"hi\" \\ bye", R"("say \"hi\" \\ bye")"},
        {"line\nnext\ttab\x01\x7f", R"("line\nnext\ttab\u0001\u007f")"},
        {"caf\xc3\xa9 \xff\xfe end", "\"caf\xc3\xa9 \\\\xff\\\\xfe end\""},
        {"{\"a\":1", R"("{\"a\":1")"},
        {"{\"s\":\"\xff\"}", R"("{\"s\":\"\\xff\"}")"},
        {"", R"("")"},
        {std::string("nul\0byte", 8), R"("nul\u0000byte")"},
    };
    for (const Case& c : cases) {
        LogEvent e = event(LogLevel::Info, "escaped text that JSON output must not use");
        e.rawMessage = c.message;
        const std::string out = render("%d %p %c %m%n", e, LogSerialization::Json);
        const std::string expected = "{\"datetime\":\"" + render("%d", e) +
                                     "\",\"log_level\":\"INFO\",\"component\":\"Chan\",\"data\":" + c.data + "}\r\n";
        EXPECT_EQ(expected, out) << c.message;
        EXPECT_TRUE(isJsonValue(out.substr(0, out.size() - 2))) << out;
        EXPECT_NO_THROW(JsonDocumentFillingParser::parse(out.substr(0, out.size() - 2))) << out;
    }
    // A JSON message over the size limit is cut as a string, still valid.
    LogEvent big = event(LogLevel::Info, "");
    const std::string array = "[" + std::string(30000, '1') + "]";
    big.rawMessage = array;
    const std::string out = render("%m", big, LogSerialization::Json, 1000);
    EXPECT_TRUE(isJsonValue(out)) << out.substr(0, 200);
    EXPECT_LT(out.size(), 1100u);
    EXPECT_THAT(out, ::testing::HasSubstr("skipping"));
}

TEST(LogText, JsonValueCheck) {
    for (const char* good : {"0", "-1.5E+3", "\"\"", " [ ] ", "{\"k\":{\"n\":[null,false]}}", "\"\\u00e9\\/\""})
        EXPECT_TRUE(isJsonValue(good)) << good;
    for (const char* bad : {"", "01", "1.", "[1,]", "{\"k\" 1}", "{k:1}", "\"\\x41\"", "\"tab\there\"", "1 2", "tru",
                            "\"\xc3\"", "\"\xed\xa0\x80\""})
        EXPECT_FALSE(isJsonValue(bad)) << bad;
    EXPECT_TRUE(isJsonValue(std::string(64, '[') + std::string(64, ']')));
    EXPECT_FALSE(isJsonValue(std::string(100, '[') + std::string(100, ']')));
}

TEST(LogText, EscapingAndShortening) {
    std::string out = "unchanged";
    EXPECT_FALSE(escapeLogText("plain\ttext \xc3\xa9", true, out));
    EXPECT_EQ("unchanged", out);
    ASSERT_TRUE(escapeLogText("a\nb\rc\x01\x7f\xff", true, out));
    EXPECT_EQ("a\\nb\\rc\\x01\\x7f\xff", out);
    ASSERT_TRUE(escapeLogText("a\nb\x01", false, out));
    EXPECT_EQ("a\\nb\x01", out);

    // Small limits: the head grows by four and the marker loses its "... ".
    std::string shortened;
    appendShortened(shortened, std::string(200, 'x'), 60);
    EXPECT_EQ(60u, shortened.size());
    EXPECT_THAT(shortened, MatchesRegex("x+ \\.\\.\\.\\{skipping [0-9]+ bytes\\}"));
    // A cut never leaves a trailing backslash in the head.
    shortened.clear();
    appendShortened(shortened, std::string(100, '\\') + std::string(200, 'y'), 120);
    EXPECT_EQ(0u, shortened.find(" ...{skipping"));
    // Limits smaller than any marker cut plainly.
    shortened.clear();
    appendShortened(shortened, "abcdefghijklmnopqrstuvwxyz0123456789", 10);
    EXPECT_EQ("abcdefghij", shortened);
}

TEST(LogLayout, HugeWidthsAreBounded) {
    // Found by fuzzing: a width past the string's limit threw from render().
    const LogEvent e = event(LogLevel::Warn, "message");
    EXPECT_EQ(4096u, render("%88888888888888888888888888888888d", e).size());
    EXPECT_EQ(4096u, render("%-99999999999m", e).size());
    EXPECT_EQ("message", render("%.99999999999999999999999m", e));
}

}  // namespace
}  // namespace morvex
