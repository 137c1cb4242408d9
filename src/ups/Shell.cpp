#include "ups/Shell.h"

#include <cstdlib>

void runShellCommand(std::string text) {
    if (text.find('&') == std::string::npos) {
        text += " &";
    }
    int const ignored = std::system(text.c_str());
    static_cast<void>(ignored);
}
