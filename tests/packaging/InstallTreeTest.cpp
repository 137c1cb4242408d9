// "cmake --install --prefix /usr" into a DESTDIR, as the Debian package is made:
// the files, their modes, and the systemd unit and logrotate snippet among them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "BuildPaths.h"
#include "PackagingSupport.h"
#include "TempDir.h"
#include "config/ConfigFile.h"

namespace fs = std::filesystem;

namespace {

constexpr mode_t PROGRAM_MODE = 0755;
constexpr mode_t DATA_MODE = 0644;
constexpr mode_t DIRECTORY_MODE = 0755;
constexpr mode_t MODE_BITS = 07777;

std::string const UNIT = std::string(NUVEXMON_UNIT_DIR) + "/nuvexmon.service";
std::string const LOGROTATE = std::string(NUVEXMON_LOGROTATE_DIR) + "/nuvexmon";
std::string const NUT_EXAMPLES = "/usr/share/doc/nuvexmon/examples/nut";
std::string const NUT_DROP_IN = NUT_EXAMPLES + "/nut-driver@nuvex.service.d/nuvexmon.conf";

// Installed path (without the DESTDIR) and the mode it must have.
std::map<std::string, mode_t> expectedFiles() {
    return {
        {"/usr/sbin/nuvexmon", PROGRAM_MODE},
        {NUVEXMON_CONFIG_FILE, DATA_MODE},
        {UNIT, DATA_MODE},
        {LOGROTATE, DATA_MODE},
        {"/usr/share/man/man8/nuvexmon.8.gz", DATA_MODE},
        {"/usr/share/man/man5/nuvexmon.conf.5.gz", DATA_MODE},
        {"/usr/share/doc/nuvexmon/copyright", DATA_MODE},
        {"/usr/share/doc/nuvexmon/changelog.Debian.gz", DATA_MODE},
        {NUT_EXAMPLES + "/ups.conf", DATA_MODE},
        {NUT_EXAMPLES + "/upsd.conf", DATA_MODE},
        {NUT_EXAMPLES + "/upsd.users", DATA_MODE},
        {NUT_EXAMPLES + "/upsmon.conf", DATA_MODE},
        {NUT_EXAMPLES + "/upsmon-secondary.conf", DATA_MODE},
        {"/usr/lib/nuvexmon/nut-fsd", PROGRAM_MODE},
        {"/usr/lib/nuvexmon/stop-post", PROGRAM_MODE},
        {std::string(NUVEXMON_SHUTDOWN_HOOK_DIR) + "/nuvexmon", PROGRAM_MODE},
        {std::string(NUVEXMON_CONFIG_FILE) + ".d", DIRECTORY_MODE},
        {NUT_DROP_IN, DATA_MODE},
    };
}

mode_t modeOf(std::string const& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return 0;
    }
    return info.st_mode & MODE_BITS;
}

// Section "Service", key "ExecStart" -> values in the order written.
using UnitFile = std::map<std::string, std::vector<std::string>>;

UnitFile parseUnit(std::string const& text) {
    UnitFile unit;
    std::string section;
    for (std::string const& line : splitLines(text)) {
        if (line.empty() || line[0] == '#' || line[0] == ';') {
            continue;
        }
        if (line[0] == '[') {
            section = line.substr(1, line.find(']') - 1);
            continue;
        }
        std::size_t const separator = line.find('=');
        unit[section + "." + line.substr(0, separator)].push_back(line.substr(separator + 1));
    }
    return unit;
}

// Section "nuvex", key "port" of a NUT configuration file ("[section]" headers,
// "key = value" lines, values maybe in double quotes) -> value.
std::map<std::string, std::string> parseNutConf(std::string const& text) {
    std::map<std::string, std::string> conf;
    std::string section;
    auto const trim = [](std::string const& part) {
        std::size_t const first = part.find_first_not_of(" \t");
        std::size_t const last = part.find_last_not_of(" \t");
        return first == std::string::npos ? std::string() : part.substr(first, last - first + 1);
    };
    for (std::string const& raw : splitLines(text)) {
        std::string const line = trim(raw);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            section = line.substr(1, line.find(']') - 1);
            continue;
        }
        std::size_t const separator = line.find('=');
        std::string value = trim(line.substr(separator + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        conf[section + "." + trim(line.substr(0, separator))] = value;
    }
    return conf;
}

#define REQUIRE_INSTALLED_TREE()                                 \
    do {                                                         \
        ASSERT_FALSE(installedRoot().empty()) << installError(); \
    } while (false)

}  // namespace

