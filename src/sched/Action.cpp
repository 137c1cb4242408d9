#include "sched/Action.h"

#include "bus/I2C.h"

void Action::call() {
    ++mCounter;
    if (mCounter != mIntervall) {
        return;
    }
    // Reset before running: a failing exec() still waits a full interval for its next run.
    mCounter = 0;
    exec();
}

void Action::setIntervall(unsigned int intervall) {
    mIntervall = intervall;
    mCounter = 0;
}

void Action::writeData(unsigned char value) {
    mI2C->write(value);
}

int Action::readData() {
    return mI2C->read();
}
