// The configuration file the package installs, read with the daemon's own parser.
// The file format has no comments: every explanatory line is stored as a key, so
// a stray "=" or double quote in one can change or swallow real settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>

#include "PackagingSupport.h"
#include "TempDir.h"
#include "config/ConfigException.h"
#include "config/ConfigFile.h"

namespace {

std::string const SAMPLE = NUVEXMON_SOURCE_DIR "/packaging/nuvexmon.conf";

// The settings the packaged file changes from the built-in defaults, and to what:
// quiet logging, the readings published for Network UPS Tools in the unit's runtime
// directory instead, and an immediate shutdown on a low battery.
std::map<std::string, std::string> const PACKAGED_CHANGES = {
    {"LogLevel", "error"},
    {"ShutdownOnLowBattery", "1"},
    {"StateFile", "/run/nuvexmon/nuvexmon.dev"},
};

std::set<std::string> settingKeys() {
    std::set<std::string> keys;
    for (auto const& [key, value] : daemonDefaults()) {
        keys.insert(key);
    }
    keys.insert(HOOK_KEY);
    return keys;
}

// What the line alone stores, parsed on its own.
std::string valueOfLineAlone(std::string const& line, std::string const& key) {
    TempDir dir;
    ConfigFile single;
    single.load(dir.write("line.conf", line + "\n"));
    return single.getString(key);
}

}  // namespace

TEST(SampleConfig, DefaultsAreReadableFromTheDaemonSource) {
    // Guards the other checks: they compare against this list.
    auto const defaults = daemonDefaults();
    ASSERT_GE(defaults.size(), 9U) << "registerFileDefaults() in src/app/App.cpp not understood";
    EXPECT_EQ(std::count_if(defaults.begin(), defaults.end(),
                            [](auto const& entry) { return entry.first == "ShutdownCmd"; }),
              1);
}

TEST(SampleConfig, SetsEveryDefaultOfTheDaemonButThePackagedChangesAndAnEmptyHook) {
    ConfigFile config;  // no defaults registered: every setting must come from the file
    config.load(SAMPLE);
    std::set<std::string> changed;
    for (auto const& [key, value] : daemonDefaults()) {
        auto const change = PACKAGED_CHANGES.find(key);
        if (change != PACKAGED_CHANGES.end()) {
            changed.insert(key);
            // A change that equals the default would no longer be one.
            EXPECT_NE(change->second, value) << key;
        }
        std::string const expected = change != PACKAGED_CHANGES.end() ? change->second : value;
        try {
            EXPECT_EQ(config.getString(key), expected) << key;
        } catch (ConfigException const&) {
            ADD_FAILURE() << key << " is missing from packaging/nuvexmon.conf";
        }
    }
    for (auto const& [key, value] : PACKAGED_CHANGES) {
        EXPECT_EQ(changed.count(key), 1U) << key << " is not a setting with a default";
    }
    try {
        EXPECT_EQ(config.getString(HOOK_KEY), "");
    } catch (ConfigException const&) {
        ADD_FAILURE() << HOOK_KEY << " is missing: every power change would be a failed poll";
    }
}

TEST(SampleConfig, EveryLineIsASettingOrAHarmlessNote) {
    std::string const text = readFile(SAMPLE);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\r'), std::string::npos) << "line ends must be plain line feeds";

    std::set<std::string> const settings = settingKeys();
    ConfigFile whole;
    whole.load(SAMPLE);
    std::map<std::string, int> seen;
    int number = 0;
    for (std::string const& line : splitLines(text)) {
        ++number;
        std::size_t const separator = line.find('=');
        std::string const key = line.substr(0, separator);
        ++seen[key];
        SCOPED_TRACE("line " + std::to_string(number) + ": " + line);

        if (separator == std::string::npos) {
            // A note: stored as a key with an empty value, which must be one nothing reads.
            EXPECT_EQ(line.find('"'), std::string::npos);
            EXPECT_EQ(settings.count(line), 0U) << "would set a setting to the empty value";
            EXPECT_TRUE(line.empty() || line[0] == '#') << "notes start with #";
        } else {
            EXPECT_EQ(settings.count(key), 1U) << "not a setting of the daemon";
            EXPECT_EQ(std::count(line.begin(), line.end(), '"') % 2, 0)
                << "an unbalanced quote swallows the lines after it";
        }
        // Nothing before this line left a quote open: it is stored as written.
        try {
            EXPECT_EQ(whole.getString(key), valueOfLineAlone(line, key));
        } catch (ConfigException const&) {
            ADD_FAILURE() << "swallowed by an earlier line";
        }
    }
    for (std::string const& key : settings) {
        EXPECT_EQ(seen[key], 1) << key << " must be set exactly once";
    }
}
