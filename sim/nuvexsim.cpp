// nuvexsim: runs a program (the daemon by default) on a simulated UPS board.

#include <getopt.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "CellRecord.h"
#include "RunReport.h"
#include "ScenarioError.h"
#include "ScenarioParser.h"
#include "SimRun.h"
#include "Trace.h"

namespace {

constexpr int EXIT_AS_PLANNED = 0;
constexpr int EXIT_DIFFERENT = 1;
constexpr int EXIT_USAGE = 2;
constexpr double DEFAULT_TIMEOUT_SECONDS = 60.0;
constexpr double EXTRA_SECONDS = 30.0;
constexpr double SECONDS_PER_POLL = 0.6;
constexpr std::chrono::milliseconds TICK{100};
constexpr std::chrono::milliseconds PROGRESS_INTERVAL{250};
constexpr std::chrono::seconds STOP_TIMEOUT{5};
constexpr std::chrono::seconds HOOK_TIMEOUT{3};
constexpr std::size_t DEFAULT_WIDTH = 80;

char const USAGE[] =
    "Usage: nuvexsim [OPTION]... SCENARIO [ARGUMENT]...\n"
    "Runs the daemon (or --program) on a simulated UPS board that plays SCENARIO, in a\n"
    "fresh sandbox directory, and reports what happened. ARGUMENTs go to the program,\n"
    "e.g. 'nuvexsim steady.scn poweroff' runs the power-off mode.\n"
    "\n"
    "  -s, --set KEY=VALUE  set a key of the generated nuvexmon.conf (repeatable);\n"
    "                       defaults: I2CDevice = the simulated device, LogFile in the\n"
    "                       sandbox, ShutdownCmd, StatusChangedCmd and EventCmd =\n"
    "                       recorders\n"
    "  -c, --config FILE    use FILE as nuvexmon.conf instead, '@SANDBOX@' replaced by\n"
    "                       the sandbox path; refused if its ShutdownCmd runs a program\n"
    "                       by path outside the sandbox\n"
    "  -p, --program PATH   run PATH instead of the built nuvexmon-sandbox\n"
    "  -a, --address ADDR   the board's I2C address (default 0x18)\n"
    "  -t, --timeout SECS   stop the program after SECS seconds whatever the scenario\n"
    "                       says (default: 30 s past the scenario's end, or 60 s)\n"
    "      --compare-after T\n"
    "                       with a battery line: compare the charge from T seconds\n"
    "                       after each power failure (default: the scenario's, or 30)\n"
    "      --compare-until PERCENT\n"
    "                       ...until the true charge falls below PERCENT (3)\n"
    "      --compare-steady T\n"
    "                       compare the runtime once the load has been steady on\n"
    "                       battery power for T seconds (60)\n"
    "  -k, --keep           keep the sandbox directory and print its path\n"
    "  -q, --quiet          no progress line\n"
    "  -h, --help           this text\n"
    "\n"
    "The program runs with the sandbox as working directory, LD_PRELOAD=libnuvexsim.so,\n"
    "and recorders for init, shutdown, poweroff, halt and reboot first in its PATH, so\n"
    "nothing it runs can shut this machine down. It is stopped with SIGTERM when the\n"
    "scenario ends ('end after poll N': once poll N+1 starts; 'end at T': T seconds\n"
    "after the start). Without an end line it runs until it exits or times out.\n"
    "\n"
    "The report shows the log, the bus traffic (polls, status replies, failed\n"
    "transfers, power-off commands with their delay), every recorded command with\n"
    "its NUVEX_STATUS and NUVEX_LAST_STATUS (each event's run with all its variables),\n"
    "and, with StateFile set, each distinct\n"
    "content of the state file in time order (status, charge, runtime, timer).\n"
    "\n"
    "A scenario with a battery line runs a cell model on the board: it supplies the\n"
    "voltage and current the board reports and the status bits 0x04 (battery low) and\n"
    "0x08 (charging), and writes its state into the trace at every poll:\n"
    "  battery capacity MAH [resistance MOHM] [charge PERCENT] [curve MV:PERCENT,...]\n"
    "          [polarisation MOHM T] [low MV]\n"
    "  charger MA MV [END_MA]    constant current, then constant voltage until END_MA\n"
    "  load MA                   the load on battery power; 'at 20s load 300' steps it\n"
    "  compare [after T] [until PERCENT] [steady T]   the window of the comparison\n"
    "With StateFile set, each published state then shows the true charge and the true\n"
    "remaining time at the present load beside the published ones, and a last part\n"
    "compares them: the largest step of the published charge at each power failure,\n"
    "the largest charge error (points) and runtime error (%) in the window, and the\n"
    "truth when the shutdown started (with ShutdownBelowRuntime or ShutdownBelowCharge:\n"
    "how far from the setting).\n"
    "\n"
    "Exit status: 0 when the run went as the scenario planned: the program ran until\n"
    "the scenario's end and then exited with status 0 on SIGTERM, or it finished by\n"
    "itself with status 0; 1 when it exited with another status, died from a signal,\n"
    "or the timeout stopped it; 2 for bad usage, a bad scenario or configuration, or\n"
    "a program that could not be started.\n"
    "\n"
    "Scenario format: see sim/README.md and the examples in sim/scenarios/.\n";

[[noreturn]] void usageError(std::string const& message) {
    std::cerr << "nuvexsim: " << message << "\nTry 'nuvexsim --help'.\n";
    std::exit(EXIT_USAGE);
}

struct Options {
    std::vector<std::pair<std::string, std::string>> settings;
    std::string config;
    std::string program = SimRun::sandboxProgram();
    unsigned long address = 0x18;
    double timeout = 0;
    bool keep = false;
    bool quiet = false;
    std::string scenario;
    std::vector<std::string> arguments;
    // Negative: as the scenario says.
    double compareAfter = -1;
    double compareUntil = -1;
    double compareSteady = -1;
};

// A number of seconds ("30", "30s") or a percentage ("3", "3%") for --compare-*.
double comparisonValue(std::string const& value, char const* unit, std::string const& option) {
    std::string digits = value;
    if (!digits.empty() && digits.back() == *unit) {
        digits.pop_back();
    }
    char* end = nullptr;
    double const number = std::strtod(digits.c_str(), &end);
    if (digits.empty() || *end != '\0' || !(number >= 0) ||
        digits.find_first_not_of("0123456789.") != std::string::npos) {
        usageError("bad " + option + " '" + value + "'");
    }
    return number;
}

Options parseOptions(int argc, char** argv) {
    static option const longOptions[] = {{"set", required_argument, nullptr, 's'},
                                         {"config", required_argument, nullptr, 'c'},
                                         {"program", required_argument, nullptr, 'p'},
                                         {"address", required_argument, nullptr, 'a'},
                                         {"timeout", required_argument, nullptr, 't'},
                                         {"keep", no_argument, nullptr, 'k'},
                                         {"compare-after", required_argument, nullptr, 'A'},
                                         {"compare-until", required_argument, nullptr, 'U'},
                                         {"compare-steady", required_argument, nullptr, 'S'},
                                         {"quiet", no_argument, nullptr, 'q'},
                                         {"help", no_argument, nullptr, 'h'},
                                         {nullptr, 0, nullptr, 0}};
    Options options;
    int option = 0;
    // '+': options end at the scenario; what follows belongs to the program.
    while ((option = ::getopt_long(argc, argv, "+s:c:p:a:t:kqh", longOptions, nullptr)) != -1) {
        std::string const value = optarg != nullptr ? optarg : "";
        char* end = nullptr;
        switch (option) {
            case 's': {
                std::size_t const equals = value.find('=');
                if (equals == std::string::npos || equals == 0) {
                    usageError("--set needs KEY=VALUE, not '" + value + "'");
                }
                options.settings.emplace_back(value.substr(0, equals), value.substr(equals + 1));
                break;
            }
            case 'c':
                options.config = value;
                break;
            case 'p':
                options.program = value;
                break;
            case 'a':
                options.address = std::strtoul(value.c_str(), &end, 0);
                if (value.empty() || *end != '\0' || options.address > 0x7F) {
                    usageError("bad address '" + value + "'");
                }
                break;
            case 't':
                options.timeout = std::strtod(value.c_str(), &end);
                if (value.empty() || *end != '\0' || !(options.timeout > 0)) {
                    usageError("bad timeout '" + value + "'");
                }
                break;
            case 'k':
                options.keep = true;
                break;
            case 'A':
                options.compareAfter = comparisonValue(value, "s", "--compare-after");
                break;
            case 'U':
                options.compareUntil = comparisonValue(value, "%", "--compare-until");
                if (options.compareUntil > 100) {
                    usageError("bad --compare-until '" + value + "'");
                }
                break;
            case 'S':
                options.compareSteady = comparisonValue(value, "s", "--compare-steady");
                break;
            case 'q':
                options.quiet = true;
                break;
            case 'h':
                std::cout << USAGE;
                std::exit(EXIT_AS_PLANNED);
            default:
                usageError("bad option");
        }
    }
    if (optind >= argc) {
        usageError("no scenario");
    }
    options.scenario = argv[optind++];
    options.arguments.assign(argv + optind, argv + argc);
    return options;
}

std::string readAll(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The given configuration with '@SANDBOX@' filled in; refused (std::runtime_error) if
// its ShutdownCmd could reach a real program by path.
std::string givenConfig(std::string const& path, std::string const& sandbox) {
    std::string text = readAll(path);
    std::string const marker = "@SANDBOX@";
    for (std::size_t at = text.find(marker); at != std::string::npos;
         at = text.find(marker, at + sandbox.size())) {
        text.replace(at, marker.size(), sandbox);
    }
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("ShutdownCmd=", 0) != 0) {
            continue;
        }
        std::string command = line.substr(line.find('=') + 1);
        command.erase(0, command.find_first_not_of(" \t\""));
        std::string const word = command.substr(0, command.find_first_of(" \t\";&|"));
        if (word.find('/') != std::string::npos && word.rfind(sandbox + "/", 0) != 0) {
            throw std::runtime_error("refusing " + path + ": its ShutdownCmd runs " + word +
                                     "; use a command name (the sandbox's recorders come first"
                                     " in PATH) or a path under @SANDBOX@");
        }
    }
    return text;
}

