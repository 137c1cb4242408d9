// nuvexbench-run: runs one program on the simulated board in a SimRun sandbox and
// prints what the run cost as one JSON object (bench/run reads it).
//
// The sandbox is the one of the daemon's process-level tests (sim/SimRun.h): recorders
// for init, shutdown, poweroff, halt and reboot come first in the program's PATH, and
// ShutdownCmd and StatusChangedCmd are recorders, so nothing the program starts can shut
// this machine down. The log file exists (empty) before the program starts.
//
// Usage: nuvexbench-run [OPTION]... -- PROGRAM [ARGUMENT]...
//   --scenario FILE    the board's scenario (default: a steady board)
//   --trace            keep the bus trace (NUVEXSIM_TRACE); left out by default
//   --env NAME=VALUE   more environment for the program (repeatable)
//   --set KEY=VALUE    a key of the daemon's configuration file (repeatable)
//   --notify           a service manager's notification socket in the sandbox, named in
//                      NOTIFY_SOCKET; the messages it receives are counted by kind
//   --window A:B       CPU time between polls A and B, and memory at poll B
//   --every K          CPU time and memory also at every K-th poll between A and B
//   --mark TEXT        seconds from the start to the first log line holding TEXT
//   --copy NAME=DEST   copy a sandbox file out after the run (repeatable)
//   --timeout SECONDS  stop the program (SIGTERM, then SIGKILL) after this long (300)
// In the arguments, @DIR@ stands for the sandbox, @DEVICE@ for the simulated device and
// @LOG@ for the log file. A poll counts when its "U: ...mV, I: ...mA" line is logged; the
// CPU time and memory of a window are read once the program sleeps after that line.
//
// Exit status: 0 when the run was measured (whatever the program's own status), 2 for
// bad usage or a run that could not be started.

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "LogWatch.h"
#include "SimRun.h"

