#include "SimRun.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "Trace.h"

extern char** environ;

namespace {

constexpr std::chrono::milliseconds POLL_PAUSE{5};
constexpr int EXEC_FAILED = 127;
constexpr std::size_t TIME_STAMP_SIZE = 20;  // "2024-03-01 14:05:09 "
constexpr char const* RECORDERS[] = {"init",   "shutdown",    "poweroff",  "halt",
                                     "reboot", "on-shutdown", "on-status", "on-event"};

std::runtime_error systemError(std::string const& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

// Whole lines only: a file read while the program runs may end in the part of a
// line that is still being written.
std::vector<std::string> lines(std::string const& text) {
    std::vector<std::string> result;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
        result.push_back(text.substr(start, end - start));
    }
    return result;
}

bool isTimeStamp(std::string const& line) {
    static char const pattern[] = "dddd-dd-dd dd:dd:dd ";
    if (line.size() < TIME_STAMP_SIZE) {
        return false;
    }
    for (std::size_t i = 0; i < TIME_STAMP_SIZE; ++i) {
        bool const digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
        if (pattern[i] == 'd' ? !digit : line[i] != pattern[i]) {
            return false;
        }
    }
    return true;
}

template <typename Condition>
bool pollUntil(std::chrono::milliseconds timeout, Condition condition) {
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(POLL_PAUSE);
    }
}

}  // namespace

std::vector<std::string> SimRun::emulator() {
    char const* fromEnvironment = std::getenv("NUVEXSIM_EMULATOR");
#ifdef NUVEXSIM_EMULATOR_DEFAULT
    std::string text = fromEnvironment != nullptr ? fromEnvironment : NUVEXSIM_EMULATOR_DEFAULT;
#else
    std::string text = fromEnvironment != nullptr ? fromEnvironment : "";
#endif
    std::replace(text.begin(), text.end(), '|', ';');
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; std::getline(in, word, ';');) {
        if (!word.empty()) {
            words.push_back(word);
        }
    }
    return words;
}

std::string SimRun::emulatorShellPrefix() {
    std::string prefix;
    for (std::string const& word : emulator()) {
        prefix += "'" + word + "' ";
    }
    return prefix;
}

namespace {

std::string findProgram(std::string const& program) {
    if (program.find('/') != std::string::npos) {
        return program;
    }
    char const* path = std::getenv("PATH");
    std::istringstream directories(path != nullptr ? path : "/usr/bin:/bin");
    std::string directory;
    while (std::getline(directories, directory, ':')) {
        std::string const candidate = (directory.empty() ? "." : directory) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    throw std::runtime_error("cannot find program " + program);
}

}  // namespace

std::string SimRun::sandboxProgram() {
    return NUVEXSIM_SANDBOX_PROGRAM;
}

std::string SimRun::preloadLibrary() {
    return NUVEXSIM_PRELOAD_LIBRARY;
}

SimRun::SimRun() {
    char const* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/nuvexsim-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw systemError("cannot create sandbox " + pattern);
    }
    mDir = pattern;
    writeFile("i2c-sim", "");
    writeRecorders();
    set("I2CDevice", devicePath());
    set("LogFile", path("nuvexmon.log"));
    set("ShutdownCmd", recorder("on-shutdown"));
    set("StatusChangedCmd", recorder("on-status"));
}

