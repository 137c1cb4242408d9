#pragma once

#include <csignal>

// Holds SIGINT and SIGTERM back while it lives, so that the stop handler cannot run
// between creating a file and recording that this process owns it.
class StopSignalBlock {
public:
    StopSignalBlock();
    ~StopSignalBlock();
    StopSignalBlock(StopSignalBlock const&) = delete;
    StopSignalBlock& operator=(StopSignalBlock const&) = delete;

private:
    sigset_t mPrevious;
};
