#include "config/ConfigArg.h"

#include <cstring>

void ConfigArg::load(int argc, char** argv) {
    // A mode word must come first, so that its own argument can never be taken for
    // another mode: "nuvexmon event poweroff" names an event, it sends nothing.
    if (argc >= 2 && argv[1] != nullptr &&
        (std::strcmp(argv[1], EVENT_MODE) == 0 ||
         std::strcmp(argv[1], SYSTEM_SHUTDOWN_MODE) == 0)) {
        addDefault("mode", argv[1]);
        addDefault("argument", argc >= 3 && argv[2] != nullptr ? argv[2] : "");
        return;
    }
    // argv[0] counts too: a program invoked as "poweroff" selects power-off mode.
    for (int i = 0; i < argc; ++i) {
        if (argv[i] != nullptr && std::strcmp(argv[i], "poweroff") == 0) {
            addDefault("poweroff", "1");
        }
    }
}
