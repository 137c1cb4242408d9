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

TEST(ScenarioParser, ReadsTheBatteryStatements) {
    Scenario const scenario = ScenarioParser::parse(
        "load 1500                  # before the battery line: fine\n"
        "battery capacity 120 resistance 100.5 charge 60% curve 3000:0,4000:100 "
        "polarisation 30 500ms low 3300\n"
        "charger 500 4200\n"
        "at 20s load 300\n"
        "poll 40 load 2000.4\n"
        "compare after 60s until 5% steady 90\n"
        "samples 4000/1\n",
        "cell.scn");
    ASSERT_TRUE(scenario.battery);
    CellSettings const& cell = scenario.cell;
    EXPECT_DOUBLE_EQ(cell.capacityMah, 120);
    EXPECT_DOUBLE_EQ(cell.resistanceMilliohm, 100.5);
    EXPECT_DOUBLE_EQ(cell.chargePercent, 60);
    EXPECT_EQ(CellModel::curveText(cell.curve), "3000:0,4000:100");
    EXPECT_DOUBLE_EQ(cell.polarisationMilliohm, 30);
    EXPECT_DOUBLE_EQ(cell.polarisationSeconds, 0.5);
    EXPECT_DOUBLE_EQ(cell.lowMillivolts, 3300);
    EXPECT_TRUE(cell.charger);
    EXPECT_DOUBLE_EQ(cell.chargeMilliamperes, 500);
    EXPECT_DOUBLE_EQ(cell.chargeMillivolts, 4200);
    EXPECT_DOUBLE_EQ(cell.chargeEndMilliamperes, 50);  // a tenth of the current
    EXPECT_DOUBLE_EQ(scenario.comparison.after, 60);
    EXPECT_DOUBLE_EQ(scenario.comparison.until, 5);
    EXPECT_DOUBLE_EQ(scenario.comparison.steady, 90);
    ASSERT_EQ(scenario.events.size(), 4U);
    auto const& e = scenario.events;
    EXPECT_EQ(e[0].action, Action::Load);
    EXPECT_EQ(e[0].trigger, Trigger::Start);
    EXPECT_EQ(e[0].value, 1500U);
    EXPECT_EQ(e[1].trigger, Trigger::Time);
    EXPECT_DOUBLE_EQ(e[1].seconds, 20);
    EXPECT_EQ(e[1].value, 300U);
    EXPECT_EQ(e[2].trigger, Trigger::Poll);
    EXPECT_EQ(e[2].poll, 40U);
    EXPECT_EQ(e[2].value, 2000U);
    EXPECT_EQ(e[3].action, Action::Samples);

    // The defaults.
    Scenario const plain = ScenarioParser::parse("battery capacity 5\ncharger 300 3600 20\n", "p");
    EXPECT_DOUBLE_EQ(plain.cell.resistanceMilliohm, 120);
    EXPECT_DOUBLE_EQ(plain.cell.chargePercent, 100);
    EXPECT_DOUBLE_EQ(plain.cell.polarisationMilliohm, 40);
    EXPECT_DOUBLE_EQ(plain.cell.polarisationSeconds, 45);
    EXPECT_DOUBLE_EQ(plain.cell.lowMillivolts, 3400);
    EXPECT_TRUE(plain.cell.curve.empty());  // CellModel::DEFAULT_CURVE
    EXPECT_DOUBLE_EQ(plain.cell.chargeEndMilliamperes, 20);
    EXPECT_DOUBLE_EQ(plain.comparison.after, 30);
    EXPECT_DOUBLE_EQ(plain.comparison.until, 3);
    EXPECT_DOUBLE_EQ(plain.comparison.steady, 60);
    EXPECT_FALSE(ScenarioParser::parse("status 1\n", "none").battery);
}

