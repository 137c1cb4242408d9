#pragma once

#include "config/Config.h"

// Settings taken from the command line. The word "poweroff" anywhere selects power-off
// mode, unless the first argument names a mode of its own ("event NAME",
// "system-shutdown ARG"), which is then stored as "mode" with its "argument".
class ConfigArg : public Config {
public:
    static constexpr char EVENT_MODE[] = "event";
    static constexpr char SYSTEM_SHUTDOWN_MODE[] = "system-shutdown";

    void load(int argc, char** argv);
};
