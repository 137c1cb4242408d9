#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Transfer.h"

// One program run on a simulated board, in a sandbox directory of its own, for
// process-level tests and the nuvexsim runner.
//
// The sandbox (a fresh directory under $TMPDIR, removed with the object) holds:
//   i2c-sim          the simulated device file (libnuvexsim.so answers for it)
//   nuvexmon.conf    written by start() from the configuration keys
//   scenario.txt     the scenario, when one is set
//   trace.txt        the bus trace (Trace.h)
//   nuvexmon.log     the log file of the default configuration
//   calls.txt        one line per recorder call
//   stdout.txt, stderr.txt   the program's output
//   bin/             recorders, first in the program's PATH: init, shutdown, poweroff,
//                    halt, reboot, on-shutdown (the default ShutdownCmd), on-status
//                    (the default StatusChangedCmd) and on-event (for EventCmd)
// The program runs with the sandbox as working directory, in a process group of its own,
// with LD_PRELOAD=libnuvexsim.so and the NUVEXSIM_* variables set (PreloadSession.h).
// The destructor kills whatever is left of the process group.
class SimRun {
public:
    struct Exit {
        bool finished = false;  // false: still running when the wait gave up
        int code = -1;          // exit status, when it exited
        int signal = 0;         // the signal that ended it, if any
        bool exitedWith(int status) const { return finished && signal == 0 && code == status; }
    };
    // One recorder call: the recorder's name, its arguments joined by blanks, and the
    // two status variables as the recorder saw them (empty when unset). on-event, the
    // stand-in for an EventCmd script, also keeps its other NUVEX_* variables, sorted.
    struct Call {
        std::string name;
        std::string arguments;
        std::string status;
        std::string lastStatus;
        std::vector<std::string> variables;  // "NUVEX_EVENT=onbattery", ...
    };

    static constexpr std::chrono::milliseconds DEFAULT_TIMEOUT{10000};

    // The built nuvexmon-sandbox and libnuvexsim.so.
    static std::string sandboxProgram();
    static std::string preloadLibrary();
    // What runs a program built for the target on this machine: nothing on a native
    // build, the user-mode emulator and its options under a cross build. Taken from
    // NUVEXSIM_EMULATOR ("qemu-arm;-L;/usr/arm-linux-gnueabihf") or from the build.
    static std::vector<std::string> emulator();
    // The same, as the start of a shell command line ("" or "'qemu-arm' '-L' '...' ").
    static std::string emulatorShellPrefix();

    SimRun();
    ~SimRun();
    SimRun(SimRun const&) = delete;
    SimRun& operator=(SimRun const&) = delete;

    std::string const& dir() const { return mDir; }
    std::string path(std::string const& name) const { return mDir + "/" + name; }
    std::string devicePath() const { return path("i2c-sim"); }
    std::string recorder(std::string const& name) const { return path("bin/" + name); }

    // Before start(). Configuration keys, written in the order first set. Defaults:
    // I2CDevice = devicePath(), LogFile = nuvexmon.log in the sandbox, ShutdownCmd =
    // recorder("on-shutdown"), StatusChangedCmd = recorder("on-status").
    void set(std::string const& key, std::string const& value);
    void unset(std::string const& key);
    // Writes this text as nuvexmon.conf instead of the keys.
    void setConfigText(std::string const& text);
    // Makes nuvexmon.conf a FIFO that nobody writes to: the program's start-up
    // blocks in opening it, which holds the run before its mode is chosen.
    void holdAtConfigFile() { mHoldAtConfig = true; }
    // Makes the program's standard error a pipe that nobody reads: a write to it fails
    // with EPIPE and raises SIGPIPE, as when a log reader has gone away.
    void breakStandardError() { mBrokenStandardError = true; }
    void setScenario(std::string const& text);
    // Where the board answers (NUVEXSIM_ADDRESS); 0x18 by default.
    void setBoardAddress(std::uint8_t address);
    void setEnv(std::string const& name, std::string const& value);
    // Keeps the sandbox after destruction (the runner's --keep).
    void keep(bool keepDirectory) { mKeep = keepDirectory; }
    std::string writeFile(std::string const& name, std::string const& content) const;
    std::string readFile(std::string const& name) const;

    // Starts the program (an absolute path, or a name looked up in this process's PATH).
    // Throws std::runtime_error if it cannot be started.
    void start(std::vector<std::string> const& arguments = {},
               std::string const& program = sandboxProgram());
    pid_t pid() const { return mPid; }
    // Time zero of the trace and the scenario: the moment start() forked.
    std::chrono::steady_clock::time_point startTime() const { return mStart; }

    Exit wait(std::chrono::milliseconds timeout = DEFAULT_TIMEOUT);
    bool running();
    void sendSignal(int signal);
    // SIGTERM, then SIGKILL if it is still running after the timeout.
    Exit stop(std::chrono::milliseconds timeout = DEFAULT_TIMEOUT);

    // Poll every few milliseconds until the condition holds or the timeout passes.
    // waitForBoard: the program has made its first I2C request on the device (the trace
    // has its header line). waitForChildren: nothing is left of the process group, i.e.
    // the background shell hooks have finished too.
    bool waitForBoard(std::chrono::milliseconds timeout = DEFAULT_TIMEOUT) const;
    bool waitForChildren(std::chrono::milliseconds timeout = DEFAULT_TIMEOUT) const;
    bool waitForLogLine(std::string const& substring,
                        std::chrono::milliseconds timeout = DEFAULT_TIMEOUT) const;
    bool waitForPoll(unsigned poll, std::chrono::milliseconds timeout = DEFAULT_TIMEOUT) const;
    bool waitForCalls(std::size_t count, std::chrono::milliseconds timeout = DEFAULT_TIMEOUT) const;

    // Log lines without their time stamps: "[NOTICE] nuvexmon started".
    std::vector<std::string> logLines() const;
    std::vector<Transfer> trace() const;
    std::vector<std::uint8_t> powerOffRequests() const;
    std::vector<Call> calls() const;
    std::string output() const { return readFile("stdout.txt"); }
    std::string errors() const { return readFile("stderr.txt"); }
    bool pidFileExists() const;
    std::string pidFile() const { return readFile("nuvexmon.pid"); }

private:
    void writeRecorders() const;
    void writeConfig() const;
    std::vector<std::string> environment() const;
    void reap(int status);

    std::string mDir;
    bool mKeep = false;
    std::vector<std::pair<std::string, std::string>> mConfig;
    bool mConfigTextSet = false;
    bool mHoldAtConfig = false;
    bool mBrokenStandardError = false;
    std::string mConfigText;
    bool mScenarioSet = false;
    std::uint8_t mAddress = 0x18;
    std::vector<std::pair<std::string, std::string>> mEnv;
    pid_t mPid = -1;
    bool mReaped = false;
    Exit mExit;
    std::chrono::steady_clock::time_point mStart;
};