TEST(ScenarioParser, RejectsBadBatteryLines) {
    struct Case {
        bool battery;  // the file declares a battery on line 2 (the case is line 3)
        char const* text;
        char const* message;
    };
    std::vector<Case> const cases = {
        {false, "battery", "missing capacity (mAh)"},
        {false, "battery resistance 100", "missing capacity (mAh)"},
        {false, "battery capacity", "missing capacity (mAh)"},
        {false, "battery capacity 0", "bad capacity '0'"},
        {false, "battery capacity -5", "bad capacity '-5'"},
        {false, "battery capacity 1e3", "bad capacity '1e3'"},
        {false, "battery capacity 120 resistance 0", "bad resistance '0'"},
        {false, "battery capacity 120 charge 101", "bad charge '101'"},
        {false, "battery capacity 120 charge 50%%", "bad charge '50%%'"},
        {false, "battery capacity 120 curve", "missing curve MV:PERCENT,..."},
        {false, "battery capacity 120 curve 3000:0", "curve must run from 0% to 100%"},
        {false, "battery capacity 120 curve 3000:0,2900:100", "curve not rising at '2900:100'"},
        {false, "battery capacity 120 polarisation 40", "missing polarisation time"},
        {false, "battery capacity 120 polarisation 40 0", "bad polarisation time '0'"},
        {false, "battery capacity 120 polarisation 40 2h", "bad polarisation time '2h'"},
        {false, "battery capacity 120 low 70000", "bad low voltage '70000'"},
        {false, "battery capacity 120 colour red", "unknown battery setting 'colour'"},
        {false, "battery capacity 120 capacity 100", "a second 'capacity'"},
        {false, "at 2 battery capacity 120", "'battery' takes no trigger"},
        {false, "load 100", "'load' needs a 'battery' line"},
        {false, "charger 500 4200", "'charger' needs a 'battery' line"},
        {false, "compare after 5s", "'compare' needs a 'battery' line"},
        {true, "battery capacity 5", "a second 'battery'"},
        {true, "poll 3 charger 500 4200", "'charger' takes no trigger"},
        {true, "charger", "missing charge current (mA)"},
        {true, "charger 500", "missing charge voltage (mV)"},
        {true, "charger 0 4200", "bad charge current '0'"},
        {true, "charger 500 4200 500", "bad end current '500', not below the charge current"},
        {true, "charger 500 4200 50 1", "unexpected '1'"},
        {true, "load", "missing load (mA)"},
        {true, "load 70000", "bad load '70000'"},
        {true, "at 3 load -1", "bad load '-1'"},
        {true, "poll 2..4 load 100", "only 'absent' and 'button' take a range, not 'load'"},
        {true, "compare", "missing 'after T', 'until P%' or 'steady T' after 'compare'"},
        {true, "compare after", "missing time"},
        {true, "compare after 5m", "bad time '5m'"},
        {true, "compare until 120%", "bad charge '120%'"},
        {true, "compare soon", "unknown compare setting 'soon'"},
        {true, "measure 4000 100", "'measure' does not go with 'battery': the cell model measures"},
    };
    for (Case const& test : cases) {
        std::string const text = std::string("# header\n") +
                                 (test.battery ? "battery capacity 1\n" : "status 1\n") +
                                 test.text + "\nstatus 2\n";
        try {
            ScenarioParser::parse(text, "bad.scn");
            ADD_FAILURE() << "accepted: " << test.text;
        } catch (ScenarioError const& error) {
            EXPECT_EQ(std::string(error.what()), std::string("bad.scn:3: ") + test.message)
                << test.text;
        }
    }
    // A second charger, and a measure line before the battery, count where they are.
    for (auto const& [text, message] :
         {std::pair<char const*, char const*>{"battery capacity 1\ncharger 1 2\ncharger 1 2\n",
                                              "bad.scn:3: a second 'charger'"},
          {"measure 1 2\n\nbattery capacity 1\n",
           "bad.scn:1: 'measure' does not go with 'battery': the cell model measures"}}) {
        try {
            ScenarioParser::parse(text, "bad.scn");
            ADD_FAILURE() << "accepted: " << text;
        } catch (ScenarioError const& error) {
            EXPECT_EQ(std::string(error.what()), message);
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
    EXPECT_GE(shipped, 12u);
}

}  // namespace