SimRun::~SimRun() {
    if (mPid > 0) {
        // The whole group: shell hooks run in the background.
        ::kill(-mPid, SIGKILL);
        if (!mReaped) {
            int status = 0;
            while (::waitpid(mPid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    if (!mKeep) {
        std::error_code ignored;
        std::filesystem::remove_all(mDir, ignored);
    }
}

void SimRun::set(std::string const& key, std::string const& value) {
    auto found = std::find_if(mConfig.begin(), mConfig.end(),
                              [&](auto const& entry) { return entry.first == key; });
    if (found != mConfig.end()) {
        found->second = value;
    } else {
        mConfig.emplace_back(key, value);
    }
}

void SimRun::unset(std::string const& key) {
    mConfig.erase(std::remove_if(mConfig.begin(), mConfig.end(),
                                 [&](auto const& entry) { return entry.first == key; }),
                  mConfig.end());
}

void SimRun::setConfigText(std::string const& text) {
    mConfigTextSet = true;
    mConfigText = text;
}

void SimRun::setScenario(std::string const& text) {
    writeFile("scenario.txt", text);
    mScenarioSet = true;
}

void SimRun::setBoardAddress(std::uint8_t address) {
    mAddress = address;
}

void SimRun::setEnv(std::string const& name, std::string const& value) {
    mEnv.emplace_back(name, value);
}

std::string SimRun::writeFile(std::string const& name, std::string const& content) const {
    std::string const file = path(name);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + file);
    }
    return file;
}

std::string SimRun::readFile(std::string const& name) const {
    std::ifstream in(path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void SimRun::writeRecorders() const {
    std::filesystem::create_directory(path("bin"));
    for (char const* name : RECORDERS) {
        std::string const calls = path("calls.txt");
        // The stand-in for an EventCmd script also keeps its other variables, one field
        // each, in the same single write.
        std::string const script =
            std::strcmp(name, "on-event") != 0
                ? "printf '%s\\t%s\\t%s\\t%s\\n' \"${0##*/}\" \"$*\" \"${NUVEX_STATUS-}\" "
                  "\"${NUVEX_LAST_STATUS-}\" >>'" +
                      calls + "'\n"
                : "v=$(env | grep '^NUVEX_' | grep -v '^NUVEX_\\(LAST_\\)\\?STATUS=' |"
                  " LC_ALL=C sort | tr '\\n' '\\t')\n"
                  "printf '%s\\t%s\\t%s\\t%s\\t%s\\n' \"${0##*/}\" \"$*\" \"${NUVEX_STATUS-}\" "
                  "\"${NUVEX_LAST_STATUS-}\" \"$v\" >>'" +
                      calls + "'\n";
        std::string const file = writeFile(
            std::string("bin/") + name,
            "#!/bin/sh\n# Stands in for the real command: records the call and does nothing.\n" +
                script);
        if (::chmod(file.c_str(), 0755) != 0) {
            throw systemError("cannot make " + file + " executable");
        }
    }
}

void SimRun::writeConfig() const {
    if (mHoldAtConfig) {
        if (::mkfifo(path("nuvexmon.conf").c_str(), 0600) != 0) {
            throw std::runtime_error("cannot create the FIFO " + path("nuvexmon.conf"));
        }
        return;
    }
    if (mConfigTextSet) {
        writeFile("nuvexmon.conf", mConfigText);
        return;
    }
    std::string text;
    for (auto const& [key, value] : mConfig) {
        text += key + "=" + value + "\n";
    }
    writeFile("nuvexmon.conf", text);
}

std::vector<std::string> SimRun::environment() const {
    std::vector<std::pair<std::string, std::string>> own = {
        {"PATH", path("bin") + ":" +
                     std::string(std::getenv("PATH") != nullptr ? std::getenv("PATH")
                                                                : "/usr/sbin:/usr/bin:/sbin:/bin")},
        // Under an emulator the library is for the emulated program alone (see start()).
        {"LD_PRELOAD", emulator().empty() ? preloadLibrary() : std::string()},
        {"NUVEXSIM_DEVICE", devicePath()},
        {"NUVEXSIM_ADDRESS", std::to_string(mAddress)},
        {"NUVEXSIM_TRACE", path("trace.txt")},
        {"NUVEXSIM_START_NS", std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                 mStart.time_since_epoch())
                                                 .count())},
    };
    if (mScenarioSet) {
        own.emplace_back("NUVEXSIM_SCENARIO", path("scenario.txt"));
    }
#ifdef NUVEXSIM_SANITIZED_PROGRAM
    // The sandbox program is built with AddressSanitizer, whose runtime insists on coming
    // first in the list of loaded libraries; libnuvexsim.so (built without sanitizers)
    // must come before it to answer ioctl(). The caller's options stay in force.
    char const* given = std::getenv("ASAN_OPTIONS");
    std::string asanOptions = given != nullptr ? given : "";
    if (!asanOptions.empty()) {
        asanOptions += ":";
    }
    own.emplace_back("ASAN_OPTIONS", asanOptions + "verify_asan_link_order=0");
#endif
    own.insert(own.end(), mEnv.begin(), mEnv.end());

    std::vector<std::string> result;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string const text(*entry);
        std::string const name = text.substr(0, text.find('='));
        bool const replaced =
            name.rfind("NUVEXSIM_", 0) == 0 ||
            std::any_of(own.begin(), own.end(), [&](auto const& e) { return e.first == name; });
        if (!replaced) {
            result.push_back(text);
        }
    }
    for (auto const& [name, value] : own) {
        auto const sameName = [&name = name](std::string const& e) {
            return e.compare(0, name.size() + 1, name + "=") == 0;
        };
        result.erase(std::remove_if(result.begin(), result.end(), sameName), result.end());
        result.push_back(name + "=" + value);
    }
    return result;
}

void SimRun::start(std::vector<std::string> const& arguments, std::string const& program) {
    if (mPid > 0) {
        throw std::runtime_error("SimRun runs one program");
    }
    std::string executable = findProgram(program);
    writeConfig();
    mStart = std::chrono::steady_clock::now();

    // Everything the child needs is ready before fork(): it only makes system calls.
    std::vector<std::string> argumentTexts{executable};
    // A cross-built program runs under the user-mode emulator, which hands the
    // preload library to the program's own loader. The host's loader never sees it,
    // so the host programs the daemon starts (the shell, the recorders) are left alone.
    std::vector<std::string> const emulation = emulator();
    if (!emulation.empty()) {
        argumentTexts = emulation;
        argumentTexts[0] = findProgram(emulation[0]);
        argumentTexts.insert(argumentTexts.end(),
                             {"-E", "LD_PRELOAD=" + preloadLibrary(), executable});
        executable = argumentTexts[0];
    }
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<std::string> const environmentTexts = environment();
    std::vector<char*> argv;
    for (std::string& text : argumentTexts) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string const& text : environmentTexts) {
        envp.push_back(const_cast<char*>(text.c_str()));
    }
    envp.push_back(nullptr);
    std::string const out = path("stdout.txt");
    std::string const err = path("stderr.txt");
    static char const execFailed[] = "nuvexsim: cannot execute the program\n";
    bool const brokenStandardError = mBrokenStandardError;

    pid_t const child = ::fork();
    if (child < 0) {
        throw systemError("fork");
    }
    if (child == 0) {
        ::setpgid(0, 0);
        int const in = ::open("/dev/null", O_RDONLY);
        int const outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        int const errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (in < 0 || outFd < 0 || errFd < 0 || ::dup2(in, STDIN_FILENO) < 0 ||
            ::dup2(outFd, STDOUT_FILENO) < 0 || ::dup2(errFd, STDERR_FILENO) < 0 ||
            ::chdir(mDir.c_str()) != 0) {
            ::_exit(EXEC_FAILED);
        }
        // The program starts with standard input, output and error only, as under a
        // service manager.
        for (int const fd : {in, outFd, errFd}) {
            if (fd > STDERR_FILENO) {
                ::close(fd);
            }
        }
        int ends[2];
        if (brokenStandardError) {
            if (::pipe(ends) != 0 || ::dup2(ends[1], STDERR_FILENO) < 0) {
                ::_exit(EXEC_FAILED);
            }
            ::close(ends[0]);
            ::close(ends[1]);
        }
        ::execve(executable.c_str(), argv.data(), envp.data());
        ssize_t const ignored = ::write(STDERR_FILENO, execFailed, sizeof(execFailed) - 1);
        static_cast<void>(ignored);
        ::_exit(EXEC_FAILED);
    }
    // Also here, so that a signal to the group cannot miss a child not yet scheduled.
    ::setpgid(child, child);
    mPid = child;
}

