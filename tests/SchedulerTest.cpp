#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "sched/Scheduler.h"

namespace {

// Records its runs into a shared journal; optionally stops the loop or throws.
class JournalAction : public Action {
public:
    JournalAction(std::string name, std::vector<std::string>& journal)
        : mName(std::move(name)), mJournal(journal) {}

    void exec() override {
        mJournal.push_back(mName);
        if (mThrow) {
            throw std::runtime_error(mName + " failed");
        }
    }

    bool mThrow = false;

private:
    std::string mName;
    std::vector<std::string>& mJournal;
};

// Marks each pass in the journal and ends the loop after the given number of passes.
class PassCounter : public Action {
public:
    PassCounter(unsigned passes, std::vector<std::string>& journal)
        : mPasses(passes), mJournal(journal) {}

    void exec() override {
        mJournal.push_back("|");
        if (++mSeen == mPasses) {
            Scheduler::isActive = false;
        }
    }

private:
    unsigned mPasses;
    unsigned mSeen = 0;
    std::vector<std::string>& mJournal;
};

// Marks the end of each completed pass in the journal.
class JournalListener final : public PassListener {
public:
    explicit JournalListener(std::vector<std::string>& journal) : mJournal(journal) {}
    void passCompleted() override { mJournal.push_back("done"); }

private:
    std::vector<std::string>& mJournal;
};

class SchedulerTest : public ::testing::Test {
protected:
    void SetUp() override { Scheduler::isActive = true; }
    void TearDown() override { Scheduler::isActive = true; }

    std::vector<std::string> mJournal;
};

TEST_F(SchedulerTest, IntervalsOneTwoTwoGiveThePassPattern) {
    PassCounter passes(6, mJournal);
    JournalAction status("S", mJournal);
    JournalAction battery("B", mJournal);
    JournalAction events("E", mJournal);
    Scheduler scheduler;
    scheduler.RegisterAction(&passes, 1);
    scheduler.RegisterAction(&status, 1);
    scheduler.RegisterAction(&battery, 2);
    scheduler.RegisterAction(&events, 2);
    JournalListener listener(mJournal);
    scheduler.mPassListener = &listener;
    scheduler.exec(1);
    std::vector<std::string> const expected = {"|", "S", "done", "|", "S", "B", "E", "done",
                                               "|", "S", "done", "|", "S", "B", "E", "done",
                                               "|", "S", "done", "|", "S", "B", "E", "done"};
    EXPECT_EQ(mJournal, expected);
}

TEST_F(SchedulerTest, CallCountsAndIntervalRestart) {
    JournalAction action("A", mJournal);
    // Interval 0 never matches the counter again before it wraps around after 2^32 calls.
    action.setIntervall(0);
    for (int i = 0; i < 1000; ++i) {
        action.call();
    }
    EXPECT_TRUE(mJournal.empty());
    action.mCounter = 0xFFFFFFFFu;
    action.call();
    EXPECT_EQ(mJournal.size(), 1u);

    mJournal.clear();
    action.setIntervall(3);
    action.call();
    action.call();
    action.setIntervall(3);  // restarts the count: the next run is a full interval later
    action.call();
    action.call();
    EXPECT_TRUE(mJournal.empty());
    action.call();
    EXPECT_EQ(mJournal.size(), 1u);
    EXPECT_EQ(action.mCounter, 0u);
}

TEST_F(SchedulerTest, RegistrationCopiesTheBusPointer) {
    JournalAction action("A", mJournal);
    Scheduler scheduler;
    auto* first = reinterpret_cast<I2C*>(0x1000);
    auto* second = reinterpret_cast<I2C*>(0x2000);
    scheduler.mI2C = first;
    action.mCounter = 7;
    scheduler.RegisterAction(&action, 4);
    scheduler.mI2C = second;
    EXPECT_EQ(action.mI2C, first);
    EXPECT_EQ(action.mIntervall, 4u);
    EXPECT_EQ(action.mCounter, 0u);
}

TEST_F(SchedulerTest, ExceptionEndsThePassAndTheLoop) {
    JournalAction first("1", mJournal);
    JournalAction second("2", mJournal);
    JournalAction third("3", mJournal);
    second.mThrow = true;
    Scheduler scheduler;
    scheduler.RegisterAction(&first, 1);
    scheduler.RegisterAction(&second, 1);
    scheduler.RegisterAction(&third, 1);
    JournalListener listener(mJournal);
    scheduler.mPassListener = &listener;
    EXPECT_THROW(scheduler.exec(1), std::runtime_error);
    // The listener hears of completed passes only.
    EXPECT_EQ(mJournal, (std::vector<std::string>{"1", "2"}));
    // The counter was reset before exec ran.
    EXPECT_EQ(second.mCounter, 0u);
}

TEST_F(SchedulerTest, InactiveLoopReturnsAtOnce) {
    JournalAction action("A", mJournal);
    Scheduler scheduler;
    scheduler.RegisterAction(&action, 1);
    Scheduler::isActive = false;
    auto const start = std::chrono::steady_clock::now();
    scheduler.exec(600000);  // a ten-minute pause if it slept at all
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    EXPECT_TRUE(mJournal.empty());
}

}  // namespace
