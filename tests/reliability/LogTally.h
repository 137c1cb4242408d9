#pragma once

#include <cstdint>
#include <map>
#include <string>

// Counts the lines of a growing log file by their text without the time stamp, reading
// only what was appended since the last call, so that a log of millions of lines is read
// once while it grows. A line without a well-formed time stamp counts as
// "<no time stamp> " followed by the line.
class LogTally {
public:
    explicit LogTally(std::string path);

    // Reads what was appended; returns false when the file cannot be read.
    bool update();
    std::map<std::string, std::uint64_t> const& counts() const { return mCounts; }
    std::uint64_t count(std::string const& line) const;
    std::uint64_t lines() const { return mLines; }
    std::uint64_t bytes() const { return mOffset; }
    // An unfinished last line, if any: it should be empty once the writer has stopped.
    std::string const& pending() const { return mPending; }

private:
    void countLine(std::string const& line);

    std::string mPath;
    std::uint64_t mOffset = 0;
    std::uint64_t mLines = 0;
    std::string mPending;
    std::map<std::string, std::uint64_t> mCounts;
};
