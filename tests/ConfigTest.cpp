#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "TempDir.h"
#include "config/ConfigArg.h"
#include "config/ConfigException.h"
#include "config/ConfigFile.h"

namespace {

struct Entry {
    std::string key;
    std::string value;
};

struct ParseCase {
    char const* name;
    std::string input;
    std::vector<Entry> stored;
    std::vector<std::string> absent;
};

std::vector<ParseCase> const PARSE_CASES = {
    {"plain", "LogLevel=error\n", {{"LogLevel", "error"}}, {}},
    {"blanks_kept", "LogLevel = error\n", {{"LogLevel ", " error"}}, {"LogLevel"}},
    {"quoted", "ShutdownCmd=\"shutdown -h now\"\n", {{"ShutdownCmd", "shutdown -h now"}}, {}},
    {"quotes_inside", "ShutdownCmd=echo \"a=b\" done\n", {{"ShutdownCmd", "echo a=b done"}}, {}},
    {"escaped_quote",
     "StatusChangedCmd=\"logger \\\"power\\\"\"\n",
     {{"StatusChangedCmd", "logger \"power\""}},
     {}},
    {"escapes_drop_backslash", "X=\"a\\\\b\\nc\"\n", {{"X", "abnc"}}, {}},
    {"backslash_outside_quotes", "X=a\\b\n", {{"X", "a\\b"}}, {}},
    {"quotes_in_key", "\"LogLevel\"=info\n", {{"\"LogLevel\"", "info"}}, {"LogLevel"}},
    {"no_comments", "LogLevel=info # quiet\n", {{"LogLevel", "info # quiet"}}, {}},
    {"later_equals_in_value",
     "ShutdownCmd=env X=1 init 0\n",
     {{"ShutdownCmd", "env X=1 init 0"}},
     {}},
    {"empty_value", "LogLevel=\n", {{"LogLevel", ""}}, {}},
    {"crlf", "LogLevel=info\r\n", {{"LogLevel", "info"}}, {}},
    {"lone_cr_ends_nothing", "A=1\rB=2\n", {{"A", "1B=2"}}, {"B"}},
    {"empty_line", "\n", {{"", ""}}, {}},
    {"quoted_line_feed", "Cmd=\"first\nsecond\"\n", {{"Cmd", "first\nsecond"}}, {}},
    {"last_line_without_lf", "PowerOffTimer=20", {{"PowerOffTimer", "20"}}, {}},
    {"unclosed_quote_swallows",
     "Cmd=x\"y\nLogLevel=info\n",
     {{"Cmd", "xy\nLogLevel=info\n"}},
     {"LogLevel"}},
    {"key_without_equals", "LogLevel\n", {{"LogLevel", ""}}, {}},
    {"last_one_wins", "LogLevel=info\nLogLevel=error\n", {{"LogLevel", "error"}}, {}},
    {"trailing_blank_kept", "LogLevel=info \n", {{"LogLevel", "info "}}, {}},
    {"cut_in_key_state", "LogLevel", {{"LogLevel", ""}}, {}},
    {"cut_without_key_dropped", "=value", {}, {""}},
    {"nul_bytes", std::string("A=x\0y\n", 6), {{"A", std::string("x\0y", 3)}}, {}},
    {"section_and_comment_lines",
     "[main]\n# LogLevel\n",
     {{"[main]", ""}, {"# LogLevel", ""}},
     {"LogLevel"}},
};

void PrintTo(ParseCase const& c, std::ostream* os) {
    *os << c.name;
}

class ConfigFileParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ConfigFileParse, StoresWhatTheFileSays) {
    ParseCase const& c = GetParam();
    TempDir dir;
    std::string const path = dir.write("nuvexmon.conf", c.input);
    ConfigFile config;
    config.load(path);
    for (Entry const& e : c.stored) {
        EXPECT_EQ(config.getString(e.key), e.value) << "key '" << e.key << "'";
    }
    for (std::string const& key : c.absent) {
        EXPECT_THROW(config.getString(key), ConfigException) << "key '" << key << "'";
    }
}

INSTANTIATE_TEST_SUITE_P(Examples, ConfigFileParse, ::testing::ValuesIn(PARSE_CASES),
                         [](auto const& param) { return std::string(param.param.name); });

TEST(ConfigFile, UnreadableFilesLeaveTheStoreAlone) {
    TempDir dir;
    ConfigFile config;
    config.addDefault("LogLevel", "debug");
    config.load(dir.path() + "/missing.conf");
    config.load(dir.path());  // a directory: opening works, reading fails at once
    EXPECT_EQ(config.getString("LogLevel"), "debug");
}

TEST(ConfigFile, CrLfAndLfGiveTheSameSettings) {
    TempDir dir;
    ConfigFile lf;
    ConfigFile crlf;
    lf.load(dir.write("lf.conf", "A=1\nB=\"x y\"\n"));
    crlf.load(dir.write("crlf.conf", "A=1\r\nB=\"x y\"\r\n"));
    EXPECT_EQ(lf.getString("A"), crlf.getString("A"));
    EXPECT_EQ(lf.getString("B"), crlf.getString("B"));
}