namespace {

constexpr int EXIT_MEASURED = 0;
constexpr int EXIT_USAGE = 2;
constexpr double DEFAULT_TIMEOUT_SECONDS = 300;
constexpr std::chrono::milliseconds WATCH_TICK{50};
constexpr std::chrono::microseconds STATE_POLL{50};
constexpr std::chrono::seconds SLEEP_WAIT{2};
constexpr std::chrono::seconds STOP_TIMEOUT{5};
constexpr char POLL_LINE[] = "] U: ";

struct Options {
    std::string scenario;
    bool trace = false;
    std::vector<std::pair<std::string, std::string>> env;
    std::vector<std::pair<std::string, std::string>> settings;  // --set: nuvexmon.conf keys
    bool notify = false;
    unsigned windowFrom = 0;
    unsigned windowTo = 0;
    unsigned every = 0;
    std::vector<std::string> marks;
    std::vector<std::pair<std::string, std::string>> copies;
    double timeout = DEFAULT_TIMEOUT_SECONDS;
    std::string program;
    std::vector<std::string> arguments;
};

struct Sample {
    bool taken = false;
    double seconds = 0;
    long long cpuNanoseconds = 0;
    std::map<std::string, long long> memory;  // kB, from smaps_rollup and status
};

[[noreturn]] void usage(std::string const& message) {
    std::cerr << "nuvexbench-run: " << message << "\n"
              << "usage: nuvexbench-run [--scenario FILE] [--trace] [--env NAME=VALUE] "
                 "[--window A:B] [--mark TEXT] [--copy NAME=DEST] [--timeout SECONDS] -- "
                 "PROGRAM [ARGUMENT]...\n";
    std::exit(EXIT_USAGE);
}

std::pair<std::string, std::string> keyValue(std::string const& text) {
    std::size_t const equals = text.find('=');
    if (equals == std::string::npos || equals == 0) {
        usage("expected NAME=VALUE, not '" + text + "'");
    }
    return {text.substr(0, equals), text.substr(equals + 1)};
}

Options parse(int argc, char** argv) {
    Options options;
    int i = 1;
    auto value = [&](std::string const& option) -> std::string {
        if (i + 1 >= argc) {
            usage(option + " needs a value");
        }
        return argv[++i];
    };
    for (; i < argc; ++i) {
        std::string const option = argv[i];
        if (option == "--") {
            ++i;
            break;
        }
        if (option == "--scenario") {
            options.scenario = value(option);
        } else if (option == "--trace") {
            options.trace = true;
        } else if (option == "--env") {
            options.env.push_back(keyValue(value(option)));
        } else if (option == "--set") {
            options.settings.push_back(keyValue(value(option)));
        } else if (option == "--notify") {
            options.notify = true;
        } else if (option == "--window") {
            std::string const range = value(option);
            if (std::sscanf(range.c_str(), "%u:%u", &options.windowFrom, &options.windowTo) != 2 ||
                options.windowFrom == 0 || options.windowTo <= options.windowFrom) {
                usage("bad window '" + range + "'");
            }
        } else if (option == "--every") {
            options.every = static_cast<unsigned>(std::strtoul(value(option).c_str(), nullptr, 10));
        } else if (option == "--mark") {
            options.marks.push_back(value(option));
        } else if (option == "--copy") {
            options.copies.push_back(keyValue(value(option)));
        } else if (option == "--timeout") {
            options.timeout = std::strtod(value(option).c_str(), nullptr);
            if (!(options.timeout > 0)) {
                usage("bad timeout");
            }
        } else {
            usage("unknown option '" + option + "'");
        }
    }
    if (i >= argc) {
        usage("no program");
    }
    options.program = argv[i++];
    options.arguments.assign(argv + i, argv + argc);
    return options;
}

std::string readFile(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string substitute(std::string text, SimRun const& run) {
    std::pair<char const*, std::string> const fields[] = {
        {"@DIR@", run.dir()}, {"@DEVICE@", run.devicePath()}, {"@LOG@", run.path("nuvexmon.log")}};
    for (auto const& [marker, replacement] : fields) {
        std::string const name = marker;
        for (std::size_t at = text.find(name); at != std::string::npos;
             at = text.find(name, at + replacement.size())) {
            text.replace(at, name.size(), replacement);
        }
    }
    return text;
}

char processState(pid_t pid) {
    std::string const stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    std::size_t const paren = stat.rfind(')');
    return paren == std::string::npos || paren + 2 >= stat.size() ? '?' : stat[paren + 2];
}

// Waits (two seconds at most) until the process sleeps: it has finished the work of the poll whose
// line was just seen and is in its pause, where its CPU time is up to date.
void waitUntilAsleep(pid_t pid) {
    auto const deadline = std::chrono::steady_clock::now() + SLEEP_WAIT;
    while (processState(pid) != 'S' && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(STATE_POLL);
    }
}

long long cpuNanoseconds(pid_t pid) {
    // First field: time spent on a CPU, user and kernel, in nanoseconds.
    std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/schedstat"));
    long long nanoseconds = -1;
    in >> nanoseconds;
    return nanoseconds;
}

void readMemory(std::string const& path, std::map<std::string, long long>& into) {
    std::istringstream in(readFile(path));
    std::string line;
    while (std::getline(in, line)) {
        std::size_t const colon = line.find(':');
        if (colon == std::string::npos || line.find(" kB") == std::string::npos) {
            continue;
        }
        into[line.substr(0, colon)] = std::atoll(line.c_str() + colon + 1);
    }
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double seconds(timeval const& value) {
    return static_cast<double>(value.tv_sec) + static_cast<double>(value.tv_usec) / 1e6;
}

std::string quoted(std::string const& text) {
    std::string out = "\"";
    for (char const c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < ' ') {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string json(Sample const& sample) {
    std::ostringstream out;
    out << "{\"seconds\": " << sample.seconds << ", \"cpu_ns\": " << sample.cpuNanoseconds
        << ", \"memory_kb\": {";
    char const* separator = "";
    for (auto const& [name, kilobytes] : sample.memory) {
        out << separator << quoted(name) << ": " << kilobytes;
        separator = ", ";
    }
    out << "}}";
    return out.str();
}

// A datagram socket bound at a path, read without waiting; what it received is counted
// by kind: the text before '=' and the '=' ("STATUS="), or the whole message if short.
class NotifySocket {
public:
    explicit NotifySocket(std::string const& path) {
        sockaddr_un where{};
        where.sun_family = AF_UNIX;
        if (path.size() >= sizeof(where.sun_path)) {
            throw std::runtime_error("notify socket path too long: " + path);
        }
        std::memcpy(where.sun_path, path.c_str(), path.size() + 1);
        mFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (mFd < 0 || ::bind(mFd, reinterpret_cast<sockaddr*>(&where), sizeof(where)) != 0) {
            throw std::runtime_error("cannot bind the notify socket " + path);
        }
    }
    ~NotifySocket() { ::close(mFd); }
    NotifySocket(NotifySocket const&) = delete;
    NotifySocket& operator=(NotifySocket const&) = delete;

    void drain() {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(mFd, buffer, sizeof(buffer), 0)) >= 0;) {
            std::string const message(buffer, static_cast<std::size_t>(n));
            std::size_t const equals = message.find('=');
            bool const flag =
                message == "READY=1" || message == "WATCHDOG=1" || message == "STOPPING=1";
            ++mCounts[flag || equals == std::string::npos ? message
                                                          : message.substr(0, equals + 1)];
        }
    }
    std::map<std::string, long long> const& counts() const { return mCounts; }

private:
    int mFd = -1;
    std::map<std::string, long long> mCounts;
};

int measure(Options const& options) {
    SimRun run;
    // Where the sandbox daemon keeps its outage record, as the unit makes /run/nuvexmon:
    // without it every pass with something to keep would try the write again.
    ::mkdir(run.path("run").c_str(), 0755);
    if (!options.scenario.empty()) {
        run.setScenario(readFile(options.scenario));
    }
    if (!options.trace) {
        // An empty value switches the trace off (PreloadSession ignores empty variables).
        run.setEnv("NUVEXSIM_TRACE", "");
    }
    for (auto const& [key, setting] : options.settings) {
        run.set(key, substitute(setting, run));
    }
    for (auto const& [name, value] : options.env) {
        run.setEnv(name, substitute(value, run));
    }
    for (auto const& [key, value] : options.settings) {
        run.set(key, substitute(value, run));
    }
    std::unique_ptr<NotifySocket> notify;
    if (options.notify) {
        notify = std::make_unique<NotifySocket>(run.path("notify"));
        run.setEnv("NOTIFY_SOCKET", run.path("notify"));
    }
    std::vector<std::string> arguments;
    for (std::string const& argument : options.arguments) {
        arguments.push_back(substitute(argument, run));
    }
    std::string const logPath = run.writeFile("nuvexmon.log", "");
    LogWatch watch(logPath);

    rusage before{};
    ::getrusage(RUSAGE_CHILDREN, &before);
    // The program starts in the sandbox: a relative path is taken from here.
    std::string program = substitute(options.program, run);
    if (program.find('/') != std::string::npos) {
        program = std::filesystem::absolute(program).string();
    }
    run.start(arguments, program);
    auto const start = run.startTime();

    std::map<std::string, double> marks;
    unsigned polls = 0;
    std::size_t lines = 0;
    Sample from;
    Sample to;
    std::vector<std::pair<unsigned, Sample>> steps;
    bool timedOut = false;

    auto take = [&](Sample& sample, bool memory) {
        waitUntilAsleep(run.pid());
        sample.cpuNanoseconds = cpuNanoseconds(run.pid());
        sample.seconds = secondsSince(start);
        if (memory) {
            std::string const proc = "/proc/" + std::to_string(run.pid());
            readMemory(proc + "/smaps_rollup", sample.memory);
            std::map<std::string, long long> status;
            readMemory(proc + "/status", status);
            sample.memory["VmHWM"] = status["VmHWM"];
        }
        sample.taken = sample.cpuNanoseconds >= 0;
    };
    auto consume = [&](std::vector<std::string> const& newLines, bool live) {
        for (std::size_t index = 0; index < newLines.size(); ++index) {
            std::string const& line = newLines[index];
            bool const newest = index + 1 == newLines.size();
            ++lines;
            for (std::string const& mark : options.marks) {
                if (marks.count(mark) == 0 && line.find(mark) != std::string::npos) {
                    marks[mark] = secondsSince(start);
                }
            }
            if (line.find(POLL_LINE) == std::string::npos) {
                continue;
            }
            ++polls;
            bool const atFrom = polls == options.windowFrom;
            bool const atTo = polls == options.windowTo;
            bool const atStep = options.every > 0 && polls > options.windowFrom &&
                                polls < options.windowTo &&
                                (polls - options.windowFrom) % options.every == 0;
            if (!live || !(atFrom || atTo || atStep)) {
                continue;
            }
            Sample sample;
            take(sample, true);
            // A late reading (the next poll has logged already) is past its phase: it
            // still serves as the window's memory figure, not as a CPU time step.
            struct stat info {};
            if (newest && ::stat(logPath.c_str(), &info) == 0 && info.st_size == watch.bytes()) {
                steps.emplace_back(polls, sample);
            }
            if (atFrom) {
                from = sample;
            } else if (atTo) {
                to = sample;
            }
        }
    };

    while (run.running()) {
        consume(watch.next(WATCH_TICK), true);
        if (notify) {
            notify->drain();
        }
        if (secondsSince(start) > options.timeout) {
            timedOut = true;
            run.stop(STOP_TIMEOUT);
            break;
        }
    }
    SimRun::Exit const exit = run.wait(STOP_TIMEOUT);
    double const wall = secondsSince(start);
    consume(watch.drain(), false);
    if (notify) {
        notify->drain();
    }
    rusage after{};
    ::getrusage(RUSAGE_CHILDREN, &after);

    for (auto const& [name, destination] : options.copies) {
        std::filesystem::copy_file(run.path(name), destination,
                                   std::filesystem::copy_options::overwrite_existing);
    }

    std::ostringstream out;
    out << "{\"finished\": " << (exit.finished ? "true" : "false")
        << ", \"exit_code\": " << exit.code << ", \"signal\": " << exit.signal
        << ", \"timed_out\": " << (timedOut ? "true" : "false") << ", \"wall_s\": " << wall
        << ", \"cpu_user_s\": " << seconds(after.ru_utime) - seconds(before.ru_utime)
        << ", \"cpu_sys_s\": " << seconds(after.ru_stime) - seconds(before.ru_stime)
        << ", \"maxrss_kb\": " << after.ru_maxrss << ", \"log_bytes\": " << watch.bytes()
        << ", \"log_lines\": " << lines << ", \"polls\": " << polls
        << ", \"recorder_calls\": " << run.calls().size() << ", \"marks\": {";
    char const* separator = "";
    for (auto const& [mark, at] : marks) {
        out << separator << quoted(mark) << ": " << at;
        separator = ", ";
    }
    out << "}, \"notify\": {";
    separator = "";
    if (notify) {
        for (auto const& [kind, count] : notify->counts()) {
            out << separator << quoted(kind) << ": " << count;
            separator = ", ";
        }
    }
    out << "}";
    if (from.taken && to.taken) {
        out << ", \"window\": {\"from\": " << options.windowFrom << ", \"to\": " << options.windowTo
            << ", \"start\": " << json(from) << ", \"end\": " << json(to) << ", \"steps\": [";
        char const* comma = "";
        for (auto const& [poll, step] : steps) {
            auto const kilobytes = [&step = step](char const* name) {
                auto const found = step.memory.find(name);
                return found == step.memory.end() ? -1 : found->second;
            };
            out << comma << "[" << poll << ", " << step.cpuNanoseconds << ", " << kilobytes("Rss")
                << ", " << kilobytes("Private_Dirty") << "]";
            comma = ", ";
        }
        out << "]}";
    }
    out << ", \"errors\": " << quoted(run.errors()) << "}\n";
    std::cout << out.str();
    return EXIT_MEASURED;
}

}  // namespace

int main(int argc, char** argv) {
    Options const options = parse(argc, argv);
    try {
        return measure(options);
    } catch (std::exception const& failure) {
        std::cerr << "nuvexbench-run: " << failure.what() << "\n";
        return EXIT_USAGE;
    }
}