std::size_t terminalWidth() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1) {
        return size.ws_col - 1U;
    }
    return DEFAULT_WIDTH;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::vector<Transfer> traceOf(SimRun const& run) {
    try {
        return run.trace();
    } catch (std::exception const& failure) {
        std::cerr << "nuvexsim: " << failure.what() << "\n";
        return {};
    }
}

// The last value of a key in the settings or in the given configuration; empty for none.
std::string settingOf(Options const& options, SimRun const& run, std::string const& key) {
    std::string value;
    if (!options.config.empty()) {
        std::istringstream lines(givenConfig(options.config, run.dir()));
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind(key + "=", 0) == 0) {
                value = line.substr(line.find('=') + 1);
            }
        }
    } else {
        for (auto const& [name, setting] : options.settings) {
            value = name == key ? setting : value;
        }
    }
    return value;
}

// Where the program publishes its state: the last StateFile of the settings or of the
// given configuration, relative to the sandbox; empty for none.
std::string stateFilePath(Options const& options, SimRun const& run) {
    std::string const value = settingOf(options, run, "StateFile");
    if (value.empty() || value.front() == '/') {
        return value;
    }
    return run.path(value);
}

}  // namespace

int main(int argc, char** argv) {
    Options const options = parseOptions(argc, argv);
    Scenario scenario;
    try {
        scenario = ScenarioParser::parseFile(options.scenario);
    } catch (ScenarioError const& error) {
        std::cerr << "nuvexsim: " << error.what() << "\n";
        return EXIT_USAGE;
    }

    double timeout = options.timeout;
    if (timeout <= 0) {
        timeout = scenario.end == Scenario::End::AtTime ? scenario.endSeconds + EXTRA_SECONDS
                  : scenario.end == Scenario::End::AfterPoll
                      ? scenario.endPoll * SECONDS_PER_POLL + EXTRA_SECONDS
                      : DEFAULT_TIMEOUT_SECONDS;
    }

    SimRun run;
    try {
        run.keep(options.keep);
        run.setBoardAddress(static_cast<std::uint8_t>(options.address));
        run.setScenario(readAll(options.scenario));
        // Every event's run is reported with its variables.
        run.set("EventCmd", run.recorder("on-event"));
        for (auto const& [key, value] : options.settings) {
            run.set(key, value);
        }
        if (!options.config.empty()) {
            run.setConfigText(givenConfig(options.config, run.dir()));
        }
        run.start(options.arguments, options.program);
    } catch (std::exception const& failure) {
        std::cerr << "nuvexsim: " << failure.what() << "\n";
        return EXIT_USAGE;
    }

    std::string const statePath = stateFilePath(options, run);
    std::vector<RunReport::State> states;
    // The daemon replaces the file at most once a pass (500 ms): a look every tick
    // sees every content.
    auto lookAtState = [&states, &statePath, &run] {
        std::ifstream in(statePath, std::ios::binary);
        std::string const text((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        if (!text.empty() && (states.empty() || states.back().text != text)) {
            states.push_back({secondsSince(run.startTime()), text});
        }
    };
    bool const showProgress = !options.quiet && ::isatty(STDERR_FILENO) != 0;
    auto const start = run.startTime();
    auto lastProgress = start - PROGRESS_INTERVAL;
    bool ended = false;
    bool timedOut = false;
    while (run.running()) {
        double const elapsed = secondsSince(start);
        std::vector<Transfer> const transfers = traceOf(run);
        if (scenario.end == Scenario::End::AfterPoll && !transfers.empty() &&
            transfers.back().poll > scenario.endPoll) {
            ended = true;
        } else if (scenario.end == Scenario::End::AtTime && elapsed >= scenario.endSeconds) {
            ended = true;
        } else if (elapsed >= timeout) {
            timedOut = true;
        }
        if (!statePath.empty()) {
            lookAtState();
        }
        if (ended || timedOut) {
            break;
        }
        if (showProgress && std::chrono::steady_clock::now() - lastProgress >= PROGRESS_INTERVAL) {
            lastProgress = std::chrono::steady_clock::now();
            std::vector<std::string> const log = run.logLines();
            std::cerr << "\r\033[K"
                      << RunReport::progress(elapsed, transfers, log.empty() ? "" : log.back(),
                                             terminalWidth())
                      << std::flush;
        }
        std::this_thread::sleep_for(TICK);
    }
    SimRun::Exit const exit = (ended || timedOut) ? run.stop(STOP_TIMEOUT) : run.wait();
    run.waitForChildren(HOOK_TIMEOUT);
    if (showProgress) {
        std::cerr << "\r\033[K" << std::flush;
    }

    std::cout << "== log ==\n" << run.readFile("nuvexmon.log");
    std::string const output = run.output();
    std::string const errors = run.errors();
    if (!output.empty()) {
        std::cout << "== program output ==\n" << output;
    }
    if (!errors.empty()) {
        std::cout << "== program errors ==\n" << errors;
    }
    std::cout << "== bus ==\n" << RunReport::bus(traceOf(run));
    std::cout << "== commands ==\n" << RunReport::commands(run.calls());
    std::vector<CellRecord> const records =
        scenario.battery ? CellRecord::read(run.path("trace.txt")) : std::vector<CellRecord>{};
    std::cout << "== published states ==\n" << RunReport::states(statePath, states, records);
    if (scenario.battery && !statePath.empty()) {
        Scenario::Comparison window = scenario.comparison;
        window.after = options.compareAfter >= 0 ? options.compareAfter : window.after;
        window.until = options.compareUntil >= 0 ? options.compareUntil : window.until;
        window.steady = options.compareSteady >= 0 ? options.compareSteady : window.steady;
        RunReport::Limits const limits{settingOf(options, run, "ShutdownBelowRuntime"),
                                       settingOf(options, run, "ShutdownBelowCharge")};
        std::cout << "== the estimate against the cell model ==\n"
                  << RunReport::comparison(scenario.cell, window, states, records, limits);
    }

    std::ostringstream how;
    if (!exit.finished) {
        how << "did not stop";
    } else if (exit.signal != 0) {
        how << "killed by signal " << exit.signal;
    } else {
        how << "exit status " << exit.code;
    }
    std::cout << "== result ==\n";
    int status = EXIT_DIFFERENT;
    if (ended) {
        std::cout << "stopped with SIGTERM at the scenario's end; " << how.str() << "\n";
        status = exit.exitedWith(0) ? EXIT_AS_PLANNED : EXIT_DIFFERENT;
    } else if (timedOut) {
        std::cout << "stopped after the " << timeout << " s timeout; " << how.str() << "\n";
    } else {
        std::cout << "the program ended by itself; " << how.str() << "\n";
        status = exit.exitedWith(0) ? EXIT_AS_PLANNED : EXIT_DIFFERENT;
    }
    if (options.keep) {
        std::cout << "sandbox kept: " << run.dir() << "\n";
    }
    return status;
}
