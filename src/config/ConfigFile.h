#pragma once

#include <string>

#include "config/Config.h"

// Settings read from the configuration file.
class ConfigFile : public Config {
public:
    // An empty path selects the daemon's fixed configuration file. Never fails:
    // a file that cannot be opened leaves the store as it is.
    void load(std::string const& path);
};
