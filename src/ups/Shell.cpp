#include "ups/Shell.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

extern char** environ;

void runShellCommand(std::string text) {
    if (text.find('&') == std::string::npos) {
        text += " &";
    }
    // What system() does, without its side effect on this process: system()
    // ignores SIGINT while it waits, so a SIGINT that arrived during a command
    // would be lost and the daemon would not stop. Here the handler stays in force.
    char shell[] = "sh";
    char option[] = "-c";
    char* argv[] = {shell, option, text.data(), nullptr};
    pid_t child = -1;
    if (::posix_spawn(&child, "/bin/sh", nullptr, nullptr, argv, environ) != 0) {
        return;
    }
    // The command's result is not examined.
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}
