#include "ups/EventRunner.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

#include "log/Log.h"
#include "sched/Action.h"

extern char** environ;

EventRunner::EventRunner(std::string command) : mScript(std::move(command) + " \"$@\"") {}

pid_t EventRunner::spawn(char const* event, std::vector<std::string> const& variables, int& error) {
    // This process's environment with the event's variables instead of any of the
    // same name it may have inherited (a run started from a hook has NUVEX_STATUS).
    std::vector<char*> environment;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "NUVEX_", std::strlen("NUVEX_")) != 0) {
            environment.push_back(*entry);
        }
    }
    for (std::string const& variable : variables) {
        environment.push_back(const_cast<char*>(variable.c_str()));
    }
    environment.push_back(nullptr);

    char shell[] = "sh";
    char option[] = "-c";
    std::string name = event;
    char* argv[] = {shell, option, mScript.data(), shell, name.data(), nullptr};
    // The daemon ignores SIGPIPE; the script gets the default back, as the hook does.
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigset_t none;
    sigemptyset(&none);
    ::posix_spawnattr_setsigdefault(&attributes, &defaults);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t child = -1;
    error = ::posix_spawn(&child, "/bin/sh", nullptr, &attributes, argv, environment.data());
    ::posix_spawnattr_destroy(&attributes);
    return error == 0 ? child : -1;
}

void EventRunner::start(char const* event, std::vector<std::string> const& variables) {
    if (mCount == MAX_RUNNING) {
        // A script that never ends must not pile up processes, one per event.
        Log::getInstance()->write(std::string("EventCmd ") + event + " not started: " +
                                      std::to_string(MAX_RUNNING) + " runs still going",
                                  Log::WARNING);
        return;
    }
    int error = 0;
    pid_t const child = spawn(event, variables, error);
    if (child < 0) {
        Log::getInstance()->write(notStarted(event, error), Log::WARNING);
        return;
    }
    mRuns[mCount++] = Run{child, event};
}

void EventRunner::reap() {
    for (std::size_t i = 0; i < mCount;) {
        int status = 0;
        pid_t const done = ::waitpid(mRuns[i].pid, &status, WNOHANG);
        if (done == 0 || (done < 0 && errno == EINTR)) {
            ++i;
            continue;
        }
        if (done == mRuns[i].pid) {
            bool const success = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            Log::getInstance()->write(outcome(mRuns[i].event, status),
                                      success ? Log::DEBUG : Log::WARNING);
        }
        // Ended, or no longer this process's child: its place goes to the last run.
        mRuns[i] = mRuns[--mCount];
    }
}

int EventRunner::runToEnd(char const* event, std::vector<std::string> const& variables) {
    int error = 0;
    pid_t const child = spawn(event, variables, error);
    if (child < 0) {
        throw ActionException(notStarted(event, error));
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

std::string EventRunner::notStarted(char const* event, int error) {
    return std::string("EventCmd ") + event + " could not be started: " + std::strerror(error);
}

std::string EventRunner::outcome(char const* event, int waitStatus) {
    std::string text = std::string("EventCmd ") + event;
    if (WIFSIGNALED(waitStatus)) {
        return text + " was killed by signal " + std::to_string(WTERMSIG(waitStatus));
    }
    return text + " exited with status " + std::to_string(WEXITSTATUS(waitStatus));
}
