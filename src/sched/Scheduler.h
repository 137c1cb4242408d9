#pragma once

#include <list>

#include "sched/Action.h"
#include "sched/PassListener.h"

class I2C;

// Fixed-tick loop: each pass calls every registered action in registration order,
// then the pass listener, if any, then pauses one tick.
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
    // Not told about a pass that an action ended by throwing.
    PassListener* mPassListener = nullptr;

private:
    std::list<Action*> mActions;
};
