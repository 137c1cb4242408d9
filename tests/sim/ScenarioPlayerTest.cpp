#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "BoardModel.h"
#include "ScenarioParser.h"
#include "ScenarioPlayer.h"

namespace {

// The status reply of each of `count` polls; -1 where the board failed a transfer.
std::vector<int> statusOfPolls(BoardModel& board, unsigned count) {
    std::vector<int> result;
    for (unsigned i = 0; i < count; ++i) {
        std::uint8_t byte = 0;
        bool const sent = board.sendByte(0x00);
        bool const received = board.receiveByte(byte);
        result.push_back(sent && received ? byte : -1);
    }
    return result;
}

struct PlayCase {
    char const* scenario;
    unsigned polls;
    std::vector<int> statuses;
};

TEST(ScenarioPlayer, ChangesTheBoardAsPollsStart) {
    std::vector<PlayCase> const cases = {
        {"status 2\npoll 3 status 0x0a\npoll 5 status 1\n", 5, {2, 2, 0x0a, 0x0a, 1}},
        {"poll 2 button\n", 3, {1, 0x21, 1}},
        {"poll 2..3 button\n", 4, {1, 0x21, 0x21, 1}},
        {"button\n", 2, {0x21, 1}},
        {"status 2\npoll 2 button\npoll 3 status 4\n", 3, {2, 0x22, 4}},
        {"poll 2..3 absent\n", 4, {1, -1, -1, 1}},
        {"absent\npoll 3 present\n", 3, {-1, -1, 1}},
        {"poll 2 fail transfer 2\n", 3, {1, -1, 1}},
        {"poll 2 fail next 3\n", 4, {1, -1, -1, 1}},
        {"poll 3 status 2\npoll 2 status 4\n", 3, {1, 4, 2}},
    };
    for (PlayCase const& test : cases) {
        BoardModel board;
        ScenarioPlayer const player(ScenarioParser::parse(test.scenario, "case"), board);
        EXPECT_EQ(statusOfPolls(board, test.polls), test.statuses) << test.scenario;
    }
}

TEST(ScenarioPlayer, AppliesTimeEventsAtTheFirstTransferDue) {
    BoardModel board;
    ScenarioPlayer const player(
        ScenarioParser::parse("at 5 status 2\nat 20..30 absent\nat 9 status 4\n", "timed"), board);
    auto const now = std::chrono::steady_clock::now();
    EXPECT_EQ(statusOfPolls(board, 1), (std::vector<int>{1}));
    board.setEpoch(now - std::chrono::seconds(10));
    EXPECT_EQ(statusOfPolls(board, 1), (std::vector<int>{4}));
    board.setEpoch(now - std::chrono::seconds(25));
    EXPECT_EQ(statusOfPolls(board, 1), (std::vector<int>{-1}));
    board.setEpoch(now - std::chrono::seconds(35));
    EXPECT_EQ(statusOfPolls(board, 1), (std::vector<int>{4}));
}

TEST(ScenarioPlayer, AButtonPressedBetweenPollsShowsInTheNextOne) {
    BoardModel board;
    ScenarioPlayer const player(ScenarioParser::parse("at 100 button\n", "press"), board);
    EXPECT_EQ(statusOfPolls(board, 1), (std::vector<int>{1}));
    board.setEpoch(std::chrono::steady_clock::now() - std::chrono::seconds(200));
    std::uint8_t byte = 0;
    board.receiveByte(byte);  // the press comes in on a read, after this poll's status
    EXPECT_EQ(statusOfPolls(board, 3), (std::vector<int>{0x21, 1, 1}));
}

TEST(ScenarioPlayer, SetsMeasurementsVersionAndDelay) {
    BoardModel board;
    ScenarioPlayer const player(
        ScenarioParser::parse("measure 5000 0x0102\npoll 1 samples 1/2\nversion \"AB\"\n"
                              "poll 2 delay 30\n",
                              "values"),
        board);
    std::vector<int> bytes;
    for (std::uint8_t command : {0x00, 0x02, 0x02, 0x01}) {
        board.sendByte(command);
        for (int i = 0; i < (command == 0x01 ? 3 : command == 0x02 ? 4 : 1); ++i) {
            std::uint8_t byte = 0;
            board.receiveByte(byte);
            bytes.push_back(byte);
        }
    }
    EXPECT_EQ(bytes, (std::vector<int>{1, 0, 1, 0, 2, 0x13, 0x88, 0x01, 0x02, 'A', 'B', 0}));

    auto const before = std::chrono::steady_clock::now();
    statusOfPolls(board, 1);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(60));
}

// Status byte, then one sample's voltage and current.
std::vector<int> statusAndSample(BoardModel& board) {
    std::vector<int> bytes;
    for (std::uint8_t command : {0x00, 0x02}) {
        board.sendByte(command);
        for (int i = 0; i < (command == 0x02 ? 4 : 1); ++i) {
            std::uint8_t byte = 0;
            board.receiveByte(byte);
            bytes.push_back(byte);
        }
    }
    return {bytes[0], bytes[1] * 256 + bytes[2], bytes[3] * 256 + bytes[4]};
}

// 100 mAh at 50 % (3840 mV), 100 mOhm, no polarisation: the board shows the model.
TEST(ScenarioPlayer, ShowsTheCellModelOnTheBoard) {
    BoardModel board;
    ScenarioPlayer player(
        ScenarioParser::parse("battery capacity 100 resistance 100 polarisation 0 1 charge 50 "
                              "low 3700\n"
                              "charger 1000 4200\nload 2000\nstatus 0x21\n"
                              "poll 1 samples 1/2\nat 10 status 0x02\npoll 4 load 500\n",
                              "cell"),
        board);
    unsigned observed = 0;
    player.setCellObserver([&observed](CellModel const&) { ++observed; });
    ASSERT_NE(player.cell(), nullptr);
    auto const start = std::chrono::steady_clock::now();
    struct Case {
        double seconds;  // the board's clock at the poll
        std::vector<int> poll;
    };
    std::vector<Case> const cases = {
        {0, {0x29, 1, 2}},  // charging bit added, the button bit kept; queued sample first
        {0, {0x29, 3840 + 100, 1000}},  // 1 A into the cell
        // 20 s of charge (+5.56 mAh, 3852.2 mV), then the outage at 2 A: low below 3700.
        {20, {0x06, 3652, 2000}},
        {20, {0x02, 3802, 500}},  // poll 4: 0.5 A
        {56, {0x02, 3791, 500}},  // 5 mAh later: 50.56 %
    };
    for (Case const& test : cases) {
        board.setEpoch(start - std::chrono::milliseconds(static_cast<long>(test.seconds * 1000)));
        EXPECT_EQ(statusAndSample(board), test.poll) << test.seconds;
    }
    EXPECT_EQ(observed, 5U);
    EXPECT_NEAR(player.cell()->chargePercent(), 50.556, 0.01);

    ScenarioPlayer const plain(ScenarioParser::parse("status 1\n", "plain"), board);
    EXPECT_EQ(plain.cell(), nullptr);
}

TEST(ScenarioPlayer, LetsGoOfTheBoardWhenDestroyed) {
    BoardModel board;
    { ScenarioPlayer const player(ScenarioParser::parse("poll 2 status 4\n", "gone"), board); }
    EXPECT_EQ(statusOfPolls(board, 2), (std::vector<int>{1, 1}));
}

}  // namespace
