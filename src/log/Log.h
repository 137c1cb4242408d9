#pragma once

#include <string>
#include <string_view>

// The daemon's leveled, timestamped, append-only log file.
class Log {
public:
    enum LogLevel { NOTICE = 1, ERROR = 3, DEBUG = 4 };

    static Log* getInstance();

    // Appends one line, or nothing when the configured LogLevel filters it out.
    void write(std::string_view message, LogLevel level);
    // Local time as "%F %T".
    static std::string currentDateTime();

private:
    Log() = default;
    ~Log() = default;

    static Log* mInstance;

    // The line being written, kept between calls so that its storage is reused: once it
    // has grown to the longest line, writing a line allocates nothing.
    std::string mLine;
};
