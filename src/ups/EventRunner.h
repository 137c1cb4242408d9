#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

// Starts EventCmd for an event and collects how each run ended, without ever waiting
// for one: a person's script must not hold up the monitoring or the shutdown. The
// command runs through /bin/sh as `EventCmd "$@"` with the event's name as the only
// argument, so that a script named by it gets the name as $1.
class EventRunner {
public:
    // Runs that may go on at the same time; an event beyond them is not started.
    static constexpr std::size_t MAX_RUNNING = 16;

    explicit EventRunner(std::string command);

    // Starts the command with the variables ("NAME=value") added to this process's
    // environment and returns at once. The event name must outlive the run (one of
    // EventContext::NAMES). A run that cannot start is logged at WARNING.
    void start(char const* event, std::vector<std::string> const& variables);
    // Logs each run that has ended since the last call: WARNING for a failure, DEBUG for
    // success. Makes no system call while nothing runs.
    void reap();
    // Runs the command and waits for it to end; its wait status. Throws ActionException
    // when it cannot start.
    int runToEnd(char const* event, std::vector<std::string> const& variables);
    std::size_t running() const { return mCount; }

    // "EventCmd onbattery exited with status 3", "EventCmd onbattery was killed by signal 9".
    static std::string outcome(char const* event, int waitStatus);

private:
    struct Run {
        pid_t pid;
        char const* event;
    };

    // The child's pid, or -1 with posix_spawn's error number.
    pid_t spawn(char const* event, std::vector<std::string> const& variables, int& error);
    static std::string notStarted(char const* event, int error);

    std::string mScript;
    Run mRuns[MAX_RUNNING] = {};
    std::size_t mCount = 0;
};