void SimRun::reap(int status) {
    mReaped = true;
    mExit.finished = true;
    if (WIFEXITED(status)) {
        mExit.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        mExit.signal = WTERMSIG(status);
    }
}

bool SimRun::running() {
    if (mPid <= 0 || mReaped) {
        return false;
    }
    int status = 0;
    pid_t const done = ::waitpid(mPid, &status, WNOHANG);
    if (done == mPid) {
        reap(status);
        return false;
    }
    return done == 0;
}

SimRun::Exit SimRun::wait(std::chrono::milliseconds timeout) {
    if (mPid <= 0) {
        throw std::runtime_error("no program started");
    }
    pollUntil(timeout, [this] { return !running(); });
    return mExit;
}

void SimRun::sendSignal(int signal) {
    if (mPid > 0 && !mReaped) {
        ::kill(mPid, signal);
    }
}

SimRun::Exit SimRun::stop(std::chrono::milliseconds timeout) {
    sendSignal(SIGTERM);
    Exit const result = wait(timeout);
    if (!result.finished) {
        sendSignal(SIGKILL);
        return wait(timeout);
    }
    return result;
}

bool SimRun::waitForLogLine(std::string const& substring, std::chrono::milliseconds timeout) const {
    return pollUntil(timeout, [&] {
        std::vector<std::string> const all = logLines();
        return std::any_of(all.begin(), all.end(), [&](std::string const& line) {
            return line.find(substring) != std::string::npos;
        });
    });
}

