#pragma once

#include "config/Config.h"

// Settings taken from the command line: only the word "poweroff" means anything.
class ConfigArg : public Config {
public:
    void load(int argc, char** argv);
};
