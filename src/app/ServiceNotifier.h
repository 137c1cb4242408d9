#pragma once

#include <chrono>
#include <cstddef>
#include <string_view>

// Tells the service manager how the daemon is doing: one datagram per message to the
// socket named in NOTIFY_SOCKET ("/path" or "@abstract name"). Without that variable
// it makes no system call at all. One per process: the stop signal's handler sends
// through what the living notifier prepared.
class ServiceNotifier {
public:
    using Clock = std::chrono::steady_clock;

    // Takes NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID out of the environment, so
    // that no command started later sees them, and opens a socket if one is named.
    ServiceNotifier();
    ~ServiceNotifier();
    ServiceNotifier(ServiceNotifier const&) = delete;
    ServiceNotifier& operator=(ServiceNotifier const&) = delete;

    // True when there is a socket to send to.
    bool active() const;
    void ready();
    // STATUS= with the text, cut to what fits one short line.
    void status(std::string_view text);
    // WATCHDOG=1 if the service manager asked for it and at least half its interval
    // has passed since the last one.
    void watchdog(Clock::time_point now);
    // STOPPING=1, from the stop signal's handler: async-signal-safe.
    static void stoppingFromSignal();

private:
    // One attempt that never blocks; a failure is neither reported nor retried.
    static void send(char const* message, std::size_t length);

    bool mWatchdog = false;
    Clock::duration mWatchdogHalf{};
    bool mPinged = false;
    Clock::time_point mLastPing{};
};
