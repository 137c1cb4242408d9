#pragma once

#include <string>

#include "config/Config.h"

// Settings read from the configuration file.
class ConfigFile : public Config {
public:
    // An empty path selects the daemon's fixed configuration file; then the "*.conf"
    // files of the directory named like it with ".d", in byte order of their names.
    // Never fails: a file that cannot be opened leaves the store as it is.
    void load(std::string const& path);

private:
    void loadOne(std::string const& file);
};
