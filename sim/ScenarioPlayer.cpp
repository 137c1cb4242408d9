#include "ScenarioPlayer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

#include "BoardModel.h"

namespace {
constexpr double MICROSECONDS_PER_MILLISECOND = 1000.0;
// The status bit of primary power: without it the cell carries the load.
constexpr std::uint8_t CELL_PRIMARY_BIT = 0x01;
}  // namespace

ScenarioPlayer::ScenarioPlayer(Scenario scenario, BoardModel& board)
    : mScenario(std::move(scenario)), mBoard(board) {
    mScenarioStatus = mBoard.status();
    if (mScenario.battery) {
        mCell.emplace(mScenario.cell);
        mCell->setPrimaryPower((mScenarioStatus & CELL_PRIMARY_BIT) != 0);
    }
    for (Scenario::Event const& event : mScenario.events) {
        if (event.action == Scenario::Action::FailTransfer) {
            mBoard.failTransfer(event.poll, event.value);
        } else if (event.trigger == Scenario::Trigger::Poll) {
            mPollEvents.push_back(&event);
        } else if (event.trigger == Scenario::Trigger::Time) {
            mTimeEvents.push_back(&event);
        }
    }
    std::stable_sort(mPollEvents.begin(), mPollEvents.end(),
                     [](auto const* a, auto const* b) { return a->poll < b->poll; });
    std::stable_sort(mTimeEvents.begin(), mTimeEvents.end(),
                     [](auto const* a, auto const* b) { return a->seconds < b->seconds; });
    for (Scenario::Event const& event : mScenario.events) {
        if (event.trigger == Scenario::Trigger::Start &&
            event.action != Scenario::Action::FailTransfer) {
            apply(event, false);
        }
    }
    showCell();
    mBoard.setTransferHook([this](bool newPoll) { onTransfer(newPoll); });
}

ScenarioPlayer::~ScenarioPlayer() {
    mBoard.setTransferHook(nullptr);
}

void ScenarioPlayer::setCellObserver(std::function<void(CellModel const&)> observer) {
    mCellObserver = std::move(observer);
}

void ScenarioPlayer::showCell() {
    if (!mCell) {
        return;
    }
    constexpr std::uint8_t CELL_BITS = CellModel::CHARGING_BIT | CellModel::LOW_BIT;
    mBoard.setStatus(
        static_cast<std::uint8_t>((mScenarioStatus & ~CELL_BITS) | mCell->statusBits()));
    mBoard.setMeasurement(mCell->reportedMillivolts(), mCell->reportedMilliamperes());
}

void ScenarioPlayer::onTransfer(bool newPoll) {
    unsigned const poll = mBoard.polls();
    if (newPoll && mButtonReleasePoll != 0 && poll >= mButtonReleasePoll) {
        mBoard.setButton(false);
        mButtonReleasePoll = 0;
    }
    double const now = mBoard.elapsed();
    if (mCell) {
        mCell->advanceTo(now);
    }
    while (mNextTimeEvent < mTimeEvents.size() && mTimeEvents[mNextTimeEvent]->seconds <= now) {
        apply(*mTimeEvents[mNextTimeEvent++], newPoll);
    }
    if (newPoll) {
        while (mNextPollEvent < mPollEvents.size() && mPollEvents[mNextPollEvent]->poll <= poll) {
            apply(*mPollEvents[mNextPollEvent++], newPoll);
        }
    }
    if (mCell) {
        showCell();
        if (newPoll && mCellObserver) {
            mCellObserver(*mCell);
        }
    }
}

void ScenarioPlayer::apply(Scenario::Event const& event, bool newPoll) {
    using Action = Scenario::Action;
    switch (event.action) {
        case Action::Status:
            mScenarioStatus = static_cast<std::uint8_t>(event.value);
            mBoard.setStatus(mScenarioStatus);
            if (mCell) {
                mCell->setPrimaryPower((mScenarioStatus & CELL_PRIMARY_BIT) != 0);
            }
            break;
        case Action::Measure:
            mBoard.setMeasurement(event.millivolts, event.milliamperes);
            break;
        case Action::Samples:
            mBoard.queueSamples(event.samples);
            break;
        case Action::Version:
            mBoard.setVersion(event.version);
            break;
        case Action::ButtonPress:
            // Held for exactly one status reply: this poll's when it is just starting,
            // otherwise the next one's.
            mBoard.setButton(true);
            mButtonReleasePoll = mBoard.polls() + (newPoll ? 1 : 2);
            break;
        case Action::ButtonDown:
            mBoard.setButton(true);
            mButtonReleasePoll = 0;
            break;
        case Action::ButtonUp:
            mBoard.setButton(false);
            break;
        case Action::Absent:
            mBoard.setPresent(false);
            break;
        case Action::Present:
            mBoard.setPresent(true);
            break;
        case Action::FailNext:
            mBoard.failNext(event.value);
            break;
        case Action::FailTransfer:
            mBoard.failTransfer(event.poll, event.value);
            break;
        case Action::Delay:
            mBoard.setTransferDelay(std::chrono::microseconds(
                std::llround(event.milliseconds * MICROSECONDS_PER_MILLISECOND)));
            break;
        case Action::Load:
            if (mCell) {
                mCell->setLoad(event.value);
            }
            break;
    }
}
