#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ScenarioError.h"
#include "ScenarioParser.h"

namespace {

using Action = Scenario::Action;
using Trigger = Scenario::Trigger;

TEST(ScenarioParser, ReadsEveryStatement) {
    Scenario const scenario = ScenarioParser::parse(
        "# a comment line\n"
        "\n"
        "status 0x09   # trailing comment\n"
        "measure 4100 250\n"
        "version \"V 1.0\\x00\\\"#\\\\\"\n"
        "poll 3 status 2\n"
        "poll 4 samples 3900/10 0x0f00/0x10\n"
        "at 2.5s absent\n"
        "at 500ms present\n"
        "poll 5..7 button\n"
        "at 1..2 absent\n"
        "poll 6 fail transfer 2\n"
        "poll 0 fail transfer 1\n"
        "poll 8 fail next 3\n"
        "\tat 3 delay 20ms\r\n"
        "delay 0.1s\n"
        "poll 9 button\n"
        "end after poll 12\n",
        "good.scn");

    ASSERT_EQ(scenario.events.size(), 17U);
    auto const& e = scenario.events;
    EXPECT_EQ(e[0].trigger, Trigger::Start);
    EXPECT_EQ(e[0].action, Action::Status);
    EXPECT_EQ(e[0].value, 9U);
    EXPECT_EQ(e[1].millivolts, 4100);
    EXPECT_EQ(e[1].milliamperes, 250);
    EXPECT_EQ(e[2].version, std::string("V 1.0\0\"#\\", 9));
    EXPECT_EQ(e[3].trigger, Trigger::Poll);
    EXPECT_EQ(e[3].poll, 3U);
    EXPECT_EQ(e[3].line, 6U);
    EXPECT_EQ(e[4].samples,
              (std::vector<std::pair<std::uint16_t, std::uint16_t>>{{3900, 10}, {0x0f00, 0x10}}));
    EXPECT_EQ(e[5].trigger, Trigger::Time);
    EXPECT_DOUBLE_EQ(e[5].seconds, 2.5);
    EXPECT_DOUBLE_EQ(e[6].seconds, 0.5);
    // A range is a change and its undoing, as the next poll starts or at the end time.
    EXPECT_EQ(e[7].action, Action::ButtonDown);
    EXPECT_EQ(e[7].poll, 5U);
    EXPECT_EQ(e[8].action, Action::ButtonUp);
    EXPECT_EQ(e[8].poll, 8U);
    EXPECT_EQ(e[9].action, Action::Absent);
    EXPECT_EQ(e[10].action, Action::Present);
    EXPECT_DOUBLE_EQ(e[10].seconds, 2.0);
    EXPECT_EQ(e[11].action, Action::FailTransfer);
    EXPECT_EQ(e[11].poll, 6U);
    EXPECT_EQ(e[11].value, 2U);
    EXPECT_EQ(e[12].poll, 0U);
    EXPECT_EQ(e[13].action, Action::FailNext);
    EXPECT_EQ(e[13].value, 3U);
    EXPECT_DOUBLE_EQ(e[14].milliseconds, 20.0);
    EXPECT_DOUBLE_EQ(e[15].milliseconds, 100.0);
    EXPECT_EQ(e[16].action, Action::ButtonPress);
    EXPECT_EQ(scenario.end, Scenario::End::AfterPoll);
    EXPECT_EQ(scenario.endPoll, 12U);

    Scenario const timed = ScenarioParser::parse("end at 4.5\n", "t");
    EXPECT_EQ(timed.end, Scenario::End::AtTime);
    EXPECT_DOUBLE_EQ(timed.endSeconds, 4.5);
    EXPECT_EQ(ScenarioParser::parse("", "empty").end, Scenario::End::None);
}

struct BadCase {
    char const* text;
    char const* message;  // what() is "bad.scn:<line>: <message>"
};

TEST(ScenarioParser, RejectsBadLinesNamingFileAndLine) {
    std::vector<BadCase> const cases = {
        {"status 0x100", "bad status byte '0x100'"},
        {"status -1", "bad status byte '-1'"},
        {"status", "missing status byte"},
        {"status 1 2", "unexpected '2'"},
        {"stat 1", "unknown command 'stat'"},
        {"measure 70000 1", "bad voltage '70000'"},
        {"measure 4000", "missing current (mA)"},
        {"samples", "missing samples MV/MA"},
        {"samples 4000", "bad sample '4000', expected MV/MA"},
        {"version 0123456789ABC", "version longer than 12 bytes"},
        {"version \"abc", "unterminated quote"},
        {"version \"a\\qb\"", "unknown escape '\\q'"},
        {"poll x status 1", "bad poll number 'x'"},
        {"poll 5..3 absent", "bad poll range '5..3'"},
        {"poll 0..3 absent", "bad poll range '0..3'"},
        {"poll 2..4 status 1", "only 'absent' and 'button' take a range, not 'status'"},
        {"at 4..2 absent", "bad time range '4..2'"},
        {"at -1 absent", "bad time '-1'"},
        {"at 2h absent", "bad time '2h'"},
        {"poll 3", "missing command"},
        {"at 2 fail transfer 1", "'fail transfer' needs a 'poll N' trigger"},
        {"fail transfer 1", "'fail transfer' needs a 'poll N' trigger"},
        {"poll 2 fail transfer 0", "transfers count from 1"},
        {"fail next 0", "bad count '0'"},
        {"fail often", "expected 'next N' or 'transfer K' after 'fail', not 'often'"},
        {"delay 2min", "bad delay '2min'"},
        {"delay 61s", "delay longer than a minute"},
        {"end", "missing 'after poll N' or 'at T' after 'end'"},
        {"end after 3", "expected 'poll' after 'end after'"},
        {"end soon", "expected 'after poll N' or 'at T' after 'end', not 'soon'"},
        {"end at 3 now", "unexpected 'now'"},
    };
    for (BadCase const& test : cases) {
        std::string const text = "# header\nstatus 1\n" + std::string(test.text) + "\nstatus 2\n";
        try {
            ScenarioParser::parse(text, "bad.scn");
            ADD_FAILURE() << "accepted: " << test.text;
        } catch (ScenarioError const& error) {
            EXPECT_EQ(std::string(error.what()), std::string("bad.scn:3: ") + test.message)
                << test.text;
            EXPECT_EQ(error.line(), 3U);
        }
    }
}

TEST(ScenarioParser, RejectsASecondEnd) {
    try {
        ScenarioParser::parse("end at 1\n\nend after poll 2\n", "two.scn");
        ADD_FAILURE() << "accepted two ends";
    } catch (ScenarioError const& error) {
        EXPECT_STREQ(error.what(), "two.scn:3: a second 'end'");
    }
}

TEST(ScenarioParser, ReportsAnUnreadableFile) {
    try {
        ScenarioParser::parseFile("/nonexistent/x.scn");
        ADD_FAILURE() << "read a missing file";
    } catch (ScenarioError const& error) {
        EXPECT_STREQ(error.what(), "/nonexistent/x.scn:0: cannot read the file");
    }
}

TEST(ScenarioParser, AcceptsEveryShippedScenario) {
    std::size_t shipped = 0;
    for (auto const& entry : std::filesystem::directory_iterator(NUVEXSIM_SCENARIO_DIR)) {
        ++shipped;
        EXPECT_NO_THROW(ScenarioParser::parseFile(entry.path().string())) << entry.path();
    }
    EXPECT_GE(shipped, 8u);
}

}  // namespace
