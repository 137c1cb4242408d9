#pragma once

#include <string>
#include <utility>
#include <vector>

struct CommandResult {
    int status;          // exit status, or -1 when the command did not exit normally
    std::string output;  // standard output and standard error together
};

// Runs a command line through /bin/sh.
CommandResult runCommand(std::string const& command);
std::string shellQuote(std::string const& text);
bool haveProgram(std::string const& name);

std::string readFile(std::string const& path);
// Lines without their line feeds; a final line feed does not start another line.
std::vector<std::string> splitLines(std::string const& text);

// The settings the daemon gives defaults to, in the order it registers them,
// read from registerFileDefaults() in src/app/App.cpp.
std::vector<std::pair<std::string, std::string>> daemonDefaults();
// The one setting without a default, which the shipped configuration must set.
constexpr char HOOK_KEY[] = "StatusChangedCmd";

// The project installed once per process with "cmake --install --prefix /usr"
// into a DESTDIR; empty when that failed (installError() says why).
std::string const& installedRoot();
std::string const& installError();
