#include "app/ServiceNotifier.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr char STATUS_PREFIX[] = "STATUS=";
constexpr std::size_t STATUS_SIZE = 256;

// Prepared by the constructor, before the handler may use them; the handler uses
// nothing else.
int notifyFd = -1;
sockaddr_un notifyAddress{};
socklen_t notifyLength = 0;
volatile sig_atomic_t notifyPrepared = 0;

// Decimal digits only, nothing else; false for anything else or an overflow.
bool parseDecimal(char const* text, unsigned long long& value) {
    if (text == nullptr || *text < '0' || *text > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text, &end, 10);
    return errno == 0 && *end == '\0';
}

// The address NOTIFY_SOCKET names; false for a name the protocol does not know or
// that does not fit.
bool prepareAddress(std::string const& name) {
    if (name.size() < 2 || (name[0] != '/' && name[0] != '@') ||
        name.size() > sizeof(notifyAddress.sun_path)) {
        return false;
    }
    notifyAddress = sockaddr_un{};
    notifyAddress.sun_family = AF_UNIX;
    std::memcpy(notifyAddress.sun_path, name.data(), name.size());
    // An abstract name starts with a zero byte and has no terminating one.
    if (name[0] == '@') {
        notifyAddress.sun_path[0] = '\0';
    }
    notifyLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    return true;
}

std::string takeVariable(char const* name) {
    char const* value = std::getenv(name);
    std::string text = value != nullptr ? value : "";
    ::unsetenv(name);
    return text;
}

}  // namespace

ServiceNotifier::ServiceNotifier() {
    bool const named = std::getenv("NOTIFY_SOCKET") != nullptr;
    std::string const socketName = takeVariable("NOTIFY_SOCKET");
    std::string const watchdogUsec = takeVariable("WATCHDOG_USEC");
    bool const pidGiven = std::getenv("WATCHDOG_PID") != nullptr;
    std::string const watchdogPid = takeVariable("WATCHDOG_PID");
    if (!named || !prepareAddress(socketName)) {
        return;
    }
    notifyFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (notifyFd < 0) {
        return;
    }
    // The handler must see the address complete once it sees the flag.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    notifyPrepared = 1;

    unsigned long long usec = 0;
    unsigned long long pid = 0;
    // The interval is meant for the process the manager started: a variable inherited
    // by another one names someone else's.
    bool const forUs = !pidGiven || (parseDecimal(watchdogPid.c_str(), pid) &&
                                     pid == static_cast<unsigned long long>(::getpid()));
    if (forUs && parseDecimal(watchdogUsec.c_str(), usec) && usec > 0) {
        mWatchdog = true;
        mWatchdogHalf = std::chrono::duration_cast<Clock::duration>(
            std::chrono::microseconds(static_cast<std::int64_t>(usec / 2)));
    }
}

ServiceNotifier::~ServiceNotifier() {
    if (notifyFd >= 0) {
        notifyPrepared = 0;
        ::close(notifyFd);
        notifyFd = -1;
    }
}

bool ServiceNotifier::active() const {
    return notifyPrepared != 0;
}

void ServiceNotifier::ready() {
    static constexpr char READY[] = "READY=1";
    send(READY, sizeof(READY) - 1);
}

void ServiceNotifier::status(std::string_view text) {
    char message[STATUS_SIZE];
    std::size_t const prefix = sizeof(STATUS_PREFIX) - 1;
    std::size_t const length = std::min(text.size(), sizeof(message) - prefix);
    std::memcpy(message, STATUS_PREFIX, prefix);
    std::memcpy(message + prefix, text.data(), length);
    send(message, prefix + length);
}

void ServiceNotifier::watchdog(Clock::time_point now) {
    if (!mWatchdog || (mPinged && now - mLastPing < mWatchdogHalf)) {
        return;
    }
    static constexpr char PING[] = "WATCHDOG=1";
    mPinged = true;
    mLastPing = now;
    send(PING, sizeof(PING) - 1);
}

void ServiceNotifier::stoppingFromSignal() {
    static constexpr char STOPPING[] = "STOPPING=1";
    send(STOPPING, sizeof(STOPPING) - 1);
}

void ServiceNotifier::send(char const* message, std::size_t length) {
    if (notifyPrepared == 0) {
        return;
    }
    // Non-blocking: a manager that does not read must never hold up the monitoring.
    // Keeps errno as it was, for the signal handler's sake.
    int const savedErrno = errno;
    ::sendto(notifyFd, message, length, MSG_DONTWAIT | MSG_NOSIGNAL,
             reinterpret_cast<sockaddr const*>(&notifyAddress), notifyLength);
    errno = savedErrno;
}
