#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "CellModel.h"
#include "Scenario.h"

class BoardModel;

// Plays a scenario on a board for as long as the player lives. Construction applies the
// start events and registers every "fail transfer"; the rest happens in the board's
// transfer hook: at every transfer the time events that are due, in time order, and at
// the status command that starts poll N the events of poll N, in file order.
//
// With a battery in the scenario the player runs a CellModel on the board's clock: at
// every transfer it first advances the cell to the board's elapsed time under the
// inputs so far, then applies the due events (status: primary power or not; load),
// then gives the board the cell's measurement as its steady sample and the status
// byte with the cell's bits 0x04 and 0x08 in place of the scenario's.
class ScenarioPlayer {
public:
    ScenarioPlayer(Scenario scenario, BoardModel& board);
    ~ScenarioPlayer();
    ScenarioPlayer(ScenarioPlayer const&) = delete;
    ScenarioPlayer& operator=(ScenarioPlayer const&) = delete;

    // The cell model; null without a battery. Read it while no transfer is in flight.
    CellModel const* cell() const { return mCell ? &*mCell : nullptr; }
    // Called with the cell at the start of every poll, once the poll's events are
    // applied (under the board's lock: no allocation needed, none made).
    void setCellObserver(std::function<void(CellModel const&)> observer);

private:
    void onTransfer(bool newPoll);
    void apply(Scenario::Event const& event, bool newPoll);
    // The cell's status bits and measurement onto the board.
    void showCell();

    Scenario mScenario;
    BoardModel& mBoard;
    std::vector<Scenario::Event const*> mPollEvents;  // by poll, then file order
    std::vector<Scenario::Event const*> mTimeEvents;  // by time, then file order
    std::size_t mNextPollEvent = 0;
    std::size_t mNextTimeEvent = 0;
    unsigned mButtonReleasePoll = 0;
    std::optional<CellModel> mCell;
    std::uint8_t mScenarioStatus = 0;
    std::function<void(CellModel const&)> mCellObserver;
};