TEST(ConfigFile, DropInsFollowTheFileInByteOrder) {
    TempDir dir;
    std::string const file = dir.write("n.conf", "A=main\nB=main\nC=main\n");
    ::mkdir((file + ".d").c_str(), 0755);
    dir.write("n.conf.d/20-b.conf", "B=20\nC=20\n");
    dir.write("n.conf.d/10-a.conf", "A=10\nB=10\n");
    dir.write("n.conf.d/Z.conf", "C=Z\n");  // byte order: after the digits
    dir.write("n.conf.d/30-c.conf.dpkg-old", "C=old\n");
    dir.write("n.conf.d/.hidden.conf", "C=hidden\n");
    ConfigFile config;
    config.load(file);
    EXPECT_EQ(config.getString("A"), "10");
    EXPECT_EQ(config.getString("B"), "20");
    EXPECT_EQ(config.getString("C"), "Z");
}

TEST(ConfigFile, HugeLineWithoutLineFeedIsOneValue) {
    TempDir dir;
    std::string const big(10 * 1024 * 1024, 'v');
    ConfigFile config;
    config.load(dir.write("big.conf", "K=" + big));
    EXPECT_EQ(config.getString("K").size(), big.size());
}

TEST(Config, LookupOfAbsentKeyThrowsAndInsertsNothing) {
    Config config;
    try {
        config.getString("StatusChangedCmd");
        FAIL() << "no exception";
    } catch (ConfigException const& e) {
        EXPECT_STREQ(e.what(), "unknown config key: StatusChangedCmd");
    }
    EXPECT_THROW(config.getValue("StatusChangedCmd"), ConfigException);
    config.addDefault("k", "1");
    config.addDefault("k", "2");
    EXPECT_EQ(config.getString("k"), "2");
}

struct IntCase {
    std::string value;
    int base;
    int expected;
};

TEST(Config, GetIntFollowsStrtol) {
    std::vector<IntCase> const cases = {
        {"0x18", 16, 24},
        {"18", 16, 24},
        {" 18", 16, 24},
        {"0X18", 16, 24},
        {"30 seconds", 10, 30},
        {"30s", 10, 30},
        {"-5", 10, -5},
        {"+7", 10, 7},
        {"0x1e", 10, 0},
        {"0x118", 16, 0x118},
        {"2147483647", 10, 2147483647},
        {"-2147483648", 10, -2147483647 - 1},
        {"7fffffff", 16, 2147483647},
        {"-1", 10, -1},
        {"\t\n 300", 10, 300},
        {"0x", 16, 0},
    };
    for (IntCase const& c : cases) {
        Config config;
        config.addDefault("k", c.value);
        EXPECT_EQ(config.getInt("k", c.base), c.expected) << "'" << c.value << "' base " << c.base;
    }
}

TEST(Config, GetIntRejectsNonNumbersAndOutOfRangeWithStoi) {
    std::vector<std::string> const invalid = {"", "x", "   ", "abc", "-", "+", "\n"};
    for (std::string const& value : invalid) {
        Config config;
        config.addDefault("k", value);
        try {
            config.getInt("k", 10);
            ADD_FAILURE() << "'" << value << "' converted";
        } catch (std::invalid_argument const& e) {
            EXPECT_STREQ(e.what(), "stoi");
        }
    }
    // Out of int32 range whatever the width of long: the same on the ARM target and x86-64.
    std::vector<std::pair<std::string, int>> const outOfRange = {
        {"4294967296", 10},  {"2147483648", 10},           {"-2147483649", 10},
        {"80000000", 16},    {"99999999999999999999", 10}, {"-99999999999999999999", 10},
        {"0x100000000", 16},
    };
    for (auto const& [value, base] : outOfRange) {
        Config config;
        config.addDefault("k", value);
        try {
            config.getInt("k", base);
            ADD_FAILURE() << "'" << value << "' converted";
        } catch (std::out_of_range const& e) {
            EXPECT_STREQ(e.what(), "stoi");
        }
    }
}

TEST(ConfigArg, OnlyTheExactWordSelectsPowerOff) {
    struct ArgCase {
        std::vector<std::string> args;
        char const* expected;
    };
    std::vector<ArgCase> const cases = {
        {{"nuvexmon", "poweroff"}, "1"},
        {{"nuvexmon", "-v", "poweroff"}, "1"},
        {{"poweroff"}, "1"},
        {{"nuvexmon", "x", "poweroff"}, "1"},
        {{"nuvexmon", "Poweroff"}, "0"},
        {{"nuvexmon", "--poweroff"}, "0"},
        {{"nuvexmon", "poweroff=1"}, "0"},
        {{"nuvexmon", "poweroffx"}, "0"},
        {{"nuvexmon"}, "0"},
        // A mode word first takes the rest as its own arguments.
        {{"nuvexmon", "event", "poweroff"}, "0"},
        {{"nuvexmon", "system-shutdown", "poweroff"}, "0"},
        {{"nuvexmon", "poweroff", "event"}, "1"},
    };
    for (ArgCase const& c : cases) {
        std::vector<char*> argv;
        std::vector<std::string> storage = c.args;
        for (std::string& a : storage) {
            argv.push_back(a.data());
        }
        ConfigArg config;
        config.addDefault("poweroff", "0");
        config.load(static_cast<int>(argv.size()), argv.data());
        EXPECT_EQ(config.getString("poweroff"), c.expected) << c.args.back();
        if (c.args.size() == 3 && (c.args[1] == "event" || c.args[1] == "system-shutdown")) {
            EXPECT_EQ(config.getString("mode"), c.args[1]);
            EXPECT_EQ(config.getString("argument"), c.args[2]);
        }
    }
    ConfigArg none;
    none.addDefault("poweroff", "0");
    none.load(0, nullptr);
    EXPECT_EQ(none.getString("poweroff"), "0");
}

}  // namespace
