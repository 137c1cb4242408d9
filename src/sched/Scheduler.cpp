#include "sched/Scheduler.h"

#include <unistd.h>

#include <cstdint>

bool Scheduler::isActive = true;

namespace {
constexpr std::uint32_t MICROSECONDS_PER_MILLISECOND = 1000;
}

Scheduler::Scheduler() = default;

Scheduler::~Scheduler() = default;

void Scheduler::RegisterAction(Action* action, unsigned int intervall) {
    action->setIntervall(intervall);
    action->mI2C = mI2C;
    mActions.push_back(action);
}

void Scheduler::exec(unsigned int tick) {
    std::uint32_t const pause = static_cast<std::uint32_t>(tick) * MICROSECONDS_PER_MILLISECOND;
    // The pause is fixed: a pass lasts the tick plus the time its actions took.
    while (isActive) {
        for (Action* action : mActions) {
            action->call();
        }
        if (mPassListener != nullptr) {
            mPassListener->passCompleted();
        }
        ::usleep(pause);
    }
}
