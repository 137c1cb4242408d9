#include "log/Log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "config/ConfigFile.h"
#include "config/Singleton.h"
#include "log/LogException.h"
#include "log/WriteAll.h"

Log* Log::mInstance = nullptr;

namespace {

constexpr std::size_t TIME_BUFFER_SIZE = 30;

// Highest level written under each named LogLevel; any other value writes every level.
bool passesFilter(std::string const& setting, int level) {
    if (setting == "debug") {
        return level <= Log::DEBUG;
    }
    if (setting == "error") {
        return level <= Log::ERROR;
    }
    if (setting == "info") {
        // Events, and what went wrong without stopping the daemon.
        return level <= Log::WARNING;
    }
    return true;
}

char const* label(int level) {
    switch (level) {
        case Log::NOTICE:
            return "[NOTICE] ";
        case Log::WARNING:
            return "[WARNING] ";
        case Log::ERROR:
            return "[ERROR] ";
        case Log::DEBUG:
            return "[DEBUG] ";
        default:
            return "[UNKNOWN] ";
    }
}

// Writes the given time as local "%F %T" into the buffer (empty if it cannot be
// broken down) and returns its length.
std::size_t formatDateTime(std::time_t when, char (&buffer)[TIME_BUFFER_SIZE]) {
    buffer[0] = '\0';
    std::tm* local = std::localtime(&when);
    if (local != nullptr) {
        std::strftime(buffer, sizeof(buffer), "%F %T", local);
    }
    return std::strlen(buffer);
}

}  // namespace

Log* Log::getInstance() {
    if (mInstance == nullptr) {
        mInstance = new Log();
    }
    return mInstance;
}

std::string Log::currentDateTime() {
    return dateTime(std::time(nullptr));
}

std::string Log::dateTime(std::time_t when) {
    char buffer[TIME_BUFFER_SIZE] = {};
    std::size_t const length = formatDateTime(when, buffer);
    return std::string(buffer, length);
}

void Log::fallBackToStandardError() {
    mStandardErrorFallback = true;
}

void Log::write(std::string_view message, LogLevel level) {
    // Both settings are looked up for every line, by reference: no copy is made.
    ConfigFile* config = Singleton<ConfigFile>::getInstance();
    if (!passesFilter(config->getValue("LogLevel"), level)) {
        return;
    }
    std::string const& path = config->getValue("LogFile");

    // One open, one write and one close per line: the file is never held open, so a
    // rotated or deleted log is created anew by the next line. O_APPEND places each
    // line at the end even when another process writes to the file too.
    char stamp[TIME_BUFFER_SIZE];
    std::size_t const stampLength = formatDateTime(std::time(nullptr), stamp);
    std::string& line = mLine;
    line.assign(stamp, stampLength);
    line += ' ';
    line += label(level);
    line += message;
    line += '\n';
    // Non-blocking, so that a FIFO at the path without a reader fails to open instead
    // of holding the loop, and a full one loses the line instead of blocking.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        if (!mStandardErrorFallback) {
            throw LogException("could not open log file!");
        }
        // A read-only or full file system must not stop the monitoring: the line goes
        // to standard error (the journal under systemd) and the next one tries the
        // file again.
        writeAll(STDERR_FILENO, line);
        return;
    }

    // Write errors after a successful open are not reported.
    writeAll(fd, line);
    ::close(fd);
}
