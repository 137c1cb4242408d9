#include "app/App.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <optional>
#include <stdexcept>

#include "app/ServiceNotifier.h"
#include "app/ServiceReport.h"
#include "bus/I2C.h"
#include "bus/Protocol.h"
#include "config/ConfigArg.h"
#include "config/ConfigException.h"
#include "config/ConfigFile.h"
#include "config/Paths.h"
#include "config/Singleton.h"
#include "log/Log.h"
#include "log/WriteAll.h"
#include "sched/Scheduler.h"
#include "sched/StopSignalBlock.h"
#include "ups/BatteryCell.h"
#include "ups/EventAnnouncer.h"
#include "ups/EventContext.h"
#include "ups/EventRunner.h"
#include "ups/NuvexBattery.h"
#include "ups/NuvexEvents.h"
#include "ups/NuvexGauge.h"
#include "ups/NuvexState.h"
#include "ups/NuvexStatus.h"
#include "ups/OutageRecord.h"
#include "ups/ShutdownHook.h"

volatile sig_atomic_t pidFileOwned = 0;

namespace {

constexpr unsigned int TICK_MILLISECONDS = 500;
constexpr unsigned int STATUS_INTERVAL = 1;
constexpr unsigned int GAUGE_INTERVAL = 1;
constexpr unsigned int BATTERY_INTERVAL = 2;
constexpr unsigned int EVENTS_INTERVAL = 2;
constexpr unsigned int STATE_INTERVAL = 1;
constexpr unsigned int RECORD_INTERVAL = 1;
constexpr unsigned int ANNOUNCE_INTERVAL = 1;
// The service manager hears "ready" after the first pass: the state file must have
// been written (or failed) by then.
static_assert(STATE_INTERVAL == 1, "the state file is written in the first pass");
constexpr int LOW_BYTE = 0xFF;
constexpr long MAX_CHARGE = 100;
constexpr int EXIT_UNKNOWN_EVENT = 2;
constexpr int EXIT_SIGNAL_BASE = 128;  // as a shell reports a command killed by a signal

void registerDefaults() {
    ConfigArg* arguments = Singleton<ConfigArg>::getInstance();
    arguments->addDefault("poweroff", "0");
    arguments->addDefault("mode", "");
    arguments->addDefault("argument", "");
}

void registerFileDefaults() {
    ConfigFile* config = Singleton<ConfigFile>::getInstance();
    config->addDefault("I2CAddress", "0x18");
    config->addDefault("I2CBootAddr", "0x30");
    config->addDefault("I2CDevice", "/dev/i2c-1");
    config->addDefault("LogFile", "/var/log/nuvexmon.log");
    config->addDefault("PowerOffTimer", "30");
    config->addDefault("ShutdownTimer", "10");
    config->addDefault("ShutdownCmd", "init 0");
    config->addDefault("LogLevel", "debug");
    config->addDefault("LogStatusDesc", "1");
    config->addDefault("ShutdownOnLowBattery", "0");
    config->addDefault("StateFile", "");
    // Empty: not set. Either one set, with the curve left as it is, gives the straight line
    // between them (BatteryCell::fromConfig).
    config->addDefault("BatteryVoltageLow", "");
    config->addDefault("BatteryVoltageHigh", "");
    // BatteryCell::DEFAULT_CURVE, spelled out: the packaging tests read the defaults here.
    // clang-format off
    config->addDefault("BatteryCurve", "3270:0,3610:5,3690:10,3710:15,3730:20,3750:25,3770:30,3790:35,3800:40,3820:45,3840:50,3850:55,3870:60,3910:65,3950:70,3980:75,4020:80,4080:85,4110:90,4150:95,4200:100");
    // clang-format on
    config->addDefault("BatteryResistance", "120");
    config->addDefault("BatteryCapacity", "0");
    config->addDefault("ShutdownBelowCharge", "0");
    config->addDefault("ShutdownBelowRuntime", "0");
    config->addDefault("ShutdownHook", "1");
    config->addDefault("EventCmd", "");
    config->addDefault("OnBatteryDelay", "0");
}

// Opens the configured device and binds the board's address (low 8 bits of a base-16 value).
unsigned char boardAddress() {
    return static_cast<unsigned char>(
        Singleton<ConfigFile>::getInstance()->getInt("I2CAddress", 16) & LOW_BYTE);
}

int powerOffMode() {
    ConfigFile* config = Singleton<ConfigFile>::getInstance();
    std::string const device = config->getString("I2CDevice");
    I2C bus(device, boardAddress());
    // Converted before the command goes out: with a bad value the board gets nothing,
    // rather than 0x10 alone, which would make it take the next byte it sees (the
    // daemon's first status command, 0x00) as the delay.
    unsigned char const delay = NuvexEvents::powerOffDelay();
    bus.write(CMD_POWEROFF);
    bus.write(delay);
    return 0;
}

// A number the shutdown depends on that is not a number would only show when the
// power fails, too late to do anything about it: refuse to start instead.
int requireNumber(char const* key, char const* message) {
    try {
        return Singleton<ConfigFile>::getInstance()->getInt(key, 10);
    } catch (std::invalid_argument const&) {
        throw ConfigException(message);
    } catch (std::out_of_range const&) {
        throw ConfigException(message);
    }
}

// The battery's settings, checked like the timers: the charge and the runtime are
// worked out from them on every pass, and a charge or runtime level may start the
// shutdown. The cell's description is parsed here, once.
BatteryCell requireBatterySettings() {
    BatteryCell cell = BatteryCell::fromConfig();
    // A percentage, whole and nothing after it: "10.5" or "10%" would not mean what
    // it seems to.
    std::string const& below =
        Singleton<ConfigFile>::getInstance()->getValue("ShutdownBelowCharge");
    char* end = nullptr;
    long const level = std::strtol(below.c_str(), &end, 10);
    if (below.empty() || *end != '\0' || level < 0 || level > MAX_CHARGE) {
        throw ConfigException("invalid ShutdownBelowCharge!");
    }
    // Whole seconds, nothing after them; a runtime needs the capacity.
    std::string const& runtime =
        Singleton<ConfigFile>::getInstance()->getValue("ShutdownBelowRuntime");
    constexpr std::size_t MAX_SECONDS_DIGITS = 10;
    bool const whole = !runtime.empty() && runtime.size() <= MAX_SECONDS_DIGITS &&
                       runtime.find_first_not_of("0123456789") == std::string::npos;
    long long const seconds = whole ? std::strtoll(runtime.c_str(), nullptr, 10) : -1;
    if (seconds < 0 || seconds > INT32_MAX) {
        throw ConfigException("invalid ShutdownBelowRuntime!");
    }
    if (seconds > 0 && cell.capacityMah <= 0) {
        throw ConfigException("ShutdownBelowRuntime needs BatteryCapacity!");
    }
    return cell;
}

// Whole seconds, nothing after them; an onbattery that would come after the shutdown
// started could never be announced.
void requireOnBatteryDelay() {
    ConfigFile* config = Singleton<ConfigFile>::getInstance();
    std::string const& delay = config->getValue("OnBatteryDelay");
    char* end = nullptr;
    errno = 0;
    long long const seconds = std::strtoll(delay.c_str(), &end, 10);
    int const limit = config->getInt("ShutdownTimer", 10);
    if (delay.empty() || *end != '\0' || errno == ERANGE || seconds < 0 || seconds > INT32_MAX ||
        (limit > 0 && seconds > limit)) {
        throw ConfigException("invalid OnBatteryDelay!");
    }
}

// "nuvexmon event NAME": EventCmd once, with what the running daemon publishes; its
// output is this run's, its status this run's exit status. The board is never touched.
int eventMode() {
    std::string const name = Singleton<ConfigArg>::getInstance()->getString("argument");
    char const* event = EventContext::find(name);
    if (event == nullptr) {
        std::cerr << "nuvexmon: unknown event '" << name
                  << "' (events: " << EventContext::nameList() << ")" << std::endl;
        return EXIT_UNKNOWN_EVENT;
    }
    std::string const command = Singleton<ConfigFile>::getInstance()->getString("EventCmd");
    if (command.empty()) {
        std::cerr << "nuvexmon: EventCmd is empty: nothing to run" << std::endl;
        return 1;
    }
    EventRunner runner(command);
    int const status =
        runner.runToEnd(event, EventAnnouncer::published(event, RECORD_FILE_PATH).environment());
    std::cout << EventRunner::outcome(event, status) << std::endl;
    return WIFSIGNALED(status) ? EXIT_SIGNAL_BASE + WTERMSIG(status) : WEXITSTATUS(status);
}

enum class PidFile { Created, Exists, Failed };

// Creates the pid file exclusively, so that two daemons started at the same moment
// cannot both pass the single-instance check. SIGINT and SIGTERM stay blocked from
// just before the creation until this process owns the file, so a signal in between
// cannot leave behind a file that would refuse every later start.
PidFile createPidFile() {
    int fd = -1;
    int openError = 0;
    {
        StopSignalBlock const block;
        fd = ::open(PID_FILE_PATH, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        openError = errno;
        if (fd >= 0) {
            pidFileOwned = 1;
        }
    }

    if (fd < 0) {
        return openError == EEXIST ? PidFile::Exists : PidFile::Failed;
    }
    writeAll(fd, std::to_string(static_cast<unsigned long>(::getpid())));
    ::close(fd);
    return PidFile::Created;
}

int refuseSecondInstance() {
    std::cout << "nuvexmon already running!" << std::endl;
    return 1;
}

int daemonMode() {
    if (fileExists(PID_FILE_PATH)) {
        return refuseSecondInstance();
    }
    // A log FIFO whose reader went away must not end the daemon. The hook and the
    // shutdown command get the default disposition back (Shell.cpp).
    std::signal(SIGPIPE, SIG_IGN);
    // Before any command starts: the service manager's variables are for this process.
    ServiceNotifier notifier;

    ConfigFile* config = Singleton<ConfigFile>::getInstance();
    std::string const device = config->getString("I2CDevice");
    I2C bus(device, boardAddress());
    requireNumber("ShutdownTimer", "invalid ShutdownTimer!");
    requireNumber("PowerOffTimer", "invalid PowerOffTimer!");
    BatteryCell const cell = requireBatterySettings();
    requireOnBatteryDelay();

    Scheduler scheduler;
    // Registration copies the bus pointer into each action, so it must be set first.
    scheduler.mI2C = &bus;

    // The actions live as long as the process; nothing frees them.
    NuvexStatus* status = new NuvexStatus();
    OutageRecord* record = new OutageRecord(RECORD_FILE_PATH);
    NuvexEvents* events = new NuvexEvents(status, record);
    NuvexBattery* battery = new NuvexBattery(status);
    NuvexGauge* gauge = new NuvexGauge(status, cell, record);
    events->mGauge = gauge;
    NuvexState* state = new NuvexState(status, events, gauge);
    EventAnnouncer* announcer = new EventAnnouncer(status, events, record);
    events->mShutdownListener = announcer;

    // Registration order is run order: the poll refreshes the board state before
    // the history and the shutdown events look at it.
    scheduler.RegisterAction(status, STATUS_INTERVAL);
    // Right after the poll: the events and the state file use this pass's charge.
    scheduler.RegisterAction(gauge, GAUGE_INTERVAL);
    scheduler.RegisterAction(battery, BATTERY_INTERVAL);
    scheduler.RegisterAction(events, EVENTS_INTERVAL);
    // Last, so that it publishes what this pass's poll and events left behind.
    scheduler.RegisterAction(state, STATE_INTERVAL);
    // After the shutdown events, whose shutdown it announces, and before the record,
    // which keeps what it announced.
    scheduler.RegisterAction(announcer, ANNOUNCE_INTERVAL);
    // After everything that changes it: one write at most per pass, on change only.
    scheduler.RegisterAction(record, RECORD_INTERVAL);
    // Only under a service manager that listens: otherwise a pass is what it always was.
    std::optional<ServiceReport> report;
    if (notifier.active()) {
        // The service manager removes the state file's directory when the service
        // stops for good; across a restart the file stays, so that NUT's driver never
        // loses it and its clients never see the board vanish.
        NuvexState::keepFileOnExit();
        report.emplace(notifier, status, events);
        scheduler.mPassListener = &*report;
    }

    // A creation failure other than an existing file goes unreported: the
    // daemon runs on without a pid file.
    if (createPidFile() == PidFile::Exists) {
        return refuseSecondInstance();
    }

    Log* log = Log::getInstance();
    log->write("nuvexmon started", Log::NOTICE);
    // Read once; what it holds is used at the first complete poll, when the board has
    // said whether the outage goes on.
    record->load();
    // From here on a log that cannot be written must never stop the monitoring.
    log->fallBackToStandardError();
    scheduler.exec(TICK_MILLISECONDS);
    return 0;
}

}  // namespace

void sighandler(int signal) {
    if (signal != SIGINT && signal != SIGTERM) {
        return;
    }
    ServiceNotifier::stoppingFromSignal();
    // Only a pid file this process created is removed: a poweroff run or a refused
    // second instance must not delete the running daemon's file.
    if (pidFileOwned != 0) {
        ::unlink(PID_FILE_PATH);
    }
    NuvexState::removeWrittenFile();
    // _exit, not exit: static destructors must not run in the middle of the main
    // thread's work, and exit() is not async-signal-safe.
    ::_exit(0);
}

bool fileExists(std::string const& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

int runNuvexmon(int argc, char** argv) {
    std::signal(SIGINT, sighandler);
    std::signal(SIGTERM, sighandler);

    try {
        registerDefaults();
        Singleton<ConfigArg>::getInstance()->load(argc, argv);
        registerFileDefaults();
        Singleton<ConfigFile>::getInstance()->load("");

        ConfigArg* arguments = Singleton<ConfigArg>::getInstance();
        if (arguments->getValue("mode") == ConfigArg::SYSTEM_SHUTDOWN_MODE) {
            return ShutdownHook::run(arguments->getValue("argument"));
        }
        if (arguments->getValue("mode") == ConfigArg::EVENT_MODE) {
            return eventMode();
        }
        if (arguments->getString("poweroff") == "1") {
            return powerOffMode();
        }
        return daemonMode();
    } catch (std::exception const& failure) {
        // A state file left behind would keep serving the last values as if live.
        NuvexState::removeWrittenFile();
        // The error line itself may fail (the log cannot be opened): the run has
        // failed all the same and still ends with status 1, not an abort.
        try {
            Log::getInstance()->write(failure.what(), Log::ERROR);
        } catch (std::exception const&) {
        }
        return 1;
    }
}
