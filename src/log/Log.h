#pragma once

#include <ctime>
#include <string>
#include <string_view>

// The daemon's leveled, timestamped, append-only log file.
class Log {
public:
    enum LogLevel { NOTICE = 1, WARNING = 2, ERROR = 3, DEBUG = 4 };

    static Log* getInstance();

    // Appends one line, or nothing when the configured LogLevel filters it out.
    void write(std::string_view message, LogLevel level);
    // Local time as "%F %T".
    static std::string currentDateTime();
    // The given time as local "%F %T".
    static std::string dateTime(std::time_t when);
    // From now on a line whose file cannot be opened goes to standard error instead of
    // raising LogException. The daemon turns this on once its main loop starts.
    void fallBackToStandardError();

private:
    Log() = default;
    ~Log() = default;

    static Log* mInstance;

    // The line being written, kept between calls so that its storage is reused: once it
    // has grown to the longest line, writing a line allocates nothing.
    std::string mLine;
    bool mStandardErrorFallback = false;
};