TEST(InstallTree, InstallsExactlyThePackagedFiles) {
    REQUIRE_INSTALLED_TREE();
    std::set<std::string> found;
    for (auto const& entry : fs::recursive_directory_iterator(installedRoot())) {
        // Files, and directories that the package ships empty.
        if (!entry.is_directory() || entry.is_symlink() || fs::is_empty(entry.path())) {
            found.insert(entry.path().string().substr(installedRoot().size()));
        }
    }
    std::set<std::string> expected;
    for (auto const& [path, mode] : expectedFiles()) {
        expected.insert(path);
    }
    for (std::string const& path : found) {
        EXPECT_EQ(expected.count(path), 1U) << "unexpected: " << path;
    }
    for (std::string const& path : expected) {
        EXPECT_EQ(found.count(path), 1U) << "missing: " << path;
    }
}

TEST(InstallTree, ModesAreThoseOfAPackage) {
    REQUIRE_INSTALLED_TREE();
    for (auto const& [path, mode] : expectedFiles()) {
        EXPECT_EQ(modeOf(installedRoot() + path), mode) << std::oct << path;
    }
    for (auto const& entry : fs::recursive_directory_iterator(installedRoot())) {
        if (entry.is_directory()) {
            EXPECT_EQ(modeOf(entry.path().string()), DIRECTORY_MODE) << std::oct << entry.path();
        }
    }
}

TEST(SystemdUnit, StartsTheInstalledDaemonAndClearsAStalePidFile) {
    REQUIRE_INSTALLED_TREE();
    UnitFile unit = parseUnit(readFile(installedRoot() + UNIT));
    // The daemon stays in the foreground and says itself when it is ready and alive.
    EXPECT_EQ(unit["Service.Type"], std::vector<std::string>{"notify"});
    EXPECT_EQ(unit["Service.NotifyAccess"], std::vector<std::string>{"main"});
    EXPECT_EQ(unit["Service.WatchdogSec"], std::vector<std::string>{"30"});
    ASSERT_EQ(unit["Service.ExecStart"].size(), 1U);
    std::string const daemon = unit["Service.ExecStart"][0];
    EXPECT_EQ(daemon, "/usr/sbin/nuvexmon");
    EXPECT_EQ(modeOf(installedRoot() + daemon), PROGRAM_MODE);
    // A failed daemon leaves its pid file, which refuses every later start: a
    // restart after a failure only works if the file the daemon uses is removed.
    EXPECT_EQ(unit["Service.Restart"], std::vector<std::string>{"on-failure"});
    EXPECT_EQ(unit["Service.ExecStartPre"],
              std::vector<std::string>{std::string("-/bin/rm -f ") + NUVEXMON_PID_FILE});
    EXPECT_EQ(unit["Install.WantedBy"], std::vector<std::string>{"multi-user.target"});
}

