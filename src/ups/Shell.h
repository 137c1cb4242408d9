#pragma once

#include <string>

// Hands a command text to the system shell. A text without any "&" gets " &"
// appended so that the shell starts it in the background and returns at once;
// one that holds an "&" anywhere runs as written. The result is not examined.
void runShellCommand(std::string text);

// Hands the command text to the system shell as written and waits for it; returns the
// wait status, or -1 when the shell could not be started.
int runShellCommandAndWait(std::string text);
