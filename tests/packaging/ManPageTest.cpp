// The installed manual pages: warnings from groff and man (as lintian reports
// them), and what they say against the daemon's settings and fixed paths.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BuildPaths.h"
#include "PackagingSupport.h"
#include "ups/EventContext.h"

namespace {

std::string const DAEMON_PAGE = "/usr/share/man/man8/nuvexmon.8.gz";
std::string const CONF_PAGE = "/usr/share/man/man5/nuvexmon.conf.5.gz";

#define REQUIRE_MAN_TOOLS()                                                          \
    do {                                                                             \
        ASSERT_FALSE(installedRoot().empty()) << installError();                     \
        if (!haveProgram("groff") || !haveProgram("man")) {                          \
            GTEST_SKIP() << "groff or man is missing (packages groff-base, man-db)"; \
        }                                                                            \
    } while (false)

// The page as plain text on very long lines, without hyphenation, every run of
// blanks and line ends made one blank: phrases can be searched for.
std::string plainText(std::string const& page) {
    CommandResult const rendered = runCommand("gzip -dc " + shellQuote(installedRoot() + page) +
                                              " | groff -man -Tascii -P-cbou -rLL=1000n -rHY=0");
    std::string text;
    for (char const c : rendered.output) {
        bool const blank = c == ' ' || c == '\n' || c == '\t';
        if (!blank) {
            text += c;
        } else if (!text.empty() && text.back() != ' ') {
            text += ' ';
        }
    }
    return text;
}

class ManPage : public ::testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(ManPage, RendersWithoutWarnings) {
    REQUIRE_MAN_TOOLS();
    std::string const page = shellQuote(installedRoot() + GetParam());
    CommandResult const groff = runCommand("gzip -dc " + page + " | groff -ww -z -man -Tutf8");
    EXPECT_EQ(groff.status, 0);
    EXPECT_EQ(groff.output, "");
    CommandResult const man = runCommand(
        "LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z " + page + " >/dev/null");
    EXPECT_EQ(man.status, 0);
    EXPECT_EQ(man.output, "");
}

INSTANTIATE_TEST_SUITE_P(Installed, ManPage, ::testing::Values(DAEMON_PAGE, CONF_PAGE),
                         [](auto const& param) {
                             return param.param == DAEMON_PAGE ? std::string("nuvexmon_8")
                                                               : std::string("nuvexmon_conf_5");
                         });

TEST(ManPageContent, ConfPageGivesEverySettingWithTheDaemonsDefault) {
    REQUIRE_MAN_TOOLS();
    std::string const text = plainText(CONF_PAGE);
    ASSERT_FALSE(daemonDefaults().empty());
    for (auto const& [key, value] : daemonDefaults()) {
        std::string const entry = key + " (default " + (value.empty() ? "empty" : value) + ")";
        EXPECT_NE(text.find(entry), std::string::npos) << "no \"" << entry << "\"";
    }
    EXPECT_NE(text.find(std::string(HOOK_KEY) + " (no default)"), std::string::npos);
    EXPECT_NE(text.find(NUVEXMON_CONFIG_FILE), std::string::npos);
}

TEST(ManPageContent, DaemonPageNamesTheFixedPathsAndTheHookVariables) {
    REQUIRE_MAN_TOOLS();
    std::string const text = plainText(DAEMON_PAGE);
    for (std::string const& phrase :
         {std::string(NUVEXMON_CONFIG_FILE), std::string(NUVEXMON_PID_FILE),
          std::string("nuvexmon poweroff"), std::string("nuvexmon already running!"),
          std::string("NUVEX_STATUS"), std::string("NUVEX_LAST_STATUS")}) {
        EXPECT_NE(text.find(phrase), std::string::npos) << "no \"" << phrase << "\"";
    }
}

TEST(ManPageContent, DaemonPageListsEveryEventAndItsVariables) {
    REQUIRE_MAN_TOOLS();
    std::string const text = plainText(DAEMON_PAGE);
    std::vector<std::string> phrases = {"nuvexmon event name", "OnBatteryDelay"};
    EventContext shutdown;
    shutdown.event = "shutdown";
    for (std::string const& variable : shutdown.environment()) {
        phrases.push_back(variable.substr(0, variable.find('=')));
    }
    for (char const* name : EventContext::NAMES) {
        phrases.push_back(std::string(" ") + name + " ");
    }
    for (std::string const& phrase : phrases) {
        EXPECT_NE(text.find(phrase), std::string::npos) << "no \"" << phrase << "\"";
    }
}
