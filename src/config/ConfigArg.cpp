#include "config/ConfigArg.h"

#include <cstring>

void ConfigArg::load(int argc, char** argv) {
    // argv[0] counts too: a program invoked as "poweroff" selects power-off mode.
    for (int i = 0; i < argc; ++i) {
        if (argv[i] != nullptr && std::strcmp(argv[i], "poweroff") == 0) {
            addDefault("poweroff", "1");
        }
    }
}