// The packaged StateFile, the directory systemd makes for it and the file the NUT
// example reads must be one path: the daemon never creates the directory, and a
// driver pointed elsewhere never sees the board.
TEST(SystemdUnit, RuntimeDirectoryHoldsThePackagedStateFileThatNutReads) {
    REQUIRE_INSTALLED_TREE();
    UnitFile unit = parseUnit(readFile(installedRoot() + UNIT));
    ASSERT_EQ(unit["Service.RuntimeDirectory"], std::vector<std::string>{"nuvexmon"});
    // NUT's driver runs as its own user and must read the file.
    EXPECT_EQ(unit["Service.RuntimeDirectoryMode"], std::vector<std::string>{"0755"});

    ConfigFile config;
    config.load(installedRoot() + NUVEXMON_CONFIG_FILE);
    std::string const stateFile = config.getString("StateFile");
    EXPECT_EQ(fs::path(stateFile).parent_path().string(),
              "/run/" + unit["Service.RuntimeDirectory"][0]);

    auto nut = parseNutConf(readFile(installedRoot() + NUT_EXAMPLES + "/ups.conf"));
    EXPECT_EQ(nut["nuvex.driver"], "dummy-ups");
    EXPECT_EQ(nut["nuvex.port"], stateFile);
    // dummy-ups reads a .dev file again only when its time stamp changes, which
    // each replacement by the daemon does; other names would be re-read in a loop.
    EXPECT_EQ(fs::path(stateFile).extension().string(), ".dev");

    UnitFile dropIn = parseUnit(readFile(installedRoot() + NUT_DROP_IN));
    EXPECT_EQ(dropIn["Unit.After"], std::vector<std::string>{"nuvexmon.service"});
    EXPECT_EQ(dropIn["Unit.Wants"], std::vector<std::string>{"nuvexmon.service"});
    EXPECT_TRUE(dropIn["Unit.Requires"].empty()) << "a restart of nuvexmon would stop the driver";
}

TEST(SystemdUnit, SystemdAcceptsTheUnit) {
    REQUIRE_INSTALLED_TREE();
    if (!haveProgram("systemd-analyze")) {
        GTEST_SKIP() << "systemd-analyze is not installed (package systemd)";
    }
    TempDir dir;
    // Whether systemd-analyze can work here at all, judged by a trivial unit.
    std::string const trivial = dir.write("probe.service", "[Service]\nExecStart=/bin/true\n");
    CommandResult const probe =
        runCommand("systemd-analyze verify --man=no " + shellQuote(trivial));
    if (probe.status != 0 || !probe.output.empty()) {
        GTEST_SKIP() << "systemd-analyze verify does not work in this environment:\n"
                     << probe.output;
    }
    // The unit as installed, but pointing at the daemon inside the DESTDIR; its
    // Documentation= pages are looked up among the installed manual pages.
    std::string text = readFile(installedRoot() + UNIT);
    std::string const start = "ExecStart=/usr/sbin/nuvexmon";
    ASSERT_NE(text.find(start), std::string::npos);
    text.replace(text.find(start), start.size(),
                 "ExecStart=" + installedRoot() + "/usr/sbin/nuvexmon");
    std::string const stopPost = "ExecStopPost=/usr/lib/nuvexmon/stop-post";
    ASSERT_NE(text.find(stopPost), std::string::npos);
    text.replace(text.find(stopPost), stopPost.size(),
                 "ExecStopPost=" + installedRoot() + "/usr/lib/nuvexmon/stop-post");
    std::string const copy = dir.write("nuvexmon.service", text);
    CommandResult const verify =
        runCommand("MANPATH=" + shellQuote(installedRoot() + "/usr/share/man") +
                   " systemd-analyze verify " + shellQuote(copy));
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_EQ(verify.output, "");
}

TEST(Logrotate, RotatesTheDaemonsLogWithoutCopying) {
    REQUIRE_INSTALLED_TREE();
    std::string const snippet = installedRoot() + LOGROTATE;
    std::string const text = readFile(snippet);
    std::string logFile;
    for (auto const& [key, value] : daemonDefaults()) {
        if (key == "LogFile") {
            logFile = value;
        }
    }
    ASSERT_FALSE(logFile.empty());
    EXPECT_EQ(text.rfind(logFile + " {\n", 0), 0U) << text;
    // The daemon opens the log for every line, so a renamed log is never written
    // again; copytruncate would lose the lines written while it copies.
    EXPECT_EQ(text.find("copytruncate"), std::string::npos);
    EXPECT_NE(text.find("missingok"), std::string::npos) << "the log exists only once written";

    if (!haveProgram("logrotate")) {
        GTEST_SKIP() << "logrotate is not installed: its own syntax check was not run";
    }
    TempDir dir;
    CommandResult const check =
        runCommand("logrotate --debug --state " + shellQuote(dir.path() + "/state") + " " +
                   shellQuote(snippet));
    EXPECT_EQ(check.status, 0) << check.output;
    EXPECT_EQ(check.output.find("error"), std::string::npos) << check.output;
}
