#pragma once

#include <list>

#include "sched/Action.h"

class I2C;

// Fixed-tick loop: each pass calls every registered action in registration order,
// then pauses one tick.
class Scheduler {
public:
    Scheduler();
    ~Scheduler();

    // Sets the interval, copies mI2C into the action and appends it.
    void RegisterAction(Action* action, unsigned int intervall);
    // Runs passes while isActive holds; the tick is in milliseconds.
    void exec(unsigned int tick);

    static bool isActive;

    I2C* mI2C = nullptr;

private:
    std::list<Action*> mActions;
};
