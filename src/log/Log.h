#pragma once

#include <string>

// The daemon's leveled, timestamped, append-only log file.
class Log {
public:
    enum LogLevel { NOTICE = 1, ERROR = 3, DEBUG = 4 };

    static Log* getInstance();

    // Appends one line, or nothing when the configured LogLevel filters it out.
    void write(std::string const& message, LogLevel level);
    // Local time as "%F %T".
    static std::string currentDateTime();

private:
    Log() = default;
    ~Log() = default;

    static Log* mInstance;
};
