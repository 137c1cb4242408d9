#pragma once

#include <csignal>
#include <string>

// Set by daemon mode once it has created the pid file; only then may the
// signal handler remove that file.
extern volatile sig_atomic_t pidFileOwned;

// Handler for SIGINT and SIGTERM: tells the service manager the daemon is stopping,
// removes this process's own pid file and ends with status 0.
void sighandler(int signal);

// True when stat() succeeds on the path, whatever kind of object is there.
bool fileExists(std::string const& path);

// The whole program behind main(): start-up, mode choice, top-level failure handler.
int runNuvexmon(int argc, char** argv);
