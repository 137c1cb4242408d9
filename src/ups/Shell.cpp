#include "ups/Shell.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <utility>

extern char** environ;

namespace {

// Runs the text through /bin/sh and waits for the shell; -1 when it cannot start.
int runShell(std::string text) {
    // What system() does, without its side effect on this process: system()
    // ignores SIGINT while it waits, so a SIGINT that arrived during a command
    // would be lost and the daemon would not stop. Here the handler stays in force.
    char shell[] = "sh";
    char option[] = "-c";
    char* argv[] = {shell, option, text.data(), nullptr};
    // The daemon ignores SIGPIPE; the command gets the default back, so that its own
    // pipelines end as usual when a reader goes away.
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    ::posix_spawnattr_setsigdefault(&attributes, &defaults);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t child = -1;
    int const failed = ::posix_spawn(&child, "/bin/sh", nullptr, &attributes, argv, environ);
    ::posix_spawnattr_destroy(&attributes);
    if (failed != 0) {
        return -1;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

}  // namespace

void runShellCommand(std::string text) {
    if (text.find('&') == std::string::npos) {
        text += " &";
    }
    // The command's result is not examined.
    runShell(std::move(text));
}

int runShellCommandAndWait(std::string text) {
    return runShell(std::move(text));
}
