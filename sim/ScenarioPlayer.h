#pragma once

#include <cstddef>
#include <vector>

#include "Scenario.h"

class BoardModel;

// Plays a scenario on a board for as long as the player lives. Construction applies the
// start events and registers every "fail transfer"; the rest happens in the board's
// transfer hook: at every transfer the time events that are due, in time order, and at
// the status command that starts poll N the events of poll N, in file order.
class ScenarioPlayer {
public:
    ScenarioPlayer(Scenario scenario, BoardModel& board);
    ~ScenarioPlayer();
    ScenarioPlayer(ScenarioPlayer const&) = delete;
    ScenarioPlayer& operator=(ScenarioPlayer const&) = delete;

private:
    void onTransfer(bool newPoll);
    void apply(Scenario::Event const& event, bool newPoll);

    Scenario mScenario;
    BoardModel& mBoard;
    std::vector<Scenario::Event const*> mPollEvents;  // by poll, then file order
    std::vector<Scenario::Event const*> mTimeEvents;  // by time, then file order
    std::size_t mNextPollEvent = 0;
    std::size_t mNextTimeEvent = 0;
    unsigned mButtonReleasePoll = 0;
};
