#pragma once

#include <map>
#include <string>

// A key/value store of settings; every value is a string, converted at each use.
class Config {
public:
    Config();
    ~Config();

    // Inserts the key or replaces its value: the last call for a key wins.
    void addDefault(std::string const& key, std::string const& value);
    std::string const& getValue(std::string const& key);
    std::string getString(std::string const& key);
    // Converts with the rules of strtol in the given base; the result must fit 32 bits.
    int getInt(std::string const& key, int base);

private:
    std::map<std::string, std::string> mValues;
};
