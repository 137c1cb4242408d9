// The installed nut-fsd, the ShutdownCmd that hands the board's shutdown to NUT's
// upsmon, run with recorders for upsmon, sleep and init first in PATH: it must
// reach "init 0" whatever state upsmon is in.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <string>

#include "PackagingSupport.h"
#include "TempDir.h"

namespace {

struct Handoff {
    char const* name;
    char const* pidFile;  // "live": this test's pid, "dead": a pid no process has, "": none
    int upsmonStatus;
    char const* argument;
    char const* calls;  // what the recorders saw, in order
};

void PrintTo(Handoff const& c, std::ostream* out) {
    *out << c.name;
}

class NutHandoff : public testing::TestWithParam<Handoff> {};

TEST_P(NutHandoff, EndsInInitZero) {
    ASSERT_FALSE(installedRoot().empty()) << installError();
    Handoff const& c = GetParam();
    TempDir dir;
    std::string const log = dir.path() + "/calls";
    for (char const* program : {"upsmon", "sleep", "init"}) {
        std::string const path = dir.write(
            program, "#!/bin/sh\necho \"" + std::string(program) + " $*\" >> " + shellQuote(log) +
                         "\nexit " +
                         (std::string(program) == "upsmon" ? std::to_string(c.upsmonStatus) : "0") +
                         "\n");
        ::chmod(path.c_str(), 0755);
    }
    std::string const pid = std::string(c.pidFile) == "live"   ? std::to_string(::getpid())
                            : std::string(c.pidFile) == "dead" ? "2147483646"
                                                               : "";
    if (!pid.empty()) {
        dir.write("upsmon.pid", pid + "\n");
    }
    CommandResult const run =
        runCommand("PATH=" + shellQuote(dir.path()) +
                   ":$PATH UPSMON_PID_FILE=" + shellQuote(dir.path() + "/upsmon.pid") + " " +
                   shellQuote(installedRoot() + "/usr/lib/nuvexmon/nut-fsd") + " " + c.argument);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(dir.read("calls"), c.calls) << run.output;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NutHandoff,
    testing::Values(Handoff{"UpsmonTakesIt", "live", 0, "", "upsmon -c fsd\nsleep 25\ninit 0\n"},
                    Handoff{"OwnBound", "live", 0, "40", "upsmon -c fsd\nsleep 40\ninit 0\n"},
                    Handoff{"BadBoundIsTheDefault", "live", 0, "4x",
                            "upsmon -c fsd\nsleep 25\ninit 0\n"},
                    Handoff{"UpsmonRefuses", "live", 1, "", "upsmon -c fsd\ninit 0\n"},
                    Handoff{"NoPidFile", "", 0, "", "init 0\n"},
                    Handoff{"UpsmonNotRunning", "dead", 0, "", "init 0\n"}),
    [](testing::TestParamInfo<Handoff> const& param) { return std::string(param.param.name); });

}  // namespace
