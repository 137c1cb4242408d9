#include "sched/StopSignalBlock.h"

StopSignalBlock::StopSignalBlock() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, &mPrevious);
}

// A signal that arrived meanwhile is delivered here.
StopSignalBlock::~StopSignalBlock() {
    sigprocmask(SIG_SETMASK, &mPrevious, nullptr);
}
