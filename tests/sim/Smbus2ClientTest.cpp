#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "SimRun.h"
#include "Trace.h"

namespace {

// smbus2 (Debian python3-smbus2) is an SMBus client written elsewhere: it drives the
// simulator through the same LD_PRELOAD library as the daemon, via Python's own
// fcntl.ioctl. Debian's module loads only in the system interpreter.
char const PYTHON[] = "/usr/bin/python3";

char const CLIENT[] = R"(
import sys
from smbus2 import SMBus
bus = SMBus(sys.argv[1])
a = 0x18
bus.write_byte(a, 0x00)
print("status", bus.read_byte(a))
bus.write_byte(a, 0x02)
m = [bus.read_byte(a) for _ in range(4)]
print("measure", m[0] << 8 | m[1], m[2] << 8 | m[3])
bus.write_byte(a, 0x01)
print("version", bytes(bus.read_byte(a) for _ in range(12)))
bus.write_byte(a, 0x10)
bus.write_byte(a, 45)
for name, call in (("other address", lambda: bus.read_byte(0x19)),
                   ("byte data", lambda: bus.read_byte_data(a, 0))):
    try:
        call()
        print(name, "answered")
    except OSError as e:
        print(name, "errno", e.errno)
bus.close()
)";

bool smbus2Installed() {
    SimRun probe;
    probe.start({"-c", "import smbus2"}, PYTHON);
    return probe.wait().exitedWith(0);
}

TEST(Smbus2Client, ReadsStatusMeasurementVersionAndSendsPowerOff) {
#ifdef NUVEXSIM_EMULATED
    GTEST_SKIP() << "the host's Python cannot load the simulator built for the target";
#endif
    if (!smbus2Installed()) {
        GTEST_SKIP() << "python3-smbus2 is not installed (apt-get install python3-smbus2)";
    }
    SimRun run;
    run.setScenario("status 0x0a\nmeasure 3700 1500\nversion \"PY-TEST\\x00v1.2\"\n");
    run.start({"-c", CLIENT, run.devicePath()}, PYTHON);
    SimRun::Exit const exit = run.wait();
    ASSERT_TRUE(exit.exitedWith(0)) << run.errors();

    EXPECT_EQ(run.output(),
              "status 10\n"
              "measure 3700 1500\n"
              "version b'PY-TEST\\x00v1.2'\n"
              "other address errno " +
                  std::to_string(ENXIO) + "\n" + "byte data errno " + std::to_string(EOPNOTSUPP) +
                  "\n");
    EXPECT_EQ(run.errors(), "");
    std::vector<Transfer> const trace = run.trace();
    ASSERT_EQ(trace.size(), 2U + 5U + 13U + 2U);
    EXPECT_EQ(Trace::describe(trace.front()), "1 W 0x00 ok");
    EXPECT_EQ(Trace::describe(trace[1]), "1 R 0x0a ok");
    EXPECT_EQ(Trace::describe(trace.back()), "1 W 0x2d ok");
    EXPECT_EQ(run.powerOffRequests(), (std::vector<std::uint8_t>{45}));
}

}  // namespace