bool SimRun::waitForBoard(std::chrono::milliseconds timeout) const {
    return pollUntil(timeout, [&] { return !readFile("trace.txt").empty(); });
}

bool SimRun::waitForChildren(std::chrono::milliseconds timeout) const {
    if (mPid <= 0) {
        return true;
    }
    return pollUntil(timeout, [&] { return ::kill(-mPid, 0) != 0 && errno == ESRCH; });
}

bool SimRun::waitForPoll(unsigned poll, std::chrono::milliseconds timeout) const {
    return pollUntil(timeout, [&] {
        std::vector<Transfer> const all = trace();
        return !all.empty() && all.back().poll >= poll;
    });
}

bool SimRun::waitForCalls(std::size_t count, std::chrono::milliseconds timeout) const {
    return pollUntil(timeout, [&] { return calls().size() >= count; });
}

std::vector<std::string> SimRun::logLines() const {
    std::vector<std::string> result = lines(readFile("nuvexmon.log"));
    for (std::string& line : result) {
        if (isTimeStamp(line)) {
            line.erase(0, TIME_STAMP_SIZE);
        }
    }
    return result;
}

std::vector<Transfer> SimRun::trace() const {
    return Trace::read(path("trace.txt"));
}

std::vector<std::uint8_t> SimRun::powerOffRequests() const {
    return Trace::powerOffRequests(trace());
}

std::vector<SimRun::Call> SimRun::calls() const {
    std::vector<Call> result;
    for (std::string const& line : lines(readFile("calls.txt"))) {
        std::vector<std::string> fields;
        std::istringstream in(line);
        std::string field;
        while (std::getline(in, field, '\t')) {
            fields.push_back(field);
        }
        fields.resize(std::max<std::size_t>(fields.size(), 4));
        Call call{fields[0], fields[1], fields[2], fields[3], {}};
        for (std::size_t i = 4; i < fields.size(); ++i) {
            if (!fields[i].empty()) {
                call.variables.push_back(fields[i]);
            }
        }
        result.push_back(call);
    }
    return result;
}

bool SimRun::pidFileExists() const {
    struct stat info {};
    return ::stat(path("nuvexmon.pid").c_str(), &info) == 0;
}
